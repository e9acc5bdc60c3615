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

inline std::vector<IniCase> IniCases() {
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
  };
}

}  // namespace pyx::testing
