// The poll loop in simulated time: the card's data register follows a script
// of held keys, and each sleep advances a clock instead of waiting.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "card/key_table.h"
#include "card/poller.h"

namespace pyx {
namespace {

constexpr uint32_t KeyDown(uint32_t code) { return code << 8; }
constexpr uint32_t NoKey(uint32_t code_bits) { return (code_bits << 8) | 0x4000; }

struct Segment {
  uint64_t until_ms;  // the data holds until this time
  uint32_t data;
};

// The receiver as seen on the data register, over simulated time.
class ScriptedCard final : public IRegisterAccess {
 public:
  ScriptedCard(const uint64_t& now, std::vector<Segment> script)
      : now_(now), script_(std::move(script)) {}

  HRESULT PYX_CALL QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PYX_CALL AddRef() override { return 1; }
  ULONG PYX_CALL Release() override { return 1; }
  HRESULT PYX_CALL Placeholder() override { return S_OK; }
  HRESULT PYX_CALL ReadRegister(uint32_t offset, uint32_t* value) override {
    if (offset == kPinDataRegister) {
      ++data_reads;
      *value = DataAt(now_);
    } else {
      *value = enable;
    }
    return S_OK;
  }
  HRESULT PYX_CALL WriteRegister(uint32_t offset, uint32_t value) override {
    if (offset == kPinEnableRegister) enable = value;
    return S_OK;
  }

  uint32_t enable = 0;
  int data_reads = 0;

 private:
  uint32_t DataAt(uint64_t t) const {
    for (const Segment& s : script_) {
      if (t < s.until_ms) return s.data;
    }
    return NoKey(0);
  }
  const uint64_t& now_;
  std::vector<Segment> script_;
};

struct Seen {
  uint64_t at_ms;
  int32_t code;
  bool operator==(const Seen& o) const { return at_ms == o.at_ms && code == o.code; }
};

std::ostream& operator<<(std::ostream& out, const Seen& r) {
  return out << r.code << "@" << r.at_ms;
}

// Clock, stop and reports. The stop comes at `end_ms`, or after the sleep
// of cycle `max_cycles` (zero delays make cycles that take no simulated
// time).
class SimulatedContext final : public RunContext {
 public:
  explicit SimulatedContext(uint64_t end_ms, int max_cycles = 100000)
      : end_ms_(end_ms), max_cycles_(max_cycles) {}
  HRESULT QueryDevice(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  bool StopRequested() override {
    return stop || now >= end_ms_ || sleeps.size() >= static_cast<size_t>(max_cycles_);
  }
  bool ReadRegister(IRegisterAccess& registers, uint32_t offset, uint32_t* value) override {
    registers.ReadRegister(offset, value);
    return true;
  }
  bool WriteRegister(IRegisterAccess& registers, uint32_t offset, uint32_t value) override {
    registers.WriteRegister(offset, value);
    return true;
  }
  void DispatchKey(int32_t code, const KeyMap& keys) override {
    reports.push_back({now, code});
    names.emplace_back(keys.Row(code) != nullptr ? keys.Row(code)->name : "");
    if (on_report) on_report();
  }
  void Sleep(uint32_t ms) override {
    sleeps.push_back(ms);
    now += ms;
  }
  uint32_t NowMs() override { return static_cast<uint32_t>(now); }

  uint64_t now = 0;
  bool stop = false;  // a Stop that the test signals
  std::vector<Seen> reports;
  std::vector<std::string> names;  // of the row each report names; "" for none
  std::vector<uint32_t> sleeps;
  std::function<void()> on_report;

 private:
  const uint64_t end_ms_;
  const int max_cycles_;
};

// The lines a run writes to its log, each without its "\n".
std::vector<std::string> g_logged;
void CaptureLine(const char* format, ...) {
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_logged.emplace_back(line, std::strlen(line) - 1);
}

struct SimRun {
  explicit SimRun(std::vector<Segment> script, uint64_t end_ms, int32_t first = 1000,
                  int32_t repeat = 500, int max_cycles = 100000, bool poll_during_delay = false)
      : context(end_ms, max_cycles), card(context.now, std::move(script)) {
    Change([&](Settings& s) {
      s.first_delay = first;
      s.repeat_delay = repeat;
      s.poll_during_delay = poll_during_delay ? 1 : 0;
    });
    g_logged.clear();
  }
  // Puts in force the settings in force with `change` made to them, as a
  // reload does.
  template <typename Edit>
  void Change(Edit change) {
    Settings changed = settings.Current()->settings();
    change(changed);
    settings.Publish(MakeSettings(changed));
  }
  void Go() { PollUntilStopped(card, context, settings, CaptureLine); }

