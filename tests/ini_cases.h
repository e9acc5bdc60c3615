// pyx.ini files and what KeyFirstDelay in [PYXRemote] reads as from each,
// with a default of 77. Shared by the tests of our reader and, on Windows,
// the comparison with the system's.
#pragma once

#include <cstdint>
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

// Files and what Key_Play in [PYXRemote Keys] reads as from each, with a
// default of -1: the keys sections are read key by key, as the settings are.
struct IniKeysCase {
  const char* what;
  std::string text;
  int32_t key_play;
};

inline std::vector<IniKeysCase> IniKeysCases() {
  using namespace std::string_literals;
  return {
      {"plain", "[PYXRemote Keys]\nKey_Play=37\nKey_Red=38\n", 37},
      {"the first of two lines wins", "[PYXRemote Keys]\nKey_Play=37\nKey_Play=39\n", 37},
      {"a line without = names the key with no value", "[PYXRemote Keys]\nKey_Play\nKey_Play=38\n",
       -1},
      {"a line with no name hides no later line", "[PYXRemote Keys]\nKey_Cyan=1\n=5\nKey_Play=38\n",
       38},
      {"... nor one of blanks", "[PYXRemote Keys]\n  = 5\nKey_Play=39\n", 39},
      {"a name beginning with ; is another name",
       "[PYXRemote Keys]\n  ;Key_Play=1\na;b=2\n#c=3\nKey_Play=4\n", 4},
      {"only the first section",
       "[PYXRemote Keys]\nKey_Play=37\n[X]\n[pyxremote keys]\nKey_Play=3\n", 37},
      {"names in another case", "[pyxremote KEYS]\nkey_play=5\n", 5},
      {"white space and quotes", "[ PYXRemote Keys ]\n  Key_Play =  ' 37 '  \n", 37},
      {"an unmatched quote", "[PYXRemote Keys]\nKey_Play=\"37\n", 0},
      {"a remark after the value", "[PYXRemote Keys]\nKey_Play=2 ; x\n", 2},
      {"an empty value", "[PYXRemote Keys]\nKey_Play=\n", -1},
      {"a NUL ends a name and a value", "[PYXRemote Keys]\nKey_Pl\0ay=3\nKey_Play=4\0 5\n"s, 4},
      {"29 characters of a value are read",
       "[PYXRemote Keys]\nKey_Play=" + std::string(29, '0') + "5\n", 0},
      {"a key before the section", "Key_Play=3\n[PYXRemote Keys]\n", -1},
      {"a name of 4,095 characters hides no later line",
       "[PYXRemote Keys]\n" + std::string(4095, 'K') + "=1\nKey_Play=7\n", 7},
      {"... nor one of 65,535", "[PYXRemote Keys]\n" + std::string(65535, 'K') + "=1\nKey_Play=8\n",
       8},
      {"UTF-16", Utf16("[PYXRemote Keys]\r\nKey_Play=61\r\n"), 61},
  };
}

// pyx.ini files and what a module's construction writes from each after its
// banner: the third line, with the delays in force, and then each option in
// force, each line that does not take effect as written, in file order, and
// what the delays do. Read from the library's defaults. A clean file, in
// any case and beside the application's own sections, adds only the
// options it sets.
struct ReadingCase {
  const char* what;
  std::string ini;
  std::vector<std::string> lines;
};

