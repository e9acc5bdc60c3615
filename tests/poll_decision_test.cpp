// The poll cycle's decision, row by row, and the pin directions it writes.
#include <gtest/gtest.h>

#include <vector>

#include "card/poller.h"

namespace pyx {
namespace {

constexpr uint32_t KeyDown(uint32_t code) { return code << 8; }
constexpr uint32_t NoKey(uint32_t code_bits) { return (code_bits << 8) | 0x4000; }

constexpr PollTiming kOff{1000, 500, false, 0};
constexpr PollTiming kOn{1000, 500, true, 0};

constexpr KeyHold kUp = KeyHold::kUp;
constexpr KeyHold kDown = KeyHold::kDown;
constexpr KeyHold kQuiet = KeyHold::kDownQuiet;
constexpr KeyEvent kNone = KeyEvent::kNone;
constexpr KeyEvent kFirst = KeyEvent::kFirstPress;
constexpr KeyEvent kRepeat = KeyEvent::kRepeat;
constexpr KeyEvent kWithheld = KeyEvent::kNotRepeated;
constexpr KeyEvent kReleased = KeyEvent::kReleased;
constexpr KeyEvent kChanged = KeyEvent::kCodeChanged;

struct DecisionRow {
  const char* what;
  PollState state;
  uint32_t data;
  PollDecision off;  // KeyPollDuringDelay=0
  PollDecision on;   // KeyPollDuringDelay=1
};

void ExpectDecision(const PollDecision& got, const PollDecision& expected, const char* what) {
  EXPECT_EQ(got.state.last, expected.state.last) << what;
  EXPECT_EQ(got.state.hold, expected.state.hold) << what;
  EXPECT_EQ(got.report, expected.report) << what;
  EXPECT_EQ(got.event, expected.event) << what;
  EXPECT_EQ(got.timed_delay_ms, expected.timed_delay_ms) << what;
  EXPECT_EQ(got.delay_goes_on, expected.delay_goes_on) << what;
  EXPECT_EQ(got.sleep_ms, expected.sleep_ms) << what;
}

void ExpectRows(const std::vector<DecisionRow>& rows, PollTiming off, PollTiming on) {
  for (const DecisionRow& row : rows) {
    ExpectDecision(DecidePoll(row.state, row.data, 0, off), row.off, row.what);
    ExpectDecision(DecidePoll(row.state, row.data, 0, on), row.on, row.what);
  }
}

// One row per case: what, state before, data; the decision with the option
// off, then on.
// clang-format off
TEST(DecidePoll, FollowsTheStateTable) {
  ExpectRows(
      {
          {"first press", {-1, kUp}, KeyDown(30),
           {{30, kDown}, true, kFirst, 0, false, 1000}, {{30, kDown}, true, kFirst, 1000, false, 20}},
          {"held", {30, kDown}, KeyDown(30),
           {{30, kDown}, true, kRepeat, 0, false, 500}, {{30, kDown}, true, kRepeat, 500, false, 20}},
          {"pressed again while the code lines show it", {30, kUp}, KeyDown(30),
           {{30, kDown}, true, kRepeat, 0, false, 500}, {{30, kDown}, true, kRepeat, 500, false, 20}},
          {"another key while held", {30, kDown}, KeyDown(3),
           {{3, kDown}, true, kFirst, 0, false, 1000}, {{3, kDown}, true, kFirst, 1000, false, 20}},
          {"released, code lines unchanged", {30, kDown}, NoKey(30),
           {{30, kUp}, false, kReleased, 0, false, 20}, {{30, kUp}, false, kReleased, 0, false, 20}},
          {"still released", {30, kUp}, NoKey(30),
           {{30, kUp}, false, kNone, 0, false, 20}, {{30, kUp}, false, kNone, 0, false, 20}},
          {"released, code lines changed", {30, kDown}, NoKey(0),
           {{-1, kUp}, false, kReleased, 0, false, 20}, {{-1, kUp}, false, kReleased, 0, false, 20}},
          {"code lines changed after the release", {30, kUp}, NoKey(0),
           {{-1, kUp}, false, kChanged, 0, false, 20}, {{-1, kUp}, false, kChanged, 0, false, 20}},
          {"idle with no key remembered", {-1, kUp}, NoKey(0),
           {{-1, kUp}, false, kNone, 0, false, 20}, {{-1, kUp}, false, kNone, 0, false, 20}},
          {"code 0 down is a key", {-1, kUp}, KeyDown(0),
           {{0, kDown}, true, kFirst, 0, false, 1000}, {{0, kDown}, true, kFirst, 1000, false, 20}},
          {"code 63 down", {-1, kUp}, KeyDown(63),
           {{63, kDown}, true, kFirst, 0, false, 1000}, {{63, kDown}, true, kFirst, 1000, false, 20}},
          {"bits outside 8..14 are ignored", {5, kDown}, 0xFFFF80FFu | KeyDown(5),
           {{5, kDown}, true, kRepeat, 0, false, 500}, {{5, kDown}, true, kRepeat, 500, false, 20}},
          {"bits outside 8..14 while idle", {5, kDown}, 0xFFFFC0FFu & ~0x3F00u,
           {{-1, kUp}, false, kReleased, 0, false, 20}, {{-1, kUp}, false, kReleased, 0, false, 20}},
          {"a remembered code no card yields", {255, kUp}, NoKey(63),
           {{-1, kUp}, false, kChanged, 0, false, 20}, {{-1, kUp}, false, kChanged, 0, false, 20}},
      },
      kOff, kOn);
}
// clang-format on

// Code 30 does not repeat; code 3 does. A first press is as in the table
// above.
// clang-format off
TEST(DecidePoll, ReportsAKeyThatDoesNotRepeatOncePerPress) {
  const uint64_t only30 = uint64_t{1} << 30;
  ExpectRows(
      {
          {"held through its delay: withheld, then read every poll", {30, kDown}, KeyDown(30),
           {{30, kQuiet}, false, kWithheld, 0, false, 20}, {{30, kQuiet}, false, kWithheld, 0, false, 20}},
          {"held on", {30, kQuiet}, KeyDown(30),
           {{30, kQuiet}, false, kNone, 0, false, 20}, {{30, kQuiet}, false, kNone, 0, false, 20}},
          {"released", {30, kQuiet}, NoKey(30),
           {{30, kUp}, false, kReleased, 0, false, 20}, {{30, kUp}, false, kReleased, 0, false, 20}},
          {"pressed again: reported", {30, kUp}, KeyDown(30),
           {{30, kDown}, true, kRepeat, 0, false, 500}, {{30, kDown}, true, kRepeat, 500, false, 20}},
          {"another key, which repeats", {3, kDown}, KeyDown(3),
           {{3, kDown}, true, kRepeat, 0, false, 500}, {{3, kDown}, true, kRepeat, 500, false, 20}},
          {"another key while it is held", {30, kQuiet}, KeyDown(3),
           {{3, kDown}, true, kFirst, 0, false, 1000}, {{3, kDown}, true, kFirst, 1000, false, 20}},
      },
      {1000, 500, false, only30}, {1000, 500, true, only30});
  // clang-format on
  // Its first delay is still waited out before the repeat is withheld.
  ExpectDecision(DecidePoll({30, kDown}, KeyDown(30), 700, {1000, 500, true, only30}),
                 {{30, kDown}, false, kNone, 0, true, 20}, "during its first delay");
}

// A delay is timed only when the worker polls during delays.
TEST(DecidePoll, DuringADelayWaitsForTheHeldKeyAndActsOnAnythingElseAtOnce) {
  struct Row {
    const char* what;
    PollState state;
    uint32_t data;
    uint32_t left_ms;
    PollDecision expected;
  };
  const Row rows[] = {
      {"held through its delay",
       {30, kDown},
       KeyDown(30),
       700,
       {{30, kDown}, false, kNone, 0, true, 20}},
      {"held, the delay nearly out",
       {30, kDown},
       KeyDown(30),
       5,
       {{30, kDown}, false, kNone, 0, true, 5}},
      {"held, the delay out",
       {30, kDown},
       KeyDown(30),
       0,
       {{30, kDown}, true, kRepeat, 500, false, 20}},
      {"another key", {30, kDown}, KeyDown(3), 700, {{3, kDown}, true, kFirst, 1000, false, 20}},
      {"released, code lines unchanged",
       {30, kDown},
       NoKey(30),
       700,
       {{30, kUp}, false, kReleased, 0, false, 20}},
      {"released, code lines changed",
       {30, kDown},
       NoKey(0),
       700,
       {{-1, kUp}, false, kReleased, 0, false, 20}},
  };
  for (const Row& row : rows) {
    ExpectDecision(DecidePoll(row.state, row.data, row.left_ms, kOn), row.expected, row.what);
  }
  EXPECT_EQ(DecidePoll({-1, kUp}, KeyDown(1), 0, {1000, 7, true, 0}).sleep_ms, 20u);
  EXPECT_EQ(DecidePoll({1, kDown}, KeyDown(1), 0, {1000, 7, true, 0}).sleep_ms, 7u);
  EXPECT_EQ(DecidePoll({1, kDown}, KeyDown(1), 0, {1000, 0, true, 0}).timed_delay_ms, 0u);
}

TEST(DecidePoll, TakesTheDelaysItIsGiven) {
  EXPECT_EQ(DecidePoll({-1, kUp}, KeyDown(1), 0, {0, 7, false, 0}).sleep_ms, 0u);
  EXPECT_EQ(DecidePoll({1, kDown}, KeyDown(1), 0, {0, 7, false, 0}).sleep_ms, 7u);
  EXPECT_EQ(DecidePoll({1, kDown}, NoKey(1), 0, {0, 7, false, 0}).sleep_ms, 20u);
}

TEST(DecidePoll, AnyDataRegisterValueGivesASaneDecision) {
  // Every pattern of the low 16 bits, with the high bits walked through too.
  for (uint32_t high = 0; high < 0x10000; high += 0x1111) {
    for (uint32_t low = 0; low < 0x10000; ++low) {
      const uint32_t data = (high << 16) | low;
      const int32_t code = static_cast<int32_t>((data >> 8) & 0x3F);
      for (int32_t last : {-1, 0, code, 63}) {
        const PollDecision d = DecidePoll({last, kDown}, data, 0, kOff);
        const bool down = (data & 0x4000) == 0;
        ASSERT_EQ(d.report, down) << std::hex << data;
        ASSERT_TRUE(d.state.last == -1 || d.state.last == code) << std::hex << data;
        ASSERT_TRUE(d.sleep_ms == (down ? (last == code ? 500u : 1000u) : 20u)) << std::hex << data;
      }
    }
  }
}

TEST(PinDirections, MakesPins8To14InputsAndPin15AnOutput) {
  EXPECT_EQ(PinDirections(0xFFFFFFFFu), 0x00FF80FFu);
  EXPECT_EQ(PinDirections(0u), 0x00008000u);
  EXPECT_EQ(PinDirections(0x12345678u), 0x00348078u);
}

}  // namespace
}  // namespace pyx
