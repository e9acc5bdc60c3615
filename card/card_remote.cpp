#include "card/card_remote.h"

#include "card/poller.h"
#include "card/settings_log.h"

#if defined(_WIN32)
#define PYX_EXPORT
#else
#define PYX_EXPORT __attribute__((visibility("default")))
#endif

namespace pyx {

CardRemoteModule::CardRemoteModule(uint32_t stop_wait_ms) : RemoteModuleBase(stop_wait_ms) {
  LogConstructionLine("> Initializing Tarvikon remote module.\n");
  LogBanner();
  // One reading for the third line and the lines after it.
  const SettingsRef reading = ProcessSettings().Current();
  LogConstructionLine("> KeyFirstDelay=%d, KeyRepeatDelay=%d\n",
                      static_cast<int>(reading->settings().first_delay),
                      static_cast<int>(reading->settings().repeat_delay));
  LogSettingsFindings(*reading);
}

CardRemoteModule::~CardRemoteModule() = default;

int32_t CardRemoteModule::Run(RunContext& context) {
  IRegisterAccess* registers = nullptr;
  const HRESULT result =
      context.QueryDevice(IID_IRegisterAccess, reinterpret_cast<void**>(&registers));
  // A device that answers success with no interface has none to offer. The
  // host's Start has answered S_OK already, so the log is where this shows;
  // a query refused because Stop came first is no fault.
  if (FAILED(result) || registers == nullptr) {
    if (!context.StopRequested()) {
      LogMessage(
          "Tarvikon: no access to the card: the application's device answered 0x%08X%s. "
          "No key is read until the application starts the remote again.\n",
          static_cast<unsigned>(result), FAILED(result) ? "" : " with no interface");
    }
    return FAILED(result) ? result : E_NOINTERFACE;
  }

  PollUntilStopped(*registers, context, ProcessSettings());
  LogMessage("Tarvikon: Break event received. Bye!\n");
  return static_cast<int32_t>(registers->Release());
}

}  // namespace pyx

extern "C" PYX_EXPORT IRemoteModule* PYX_CALL GetInterfacePtr(void) {
  return new (std::nothrow) pyx::CardRemoteModule();
}