  ModuleSettings settings;
  SimulatedContext context;
  ScriptedCard card;
};

TEST(PollLoop, IdleCardIsReadEvery20msAndNothingIsReported) {
  SimRun run({}, 1000);
  run.Go();
  EXPECT_TRUE(run.context.reports.empty());
  EXPECT_EQ(run.card.data_reads, 50);
  for (uint32_t ms : run.context.sleeps) EXPECT_EQ(ms, 20u);
  EXPECT_EQ(run.card.enable, 0x00008000u);
}

TEST(PollLoop, HeldKeyIsReportedAtOnceAfterFirstDelayThenEveryRepeatDelay) {
  SimRun run({{2200, KeyDown(3)}}, 4000);
  run.Go();
  const std::vector<Seen> expected = {{0, 3}, {1000, 3}, {1500, 3}, {2000, 3}};
  EXPECT_EQ(run.context.reports, expected);
}

TEST(PollLoop, PressingTheSameKeyAgainWhileTheCodeLinesHoldItIsARepeat) {
  // Released at 50 ms with the code lines still at 30; pressed again at 1500.
  SimRun run({{50, KeyDown(30)}, {1500, NoKey(30)}, {2600, KeyDown(30)}}, 4000);
  run.Go();
  const std::vector<Seen> expected = {{0, 30}, {1500, 30}, {2000, 30}, {2500, 30}};
  EXPECT_EQ(run.context.reports, expected);
}

TEST(PollLoop, PressingAgainAfterTheCodeLinesChangedIsAFirstPress) {
  SimRun run({{50, KeyDown(30)}, {1500, NoKey(0)}, {2600, KeyDown(30)}}, 4000);
  run.Go();
  const std::vector<Seen> expected = {{0, 30}, {1500, 30}, {2500, 30}};
  EXPECT_EQ(run.context.reports, expected);
}

TEST(PollLoop, AnotherKeyWhileHeldStartsOverWithTheFirstDelay) {
  SimRun run({{1200, KeyDown(1)}, {3000, KeyDown(2)}}, 3000);
  run.Go();
  const std::vector<Seen> expected = {{0, 1}, {1000, 1}, {1500, 2}, {2500, 2}};
  EXPECT_EQ(run.context.reports, expected);
}

TEST(PollLoop, ACodeWithoutARowDrivesTheTimingLikeAKnownKey) {
  SimRun run({{1600, KeyDown(4)}}, 3000);
  run.Go();
  const std::vector<Seen> expected = {{0, 4}, {1000, 4}, {1500, 4}};
  EXPECT_EQ(run.context.reports, expected);
}

TEST(PollLoop, APressWithinOneSleepIsNeverSeen) {
  SimRun run({{5, NoKey(0)}, {15, KeyDown(9)}}, 200);
  run.Go();
  EXPECT_TRUE(run.context.reports.empty());
}

TEST(PollLoop, ZeroRepeatDelayReportsOnEveryCycleAfterTheFirstDelay) {
  SimRun run({{100000, KeyDown(22)}}, 100000, 1000, 0, 6);
  run.Go();
  const std::vector<uint32_t> sleeps = {1000, 0, 0, 0, 0, 0};
  EXPECT_EQ(run.context.sleeps, sleeps);
  ASSERT_EQ(run.context.reports.size(), 6u);
  EXPECT_EQ(run.context.reports[1].at_ms, 1000u);
  EXPECT_EQ(run.context.reports[5].at_ms, 1000u);
}

TEST(PollLoop, ZeroFirstDelayReportsAgainOnTheNextCycle) {
  SimRun run({{1100, KeyDown(22)}}, 2000, 0, 500);
  run.Go();
  const std::vector<Seen> expected = {{0, 22}, {0, 22}, {500, 22}, {1000, 22}};
  EXPECT_EQ(run.context.reports, expected);
}

TEST(PollLoop, ChangedSettingsApplyAtTheNextKeyEvent) {
  SimRun run({{3000, KeyDown(30)}}, 3000);
  run.context.on_report = [&] { run.Change([](Settings& s) { s.repeat_delay = 200; }); };
  run.Go();
  const std::vector<Seen> expected = {{0, 30},    {1000, 30}, {1200, 30}, {1400, 30},
                                      {1600, 30}, {1800, 30}, {2000, 30}, {2200, 30},
                                      {2400, 30}, {2600, 30}, {2800, 30}};
  EXPECT_EQ(run.context.reports, expected);
}

TEST(PollLoop, StopIsSeenOnlyAfterTheCurrentSleep) {
  // The stop comes at 10 ms, during the first delay; the loop ends at 1000.
  SimRun run({{5000, KeyDown(30)}}, 10);
  run.Go();
  EXPECT_EQ(run.context.reports.size(), 1u);
  EXPECT_EQ(run.context.now, 1000u);
}

// A Stop made during the cycle, from inside OnKey, ends the loop before the
// delay's sleep: the worker lets go of the registers at once.
TEST(PollLoop, StopDuringTheCycleEndsTheLoopBeforeItsSleep) {
  SimRun run({{5000, KeyDown(30)}}, 5000);
  run.context.on_report = [&] { run.context.stop = true; };
  run.Go();
  EXPECT_EQ(run.context.reports.size(), 1u);
  EXPECT_TRUE(run.context.sleeps.empty());
  EXPECT_EQ(run.context.now, 0u);
}

// The same scripts with KeyPollDuringDelay off and on: on, no press is lost
// and Stop is seen within a poll, while a held key keeps its timing.
TEST(PollLoop, PollingDuringDelaysSeesEveryPressAndKeepsAHeldKeysTiming) {
  struct Row {
    const char* what;
    std::vector<Segment> script;
    uint64_t end_ms;
    std::vector<Seen> off, on;
  };
  const Row rows[] = {
      {"held key",
       {{2200, KeyDown(3)}},
       4000,
       {{0, 3}, {1000, 3}, {1500, 3}, {2000, 3}},
       {{0, 3}, {1000, 3}, {1500, 3}, {2000, 3}}},
      {"quick presses: 1:200 wait:100 2:200 wait:100 3:200",
       {{200, KeyDown(1)}, {300, NoKey(1)}, {500, KeyDown(2)}, {600, NoKey(2)}, {800, KeyDown(3)}},
       1000,
       {{0, 1}},
       {{0, 1}, {300, 2}, {600, 3}}},
      {"another key during the first delay",
       {{150, KeyDown(22)}, {1200, KeyDown(24)}},
       1200,
       {{0, 22}, {1000, 24}},
       {{0, 22}, {160, 24}, {1160, 24}}},
      {"let go and pressed again while the code lines show it",
       {{100, KeyDown(30)}, {300, NoKey(30)}, {1100, KeyDown(30)}},
       1100,
       {{0, 30}, {1000, 30}},
       {{0, 30}, {300, 30}, {800, 30}}},
      {"let go, the code lines changed, pressed again",
       {{100, KeyDown(30)}, {300, NoKey(0)}, {1400, KeyDown(30)}},
       1400,
       {{0, 30}, {1000, 30}},
       {{0, 30}, {300, 30}, {1300, 30}}},
  };
  for (const Row& row : rows) {
    for (bool on : {false, true}) {
      SimRun run(row.script, row.end_ms, 1000, 500, 100000, on);
      run.Go();
      EXPECT_EQ(run.context.reports, on ? row.on : row.off) << row.what << (on ? ", on" : ", off");
      const uint32_t longest =
          *std::max_element(run.context.sleeps.begin(), run.context.sleeps.end());
      EXPECT_EQ(longest, on ? 20u : 1000u) << row.what;
    }
  }
}

// A no-repeat key is reported once per press, however long it is held;
// KeyTrace writes one line per key event, never one per poll, under the
// key the event is about; the report and the trace name the row of the
// cycle's one keymap.
TEST(PollLoop, TracesEachKeyEventAndWithholdsTheRepeatsOfANoRepeatKey) {
  // Power (30) does not repeat: held 3 s, let go, pressed again and held;
  // then code 4, moved to Key_Play, held through a repeat, let go, and the
  // code lines move on; Power again, let go as the code lines change.
  SimRun run({{3000, KeyDown(30)},
              {3100, NoKey(30)},
              {3800, KeyDown(30)},
              {4000, NoKey(30)},
              {5200, KeyDown(4)},
              {5600, NoKey(4)},
              {5700, NoKey(0)},
              {5800, KeyDown(30)},
              {7000, NoKey(0)}},
             7000);
  run.Change([](Settings& s) {
    s.trace = 1;
    s.keys.Set(30, s.keys.RowIndex(30), /*repeats=*/false);
    s.keys.Set(4, CardRowNamed("Key_Play"), /*repeats=*/true);
  });
  run.Go();
  const std::vector<Seen> reported = {{0, 30}, {3100, 30}, {4000, 4}, {5000, 4}, {5700, 30}};
  EXPECT_EQ(run.context.reports, reported);
  const std::vector<std::string> names = {"Key_Power", "Key_Power", "Key_Play", "Key_Play",
                                          "Key_Power"};
  EXPECT_EQ(run.context.names, names);
  const std::vector<std::string> trace = {
      "KeyTrace: 0 ms, code 30, Key_Power: first press, reported",
      "KeyTrace: 1000 ms, code 30, Key_Power: held, not reported: the key does not repeat",
      "KeyTrace: 3000 ms, code 30, Key_Power: released",
      "KeyTrace: 3100 ms, code 30, Key_Power: repeat, reported",
      "KeyTrace: 3600 ms, code 30, Key_Power: held, not reported: the key does not repeat",
      "KeyTrace: 3800 ms, code 30, Key_Power: released",
      "KeyTrace: 4000 ms, code 4, Key_Play: first press, reported",
      "KeyTrace: 5000 ms, code 4, Key_Play: repeat, reported",
      "KeyTrace: 5500 ms, code 4, Key_Play: released",
      "KeyTrace: 5600 ms, code 4, Key_Play: forgotten; the code lines show 0 now",
      "KeyTrace: 5700 ms, code 30, Key_Power: first press, reported",
      "KeyTrace: 6700 ms, code 30, Key_Power: released; the code lines show 0 now",
  };
  EXPECT_EQ(g_logged, trace);
}

TEST(PollLoop, TraceStopsAfterItsLinesForOneStartAndCostsNothingWhenOff) {
  // Code 9 held with no delays: a report, and a trace line, on every cycle.
  SimRun run({{100000, KeyDown(9)}}, 100000, 0, 0, 10100);
  run.Change([](Settings& s) { s.trace = 1; });
  run.Go();
  ASSERT_EQ(g_logged.size(), kTraceLinesPerStart + 1);
  EXPECT_EQ(g_logged.back(),
            "KeyTrace: stopped after 10000 lines; it starts again at the next Start");
  SimRun off({{2200, KeyDown(3)}}, 4000);
  off.Go();
  EXPECT_TRUE(g_logged.empty());
}

// With the option on, a delay runs from the end of its report: an OnKey that
// takes 300 ms does not shorten it.
TEST(PollLoop, ASlowOnKeyDoesNotShortenATimedDelay) {
  SimRun run({{3000, KeyDown(30)}}, 3000, 1000, 500, 100000, true);
  run.context.on_report = [&] { run.context.now += 300; };
  run.Go();
  const std::vector<Seen> expected = {{0, 30}, {1300, 30}, {2100, 30}, {2900, 30}};
  EXPECT_EQ(run.context.reports, expected);
}

// The millisecond clock wraps at 2^32; a delay that starts just before the
// wrap lasts its whole length.
TEST(PollLoop, ADelayAcrossTheClocksWrapLastsItsFullLength) {
  const uint64_t wrap = uint64_t{1} << 32;
  for (bool on : {false, true}) {
    SimRun run({{wrap + 2200, KeyDown(3)}}, wrap + 2600, 1000, 500, 100000, on);
    run.context.now = wrap - 45;
    run.Go();
    const std::vector<Seen> expected = {
        {wrap - 45, 3}, {wrap + 955, 3}, {wrap + 1455, 3}, {wrap + 1955, 3}};
    EXPECT_EQ(run.context.reports, expected) << (on ? "on" : "off");
  }
}

TEST(PollLoop, StopDuringADelayIsSeenWithinAPollWhenPollingDuringDelays) {
  SimRun run({{5000, KeyDown(30)}}, 10, 1000, 500, 100000, true);
  run.Go();
  EXPECT_EQ(run.context.reports.size(), 1u);
  EXPECT_EQ(run.context.now, 20u);
  EXPECT_EQ(run.card.data_reads, 1);
}

}  // namespace
}  // namespace pyx
