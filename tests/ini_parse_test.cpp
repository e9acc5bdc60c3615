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
  for (const auto& [text, has] : testing::IniSectionCases()) {
    EXPECT_EQ(IniDocument(text).HasSection("PYXRemote"), has) << text;
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
