#include "card/poller.h"

#include <algorithm>

namespace pyx {

PollDecision DecidePoll(int32_t last, uint32_t data, uint32_t delay_left_ms,
                        const PollTiming& timing) {
  const auto code = static_cast<int32_t>((data >> kCodeShift) & kCodeMask);
  if ((data & kNoKeyDownBit) == 0) {
    if (code == last && delay_left_ms > 0) {
      return {last, false, 0, true, std::min(kIdlePollMs, delay_left_ms)};
    }
    const auto delay =
        static_cast<uint32_t>(code == last ? timing.repeat_delay_ms : timing.first_delay_ms);
    if (!timing.poll_during_delay) return {code, true, 0, false, delay};
    return {code, true, delay, false, std::min(kIdlePollMs, delay)};
  }
  // The receiver latches the last code: while the code lines still show the
  // remembered key, pressing it again counts as a repeat. A release ends the
  // delay.
  return {code == last ? last : kNoKey, false, 0, false, kIdlePollMs};
}

namespace {

// A delay timed on the context's clock, with KeyPollDuringDelay.
struct TimedDelay {
  bool running = false;
  uint32_t end_ms = 0;
};

}  // namespace

void PollUntilStopped(IRegisterAccess& registers, RunContext& context,
                      const ModuleSettings& settings) {
  int32_t last = kNoKey;
  TimedDelay delay;
  while (!context.StopRequested()) {
    uint32_t enable = 0;
    uint32_t data = 0;
    registers.ReadRegister(kPinEnableRegister, &enable);
    registers.WriteRegister(kPinEnableRegister, PinDirections(enable));
    registers.ReadRegister(kPinDataRegister, &data);
    uint32_t delay_left_ms = 0;
    if (delay.running) {
      // Wraps with the clock: the difference stays right for 24 days.
      const auto left = static_cast<int32_t>(delay.end_ms - context.NowMs());
      delay_left_ms = left > 0 ? static_cast<uint32_t>(left) : 0;
    }
    // Settings are read each cycle, so a reload applies at the next key event.
    const PollDecision next =
        DecidePoll(last, data, delay_left_ms,
                   {settings.FirstDelay(), settings.RepeatDelay(), settings.PollDuringDelay()});
    last = next.last;
    if (next.report) context.DispatchKey(last);
    if (next.timed_delay_ms > 0) {
      delay = {true, context.NowMs() + next.timed_delay_ms};
    } else if (!next.delay_goes_on) {
      delay.running = false;
    }
    context.Sleep(next.sleep_ms);
  }
}

}  // namespace pyx
