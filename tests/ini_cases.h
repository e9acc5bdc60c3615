// pyx.ini files and what KeyFirstDelay in [PYXRemote] reads as from each,
// with a default of 77. Shared by the tests of our reader and, on Windows,
// the comparison with the system's.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
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
      {"white space before a quoted value", "[PYXRemote]\nKeyFirstDelay = \"300\"\n", 300},
      {"a NUL that leaves the value empty",
       "[PYXRemote]\nKeyFirstDelay=\x00"
       "5\n"s,
       kIniDefault},
  };
}

// Files and what [PYXRemote Keys] holds in each: the names of its keys in
// order, joined with commas, and the string value of Key_Play ("-" when it
// is missing).
struct IniKeysCase {
  const char* what;
  std::string text;
  const char* names;
  const char* key_play;
};

inline std::vector<IniKeysCase> IniKeysCases() {
  using namespace std::string_literals;
  return {
      {"plain", "[PYXRemote Keys]\nKey_Play=37\nKey_Red=38\n", "Key_Play,Key_Red", "37"},
      {"duplicates listed, the first value wins", "[PYXRemote Keys]\nKey_Play=37\nKey_Play=39\n",
       "Key_Play,Key_Play", "37"},
      {"a line without = is no key", "[PYXRemote Keys]\nKey_Play\nKey_Red=38\n", "Key_Red", "-"},
      {"an empty name ends the list", "[PYXRemote Keys]\nKey_Cyan=1\n=5\nKey_Red=38\n", "Key_Cyan",
       "-"},
      {"names beginning with ; are not listed",
       "[PYXRemote Keys]\n  ;Key_Play=1\na;b=2\n#c=3\nKey_Play=4\n", "a;b,#c,Key_Play", "4"},
      {"only the first section",
       "[PYXRemote Keys]\nKey_Play=37\n[X]\n[pyxremote keys]\nKey_Red=3\n", "Key_Play", "37"},
      {"names in another case", "[pyxremote KEYS]\nkey_play=5\n", "key_play", "5"},
      {"white space and quotes", "[ PYXRemote Keys ]\n  Key_Play =  ' 37 '  \n", "Key_Play",
       " 37 "},
      {"double quotes", "[PYXRemote Keys]\nKey_Play=\"37\"\n", "Key_Play", "37"},
      {"an unmatched quote stays", "[PYXRemote Keys]\nKey_Play=\"37\n", "Key_Play", "\"37"},
      {"quotes inside stay", "[PYXRemote Keys]\nKey_Play=3\"7\"\n", "Key_Play", "3\"7\""},
      {"a remark is part of the value", "[PYXRemote Keys]\nKey_Play=2 ; x\n", "Key_Play", "2 ; x"},
      {"an empty value", "[PYXRemote Keys]\nKey_Play=\n", "Key_Play", ""},
      {"a NUL ends a name and a value", "[PYXRemote Keys]\nKey_Pl\0ay=3\nKey_Play=4\0 5\n"s,
       "Key_Pl,Key_Play", "4"},
      {"a long value is whole",
       "[PYXRemote Keys]\nKey_Play=0123456789012345678901234567890123456789\n", "Key_Play",
       "0123456789012345678901234567890123456789"},
      {"a key before the section", "Key_Play=3\n[PYXRemote Keys]\n", "", "-"},
      {"no such section", "[PYXRemote]\nKey_Play=3\n", "", "-"},
      {"UTF-16", Utf16("[PYXRemote Keys]\r\nKey_Play=61\r\n"), "Key_Play", "61"},
  };
}

// "a,b" from a list of NUL-terminated names that ends with an empty one.
inline std::string JoinNames(const char* names) {
  std::string joined;
  for (const char* name = names; *name != '\0'; name += std::strlen(name) + 1) {
    joined += (joined.empty() ? "" : ",") + std::string(name);
  }
  return joined;
}

// Files, whether each has a [PYXRemote] section, and the names of its
// sections as written, joined with commas.
struct IniSectionCase {
  std::string text;
  bool has;
  const char* names;
};

inline std::vector<IniSectionCase> IniSectionCases() {
  return {
      {"[PYXRemote]\n", true, "PYXRemote"},
      {"[pyxremote]\nx=1\n", true, "pyxremote"},
      {"  [ PYXRemote ] extra\n", true, "PYXRemote"},
      {"[PYXRemote\nx=1\n", false, ""},
      {"[PYXRemote Keys]\n", false, "PYXRemote Keys"},
      {"", false, ""},
      {"x=1\n[Other]\n", false, "Other"},
      {Utf16("[PYXRemote]\r\n"), true, "PYXRemote"},
      {"[A]\n[PYXRemote]\nx=1\n[a]\n[PYXRemote NoRepaet]\n[PYXRemote]\n", true,
       "A,PYXRemote,a,PYXRemote NoRepaet,PYXRemote"},
  };
}

}  // namespace pyx::testing
