// The card module on real threads with short delays: the key table, what a
// poll cycle does to the registers, the log lines of a run, and a worker
// that is still asleep when Stop gives up on it.
#include "card/card_remote.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "tests/fakes.h"
#include "tests/temp_dir.h"

namespace pyx {
namespace {

using namespace std::chrono_literals;
using testing::FakeDevice;
using testing::FakeSink;
using testing::WaitUntil;

constexpr uint32_t KeyDown(uint32_t code) { return code << 8; }

struct KeyRow {
  int32_t code;
  std::string name, command;
};

std::string TrimCell(const std::string& cell) {
  const size_t first = cell.find_first_not_of(' ');
  return first == std::string::npos ? ""
                                    : cell.substr(first, cell.find_last_not_of(' ') - first + 1);
}

// A table of a guide, row by row, cells trimmed: the rows under `heading`
// whose first cell is a number.
std::vector<std::vector<std::string>> GuideTable(const char* path, const std::string& heading) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  bool in_section = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) in_section = line == heading;
    if (!in_section || line.rfind("| ", 0) != 0) continue;
    std::vector<std::string> cells;
    std::stringstream row(line.substr(1));
    for (std::string cell; std::getline(row, cell, '|');) cells.push_back(TrimCell(cell));
    if (!cells.empty() && !cells[0].empty() && std::isdigit(cells[0][0])) rows.push_back(cells);
  }
  return rows;
}

// The key table as the host guide states it, apart from the code.
std::vector<KeyRow> GuideKeyTable() {
  std::vector<KeyRow> rows;
  for (const auto& cells : GuideTable(PYX_HOST_GUIDE_PATH, "## The key table")) {
    if (cells.size() == 5) rows.push_back({std::stoi(cells[1]), cells[3], cells[4]});
  }
  return rows;
}

TEST(CardKeyTable, EveryRowIsTheOneTheHostGuideStates) {
  const std::vector<KeyRow> rows = GuideKeyTable();
  ASSERT_EQ(rows.size(), static_cast<size_t>(kCardKeyCount)) << PYX_HOST_GUIDE_PATH;
  for (int32_t i = 0; i < kCardKeyCount; ++i) {
    EXPECT_EQ(CardKeyTable[i].code, rows[i].code) << "row " << i;
    EXPECT_EQ(CardKeyTable[i].name, rows[i].name) << "row " << i;
    EXPECT_EQ(CardKeyTable[i].command, rows[i].command) << "row " << i;
  }
}

// The user's guide lists each code the card can report, with its key, in
// two halves of one table.
TEST(CardKeyTable, TheUsersGuideListsEveryKeyThatCanBeReported) {
  std::map<int32_t, std::string> listed;
  for (const auto& cells : GuideTable(PYX_USER_GUIDE_PATH, "## The remote's keys")) {
    for (size_t at = 0; at + 1 < cells.size(); at += 3) {
      if (!cells[at].empty()) listed[std::stoi(cells[at])] = cells[at + 1];
    }
  }
  std::map<int32_t, std::string> reported;
  for (int32_t code = 0; code < 64; ++code) {
    if (const KeyEntry* entry = kCardKeyMap.Row(code)) {
      reported[code] = entry->name;
    }
  }
  EXPECT_EQ(listed, reported);
}

TEST(CardKeyTable, ReportsOneNameForEachCodeTheCardCanYield) {
  std::set<std::string> reachable;
  for (int32_t code = 0; code < 64; ++code) {
    if (const KeyEntry* entry = kCardKeyMap.Row(code)) {
      reachable.insert(entry->name);
    }
  }
  EXPECT_EQ(reachable.size(), 29u);  // 36 rows, less two shadowed and five 255s
  EXPECT_EQ(reachable.count("Key_AutoScan") + reachable.count("Key_Capture"), 0u);
  EXPECT_EQ(reachable.count("Key_Play") + reachable.count("Key_Cyan"), 0u);

  EXPECT_STREQ(kCardKeyMap.Row(14)->name, "Key_Audio");
  EXPECT_STREQ(kCardKeyMap.Row(30)->command, "Power");
  EXPECT_STREQ(kCardKeyMap.Row(0)->name, "Key_Record");
  EXPECT_STREQ(kCardKeyMap.Row(19)->command, "Recall");
  for (int32_t code : {4, 12, 15, 32, 63}) {
    EXPECT_EQ(kCardKeyMap.Row(code), nullptr) << code;
  }
}

