#include "card/poller.h"

#include <algorithm>

namespace pyx {

namespace {

// A delay timed on the context's clock, with KeyPollDuringDelay.
struct TimedDelay {
  bool running = false;
  uint32_t end_ms = 0;
};

// KeyTrace's lines for one Start, at most kTraceLinesPerStart of them.
class KeyTraceLog {
 public:
  KeyTraceLog(LogFunction log, uint32_t start_ms) : log_(log), start_ms_(start_ms) {}

  // `before` and `next`: the loop's state around the cycle; `code` the one
  // read; `keys` the map the cycle acted on.
  void Write(uint32_t now_ms, int32_t code, const PollState& before, const PollDecision& next,
             const KeyMap& keys) {
    if (lines_ > kTraceLinesPerStart) return;
    if (lines_++ == kTraceLinesPerStart) {
      log_("KeyTrace: stopped after %u lines; it starts again at the next Start\n",
           static_cast<unsigned>(kTraceLinesPerStart));
      return;
    }
    // A release, or the code lines moving on, is about the key remembered.
    const bool about_before =
        next.event == KeyEvent::kReleased || next.event == KeyEvent::kCodeChanged;
    const int32_t subject = about_before ? before.last : code;
    const KeyEntry* row = keys.Row(subject);
    const char* what = "";
    switch (next.event) {
      case KeyEvent::kFirstPress:
        what = row != nullptr ? "first press, reported" : "first press, nothing to report";
        break;
      case KeyEvent::kRepeat:
        what = row != nullptr ? "repeat, reported" : "repeat, nothing to report";
        break;
      case KeyEvent::kNotRepeated:
        what = "held, not reported: the key does not repeat";
        break;
      case KeyEvent::kReleased:
        what = "released";
        break;
      case KeyEvent::kCodeChanged:
        what = "forgotten";
        break;
      case KeyEvent::kNone:
        return;
    }
    const bool moved_on = about_before && code != before.last;
    log_(moved_on ? "KeyTrace: %u ms, code %d, %s: %s; the code lines show %d now\n"
                  : "KeyTrace: %u ms, code %d, %s: %s\n",
         static_cast<unsigned>(now_ms - start_ms_), static_cast<int>(subject),
         row != nullptr ? row->name : "no row", what, static_cast<int>(code));
  }

 private:
  LogFunction log_;
  uint32_t start_ms_;
  uint32_t lines_ = 0;
};

}  // namespace

void PollUntilStopped(IRegisterAccess& registers, RunContext& context,
                      const ModuleSettings& settings, LogFunction log) {
  PollState state;
  TimedDelay delay;
  KeyTraceLog trace(log, context.NowMs());
  while (!context.StopRequested()) {
    uint32_t enable = 0;
    uint32_t data = 0;
    if (!context.ReadRegister(registers, kPinEnableRegister, &enable) ||
        !context.WriteRegister(registers, kPinEnableRegister, PinDirections(enable)) ||
        !context.ReadRegister(registers, kPinDataRegister, &data)) {
      return;  // cut off by a Stop that gave up waiting
    }
    uint32_t delay_left_ms = 0;
    if (delay.running) {
      // Wraps with the clock: the difference stays right for 24 days.
      const auto left = static_cast<int32_t>(delay.end_ms - context.NowMs());
      delay_left_ms = left > 0 ? static_cast<uint32_t>(left) : 0;
    }
    // One reading of the settings per cycle, so a reload applies at the next
    // key event, whole.
    const SettingsRef reading = settings.Current();
    const Settings& now = reading->settings();
    const KeyMap& keys = now.keys;
    const PollDecision next = DecidePoll(
        state, data, delay_left_ms,
        {now.first_delay, now.repeat_delay, now.poll_during_delay != 0, keys.NoRepeatCodes()});
    const bool tracing = next.event != KeyEvent::kNone && now.trace != 0;
    const uint32_t event_ms = tracing ? context.NowMs() : 0;
    if (next.report) context.DispatchKey(next.state.last, keys);
    if (tracing) trace.Write(event_ms, KeyCode(data), state, next, keys);
    state = next.state;
    if (next.timed_delay_ms > 0) {
      delay = {true, context.NowMs() + next.timed_delay_ms};
    } else if (!next.delay_goes_on) {
      delay.running = false;
    }
    // A Stop that came during the cycle (from inside OnKey, say) ends the
    // worker now, not after the sleep.
    if (context.StopRequested()) return;
    context.Sleep(next.sleep_ms);
  }
}

}  // namespace pyx
