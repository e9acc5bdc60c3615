// Our INI reader's rules on text in memory.
#include "platform/ini_parse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/settings_reading.h"
#include "tests/ini_cases.h"

namespace pyx::platform {
namespace {

TEST(IniLookupInt, ReadsEachFileOfTheTablesAsWindowsDoes) {
  for (const auto& c : testing::IniCases()) {
    const IniText text(c.text);
    EXPECT_EQ(IniLookupInt(text.text(), "PYXRemote", "KeyFirstDelay", testing::kIniDefault),
              c.expected)
        << c.what;
  }
  for (const auto& c : testing::IniKeysCases()) {
    const IniText text(c.text);
    EXPECT_EQ(IniLookupInt(text.text(), "PYXRemote Keys", "Key_Play", -1), c.key_play) << c.what;
  }
}

// Where the number rule stops reading, which the log quotes as ignored.
TEST(ReadProfileNumber, SaysWhereTheNumberEndsInWhichBaseAndWhetherItPassed32Bits) {
  const struct {
    const char* value;
    int32_t read;
    bool digits, past_32_bits;
    int base;
    const char* rest;
  } rows[] = {
      {"300", 300, true, false, 10, ""},     {" -5ms", -5, true, false, 10, "ms"},
      {"1e3", 1, true, false, 10, "e3"},     {"0x1F4", 500, true, false, 16, ""},
      {"0o17", 15, true, false, 8, ""},      {"0xg", 0, true, false, 10, "xg"},
      {"0X10", 0, true, false, 10, "X10"},   {"fast", 0, false, false, 10, "fast"},
      {"-", 0, false, false, 10, ""},        {"4294967295", -1, true, false, 10, ""},
      {"4294967296", 0, true, true, 10, ""}, {"99999999999", 1215752191, true, true, 10, ""},
      {"0b1012", 5, true, false, 2, "2"},
  };
  for (const auto& row : rows) {
    const ProfileNumber number = ReadProfileNumber(row.value);
    EXPECT_EQ(number.value, row.read) << row.value;
    EXPECT_EQ(number.digits, row.digits) << row.value;
    EXPECT_EQ(number.past_32_bits, row.past_32_bits) << row.value;
    EXPECT_EQ(number.base, row.base) << row.value;
    EXPECT_STREQ(row.value + number.end, row.rest) << row.value;
  }
}

// What GetPrivateProfileIntA hands its number rule, and whether it cut the
// value to do so.
TEST(ReadProfileInt, TakesQuotesOffAndReadsAtMost29Characters) {
  const std::string zeros29(29, '0');
  const struct {
    std::string value;
    std::string read;
    bool cut;
  } rows[] = {
      {"300", "300", false},
      {"\"300\"", "300", false},
      {"'300", "'300", false},
      {zeros29, zeros29, false},
      {zeros29 + "5", zeros29, true},
      {"\"" + std::string(28, '0') + "\"", std::string(28, '0'), false},
      // In quotes, the 30 characters of the system's buffer hold 28 of them.
      {"\"" + std::string(28, '0') + "5\"", std::string(28, '0'), true},
      {"\"" + zeros29 + "5\"", zeros29, true},
      {"", "", false},
  };
  for (const auto& row : rows) {
    const ProfileInt value = ReadProfileInt(row.value);
    EXPECT_EQ(value.read, row.read) << row.value;
    EXPECT_EQ(value.cut, row.cut) << row.value;
  }
}

// Lines as the user's editor numbers them: "\r\n" ends one line, as "\r"
// and "\n" alone do.
TEST(ForEachIniLine, NumbersTheLinesAndSaysWhatEachIs) {
  std::vector<std::string> seen;
  ForEachIniLine("[A] x\r\nk = v \r\n\rno equals\n\n  =1\r[B\n", [&](const IniLine& line) {
    seen.push_back(std::to_string(line.number) + ":" + "SKN"[line.kind] + ":" +
                   std::string(line.name) + "|" + std::string(line.value));
  });
  const std::vector<std::string> expected = {"1:S:A|", "2:K:k|v", "4:N:no equals|", "6:K:|1",
                                             "7:N:[B|"};
  EXPECT_EQ(seen, expected);
}

TEST(IniText, DecodesMarkedFilesAndKnowsUtf16WithoutItsMark) {
  const struct {
    std::string bytes;
    IniEncoding encoding;
    std::string text;
  } rows[] = {
      {"[A]\n", IniEncoding::kBytes, "[A]\n"},
      {"\xEF\xBB\xBF[A]\xC3\xA9\n", IniEncoding::kUtf8, "[A]\x80\n"},
      {testing::Utf16("[A]\n"), IniEncoding::kUtf16, "[A]\n"},
      {testing::Utf16("[A]\n", true), IniEncoding::kUtf16, "[A]\n"},
      {testing::Utf16("[PYXRemote]\r\nKeyFirstDelay=300\r\n").substr(2),
       IniEncoding::kUtf16Unmarked,
       testing::Utf16("[PYXRemote]\r\nKeyFirstDelay=300\r\n").substr(2)},
      {testing::Utf16("[PYXRemote]\r\n", true).substr(2), IniEncoding::kUtf16Unmarked,
       testing::Utf16("[PYXRemote]\r\n", true).substr(2)},
      {std::string("a\0b\0", 4) + "[PYXRemote]\nKeyFirstDelay=1\n", IniEncoding::kBytes,
       std::string("a\0b\0", 4) + "[PYXRemote]\nKeyFirstDelay=1\n"},
  };
  for (const auto& row : rows) {
    const IniText text(row.bytes);
    EXPECT_EQ(text.encoding(), row.encoding) << row.text;
    EXPECT_EQ(text.text(), row.text);
  }
}

// The reading acts on the values of its own pass over the lines; the lookup
// is what the tests hold against Windows' reader. Over every file of the
// tables, the two give each setting and key the same value.
TEST(ReadSettings, ActsOnWhatTheLookupGivesForEachName) {
  std::vector<std::string> corpus;
  for (const auto& c : testing::IniCases()) corpus.push_back(c.text);
  for (const auto& c : testing::IniKeysCases()) corpus.push_back(c.text);
  for (const auto& c : testing::ReadingCases()) corpus.push_back(c.ini);
  for (const auto& [what, text] : testing::OddFiles()) corpus.push_back(text);
  for (const std::string& file : corpus) {
    const IniFile ini(IniFile::InMemory{}, file);
    const SettingsRef reading = ReadSettings(ini, kDefaultSettings);
    ASSERT_TRUE(reading);
    const Settings& in_force = reading->settings();
    const auto lookup = [&](const char* section, const char* key, int32_t fallback) {
      return IniLookupInt(ini.text(), section, key, fallback);
    };
    const int32_t first = lookup(kIniSection, "KeyFirstDelay", 1000);
    EXPECT_EQ(in_force.first_delay, first < 0 ? 1000 : first) << file;
    EXPECT_EQ(in_force.poll_during_delay, lookup(kIniSection, "KeyPollDuringDelay", 0)) << file;
    EXPECT_EQ(in_force.trace, lookup(kIniSection, "KeyTrace", 0)) << file;
    for (int32_t row = 0; row < kCardKeyCount; ++row) {
      const char* name = CardKeyTable[row].name;
      if (reading->CodeGiven(row) >= 0) {
        EXPECT_EQ(reading->CodeGiven(row), lookup(kKeysSection, name, -1)) << file << name;
      }
      for (int32_t code = 0; code < KeyMap::kCodes; ++code) {
        if (in_force.keys.RowIndex(code) != row) continue;
        EXPECT_EQ(in_force.keys.Repeats(code), lookup(kNoRepeatSection, name, 0) == 0)
            << file << name;
      }
    }
  }
}

TEST(IniLookupInt, ToleratesAnyTextWithoutReadingPastIt) {
  const std::string text = "[PYXRemote]\nKeyFirstDelay=123456";
  // Every prefix of the file answers something sensible.
  for (size_t n = 0; n <= text.size(); ++n) {
    const int32_t got =
        IniLookupInt(std::string_view(text.data(), n), "PYXRemote", "KeyFirstDelay", 77);
    EXPECT_TRUE(got == 77 || (got >= 1 && got <= 123456)) << n;
  }
  const std::string nuls("[PYXRemote]\nKeyFirstDelay=5\0\0\n", 30);
  EXPECT_EQ(IniLookupInt(nuls, "PYXRemote", "KeyFirstDelay", 77), 5);
}

}  // namespace
}  // namespace pyx::platform