TEST(CardKeyTable, RowsAreNulPaddedAndInTheirOrder) {
  EXPECT_EQ(CardKeyTable[0].code, 3);
  EXPECT_STREQ(CardKeyTable[0].name, "Key_TV/FM");
  EXPECT_STREQ(CardKeyTable[35].name, "Key_Cyan");
  EXPECT_EQ(CardKeyTable[35].code, 255);
  for (const KeyEntry& entry : CardKeyTable) {
    EXPECT_EQ(std::strncmp(entry.name, "Key_", 4), 0) << entry.name;
    const size_t len = std::strlen(entry.name);
    for (size_t i = len; i < sizeof entry.name; ++i) ASSERT_EQ(entry.name[i], '\0') << entry.name;
  }
}

class CardModule : public testing::InTempDir {
 protected:
  void SetUp() override {
    InTempDir::SetUp();
    ResetSettings(60, 20);
  }
};

TEST_F(CardModule, HeldKeyIsReportedByNameThenRepeatedAndTheWorkerSaysGoodbye) {
  FakeSink sink;
  FakeDevice device;
  device.registers.data = KeyDown(14);
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_NE(module, nullptr);
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  ASSERT_TRUE(sink.WaitForReports(3));
  EXPECT_EQ(module->Stop(), S_OK);
  EXPECT_EQ(module->Release(), 0u);

  const auto reports = sink.reports();
  for (const auto& report : reports) {
    EXPECT_EQ(report.name, "Key_Audio");
    EXPECT_EQ(report.command, "");
  }
  // First delay between the first two reports, repeat delay after that.
  EXPECT_GE(reports[1].at - reports[0].at, 55ms);
  EXPECT_GE(reports[2].at - reports[1].at, 15ms);
  EXPECT_LT(reports[2].at - reports[1].at, reports[1].at - reports[0].at);

  EXPECT_EQ(device.refs(), 1u);
  EXPECT_EQ(device.registers.refs(), 1u);
  EXPECT_EQ(device.registers.unheld_calls, 0);
  EXPECT_EQ(sink.refs(), 1u);
  const std::string log = Log();
  const std::string bye = std::string("Tarvikon: Break event received. Bye!") + testing::kEol;
  ASSERT_GE(log.size(), bye.size());
  EXPECT_EQ(log.substr(log.size() - bye.size()), bye);
}

// Through the export, with pyx.ini moving keys, holding back Power's
// repeats and tracing: code 14 reports the moved Key_AutoScan, code 37
// Key_Play with its row's command, Power held 600 ms reports once, and the
// log holds a trace line for each event.
TEST_F(CardModule, PyxIniMovesKeysWithholdsRepeatsAndTracesEachEvent) {
  testing::WriteFile(
      "pyx.ini",
      "[PYXRemote]\nKeyFirstDelay=300\nKeyRepeatDelay=20\nKeyPollDuringDelay=1\nKeyTrace=1\n"
      "[PYXRemote Keys]\nKey_AutoScan=14\nKey_Play=37\n"
      "[PYXRemote NoRepeat]\nKey_Power=1\n");
  FakeSink sink;
  FakeDevice device;
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  const auto hold = [&](uint32_t code, std::chrono::milliseconds how_long) {
    device.registers.data = KeyDown(code);
    std::this_thread::sleep_for(how_long);
    device.registers.data = 0x4000 | KeyDown(code);
    std::this_thread::sleep_for(100ms);
  };
  hold(14, 30ms);
  hold(37, 30ms);
  hold(30, 600ms);
  module->Release();
  const auto reports = sink.reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].name, "Key_AutoScan");
  EXPECT_EQ(reports[1].name, "Key_Play");
  EXPECT_EQ(reports[2].name, "Key_Power");
  EXPECT_EQ(reports[2].command, "Power");
  const std::string log = Log();
  for (const char* line :
       {"code 14, Key_AutoScan: first press, reported", "code 14, Key_AutoScan: released",
        "code 37, Key_Play: first press, reported", "code 30, Key_Power: first press, reported",
        "code 30, Key_Power: held, not reported: the key does not repeat",
        "code 30, Key_Power: released"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << " in " << log;
  }
}

