// The card's module: its key table, the object whose worker polls the card,
// and the library's export.
#pragma once

#include <cstdint>

#include "card/key_table.h"
#include "frame/remote_module.h"

namespace pyx {

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
