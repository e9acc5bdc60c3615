// The poll cycle's decision, row by row, and the pin directions it writes.
#include <gtest/gtest.h>

#include "card/poller.h"

namespace pyx {
namespace {

constexpr uint32_t KeyDown(uint32_t code) { return code << 8; }
constexpr uint32_t NoKey(uint32_t code_bits) { return (code_bits << 8) | 0x4000; }

constexpr PollTiming kOff{1000, 500, false};
constexpr PollTiming kOn{1000, 500, true};

struct DecisionRow {
  const char* what;
  int32_t last;
  uint32_t data;
  PollDecision off;  // KeyPollDuringDelay=0
  PollDecision on;   // KeyPollDuringDelay=1
};

void ExpectDecision(const PollDecision& got, const PollDecision& expected, const char* what) {
  EXPECT_EQ(got.last, expected.last) << what;
  EXPECT_EQ(got.report, expected.report) << what;
  EXPECT_EQ(got.timed_delay_ms, expected.timed_delay_ms) << what;
  EXPECT_EQ(got.delay_goes_on, expected.delay_goes_on) << what;
  EXPECT_EQ(got.sleep_ms, expected.sleep_ms) << what;
}

TEST(DecidePoll, FollowsTheStateTable) {
  const DecisionRow rows[] = {
      {"first press", -1, KeyDown(30), {30, true, 0, false, 1000}, {30, true, 1000, false, 20}},
      {"held", 30, KeyDown(30), {30, true, 0, false, 500}, {30, true, 500, false, 20}},
      {"another key while held",
       30,
       KeyDown(3),
       {3, true, 0, false, 1000},
       {3, true, 1000, false, 20}},
      {"released, code lines unchanged",
       30,
       NoKey(30),
       {30, false, 0, false, 20},
       {30, false, 0, false, 20}},
      {"released, code lines changed",
       30,
       NoKey(0),
       {-1, false, 0, false, 20},
       {-1, false, 0, false, 20}},
      {"idle with no key remembered",
       -1,
       NoKey(0),
       {-1, false, 0, false, 20},
       {-1, false, 0, false, 20}},
      {"code 0 down is a key",
       -1,
       KeyDown(0),
       {0, true, 0, false, 1000},
       {0, true, 1000, false, 20}},
      {"code 63 down", -1, KeyDown(63), {63, true, 0, false, 1000}, {63, true, 1000, false, 20}},
      {"bits outside 8..14 are ignored",
       5,
       0xFFFF80FFu | KeyDown(5),
       {5, true, 0, false, 500},
       {5, true, 500, false, 20}},
      {"bits outside 8..14 while idle",
       5,
       0xFFFFC0FFu & ~0x3F00u,
       {-1, false, 0, false, 20},
       {-1, false, 0, false, 20}},
      {"a remembered code no card yields",
       255,
       NoKey(63),
       {-1, false, 0, false, 20},
       {-1, false, 0, false, 20}},
  };
  for (const DecisionRow& row : rows) {
    ExpectDecision(DecidePoll(row.last, row.data, 0, kOff), row.off, row.what);
    ExpectDecision(DecidePoll(row.last, row.data, 0, kOn), row.on, row.what);
  }
}

// A delay is timed only when the worker polls during delays.
TEST(DecidePoll, DuringADelayWaitsForTheHeldKeyAndActsOnAnythingElseAtOnce) {
  struct Row {
    const char* what;
    int32_t last;
    uint32_t data;
    uint32_t left_ms;
    PollDecision expected;
  };
  const Row rows[] = {
      {"held through its delay", 30, KeyDown(30), 700, {30, false, 0, true, 20}},
      {"held, the delay nearly out", 30, KeyDown(30), 5, {30, false, 0, true, 5}},
      {"held, the delay out", 30, KeyDown(30), 0, {30, true, 500, false, 20}},
      {"another key", 30, KeyDown(3), 700, {3, true, 1000, false, 20}},
      {"released, code lines unchanged", 30, NoKey(30), 700, {30, false, 0, false, 20}},
      {"released, code lines changed", 30, NoKey(0), 700, {-1, false, 0, false, 20}},
  };
  for (const Row& row : rows) {
    ExpectDecision(DecidePoll(row.last, row.data, row.left_ms, kOn), row.expected, row.what);
  }
  EXPECT_EQ(DecidePoll(-1, KeyDown(1), 0, {1000, 7, true}).sleep_ms, 20u);
  EXPECT_EQ(DecidePoll(1, KeyDown(1), 0, {1000, 7, true}).sleep_ms, 7u);
  EXPECT_EQ(DecidePoll(1, KeyDown(1), 0, {1000, 0, true}).timed_delay_ms, 0u);
}

TEST(DecidePoll, TakesTheDelaysItIsGiven) {
  EXPECT_EQ(DecidePoll(-1, KeyDown(1), 0, {0, 7, false}).sleep_ms, 0u);
  EXPECT_EQ(DecidePoll(1, KeyDown(1), 0, {0, 7, false}).sleep_ms, 7u);
  EXPECT_EQ(DecidePoll(1, NoKey(1), 0, {0, 7, false}).sleep_ms, 20u);
}

TEST(DecidePoll, AnyDataRegisterValueGivesASaneDecision) {
  // Every pattern of the low 16 bits, with the high bits walked through too.
  for (uint32_t high = 0; high < 0x10000; high += 0x1111) {
    for (uint32_t low = 0; low < 0x10000; ++low) {
      const uint32_t data = (high << 16) | low;
      const int32_t code = static_cast<int32_t>((data >> 8) & 0x3F);
      for (int32_t last : {-1, 0, code, 63}) {
        const PollDecision d = DecidePoll(last, data, 0, kOff);
        const bool down = (data & 0x4000) == 0;
        ASSERT_EQ(d.report, down) << std::hex << data;
        ASSERT_TRUE(d.last == -1 || d.last == code) << std::hex << data;
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
