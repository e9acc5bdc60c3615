// The log and the settings it reloads, in a temporary current directory.
#include "card/settings_log.h"

#include <gtest/gtest.h>

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

TEST_F(LogAndSettings, ConstructionWritesThreeLinesWithTheDefaultsWhenThereIsNoIni) {
  const std::string log = Construct();
  const std::string first = std::string("> Initializing Tarvikon remote module.") + kEol;
  const std::string last = std::string("> KeyFirstDelay=1000, KeyRepeatDelay=500") + kEol;
  ASSERT_EQ(log.substr(0, first.size()), first);
  ASSERT_GE(log.size(), first.size() + last.size());
  EXPECT_EQ(log.substr(log.size() - last.size()), last);
  // The banner: version, 32- or 64-bit, and the settings file and section.
  const std::string banner = log.substr(first.size(), log.size() - first.size() - last.size());
  EXPECT_EQ(banner, "> PYXRemote " PYX_VERSION " (" + std::to_string(sizeof(void*) * 8) +
                        "-bit), settings from " + platform::kIniPath + " [PYXRemote]" + kEol);
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
