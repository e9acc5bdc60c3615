// pyx.ini files and what KeyFirstDelay in [PYXRemote] reads as from each,
// with a default of 77. Shared by the tests of our reader and, on Windows,
// the comparison with the system's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pyx::testing {

inline constexpr int32_t kIniDefault = 77;

struct IniCase {
  const char* what;
  std::string text;
  int32_t expected;
};

// ASCII text as UTF-16 with its byte-order mark, in either byte order.
inline std::string Utf16(const std::string& ascii, bool big_endian = false) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : ascii) {
    out += big_endian ? std::string{'\0', c} : std::string{c, '\0'};
  }
  return out;
}

inline std::vector<IniCase> IniCases() {
  using namespace std::string_literals;
  return {
      {"plain", "[PYXRemote]\nKeyFirstDelay=1000\n", 1000},
      {"CRLF line ends", "[PYXRemote]\r\nKeyRepeatDelay=1\r\nKeyFirstDelay=250\r\n", 250},
      {"CR line ends", "[PYXRemote]\rKeyFirstDelay=251\r", 251},
      {"no final line end", "[PYXRemote]\nKeyFirstDelay=252", 252},
      {"byte-order mark", "\xEF\xBB\xBF[PYXRemote]\nKeyFirstDelay=253\n", 253},
      {"white space everywhere", "  [ PYXRemote ]  \n\t KeyFirstDelay \t=\t 254 \t\n", 254},
      {"names match regardless of case", "[pyxremote]\nKEYFIRSTDELAY=255\n", 255},
      {"first matching key wins", "[PYXRemote]\nKeyFirstDelay=1\nKeyFirstDelay=2\n", 1},
      {"only the first section is searched",
       "[PYXRemote]\nKeyRepeatDelay=5\n[Other]\n[PYXRemote]\nKeyFirstDelay=9\n", kIniDefault},
      {"other sections are skipped", "[Other]\nKeyFirstDelay=8\n[PYXRemote]\nKeyFirstDelay=9\n", 9},
      {"a key before any section belongs to none", "KeyFirstDelay=8\n[PYXRemote]\n", kIniDefault},
      {"no comment syntax", "[PYXRemote]\n;KeyFirstDelay=5\n", kIniDefault},
      {"commented key does not hide the real one",
       "[PYXRemote]\n;KeyFirstDelay=5\nKeyFirstDelay=6\n", 6},
      {"trailing remark", "[PYXRemote]\nKeyFirstDelay=250 ; slower\n", 250},
      {"double quotes", "[PYXRemote]\nKeyFirstDelay=\"300\"\n", 300},
      {"single quotes", "[PYXRemote]\nKeyFirstDelay='301'\n", 301},
      {"unmatched quote", "[PYXRemote]\nKeyFirstDelay=\"302\n", 0},
      {"quoted blank", "[PYXRemote]\nKeyFirstDelay=\" 303\"\n", 303},
      {"empty value", "[PYXRemote]\nKeyFirstDelay=\n", kIniDefault},
      {"blank value", "[PYXRemote]\nKeyFirstDelay=   \n", kIniDefault},
      {"empty quotes", "[PYXRemote]\nKeyFirstDelay=\"\"\n", kIniDefault},
      {"key without =", "[PYXRemote]\nKeyFirstDelay\nKeyFirstDelay=5\n", kIniDefault},
      {"missing key", "[PYXRemote]\nKeyRepeatDelay=5\n", kIniDefault},
      {"missing section", "[Other]\nKeyFirstDelay=5\n", kIniDefault},
      {"empty file", "", kIniDefault},
      {"section name needs its bracket", "[PYXRemote\nKeyFirstDelay=5\n", kIniDefault},
      {"text after the bracket", "[PYXRemote] extra\nKeyFirstDelay=6\n", 6},
      {"key is the text before the first =", "[PYXRemote]\nKeyFirstDelay==7\n", 0},
      {"value holds a further =", "[PYXRemote]\nKeyFirstDelay=7=8\n", 7},
      {"trailing letters", "[PYXRemote]\nKeyFirstDelay=12abc\n", 12},
      {"letters only", "[PYXRemote]\nKeyFirstDelay=abc\n", 0},
      {"negative", "[PYXRemote]\nKeyFirstDelay=-1\n", -1},
      {"plus sign", "[PYXRemote]\nKeyFirstDelay=+42\n", 42},
      {"sign alone", "[PYXRemote]\nKeyFirstDelay=-\n", 0},
      {"hexadecimal", "[PYXRemote]\nKeyFirstDelay=0x10\n", 16},
      {"hexadecimal digits either case", "[PYXRemote]\nKeyFirstDelay=0xFf\n", 255},
      {"upper-case prefix is not one", "[PYXRemote]\nKeyFirstDelay=0X10\n", 0},
      {"octal", "[PYXRemote]\nKeyFirstDelay=0o17\n", 15},
      {"binary", "[PYXRemote]\nKeyFirstDelay=0b101\n", 5},
      {"binary stops at a 2", "[PYXRemote]\nKeyFirstDelay=0b1012\n", 5},
      {"leading zero is decimal", "[PYXRemote]\nKeyFirstDelay=010\n", 10},
      {"negative hexadecimal", "[PYXRemote]\nKeyFirstDelay=-0x10\n", -16},
      {"decimal point", "[PYXRemote]\nKeyFirstDelay=3.7\n", 3},
      {"wraps modulo 2^32", "[PYXRemote]\nKeyFirstDelay=4294967297\n", 1},
      {"reads as signed", "[PYXRemote]\nKeyFirstDelay=4294967295\n", -1},
      {"largest positive", "[PYXRemote]\nKeyFirstDelay=2147483647\n", 2147483647},
      {"one past it", "[PYXRemote]\nKeyFirstDelay=2147483648\n", INT32_MIN},
      {"UTF-16, little-endian", Utf16("[PYXRemote]\r\nKeyFirstDelay=400\r\n"), 400},
      {"UTF-16, big-endian", Utf16("[PYXRemote]\r\nKeyFirstDelay=401\r\n", true), 401},
      {"UTF-16 with a character beyond ASCII",
       Utf16("[PYXRemote]\nKeyFirstDelay=402\n") + "\xE9\x00", 402},
      {"UTF-16 mark alone", "\xFF\xFE", kIniDefault},
      {"UTF-8 beyond ASCII in a value", "\xEF\xBB\xBF[PYXRemote]\nKeyFirstDelay=404\xC3\xA9\n",
       404},
      {"control characters before the number", "[PYXRemote]\nKeyFirstDelay=\x01\x02\x1F 405\n",
       405},
      {"Ctrl-Z around names",
       "\x1A[\x1A"
       "PYXRemote\x1A]\x1A\n\x1A"
       "KeyFirstDelay\x1A=\x1A"
       "406\x1A\n",
       406},
      {"a NUL ends a value",
       "[PYXRemote]\nKeyFirstDelay=40\x00"
       "7\n"s,
       40},
      {"a NUL ends a key name", "[PYXRemote]\nKeyFirstDelay\x00junk=408\n"s, 408},
      {"a NUL ends a section name", "[PYXRemote\x00junk]\nKeyFirstDelay=409\n"s, 409},
      {"a NUL cuts a key name short", "[PYXRemote]\nKeyFirst\x00Delay=410\n"s, kIniDefault},
      {"29 characters of a value are read",
       "[PYXRemote]\nKeyFirstDelay=" + std::string(27, '\x01') + "411\n", 41},
      {"a quoted value of 29 characters loses its last one",
       "[PYXRemote]\nKeyFirstDelay=\"" + std::string(25, '0') + "4125\"\n", 412},
      {"CR and LF line ends mixed", "[Other]\rKeyFirstDelay=1\n[PYXRemote]\rKeyFirstDelay=414\n",
       414},
      {"a key that extends the name", "[PYXRemote]\nKeyFirstDelays=415\n", kIniDefault},
      {"a key that is a prefix of the name", "[PYXRemote]\nKeyFirst=416\n", kIniDefault},
      {"a section that extends the name", "[PYXRemoteX]\nKeyFirstDelay=417\n", kIniDefault},
      {"a section that is a prefix of the name", "[PYX]\nKeyFirstDelay=418\n", kIniDefault},
      {"quoted value, then white space", "[PYXRemote]\nKeyFirstDelay=\"419\"  \t\n", 419},
  };
}

}  // namespace pyx::testing
