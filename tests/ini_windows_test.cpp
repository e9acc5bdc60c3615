// Our INI reader beside the system's GetPrivateProfileIntA: the same pyx.ini
// files, the same values. This is what keeps a pyx.ini portable between
// the Windows module and the Linux one.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "platform/ini_parse.h"
#include "platform/platform.h"
#include "tests/ini_cases.h"
#include "tests/temp_dir.h"

namespace pyx {
namespace {

class IniAgainstWindows : public testing::InTempDir {};

TEST_F(IniAgainstWindows, BothReadersGiveTheSameValueForEveryFile) {
  for (const auto& c : testing::IniCases()) {
    testing::WriteFile("pyx.ini", c.text);
    const int32_t system = static_cast<int32_t>(
        GetPrivateProfileIntA("PYXRemote", "KeyFirstDelay", testing::kIniDefault, ".\\pyx.ini"));
    const int32_t ours =
        platform::IniLookupInt(c.text, "PYXRemote", "KeyFirstDelay", testing::kIniDefault);
    EXPECT_EQ(ours, system) << c.what;
    EXPECT_EQ(system, c.expected) << c.what;
  }
}

TEST_F(IniAgainstWindows, BothListTheSameKeysSectionsAndStrings) {
  for (const auto& c : testing::IniKeysCases()) {
    testing::WriteFile("pyx.ini", c.text);
    const platform::IniFile system(".\\pyx.ini");
    char names[512];
    system.KeyNames("PYXRemote Keys", names, sizeof names);
    EXPECT_EQ(testing::JoinNames(names), c.names) << c.what;
    char value[64];
    const bool found = system.String("PYXRemote Keys", "Key_Play", value, sizeof value);
    EXPECT_EQ(found ? std::string(value) : "-", c.key_play) << c.what;
  }
  for (const auto& [text, has, names] : testing::IniSectionCases()) {
    testing::WriteFile("pyx.ini", text);
    const platform::IniFile system(".\\pyx.ini");
    EXPECT_EQ(system.HasSection("PYXRemote"), has) << text;
    char listed[512];
    system.SectionNames(listed, sizeof listed);
    EXPECT_EQ(testing::JoinNames(listed), names) << text;
  }
  EXPECT_TRUE(platform::IniFile(".\\pyx.ini").found());
  EXPECT_FALSE(platform::IniFile(".\\none.ini").found());
}

TEST_F(IniAgainstWindows, TheModuleReadsDotBackslashPyxIni) {
  testing::WriteFile("pyx.ini", "[PYXRemote]\r\nKeyFirstDelay=640\r\n");
  EXPECT_STREQ(platform::kIniPath, ".\\pyx.ini");
  const platform::IniFile ini(platform::kIniPath);
  EXPECT_EQ(ini.Int("PYXRemote", "KeyFirstDelay", 1), 640);
  EXPECT_EQ(ini.Int("PYXRemote", "KeyRepeatDelay", 1), 1);
}

}  // namespace
}  // namespace pyx
