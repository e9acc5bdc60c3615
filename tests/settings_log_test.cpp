// The log and the settings it reloads, in a temporary current directory.
#include "card/settings_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "card/card_remote.h"
#include "tests/ini_cases.h"
#include "tests/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace pyx {
namespace {

using testing::kEol;
using testing::WriteFile;

std::string Lines(std::initializer_list<std::string> lines) {
  std::string out;
  for (const std::string& line : lines) out += line + kEol;
  return out;
}

// The settings in force in the process.
Settings InForce() { return ProcessSettings().Current()->settings(); }

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

// A pyx.ini that is there but cannot be read, while this lives: on Windows
// one that another program holds open, on POSIX a link to itself (root
// reads any file, whatever its permissions).
class UnreadablePyxIni {
 public:
#ifdef _WIN32
  static constexpr int kError = ERROR_SHARING_VIOLATION;
  UnreadablePyxIni() {
    WriteFile("pyx.ini", "[PYXRemote]\nKeyRepeatDelay=7\n");
    held_ = CreateFileA("pyx.ini", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  ~UnreadablePyxIni() { CloseHandle(held_); }

 private:
  HANDLE held_;
#else
  static constexpr int kError = ELOOP;
  UnreadablePyxIni() { std::filesystem::create_symlink("pyx.ini", "pyx.ini"); }
#endif
};

// Line 2 names pyx.ini by its full path and says what was found there:
// nothing, a folder, a file that cannot be read, or one without our section.
TEST_F(LogAndSettings, TheBannerSaysWherePyxIniIsAndWhatItHolds) {
  char path[512];
  platform::FullPath(platform::kIniPath, path, sizeof path);
  const std::string head = "> PYXRemote " PYX_VERSION " (" + std::to_string(sizeof(void*) * 8) +
                           "-bit), settings from " + path;
  const std::string unreadable =
      ": cannot be read (error " + std::to_string(UnreadablePyxIni::kError) + "), ";
  enum Kind { kNone, kFile, kFolder, kUnreadable };
  const struct {
    Kind kind;
    std::string ini;
    std::string tail;
    int32_t repeat_delay;  // in force after
  } rows[] = {
      {kNone, "", ": not found, defaults in force", 500},
      {kFolder, "", ": a folder, not a file; defaults in force", 500},
      {kUnreadable, "", unreadable + "defaults in force", 500},
      {kFile, "[Other]\nKeyRepeatDelay=5\n", ": no [PYXRemote] section", 500},
      {kFile, "[PYXRemote]\nKeyRepeatDelay=250\n", " [PYXRemote]", 250},
      {kFile, testing::Utf16("[PYXRemote]\r\nKeyRepeatDelay=7\r\n").substr(2),
       ": no [PYXRemote] section: it is UTF-16 without a byte-order mark, read as 8-bit text; "
       "save it as ANSI, UTF-8 or Unicode",
       250},
      {kNone, "", ": not found, the settings read before kept", 250},
      {kFolder, "", ": a folder, not a file; the settings read before kept", 250},
      {kUnreadable, "", unreadable + "the settings read before kept", 250},
  };
  for (const auto& [kind, ini, tail, repeat_delay] : rows) {
    std::filesystem::remove("PYXRemote.log");
    std::filesystem::remove_all("pyx.ini");
    if (kind == kFile) WriteFile("pyx.ini", ini);
    if (kind == kFolder) std::filesystem::create_directory("pyx.ini");
    std::string log;
    if (kind == kUnreadable) {
      UnreadablePyxIni held;
      log = Construct();
    } else {
      log = Construct();
    }
    EXPECT_EQ(log.substr(0, log.find(kEol, log.find(kEol) + 1) + std::strlen(kEol)),
              Lines({"> Initializing Tarvikon remote module.", head + tail}))
        << tail;
    EXPECT_EQ(InForce().repeat_delay, repeat_delay) << tail;
  }
  std::filesystem::remove_all("pyx.ini");
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

// The lines after the banner, each without its line end.
std::vector<std::string> AfterLineTwo(const std::string& log) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = log.find(kEol, start)) != std::string::npos;
       start = end + std::strlen(kEol)) {
    lines.push_back(log.substr(start, end - start));
  }
  lines.erase(lines.begin(), lines.begin() + std::min<size_t>(2, lines.size()));
  return lines;
}

// From line 3 on: the delays in force, the options in force, then each line
// of pyx.ini that does not take effect as written, in file order, then what
// the delays in force do.
TEST_F(LogAndSettings, ConstructionSaysWhatPyxIniSetsAndEachLineThatDoesNotTakeEffect) {
  for (const testing::ReadingCase& row : testing::ReadingCases()) {
    ResetSettings();
    std::filesystem::remove("PYXRemote.log");
    WriteFile("pyx.ini", row.ini);
    EXPECT_EQ(AfterLineTwo(Construct()), row.lines) << row.what;
  }
  // The sample the release ships.
  ResetSettings();
  std::filesystem::remove("PYXRemote.log");
  const std::string sample = testing::ReadFile(PYX_SAMPLE_INI_PATH);
  ASSERT_NE(sample.find("[PYXRemote]"), std::string::npos) << PYX_SAMPLE_INI_PATH;
  WriteFile("pyx.ini", sample);
  EXPECT_EQ(AfterLineTwo(Construct()),
            std::vector<std::string>{"> KeyFirstDelay=1000, KeyRepeatDelay=500"})
      << PYX_SAMPLE_INI_PATH;
}

// Findings past kLoggedFindings are counted, not listed: a broken file
// cannot flood the log at each construction.
TEST_F(LogAndSettings, ConstructionListsAtMostItsShareOfFindingsAndCountsTheRest) {
  std::string ini = "[PYXRemote]\n";
  for (int i = 0; i < kLoggedFindings + 7; ++i) ini += "Bad" + std::to_string(i) + "=1\n";
  WriteFile("pyx.ini", ini);
  const std::vector<std::string> lines = AfterLineTwo(Construct());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLoggedFindings + 2));
  EXPECT_EQ(lines[1], "> [PYXRemote] Bad0=1: no such setting, ignored");
  EXPECT_EQ(lines.back(),
            "> 7 more findings about pyx.ini are not listed here; remote-host --settings lists "
            "them");
}