// Through the export, every code the card can yield: the name and command
// of the host guide's first row with that code, or nothing.
TEST_F(CardModule, EachOfTheSixtyFourCodesReportsItsFirstRowOrNothing) {
  ResetSettings(1, 1);
  const std::vector<KeyRow> rows = GuideKeyTable();
  FakeSink sink;
  FakeDevice device;
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  auto two_cycles = [&] {
    const size_t from = device.registers.access_count();
    ASSERT_TRUE(WaitUntil([&] { return device.registers.access_count() >= from + 6; }));
  };
  for (uint32_t code = 0; code < 64; ++code) {
    const size_t before = sink.reports().size();
    device.registers.data = KeyDown(code);
    two_cycles();
    device.registers.data = 0x4000 | KeyDown(code);
    two_cycles();
    const auto reports = sink.reports();
    const auto row = std::find_if(rows.begin(), rows.end(),
                                  [&](const KeyRow& r) { return r.code == int32_t(code); });
    if (row == rows.end()) {
      EXPECT_EQ(reports.size(), before) << "code " << code;
      continue;
    }
    EXPECT_GT(reports.size(), before) << "code " << code;
    for (size_t i = before; i < reports.size(); ++i) {
      EXPECT_EQ(reports[i].name, row->name) << "code " << code;
      EXPECT_EQ(reports[i].command, row->command) << "code " << code;
    }
  }
  module->Release();
  EXPECT_EQ(device.registers.unheld_calls, 0);
}

TEST_F(CardModule, EachCycleReassertsThePinDirectionsThenReadsTheData) {
  FakeSink sink;
  FakeDevice device;
  device.registers.enable = 0xFFFFFFFFu;
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return device.registers.access_count() >= 9; }));
  module->Release();

  const auto accesses = device.registers.accesses();
  ASSERT_GE(accesses.size(), 9u);
  for (size_t i = 0; i + 3 <= accesses.size(); i += 3) {
    EXPECT_EQ(accesses[i].op, 'R');
    EXPECT_EQ(accesses[i].offset, 0x118u);
    EXPECT_EQ(accesses[i].value, i == 0 ? 0xFFFFFFFFu : 0x00FF80FFu);
    EXPECT_EQ(accesses[i + 1].op, 'W');
    EXPECT_EQ(accesses[i + 1].offset, 0x118u);
    EXPECT_EQ(accesses[i + 1].value, 0x00FF80FFu);
    EXPECT_EQ(accesses[i + 2].op, 'R');
    EXPECT_EQ(accesses[i + 2].offset, 0x200u);
  }
  EXPECT_EQ(accesses.size() % 3, 0u);
  EXPECT_TRUE(sink.reports().empty());
}

TEST_F(CardModule, AnySuccessCodeFromTheDeviceHandsOverRegisterAccess) {
  FakeSink sink;
  FakeDevice device;
  device.answer = 1;  // S_FALSE, with the interface
  device.registers.data = KeyDown(24);
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  EXPECT_TRUE(sink.WaitForReports(1));
  module->Release();
  ASSERT_FALSE(sink.reports().empty());
  EXPECT_EQ(sink.reports()[0].name, "Key_Mute");
  EXPECT_EQ(device.registers.refs(), 1u);
}

