// The poll cycle's decision: a pure function of the loop's state, the data
// register and the settings, apart from the loop so that it is tested, and
// measured, on its own.
#include <algorithm>

#include "card/poller.h"

namespace pyx {

PollDecision DecidePoll(const PollState& state, uint32_t data, uint32_t delay_left_ms,
                        const PollTiming& timing) {
  const int32_t code = KeyCode(data);
  if ((data & kNoKeyDownBit) == 0) {
    const bool held = code == state.last && state.hold != KeyHold::kUp;
    if (held && delay_left_ms > 0) {
      return {state, false, KeyEvent::kNone, 0, true, std::min(kIdlePollMs, delay_left_ms)};
    }
    if (held && state.hold == KeyHold::kDownQuiet) {
      return {state, false, KeyEvent::kNone, 0, false, kIdlePollMs};
    }
    if (held && (timing.no_repeat_codes >> code & 1) != 0) {
      return {{code, KeyHold::kDownQuiet}, false, KeyEvent::kNotRepeated, 0, false, kIdlePollMs};
    }
    // The receiver latches the last code: while the code lines still show
    // the remembered key, pressing it again counts as a repeat.
    const bool repeat = code == state.last;
    const auto delay =
        static_cast<uint32_t>(repeat ? timing.repeat_delay_ms : timing.first_delay_ms);
    const KeyEvent event = repeat ? KeyEvent::kRepeat : KeyEvent::kFirstPress;
    if (!timing.poll_during_delay) return {{code, KeyHold::kDown}, true, event, 0, false, delay};
    return {{code, KeyHold::kDown}, true, event, delay, false, std::min(kIdlePollMs, delay)};
  }
  // A release ends the delay. The remembered key is forgotten once the code
  // lines show another.
  const PollState after{code == state.last ? state.last : kNoKey, KeyHold::kUp};
  KeyEvent event = KeyEvent::kNone;
  if (state.hold != KeyHold::kUp) {
    event = KeyEvent::kReleased;
  } else if (state.last != kNoKey && after.last == kNoKey) {
    event = KeyEvent::kCodeChanged;
  }
  return {after, false, event, 0, false, kIdlePollMs};
}

}  // namespace pyx