// The reading that the log explains is the one that acts: which row each
// code reports, and which codes do not repeat.
TEST_F(LogAndSettings, EachCodeReportsTheKeyTheLogSays) {
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
      {"two rows on one code: the first line", "[PYXRemote Keys]\nKey_Capture=2\nKey_AutoScan=2\n",
       2, "Key_Capture", true},
      {"... and the other is nowhere", "[PYXRemote Keys]\nKey_Record=40\nKey_Mute=40\n", 24, "",
       true},
      {"a moved row takes the code of another", "[PYXRemote Keys]\nKey_Play=30\n", 30, "Key_Play",
       true},
      {"the code a moved row leaves goes to the next", "[PYXRemote Keys]\nKey_Audio=5\n", 14,
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
    LoadSettings();
    const KeyMap keys = InForce().keys;
    EXPECT_STREQ(keys.Row(row.code) != nullptr ? keys.Row(row.code)->name : "", row.reported)
        << row.what;
    EXPECT_EQ(keys.Repeats(row.code), row.repeats) << row.what;
  }
  WriteFile("pyx.ini", rows[1].ini);
  LoadSettings();
  std::filesystem::remove("pyx.ini");
  LoadSettings();
  EXPECT_STREQ(InForce().keys.Row(14)->name, "Key_AutoScan") << "a missing file keeps all";
  WriteFile("pyx.ini", "[PYXRemote]\n");
  LoadSettings();
  EXPECT_STREQ(InForce().keys.Row(14)->name, "Key_Audio");
}

// Readings published while workers take them: each use sees one reading
// whole, its delays and its keymap together, and a reading goes only when
// its last holder lets go of it.
TEST(ModuleSettings, EachUseTakesOneReadingWhole) {
  ModuleSettings settings;
  Settings a = kDefaultSettings, b = kDefaultSettings;
  a.first_delay = a.repeat_delay = 1;
  b.first_delay = b.repeat_delay = 2;
  for (int32_t code = 0; code < KeyMap::kCodes; ++code) {
    a.keys.Set(code, 0, true);
    b.keys.Set(code, 1, false);
  }
  settings.Publish(MakeSettings(a));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 1; i < 20000; ++i) settings.Publish(MakeSettings(i % 2 == 0 ? a : b));
    done = true;
  });
  int mixed = 0, reads = 0;
  while (!done) {
    const SettingsRef reading = settings.Current();
    const Settings& now = reading->settings();
    const int32_t first = now.keys.RowIndex(0);
    mixed += now.first_delay != first + 1 || now.repeat_delay != first + 1;
    for (int32_t code = 1; code < KeyMap::kCodes; ++code) mixed += now.keys.RowIndex(code) != first;
    mixed += now.keys.Repeats(63) != (first != 1);
    ++reads;
  }
  writer.join();
  EXPECT_EQ(mixed, 0) << "in " << reads << " reads";
}

