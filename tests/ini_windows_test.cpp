// Our INI reader beside the system's GetPrivateProfileIntA: the same pyx.ini
// files, the same values, and so the same reading, entry for entry. This is
// what keeps the findings true on Windows, where what acts is the system's
// answer, and a pyx.ini portable between the Windows module and the Linux
// one.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "card/settings_reading.h"
#include "tests/ini_cases.h"
#include "tests/temp_dir.h"

namespace pyx {
namespace {

class IniAgainstWindows : public testing::InTempDir {};

int32_t SystemInt(const char* section, const char* key, int32_t fallback) {
  return static_cast<int32_t>(GetPrivateProfileIntA(section, key, fallback, ".\\pyx.ini"));
}

int32_t OurInt(const std::string& bytes, const char* section, const char* key, int32_t fallback) {
  const platform::IniText text(bytes);
  return platform::IniLookupInt(text.text(), section, key, fallback);
}

TEST_F(IniAgainstWindows, BothReadersGiveTheSameValueForEveryFile) {
  for (const auto& c : testing::IniCases()) {
    testing::WriteFile("pyx.ini", c.text);
    const int32_t system = SystemInt("PYXRemote", "KeyFirstDelay", testing::kIniDefault);
    EXPECT_EQ(OurInt(c.text, "PYXRemote", "KeyFirstDelay", testing::kIniDefault), system) << c.what;
    EXPECT_EQ(system, c.expected) << c.what;
  }
  for (const auto& c : testing::IniKeysCases()) {
    testing::WriteFile("pyx.ini", c.text);
    const int32_t system = SystemInt("PYXRemote Keys", "Key_Play", -1);
    EXPECT_EQ(OurInt(c.text, "PYXRemote Keys", "Key_Play", -1), system) << c.what;
    EXPECT_EQ(system, c.key_play) << c.what;
  }
}

// Every file of the tables read as the module reads it here (each value
// the system's) and as our reader alone reads it: the same settings, the
// same codes, the same entries.
TEST_F(IniAgainstWindows, TheModulesReadingAgreesWithOursOnEveryFile) {
  std::vector<std::pair<std::string, std::string>> corpus;
  for (const auto& c : testing::IniCases()) corpus.emplace_back(c.what, c.text);
  for (const auto& c : testing::IniKeysCases()) corpus.emplace_back(c.what, c.text);
  for (const auto& c : testing::ReadingCases()) corpus.emplace_back(c.what, c.ini);
  for (const auto& [what, text] : testing::OddFiles()) corpus.emplace_back(what, text);
  for (const auto& [what, text] : corpus) {
    testing::WriteFile("pyx.ini", text);
    const platform::IniFile system_file(platform::kIniPath);
    const platform::IniFile our_file(platform::IniFile::InMemory{}, text);
    const SettingsRef system = ReadSettings(system_file, kDefaultSettings);
    const SettingsRef ours = ReadSettings(our_file, kDefaultSettings);
    ASSERT_TRUE(system && ours) << what;
    EXPECT_TRUE(SameSettings(system->settings(), ours->settings())) << what;
    EXPECT_EQ(system->has_section(), ours->has_section()) << what;
    for (int32_t row = 0; row < kCardKeyCount; ++row) {
      EXPECT_EQ(system->CodeGiven(row), ours->CodeGiven(row)) << what << ", row " << row;
    }
    ASSERT_EQ(system->entry_count(), ours->entry_count()) << what;
    for (int i = 0; i < system->entry_count(); ++i) {
      EXPECT_EQ(system->entry(i).line, ours->entry(i).line) << what;
      EXPECT_STREQ(system->entry(i).text, ours->entry(i).text) << what;
    }
  }
}

TEST_F(IniAgainstWindows, TheModuleReadsDotBackslashPyxIni) {
  testing::WriteFile("pyx.ini", "[PYXRemote]\r\nKeyFirstDelay=640\r\n");
  EXPECT_STREQ(platform::kIniPath, ".\\pyx.ini");
  const platform::IniFile ini(platform::kIniPath);
  int32_t first = 0, repeat = 0;
  EXPECT_TRUE(ini.SystemInt("PYXRemote", "KeyFirstDelay", 1, &first));
  EXPECT_TRUE(ini.SystemInt("PYXRemote", "KeyRepeatDelay", 1, &repeat));
  EXPECT_EQ(first, 640);
  EXPECT_EQ(repeat, 1);
  int32_t untouched = 5;
  EXPECT_FALSE(platform::IniFile(platform::IniFile::InMemory{}, "[PYXRemote]\nKeyFirstDelay=9\n")
                   .SystemInt("PYXRemote", "KeyFirstDelay", 1, &untouched));
  EXPECT_EQ(untouched, 5);
  EXPECT_FALSE(platform::IniFile(".\\none.ini").found());
}

}  // namespace
}  // namespace pyx