inline std::vector<ReadingCase> ReadingCases() {
  const std::string defaults = "> KeyFirstDelay=1000, KeyRepeatDelay=500";
  const std::string long_delay =
      " ms, 5000 or more: a held key is not read again for that long, and switching the remote "
      "off gives up waiting after 5000 ms, before \"Bye!\"; KeyPollDuringDelay=1 keeps the "
      "remote answering";
  const std::string zeros29(29, '0');
  return {
      {"clean, in any case, beside other sections",
       "[TV]\nChannel=5\n[pyxremote]\nkeyfirstdelay=300\nKEYREPEATDELAY=100\n"
       "keypollduringdelay=0\n[PYXREMOTE KEYS]\nkey_play=37\n[pyxremote norepeat]\n"
       "key_power=1\nKey_Mute=0\n[Other]\nKeyFirstDelay=x\n[PYX]\nKeyTrace=5\n",
       {"> KeyFirstDelay=300, KeyRepeatDelay=100", "> Keys moved: Key_Play=37",
        "> Keys that do not repeat: Key_Power"}},
      {"clean: comments, blank lines, white space, CR LF, a byte-order mark",
       "\xEF\xBB\xBF; the TV application's\r\n\r\n[TV]\r\nX=1\r\n\t[PYXRemote]  \r\n"
       "  KeyFirstDelay = 300\t\r\n# a remark\r\n; KeyRepeatDelay=5\r\n"
       "KeyRepeatDelay=250 ; slower than the default, with a remark past 29 characters\r\n\r\n"
       "[PYXRemote Keys]\r\nKey_Power=30\r\nKey_Play=37# mine\r\n",
       {"> KeyFirstDelay=300, KeyRepeatDelay=250", "> Keys moved: Key_Play=37"}},
      {"a misspelt setting",
       "[PYXRemote]\nKeyRepeatDeley=100\n",
       {defaults, "> [PYXRemote] KeyRepeatDeley=100: no such setting (KeyRepeatDelay?), ignored"}},
      {"a misspelt section",
       "[PYXRemote NoRepaet]\nKey_Power=1\n",
       {defaults,
        "> [PYXRemote NoRepaet]: no such section (PYXRemote NoRepeat?), ignored with the lines "
        "under it"}},
      {"a section with a space too many",
       "[PYX Remote Keys]\nKey_Play=37\n",
       {defaults,
        "> [PYX Remote Keys]: no such section (PYXRemote Keys?), ignored with the lines under "
        "it"}},
      {"a key among the settings",
       "[PYXRemote]\nKey_Power=1\n",
       {defaults,
        "> [PYXRemote] Key_Power=1: no such setting (a key: its code goes in [PYXRemote Keys]), "
        "ignored"}},
      {"text after a number",
       "[PYXRemote]\nKeyFirstDelay=300ms\n",
       {"> KeyFirstDelay=300, KeyRepeatDelay=500",
        "> [PYXRemote] KeyFirstDelay=300ms: read as 300, \"ms\" ignored"}},
      {"another notation",
       "[pyxremote]\nKeyFirstDelay=1e3\n",
       {"> KeyFirstDelay=1, KeyRepeatDelay=500",
        "> [pyxremote] KeyFirstDelay=1e3: read as 1: only plain whole numbers are read, \"e3\" "
        "ignored",
        "> [PYXRemote] KeyFirstDelay is 1 ms, below the 20 ms poll: each press is reported "
        "twice"}},
      {"past 32 bits",
       "[PYXRemote]\nKeyFirstDelay=99999999999\n",
       {"> KeyFirstDelay=1215752191, KeyRepeatDelay=500",
        "> [PYXRemote] KeyFirstDelay=99999999999: past 32 bits, read as 1215752191",
        "> [PYXRemote] KeyFirstDelay is 1215752191" + long_delay}},
      {"read as negative",
       "[PYXRemote]\nKeyRepeatDelay=4294967295\n",
       {defaults,
        "> [PYXRemote] KeyRepeatDelay=4294967295: read as -1, negative: ignored; KeyRepeatDelay "
        "stays 500"}},
      {"negative",
       "[PYXRemote]\nKeyRepeatDelay=-5\n",
       {defaults,
        "> [PYXRemote] KeyRepeatDelay=-5: read as -5, negative: ignored; KeyRepeatDelay stays "
        "500"}},
      {"a word",
       "[PYXRemote]\nKeyFirstDelay=fast\nKeyPollDuringDelay=yes\n",
       {"> KeyFirstDelay=0, KeyRepeatDelay=500",
        "> [PYXRemote] KeyFirstDelay=fast: not a number, read as 0",
        "> [PYXRemote] KeyPollDuringDelay=yes: not a number, read as 0 (off)",
        "> [PYXRemote] KeyFirstDelay is 0 ms, below the 20 ms poll: each press is reported "
        "twice"}},
      {"no value",
       "[PYXRemote]\nKeyFirstDelay=\nKeyRepeatDelay=\"\"\n",
       {defaults, "> [PYXRemote] KeyFirstDelay=: no value, ignored; KeyFirstDelay stays 1000",
        "> [PYXRemote] KeyRepeatDelay=\"\": no value, ignored; KeyRepeatDelay stays 500"}},
      {"a setting given again",
       "[PYXRemote]\nKeyFirstDelay=300\nKeyFirstDelay=400\n",
       {"> KeyFirstDelay=300, KeyRepeatDelay=500",
        "> [PYXRemote] KeyFirstDelay=400: given again, ignored: the line that counts is line 2, "
        "KeyFirstDelay=300"}},
      {"a line without = names the setting, with no value",
       "[PYXRemote]\nKeyFirstDelay\nKeyFirstDelay=300\n",
       {defaults, "> [PYXRemote] KeyFirstDelay: no value, ignored; KeyFirstDelay stays 1000",
        "> [PYXRemote] KeyFirstDelay=300: given again, ignored: the line that counts is line 2, "
        "KeyFirstDelay"}},
      {"a delay past Stop's wait",
       "[PYXRemote]\nKeyFirstDelay=6000\n",
       {"> KeyFirstDelay=6000, KeyRepeatDelay=500",
        "> [PYXRemote] KeyFirstDelay is 6000" + long_delay}},
      {"... read during the delay",
       "[PYXRemote]\nKeyRepeatDelay=6000\nKeyPollDuringDelay=1\n",
       {"> KeyFirstDelay=1000, KeyRepeatDelay=6000",
        "> KeyPollDuringDelay=1: the remote is read during key delays too"}},
      {"a repeat below the poll",
       "[PYXRemote]\nKeyRepeatDelay=0\nKeyTrace=2\n",
       {"> KeyFirstDelay=1000, KeyRepeatDelay=0",
        "> KeyTrace=2: each key event is logged, at most 10000 lines a Start",
        "> [PYXRemote] KeyRepeatDelay is 0 ms, below the 20 ms poll: a held key is reported on "
        "every read"}},
      {"two keys moved to one code",
       "[PYXRemote Keys]\nKey_Record=40\nKey_Mute=40\n",
       {defaults, "> Keys moved: Key_Record=40",
        "> [PYXRemote Keys] Key_Mute=40: code 40 reports Key_Record, whose line comes first; "
        "Key_Mute can no longer be reported"}},
      {"a key moved to the code of another",
       "[PYXRemote Keys]\nKey_Play=30\n",
       {defaults, "> Keys moved: Key_Play=30",
        "> [PYXRemote Keys] Key_Play=30: code 30 reports Key_Play now, in place of Key_Power, "
        "which can no longer be reported"}},
      {"keys given their own codes move nothing",
       "[PYXRemote Keys]\nKey_Power=30\nKey_Audio=14\n",
       {defaults}},
      {"a key that was not reported takes its own code from the row above it",
       "[PYXRemote Keys]\nKey_AutoScan=14\n",
       {defaults, "> Keys moved: Key_AutoScan=14",
        "> [PYXRemote Keys] Key_AutoScan=14: code 14 reports Key_AutoScan now, in place of "
        "Key_Audio, which can no longer be reported"}},
      {"keys that are not keys, and codes that are not codes",
       "[PYXRemote Keys]\nKey_Plya=37\nPlay=38\nKey_Nothing=3\nKey_Red=64\nKey_Cyan=blue\n"
       "Key_Green=4294967300\nKey_Yellow=41 mine\nKey_Yellow=42\nKeyTrace=1\n",
       {defaults, "> Keys moved: Key_Yellow=41",
        "> [PYXRemote Keys] Key_Plya=37: no key of that name (Key_Play?), ignored",
        "> [PYXRemote Keys] Play=38: no key of that name (Key_Play?), ignored",
        "> [PYXRemote Keys] Key_Nothing=3: no key of that name, ignored",
        "> [PYXRemote Keys] Key_Red=64: not a code from 0 to 63, ignored",
        "> [PYXRemote Keys] Key_Cyan=blue: not a number, read as 0; not a code from 0 to 63, "
        "ignored",
        "> [PYXRemote Keys] Key_Green=4294967300: past 32 bits, read as 4; not a code from 0 to "
        "63, ignored",
        "> [PYXRemote Keys] Key_Yellow=41 mine: read as 41, \" mine\" ignored",
        "> [PYXRemote Keys] Key_Yellow=42: given again, ignored: the line that counts is line 8, "
        "Key_Yellow=41 mine",
        "> [PYXRemote Keys] KeyTrace=1: no key of that name (a setting: it goes in [PYXRemote]), "
        "ignored"}},
      {"keys that do not repeat, or cannot",
       "[PYXRemote NoRepeat]\nKey_Bogus=1\nKey_Stop=yes\nKey_AutoScan=1\nKey_Mute=1\n",
       {defaults, "> Keys that do not repeat: Key_Mute",
        "> [PYXRemote NoRepeat] Key_Bogus=1: no key of that name, ignored",
        "> [PYXRemote NoRepeat] Key_Stop=yes: not a number, read as 0: Key_Stop repeats",
        "> [PYXRemote NoRepeat] Key_AutoScan=1: no code reports Key_AutoScan, so this changes "
        "nothing"}},
      {"a section given again",
       "[PYXRemote]\nKeyFirstDelay=300\n[PYXRemote]\nKeyFirstDelay=9\n",
       {"> KeyFirstDelay=300, KeyRepeatDelay=500",
        "> [PYXRemote] is given again: only the first, on line 1, is read",
        "> [PYXRemote] KeyFirstDelay=9: in a later [PYXRemote] section, which is not read, "
        "ignored"}},
      {"a keys section given again",
       "[PYXRemote Keys]\nKey_Play=37\n[pyxremote keys]\nKey_Red=38\n",
       {defaults, "> Keys moved: Key_Play=37",
        "> [pyxremote keys] is given again: only the first, on line 1, is read",
        "> [pyxremote keys] Key_Red=38: in a later [PYXRemote Keys] section, which is not read, "
        "ignored"}},
      {"lines with no name hide no later line",
       "[PYXRemote]\n=1\nKeyFirstDelay=300\n[PYXRemote Keys]\n  = 38\nKey_Play=37\n",
       {"> KeyFirstDelay=300, KeyRepeatDelay=500", "> Keys moved: Key_Play=37",
        "> [PYXRemote] =1: no name before \"=\", ignored",
        "> [PYXRemote Keys] = 38: no name before \"=\", ignored"}},
      {"a name of 4,095 characters hides no later line",
       "[PYXRemote]\n" + std::string(4095, 'K') + "=1\nKeyFirstDelay=300\n",
       {"> KeyFirstDelay=300, KeyRepeatDelay=500",
        "> [PYXRemote] " + std::string(56, 'K') +
            "... (4097 characters): no such setting, ignored"}},
      {"lines without =",
       "[PYXRemote]\nKeyFirstDelay 300\nKeyRepeatDelay:200\nFaster\n",
       {defaults, "> [PYXRemote] KeyFirstDelay 300: no \"=\", ignored (KeyFirstDelay=300?)",
        "> [PYXRemote] KeyRepeatDelay:200: no \"=\", ignored (KeyRepeatDelay=200?)",
        "> [PYXRemote] Faster: no \"=\", ignored"}},
      {"settings above the first section",
       "KeyFirstDelay=300\nKey_Play=37\n[PYXRemote]\nKeyRepeatDelay=200\n",
       {"> KeyFirstDelay=1000, KeyRepeatDelay=200",
        "> KeyFirstDelay=300: above the first section, in none, ignored (it goes in [PYXRemote])",
        "> Key_Play=37: above the first section, in none, ignored (it goes in [PYXRemote Keys])"}},
      {"a section header without its ]",
       "[PYXRemote\nKeyFirstDelay=300\n",
       {defaults, "> [PYXRemote: no \"]\" closes it, so it heads no section, ignored",
        "> KeyFirstDelay=300: above the first section, in none, ignored (it goes in [PYXRemote])"}},
      {"text after a section's ], where a remark is no finding",
       "[PYXRemote] mine\nKeyFirstDelay=300\n[PYXRemote Keys] ; mine\nKey_Play=37\n",
       {"> KeyFirstDelay=300, KeyRepeatDelay=500", "> Keys moved: Key_Play=37",
        "> [PYXRemote] mine: read as [PYXRemote], \"mine\" ignored"}},
      {"values longer than 29 characters",
       "[PYXRemote]\nKeyFirstDelay=" + zeros29 + "300\nKeyRepeatDelay=" + std::string(46, '1') +
           "\n[PYXRemote Keys]\nKey_Play=" + zeros29 + "5\n",
       {"> KeyFirstDelay=0, KeyRepeatDelay=1729917383", "> Keys moved: Key_Play=0",
        "> [PYXRemote] KeyFirstDelay=" + zeros29 +
            "300: only its first 29 characters are read, \"" + zeros29 + "\": read as 0",
        "> [PYXRemote] KeyRepeatDelay=" + std::string(46, '1') +
            ": only its first 29 characters are read, \"" + std::string(29, '1') +
            "\": past 32 bits, read as 1729917383",
        "> [PYXRemote Keys] Key_Play=" + zeros29 + "5: only its first 29 characters are read, \"" +
            zeros29 + "\": read as 0",
        "> [PYXRemote Keys] Key_Play=" + zeros29 +
            "5: code 0 reports Key_Play now, in place of Key_Record, which can no longer be "
            "reported",
        "> [PYXRemote] KeyFirstDelay is 0 ms, below the 20 ms poll: each press is reported "
        "twice",
        "> [PYXRemote] KeyRepeatDelay is 1729917383" + long_delay}},
      {"numbers in other notations",
       "[PYXRemote]\nKeyFirstDelay=0b101\nKeyRepeatDelay=0x1F4\nKeyPollDuringDelay=0b1\n"
       "KeyTrace=0o0\n",
       {"> KeyFirstDelay=5, KeyRepeatDelay=500",
        "> KeyPollDuringDelay=1: the remote is read during key delays too",
        "> [PYXRemote] KeyFirstDelay=0b101: read as 5 (binary)",
        "> [PYXRemote] KeyRepeatDelay=0x1F4: read as 500 (hexadecimal)",
        "> [PYXRemote] KeyPollDuringDelay=0b1: read as 1 (binary) (on)",
        "> [PYXRemote] KeyTrace=0o0: read as 0 (octal) (off)",
        "> [PYXRemote] KeyFirstDelay is 5 ms, below the 20 ms poll: each press is reported "
        "twice"}},
      {"findings in file order",
       "[PYXRemote Keys]\nKey_Record=40\nKey_Mute=40\n[PYXRemote]\nKeyRepeatDeley=1\n",
       {defaults, "> Keys moved: Key_Record=40",
        "> [PYXRemote Keys] Key_Mute=40: code 40 reports Key_Record, whose line comes first; "
        "Key_Mute can no longer be reported",
        "> [PYXRemote] KeyRepeatDeley=1: no such setting (KeyRepeatDelay?), ignored"}},
      {"eighteen keys moved: the list goes on over lines, each whole",
       "[PYXRemote Keys]\nKey_Play=32\nKey_Red=33\nKey_Yellow=34\nKey_Green=35\nKey_Cyan=36\n"
       "Key_AutoScan=37\nKey_Capture=38\nKey_TV/FM=39\nKey_CD=40\nKey_Teletext=41\nKey_Power=42\n"
       "Key_1=43\nKey_2=44\nKey_3=45\nKey_Video=46\nKey_4=47\nKey_5=48\nKey_6=49\n",
       {defaults,
        "> Keys moved: Key_Play=32, Key_Red=33, Key_Yellow=34, Key_Green=35, Key_Cyan=36, "
        "Key_AutoScan=37, Key_Capture=38, Key_TV/FM=39, Key_CD=40, Key_Teletext=41, "
        "Key_Power=42",
        "> Keys moved, continued: Key_1=43, Key_2=44, Key_3=45, Key_Video=46, Key_4=47, "
        "Key_5=48, Key_6=49"}},
  };
}