// A reload after construction that changes what is in force says, in one
// line, what it changed; a reload of an unchanged file adds nothing.
TEST_F(LogAndSettings, AReloadThatChangesWhatIsInForceSaysWhatItChanged) {
  WriteFile("pyx.ini", "[PYXRemote]\nKeyRepeatDelay=500\n");
  LogMessage("one\n");
  WriteFile("pyx.ini",
            "[PYXRemote]\nKeyRepeatDelay=101\nKeyTrace=1\n[PYXRemote Keys]\nKey_Play=37\n"
            "[PYXRemote NoRepeat]\nKey_Power=1\n");
  LogMessage("two\n");
  LogMessage("three\n");
  std::filesystem::remove("pyx.ini");
  LogMessage("four\n");
  EXPECT_EQ(Log(), Lines({"one", "two",
                          "pyx.ini read again: KeyRepeatDelay=101 (was 500); KeyTrace=1 (was 0); "
                          "code 30: Key_Power once per press (was Key_Power); code 37: Key_Play "
                          "(was none)",
                          "three", "four"}));
  EXPECT_EQ(InForce().repeat_delay, 101);
}

TEST_F(LogAndSettings, ConstructionLoadsTheIniBeforeItsThirdLine) {
  WriteFile("pyx.ini", "[PYXRemote]\nKeyRepeatDelay=250\n");
  EXPECT_NE(Construct().find("> KeyFirstDelay=1000, KeyRepeatDelay=250"), std::string::npos);
  EXPECT_EQ(InForce().first_delay, 1000);
  EXPECT_EQ(InForce().repeat_delay, 250);
}

TEST_F(LogAndSettings, EveryWrittenLineReloadsTheSettings) {
  LogMessage("x\n");
  EXPECT_EQ(InForce().first_delay, 1000);
  WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=10\nKeyRepeatDelay=20\n");
  LogMessage("x\n");
  EXPECT_EQ(InForce().first_delay, 10);
  EXPECT_EQ(InForce().repeat_delay, 20);
  // A key that goes missing keeps the value it gave.
  WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=0\n");
  LogMessage("x\n");
  EXPECT_EQ(InForce().first_delay, 0);
  EXPECT_EQ(InForce().repeat_delay, 20);
  // The next object starts from what the last one left.
  std::filesystem::remove("pyx.ini");
  EXPECT_NE(Construct().find("> KeyFirstDelay=0, KeyRepeatDelay=20"), std::string::npos);
}

TEST_F(LogAndSettings, KeyPollDuringDelayIsOnForAnyValueButZeroAndIsNotLogged) {
  EXPECT_FALSE((InForce().poll_during_delay != 0));
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
    EXPECT_EQ((InForce().poll_during_delay != 0), on) << line;
  }
  EXPECT_NE(Construct().find("> KeyFirstDelay=1000, KeyRepeatDelay=500" + std::string(kEol)),
            std::string::npos);
}

TEST_F(LogAndSettings, NegativeValuesAreNotTaken) {
  WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=-1\nKeyRepeatDelay=-500\n");
  LogMessage("x\n");
  EXPECT_EQ(InForce().first_delay, 1000);
  EXPECT_EQ(InForce().repeat_delay, 500);
  WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=0x7fffffff\nKeyRepeatDelay=4294967295\n");
  LogMessage("x\n");
  EXPECT_EQ(InForce().first_delay, 0x7fffffff);
  EXPECT_EQ(InForce().repeat_delay, 500);  // reads as -1
}

TEST_F(LogAndSettings, AnUnopenableLogDropsTheMessageAndLeavesTheIniUnread) {
  std::filesystem::create_directory("PYXRemote.log");
  WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=10\nKeyRepeatDelay=20\n");
  LogMessage("lost\n");
  EXPECT_EQ(InForce().first_delay, 1000);
  EXPECT_EQ(InForce().repeat_delay, 500);
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_NE(module, nullptr);
  module->Release();
  EXPECT_EQ(InForce().first_delay, 1000);
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
