#include "card/poller.h"

#include <algorithm>

namespace pyx {

PollDecision DecidePoll(int32_t last, uint32_t data, uint32_t left_ms, const PollTiming& timing) {
  const auto code = static_cast<int32_t>((data >> kCodeShift) & kCodeMask);
  if ((data & kNoKeyDownBit) == 0) {
    if (code == last && left_ms > 0) {
      return {last, false, left_ms, std::min(kIdlePollMs, left_ms)};
    }
    const auto delay =
        static_cast<uint32_t>(code == last ? timing.repeat_delay_ms : timing.first_delay_ms);
    if (!timing.poll_during_delay) return {code, true, 0, delay};
    return {code, true, delay, std::min(kIdlePollMs, delay)};
  }
  // The receiver latches the last code: while the code lines still show the
  // remembered key, pressing it again counts as a repeat. A release ends the
  // delay.
  return {code == last ? last : kNoKey, false, 0, kIdlePollMs};
}

void PollUntilStopped(IRegisterAccess& registers, WorkerContext& worker,
                      const ModuleSettings& settings) {
  int32_t last = kNoKey;
  uint32_t delay_ends_ms = 0;  // on the worker's clock, while delay_running
  bool delay_running = false;
  while (!worker.StopRequested()) {
    uint32_t enable = 0;
    uint32_t data = 0;
    registers.ReadRegister(kPinEnableRegister, &enable);
    registers.WriteRegister(kPinEnableRegister, PinDirections(enable));
    registers.ReadRegister(kPinDataRegister, &data);
    uint32_t left_ms = 0;
    if (delay_running) {
      // Wraps with the clock: the difference stays right for 24 days.
      const auto left = static_cast<int32_t>(delay_ends_ms - worker.NowMs());
      left_ms = left > 0 ? static_cast<uint32_t>(left) : 0;
    }
    // Settings are read each cycle, so a reload applies at the next key event.
    const PollDecision next =
        DecidePoll(last, data, left_ms,
                   {settings.FirstDelay(), settings.RepeatDelay(), settings.PollDuringDelay()});
    last = next.last;
    if (next.report) worker.DispatchKey(last);
    // Only a report starts a delay; with none to run the clock is not read.
    if (next.report && next.delay_ms > 0) delay_ends_ms = worker.NowMs() + next.delay_ms;
    delay_running = next.delay_ms > 0;
    worker.Sleep(next.sleep_ms);
  }
}

}  // namespace pyx
