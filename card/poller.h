// The card's poll loop: reads the remote receiver on the capture chip's I/O
// pins and decides, cycle by cycle, what to report and how long to sleep.
#pragma once

#include <cstdint>

#include "card/settings_log.h"
#include "frame/host_interfaces.h"
#include "frame/remote_module.h"

namespace pyx {

// Byte offsets of the chip's I/O-pin registers.
inline constexpr uint32_t kPinEnableRegister = 0x118;  // one bit per pin, 1 = output
inline constexpr uint32_t kPinDataRegister = 0x200;

// Data register: bits 8..13 carry the key code; bit 14 set means no key down.
inline constexpr uint32_t kNoKeyDownBit = 1u << 14;
inline constexpr int kCodeShift = 8;
inline constexpr uint32_t kCodeMask = 0x3F;

// The key code the data register shows, 0 to 63, whether or not a key is down.
constexpr int32_t KeyCode(uint32_t data) {
  return static_cast<int32_t>((data >> kCodeShift) & kCodeMask);
}

inline constexpr int32_t kNoKey = -1;
inline constexpr uint32_t kIdlePollMs = 20;

// The value written back to the enable register: pins 8..14 become inputs and
// pin 15 an output; bits 0..7 and 16..23 keep their values; 24..31 clear.
constexpr uint32_t PinDirections(uint32_t enable) { return (enable & 0x00FF00FFu) | 0x00008000u; }

// At most this many KeyTrace lines are written for one Start.
inline constexpr uint32_t kTraceLinesPerStart = 10000;

// What a cycle's decision needs of the settings, read at the moment of the
// decision. Delays in milliseconds, >= 0.
struct PollTiming {
  int32_t first_delay_ms;
  int32_t repeat_delay_ms;
  // Poll every kIdlePollMs during a delay too, instead of sleeping it out.
  bool poll_during_delay;
  // Bit c set: a key with code c is reported once per press.
  uint64_t no_repeat_codes;
};

// Whether the remembered key is down.
enum class KeyHold {
  kUp,        // let go, or nothing remembered
  kDown,      // down since its last report
  kDownQuiet  // down, and its repeat was withheld: it does not repeat
};

// The poll loop's memory from one cycle to the next.
struct PollState {
  int32_t last = kNoKey;  // the remembered key
  KeyHold hold = KeyHold::kUp;
};

// What a cycle saw happen to a key, for KeyTrace. Polls in which nothing
// changes have none.
enum class KeyEvent {
  kNone,
  kFirstPress,   // a new key: reported, its first delay follows
  kRepeat,       // a key held through its delay, or pressed again while the
                 // code lines still showed it: reported, the repeat delay follows
  kNotRepeated,  // held through its delay, but it does not repeat
  kReleased,     // the remembered key let go
  kCodeChanged   // the code lines moved on while no key was down
};

struct PollDecision {
  PollState state;  // after this cycle
  bool report;      // report state.last now
  KeyEvent event;
  // With poll_during_delay: a delay this cycle's report starts, timed on the
  // clock from the end of the report, before a held key is reported again;
  // 0 when none starts.
  uint32_t timed_delay_ms;
  bool delay_goes_on;  // the timed delay that was running goes on
  uint32_t sleep_ms;   // before the next cycle
};

// One cycle's decision from the loop's state, the data register, and the
// time left in the timed delay that runs (0 when none runs). Without
// poll_during_delay no delay is timed: each report sleeps its whole delay.
// With it, the worker sleeps at most kIdlePollMs at a time, a key held
// through its delay is reported when the delay runs out, and any other
// press, or a release, is acted on at once. A key that does not repeat is
// reported once per press; held on, it is read every kIdlePollMs.
PollDecision DecidePoll(const PollState& state, uint32_t data, uint32_t delay_left_ms,
                        const PollTiming& timing);

// Writes one log line, printf-style.
using LogFunction = void (*)(const char* format, ...);

// Polls until context.StopRequested() is seen before a cycle or before its
// sleep, or the context refuses a register access (Stop cut the worker off). Each cycle
// re-asserts the pin directions, reads the data, reports a key that is down
// and sleeps. Register results are ignored; a read that leaves its variable
// alone reads as 0. A timed delay runs from the end of its report on the
// context's clock. With KeyTrace on, each key event is written with `log`.
void PollUntilStopped(IRegisterAccess& registers, RunContext& context,
                      const ModuleSettings& settings, LogFunction log = LogMessage);

}  // namespace pyx