// More broken files, for the readings held against Windows': each must be
// read the same by both, whatever they make of it.
inline std::vector<std::pair<const char*, std::string>> OddFiles() {
  using namespace std::string_literals;
  return {
      {"tabs and quotes", "[PYXRemote]\r\n\tKeyFirstDelay\t=\t'0x1F4'\t\r\n"},
      {"a blank line of CRs", "[PYXRemote]\nKeyFirstDelay=300\r\r\nKeyRepeatDelay=7"},
      {"Ctrl-Z around the header", "\x1A[PYXRemote]\x1A\nKeyFirstDelay=1\x1A\n"},
      {"a value of 70,000 characters",
       "[PYXRemote]\nKeyRepeatDelay=" + std::string(70000, '7') + "\nKeyFirstDelay=2\n"},
      {"headers without ]", "[PYXRemote\n[PYXRemote Keys\nKey_Play=37\n[PYXRemote]\nKeyTrace=1\n"},
      {"keys without = and with two", "[PYXRemote Keys]\nKey_Play\nKey_Red==5\nKey_Cyan=6=7\n"},
      {"a NUL in a key's line", "[PYXRemote NoRepeat]\nKey_Power\0=1\nKey_Mute=1\0x\n"s},
      {"every section twice",
       "[PYXRemote Keys]\nKey_Play=37\n[PYXRemote NoRepeat]\nKey_Play=1\n"
       "[PYXRemote Keys]\nKey_Red=38\n[PYXRemote NoRepeat]\nKey_Red=1\n"},
      {"a remark only", "[PYXRemote]\nKeyFirstDelay=; slow\nKeyRepeatDelay= # fast\n"},
      {"UTF-8 in names", "\xEF\xBB\xBF[PYXRemote Keys]\nKey_Pl\xC3\xA4y=37\nKey_Play=38\n"},
  };
}

}  // namespace pyx::testing