// Start has answered S_OK by then: the log says why nothing is polled.
TEST_F(CardModule, ADeviceWithoutRegisterAccessEndsTheWorkerWithALogLine) {
  for (bool answer_null : {false, true}) {
    SCOPED_TRACE(answer_null ? "S_OK with a null pointer" : "E_NOINTERFACE");
    FakeSink sink;
    FakeDevice device;
    device.refuse = !answer_null;
    device.answer_null = answer_null;
    IRemoteModule* module = GetInterfacePtr();
    ASSERT_EQ(module->Start(&sink, &device), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return device.queries == 1; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(module->Stop(), S_OK);
    module->Release();
    EXPECT_EQ(device.registers.access_count(), 0u);
    EXPECT_EQ(device.refs(), 1u);
    EXPECT_EQ(sink.refs(), 1u);
    EXPECT_EQ(Log().find("Bye"), std::string::npos);
    EXPECT_NE(Log().find(std::string("Tarvikon: no access to the card: the application's device "
                                     "answered ") +
                         (answer_null ? "0x00000000 with no interface" : "0x80004002") +
                         ". No key is read until the application starts the remote again." +
                         testing::kEol),
              std::string::npos)
        << Log();
  }
}

TEST_F(CardModule, ReadsThatFailReadAsZeroWhichIsKeyRecordDown) {
  ResetSettings(5, 5);
  FakeSink sink;
  FakeDevice device;
  // A key first, so that the variables have held other values before.
  device.registers.data = KeyDown(30);
  device.registers.enable = 0xFFFFFFFFu;
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  ASSERT_TRUE(sink.WaitForReports(1));
  device.registers.fail_reads = true;
  EXPECT_TRUE(WaitUntil([&] { return sink.reports().back().name == "Key_Record"; }));
  module->Release();
  EXPECT_EQ(sink.reports()[0].name, "Key_Power");
  // A failed read of the enable register (recorded as 0; a good one is never
  // 0 here) is written back as if it had read 0.
  const auto accesses = device.registers.accesses();
  int failed = 0;
  for (size_t i = 0; i + 1 < accesses.size(); ++i) {
    if (accesses[i].op != 'R' || accesses[i].offset != 0x118 || accesses[i].value != 0) continue;
    ++failed;
    EXPECT_EQ(accesses[i + 1].value, 0x00008000u);
  }
  EXPECT_GT(failed, 0);
}

TEST_F(CardModule, StopDuringTheFirstDelayEndsTheWorkerOnlyAfterIt) {
  ResetSettings(300, 20);
  FakeSink sink;
  FakeDevice device;
  device.registers.data = KeyDown(30);
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  ASSERT_TRUE(sink.WaitForReports(1));
  std::this_thread::sleep_for(30ms);  // into the delay's sleep
  const auto before = testing::Clock::now();
  module->Stop();
  EXPECT_GE(testing::Clock::now() - before, 200ms);
  EXPECT_EQ(sink.reports().size(), 1u);
  EXPECT_EQ(sink.reports()[0].name, "Key_Power");
  EXPECT_NE(Log().find(std::string("Tarvikon: Break event received. Bye!") + testing::kEol),
            std::string::npos);
  module->Release();
}

// A Stop from inside OnKey (a Power key that closes the application): the
// worker ends as the call returns, not after KeyFirstDelay, and gives back
// the registers.
TEST_F(CardModule, StopFromInsideOnKeyEndsTheWorkerAsTheCallReturns) {
  ResetSettings(1000, 500);
  FakeSink sink;
  FakeDevice device;
  device.registers.data = KeyDown(30);
  IRemoteModule* module = GetInterfacePtr();
  std::atomic<bool> returned{false};
  testing::Clock::time_point returned_at;
  sink.SetOnKey([&] {
    if (returned) return;
    module->Stop();
    returned_at = testing::Clock::now();
    returned = true;
  });
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return returned.load(); }));
  ASSERT_TRUE(WaitUntil([&] { return device.registers.refs() == 1; }));
  EXPECT_LT(testing::Clock::now() - returned_at, 300ms);
  EXPECT_EQ(sink.refs(), 1u);
  EXPECT_NE(Log().find("Bye!"), std::string::npos);
  EXPECT_EQ(module->Release(), 0u);
}

TEST_F(CardModule, PollingDuringDelaysSeesAnotherKeyAndAStopAtOnce) {
  ResetSettings(2000, 2000, 1);
  FakeSink sink;
  FakeDevice device;
  device.registers.data = KeyDown(1);
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  ASSERT_TRUE(sink.WaitForReports(1));
  device.registers.data = KeyDown(11);
  ASSERT_TRUE(sink.WaitForReports(2, 500ms));
  const auto before = testing::Clock::now();
  module->Stop();
  EXPECT_LT(testing::Clock::now() - before, 200ms);
  module->Release();
  const auto reports = sink.reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].name, "Key_1");
  EXPECT_EQ(reports[1].name, "Key_2");
}

TEST_F(CardModule, AWorkerAsleepPastStopsWaitLeavesDeviceAndSinkToStop) {
  ResetSettings(400, 20);
  FakeSink sink;
  FakeDevice device;
  device.registers.data = KeyDown(30);
  IRemoteModule* module = new (std::nothrow) CardRemoteModule(/*stop_wait_ms=*/50);
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  ASSERT_TRUE(sink.WaitForReports(1));
  std::this_thread::sleep_for(30ms);  // into the delay's sleep

  const auto before = testing::Clock::now();
  module->Stop();
  EXPECT_LT(testing::Clock::now() - before, 300ms);
  EXPECT_EQ(device.refs(), 1u);
  EXPECT_EQ(sink.refs(), 1u);
  EXPECT_EQ(device.counts().releasers(), std::vector{std::this_thread::get_id()});
  EXPECT_EQ(sink.counts().releasers(), std::vector{std::this_thread::get_id()});
  EXPECT_EQ(module->Release(), 0u);
  const auto stopped = testing::Clock::now();
  EXPECT_EQ(Log().find("Bye"), std::string::npos);  // still asleep

  // The worker lets go of its registers last, on its own thread.
  ASSERT_TRUE(WaitUntil([&] { return device.registers.refs() == 1; }));
  EXPECT_EQ(device.registers.unheld_calls, 0);
  EXPECT_NE(Log().find("Bye"), std::string::npos);
  for (const auto& report : sink.reports()) EXPECT_LT(report.at, stopped);
  EXPECT_EQ(sink.reports().size(), 1u);
}

}  // namespace
}  // namespace pyx
