#include "card/card_remote.h"

#include "card/poller.h"
#include "card/settings_log.h"

#if defined(_WIN32)
#define PYX_EXPORT
#else
#define PYX_EXPORT __attribute__((visibility("default")))
#endif

namespace pyx {

const KeyEntry CardKeyTable[kCardKeyCount] = {
#define PYX_KEY(code, name, command) {code, name, command},
#include "card/key_table.inc"
#undef PYX_KEY
};

#define PYX_KEY(code, name, command) +1
static_assert(0
#include "card/key_table.inc"
                  == kCardKeyCount,
              "every row of key_table.inc is in CardKeyTable");
#undef PYX_KEY

CardRemoteModule::CardRemoteModule(uint32_t stop_wait_ms)
    : RemoteModuleBase(CardKeyTable, kCardKeyCount, stop_wait_ms) {
  LogMessage("> Initializing Tarvikon remote module.\n");
  LogBanner();
  const ModuleSettings& settings = Settings();
  LogMessage("> KeyFirstDelay=%d, KeyRepeatDelay=%d\n", static_cast<int>(settings.FirstDelay()),
             static_cast<int>(settings.RepeatDelay()));
  LogSettingsFindings();
}

CardRemoteModule::~CardRemoteModule() = default;

int32_t CardRemoteModule::Run(RunContext& context) {
  IRegisterAccess* registers = nullptr;
  const HRESULT result =
      context.QueryDevice(IID_IRegisterAccess, reinterpret_cast<void**>(&registers));
  if (FAILED(result)) return result;
  // A device that answers success with no interface has none to offer.
  if (registers == nullptr) return E_NOINTERFACE;

  PollUntilStopped(*registers, context, Settings());
  LogMessage("Tarvikon: Break event received. Bye!\n");
  return static_cast<int32_t>(registers->Release());
}

}  // namespace pyx

extern "C" PYX_EXPORT IRemoteModule* PYX_CALL GetInterfacePtr(void) {
  return new (std::nothrow) pyx::CardRemoteModule();
}
