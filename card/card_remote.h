// The card's module: its key table, the object whose worker polls the card,
// and the library's export.
#pragma once

#include <cstdint>

#include "frame/remote_module.h"

namespace pyx {

inline constexpr int32_t kCardKeyCount = 36;

// Receiver codes to key names, searched from the top; the first row with a
// code wins. Rows with code 255 can never match a 6-bit code.
extern const KeyEntry CardKeyTable[kCardKeyCount];

class CardRemoteModule final : public RemoteModuleBase {
 public:
  // Writes the three start-up lines to the log, which loads the settings.
  explicit CardRemoteModule(uint32_t stop_wait_ms = kStopWaitMs);

 private:
  ~CardRemoteModule() override;

  // Polls the card until stopped; on the worker thread.
  int32_t Run(RunContext& context) override;
};

}  // namespace pyx

// The library's one export: a new CardRemoteModule with one reference that
// the caller owns, or null when memory is short.
extern "C" IRemoteModule* PYX_CALL GetInterfacePtr(void);
