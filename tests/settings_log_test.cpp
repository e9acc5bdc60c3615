// The log and the settings it reloads, in a temporary current directory.
#include "card/settings_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "card/card_remote.h"
#include "tests/temp_dir.h"

namespace pyx {
namespace {

using testing::kEol;
using testing::WriteFile;

std::string Lines(std::initializer_list<std::string> lines) {
  std::string out;
  for (const std::string& line : lines) out += line + kEol;
  return out;
}

class LogAndSettings : public testing::InTempDir {
 protected:
  // The three lines a new object writes.
  std::string Construct() {
    IRemoteModule* module = GetInterfacePtr();
    EXPECT_NE(module, nullptr);
    if (module) module->Release();
    return Log();
  }
};

TEST_F(LogAndSettings, MessagesAreAppendedExactlyAsFormatted) {
  WriteFile("PYXRemote.log", std::string("earlier run") + kEol);
  LogMessage("one %d\n", 1);
  LogMessage("%s=%d, x\n", "two", -2);
  LogMessage("no line end");
  EXPECT_EQ(Log(), Lines({"earlier run", "one 1", "two=-2, x"}) + "no line end");
}

// Line 2 names pyx.ini by its full path and says what was found there.
TEST_F(LogAndSettings, TheBannerSaysWherePyxIniIsAndWhatItHolds) {
  char path[512];
  platform::FullPath(platform::kIniPath, path, sizeof path);
  const std::string head = "> PYXRemote " PYX_VERSION " (" + std::to_string(sizeof(void*) * 8) +
                           "-bit), settings from " + path;
  const std::pair<const char*, std::string> rows[] = {
      {nullptr, ": not found, defaults in force"},
      {"[Other]\nKeyFirstDelay=5\n", ": no [PYXRemote] section"},
      {"[PYXRemote]\nKeyRepeatDelay=250\n", " [PYXRemote]"},
  };
  for (const auto& [ini, tail] : rows) {
    std::filesystem::remove("PYXRemote.log");
    if (ini != nullptr) WriteFile("pyx.ini", ini);
    const std::string log = Construct();
    EXPECT_EQ(log.substr(0, log.find(kEol, log.find(kEol) + 1) + std::strlen(kEol)),
              Lines({"> Initializing Tarvikon remote module.", head + tail}))
        << tail;
  }
  std::filesystem::remove("pyx.ini");
  EXPECT_NE(Construct().find(head + ": not found, the settings read before kept"),
            std::string::npos);
  EXPECT_TRUE(std::string(path).size() > std::strlen(platform::kIniPath));
}

// With no options beyond the two delays, construction writes its three
// lines and nothing else.
TEST_F(LogAndSettings, ConstructionWritesThreeLinesWhenPyxIniSetsOnlyTheDelays) {
  const std::pair<const char*, const char*> rows[] = {
      {"", "> KeyFirstDelay=1000, KeyRepeatDelay=500"},
      {"[PYXRemote]\nKeyFirstDelay=300\nKeyRepeatDelay=100\n",
       "> KeyFirstDelay=300, KeyRepeatDelay=100"},
  };
  for (const auto& [ini, third] : rows) {
    std::filesystem::remove("PYXRemote.log");
    WriteFile("pyx.ini", ini);
    const std::string log = Construct();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    EXPECT_EQ(log.substr(log.size() - std::strlen(third) - std::strlen(kEol)),
              third + std::string(kEol));
  }
}

// After line 3: each option in force, each value ignored or read other than
// written, and a delay below one poll; in that order.
TEST_F(LogAndSettings, ConstructionNamesWhatPyxIniSetsAndWhatItIgnored) {
  WriteFile("pyx.ini",
            "[PYXRemote]\nKeyFirstDelay=fast\nKeyRepeatDelay=-5\nKeyPollDuringDelay=yes\n"
            "KeyTrace=1\n"
            "[PYXRemote Keys]\nKey_AutoScan=14\nKey_Play=37\nKey_Nothing=3\nKey_Red=64\n"
            "Key_Cyan=blue\nKey_Play=38\n"
            "[PYXRemote NoRepeat]\nKey_Power=1\nKey_Mute=0\nKey_Bogus=1\nKey_Stop=yes\n");
  const std::string log = Construct();
  const std::string after = log.substr(log.find("> KeyFirstDelay=0, KeyRepeatDelay=500"));
  EXPECT_EQ(
      after,
      Lines({"> KeyFirstDelay=0, KeyRepeatDelay=500",
             "> KeyTrace=1: each key event is logged, at most 10000 lines a Start",
             "> Keys moved: Key_AutoScan=14, Key_Play=37", "> Keys that do not repeat: Key_Power",
             "> KeyFirstDelay=fast is not a number: read as 0",
             "> KeyRepeatDelay=-5 is negative: ignored",
             "> KeyPollDuringDelay=yes is not a number: read as 0",
             "> [PYXRemote Keys] Key_Nothing=3: no key of that name, ignored",
             "> [PYXRemote Keys] Key_Red=64: not a code from 0 to 63, ignored",
             "> [PYXRemote Keys] Key_Cyan=blue: not a code from 0 to 63, ignored",
             "> [PYXRemote Keys] Key_Play: named again, only its first line counts",
             "> [PYXRemote NoRepeat] Key_Bogus=1: no key of that name, ignored",
             "> [PYXRemote NoRepeat] Key_Stop=yes is not a number: read as 0, the key repeats",
             "> KeyFirstDelay=0 is below the 20 ms poll: a held key is reported again on the next "
             "read"}));
  WriteFile("pyx.ini", "[PYXRemote]\nKeyRepeatDelay=0\nKeyPollDuringDelay=2\nKeyTrace=0\n");
  std::filesystem::remove("PYXRemote.log");
  EXPECT_EQ(
      Construct().substr(log.find("> KeyFirstDelay=")),
      Lines({"> KeyFirstDelay=0, KeyRepeatDelay=0",
             "> KeyPollDuringDelay=2: the remote is read during key delays too",
             "> KeyRepeatDelay=0 is below the 20 ms poll: a held key is reported on every read"}));
}

// Which row each code reports, and which codes do not repeat, for the keys
// that [PYXRemote Keys] and [PYXRemote NoRepeat] move and hold back.
TEST_F(LogAndSettings, MovedKeysComeBeforeTheTablesOwnRows) {
  struct Row {
    const char* what;
    const char* ini;
    int32_t code;
    const char* reported;  // "" for none
    bool repeats;
  };
  const Row rows[] = {
      {"no keys section", "", 14, "Key_Audio", true},
      {"a shadowed row first", "[PYXRemote Keys]\nKey_AutoScan=14\n", 14, "Key_AutoScan", true},
      {"a row that had no code", "[PYXRemote Keys]\nKey_Play=37\n", 37, "Key_Play", true},
      {"a moved row leaves its code", "[PYXRemote Keys]\nKey_Power=5\n", 30, "", true},
      {"a moved row takes its new code", "[PYXRemote Keys]\nKey_Power=5\n", 5, "Key_Power", true},
      {"two rows on one code: table order", "[PYXRemote Keys]\nKey_Capture=2\nKey_AutoScan=2\n", 2,
       "Key_AutoScan", true},
      {"names in any case", "[pyxremote keys]\nkey_play=\" 40\"\n", 40, "Key_Play", true},
      {"a code out of range", "[PYXRemote Keys]\nKey_Play=64\n", 0, "Key_Record", true},
      {"a key that does not repeat", "[PYXRemote NoRepeat]\nKey_Power=1\n", 30, "Key_Power", false},
      {"0 repeats", "[PYXRemote NoRepeat]\nKey_Power=0\n", 30, "Key_Power", true},
      {"it goes with its row", "[PYXRemote Keys]\nKey_Power=5\n[PYXRemote NoRepeat]\nKey_Power=1\n",
       5, "Key_Power", false},
      {"a shadowed row's NoRepeat does not count", "[PYXRemote NoRepeat]\nKey_AutoScan=1\n", 14,
       "Key_Audio", true},
  };
  for (const Row& row : rows) {
    WriteFile("pyx.ini", row.ini);
    LoadSettings(Settings());
    const KeyEntry* entry = Settings().RowFor(row.code);
    EXPECT_STREQ(entry != nullptr ? entry->name : "", row.reported) << row.what;
    EXPECT_EQ((Settings().NoRepeatCodes() >> row.code & 1) == 0, row.repeats) << row.what;
  }
  WriteFile("pyx.ini", rows[1].ini);
  LoadSettings(Settings());
  std::filesystem::remove("pyx.ini");
  LoadSettings(Settings());
  EXPECT_EQ(Settings().RowFor(14)->name, std::string("Key_AutoScan")) << "a missing file keeps all";
  WriteFile("pyx.ini", "[PYXRemote]\n");
  LoadSettings(Settings());
  EXPECT_EQ(Settings().RowFor(14)->name, std::string("Key_Audio"));
}

TEST_F(LogAndSettings, ConstructionLoadsTheIniBeforeItsThirdLine) {
  WriteFile("pyx.ini", "[PYXRemote]\nKeyRepeatDelay=250\n");
  EXPECT_NE(Construct().find("> KeyFirstDelay=1000, KeyRepeatDelay=250"), std::string::npos);
  EXPECT_EQ(Settings().FirstDelay(), 1000);
  EXPECT_EQ(Settings().RepeatDelay(), 250);
}

TEST_F(LogAndSettings, EveryWrittenLineReloadsTheSettings) {
  LogMessage("x\n");
  EXPECT_EQ(Settings().FirstDelay(), 1000);
  WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=10\nKeyRepeatDelay=20\n");
  LogMessage("x\n");
  EXPECT_EQ(Settings().FirstDelay(), 10);
  EXPECT_EQ(Settings().RepeatDelay(), 20);
  // A key that goes missing keeps the value it gave.
  WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=0\n");
  LogMessage("x\n");
  EXPECT_EQ(Settings().FirstDelay(), 0);
  EXPECT_EQ(Settings().RepeatDelay(), 20);
  // The next object starts from what the last one left.
  std::filesystem::remove("pyx.ini");
  EXPECT_NE(Construct().find("> KeyFirstDelay=0, KeyRepeatDelay=20"), std::string::npos);
}

TEST_F(LogAndSettings, KeyPollDuringDelayIsOnForAnyValueButZeroAndIsNotLogged) {
  EXPECT_FALSE(Settings().PollDuringDelay());
  for (const auto& [line, on] : std::vector<std::pair<std::string, bool>>{
           {"KeyPollDuringDelay=1", true},
           {"KeyPollDuringDelay=0", false},
           {"KeyPollDuringDelay=-1", true},
           {"KeyPollDuringDelay=yes", false},  // reads as 0
           {"KeyPollDuringDelay=2", true},
           {"", true},  // missing: kept
       }) {
    WriteFile("pyx.ini", "[PYXRemote]\n" + line + "\n");
    LogMessage("x\n");
    EXPECT_EQ(Settings().PollDuringDelay(), on) << line;
  }
  EXPECT_NE(Construct().find("> KeyFirstDelay=1000, KeyRepeatDelay=500" + std::string(kEol)),
            std::string::npos);
}

TEST_F(LogAndSettings, NegativeValuesAreNotTaken) {
  WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=-1\nKeyRepeatDelay=-500\n");
  LogMessage("x\n");
  EXPECT_EQ(Settings().FirstDelay(), 1000);
  EXPECT_EQ(Settings().RepeatDelay(), 500);
  WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=0x7fffffff\nKeyRepeatDelay=4294967295\n");
  LogMessage("x\n");
  EXPECT_EQ(Settings().FirstDelay(), 0x7fffffff);
  EXPECT_EQ(Settings().RepeatDelay(), 500);  // reads as -1
}

TEST_F(LogAndSettings, AnUnopenableLogDropsTheMessageAndLeavesTheIniUnread) {
  std::filesystem::create_directory("PYXRemote.log");
  WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=10\nKeyRepeatDelay=20\n");
  LogMessage("lost\n");
  EXPECT_EQ(Settings().FirstDelay(), 1000);
  EXPECT_EQ(Settings().RepeatDelay(), 500);
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_NE(module, nullptr);
  module->Release();
  EXPECT_EQ(Settings().FirstDelay(), 1000);
  EXPECT_TRUE(std::filesystem::is_empty("PYXRemote.log"));
}

}  // namespace
}  // namespace pyx

