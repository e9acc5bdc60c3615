#include "card/poller.h"

namespace pyx {

PollDecision DecidePoll(int32_t last, uint32_t data, int32_t first_delay_ms,
                        int32_t repeat_delay_ms) {
  const auto code = static_cast<int32_t>((data >> kCodeShift) & kCodeMask);
  if ((data & kNoKeyDownBit) == 0) {
    if (code == last) return {last, true, static_cast<uint32_t>(repeat_delay_ms)};
    return {code, true, static_cast<uint32_t>(first_delay_ms)};
  }
  // The receiver latches the last code: while the code lines still show the
  // remembered key, pressing it again counts as a repeat.
  return {code == last ? last : kNoKey, false, kIdlePollMs};
}

void PollUntilStopped(IRegisterAccess& registers, WorkerContext& worker,
                      const ModuleSettings& settings) {
  int32_t last = kNoKey;
  while (!worker.StopRequested()) {
    uint32_t enable = 0;
    uint32_t data = 0;
    registers.ReadRegister(kPinEnableRegister, &enable);
    registers.WriteRegister(kPinEnableRegister, PinDirections(enable));
    registers.ReadRegister(kPinDataRegister, &data);
    // Settings are read each cycle, so a reload applies at the next key event.
    const PollDecision next = DecidePoll(last, data, settings.FirstDelay(), settings.RepeatDelay());
    last = next.last;
    if (next.report) worker.DispatchKey(last);
    worker.Sleep(next.sleep_ms);
  }
}

}  // namespace pyx
