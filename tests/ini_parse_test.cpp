// Our INI reader's rules on text in memory.
#include "platform/ini_parse.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/ini_cases.h"

namespace pyx::platform {
namespace {

TEST(IniLookupInt, ReadsEachFileOfTheTableAsWindowsDoes) {
  for (const auto& c : testing::IniCases()) {
    EXPECT_EQ(IniLookupInt(c.text, "PYXRemote", "KeyFirstDelay", testing::kIniDefault), c.expected)
        << c.what;
  }
}

TEST(IniDocument, ListsKeysAndReadsStringsAsWindowsDoes) {
  for (const auto& c : testing::IniKeysCases()) {
    const IniDocument document(c.text);
    char names[512];
    document.KeyNames("PYXRemote Keys", names, sizeof names);
    EXPECT_EQ(testing::JoinNames(names), c.names) << c.what;
    std::string_view value;
    const bool found = document.String("PYXRemote Keys", "Key_Play", &value);
    EXPECT_EQ(found ? std::string(value) : "-", c.key_play) << c.what;
  }
  for (const auto& [text, has, names] : testing::IniSectionCases()) {
    const IniDocument document(text);
    EXPECT_EQ(document.HasSection("PYXRemote"), has) << text;
    char listed[512];
    document.SectionNames(listed, sizeof listed);
    EXPECT_EQ(testing::JoinNames(listed), names) << text;
  }
}

// Where the number rule stops reading, which the log quotes as ignored.
TEST(ReadProfileNumber, SaysWhereTheNumberEndsAndWhetherItPassed32Bits) {
  const struct {
    const char* value;
    int32_t read;
    bool digits, past_32_bits;
    const char* rest;
  } rows[] = {
      {"300", 300, true, false, ""},
      {" -5ms", -5, true, false, "ms"},
      {"1e3", 1, true, false, "e3"},
      {"0x1F4", 500, true, false, ""},
      {"0xg", 0, true, false, "xg"},
      {"0X10", 0, true, false, "X10"},
      {"fast", 0, false, false, "fast"},
      {"-", 0, false, false, ""},
      {"4294967295", -1, true, false, ""},
      {"4294967296", 0, true, true, ""},
      {"99999999999", 1215752191, true, true, ""},
      {"0b1012", 5, true, false, "2"},
  };
  for (const auto& row : rows) {
    const ProfileNumber number = ReadProfileNumber(row.value);
    EXPECT_EQ(number.value, row.read) << row.value;
    EXPECT_EQ(number.digits, row.digits) << row.value;
    EXPECT_EQ(number.past_32_bits, row.past_32_bits) << row.value;
    EXPECT_STREQ(row.value + number.end, row.rest) << row.value;
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