namespace pyx {
namespace {

class ConcurrentLog : public testing::InTempDir {};

// Objects created on one thread while others write; every line whole.
TEST_F(ConcurrentLog, SixteenWritersLoseNoLineAndTearNone) {
  constexpr int kWriters = 16, kLines = 200;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([w] {
      for (int i = 0; i < kLines; ++i) {
        LogMessage("writer %02d line %03d: the quick brown fox jumps over the lazy dog\n", w, i);
      }
    });
  }
  for (int i = 0; i < 20; ++i) {
    IRemoteModule* module = GetInterfacePtr();
    if (module) module->Release();
  }
  for (auto& writer : writers) writer.join();

  const std::string log = Log();
  std::vector<int> seen(kWriters * kLines, 0);
  int constructions = 0, other = 0;
  size_t start = 0;
  const std::string eol = testing::kEol;
  for (size_t end; (end = log.find(eol, start)) != std::string::npos; start = end + eol.size()) {
    const std::string line = log.substr(start, end - start);
    int w = -1, i = -1;
    char tail[80] = {};
    if (std::sscanf(line.c_str(), "writer %2d line %3d: %79[^\n]", &w, &i, tail) == 3 &&
        std::string(tail) == "the quick brown fox jumps over the lazy dog" && w >= 0 &&
        w < kWriters && i >= 0 && i < kLines) {
      ++seen[static_cast<size_t>(w * kLines + i)];
    } else if (line.rfind("> ", 0) == 0) {
      ++constructions;
    } else {
      ++other;
      ADD_FAILURE() << "torn line: " << line;
    }
  }
  EXPECT_EQ(start, log.size()) << "the log ends inside a line";
  for (size_t k = 0; k < seen.size(); ++k) ASSERT_EQ(seen[k], 1) << "line " << k;
  EXPECT_EQ(constructions, 60);
  EXPECT_EQ(other, 0);
  std::printf("%zu writer lines and %d construction lines counted\n", seen.size(), constructions);
}

}  // namespace
}  // namespace pyx
