#include "card/card_remote.h"

#include "card/poller.h"
#include "card/settings_log.h"

#if defined(_WIN32)
#define PYX_EXPORT
#else
#define PYX_EXPORT __attribute__((visibility("default")))
#endif

namespace pyx {

// clang-format off
const KeyEntry CardKeyTable[kCardKeyCount] = {
    {3,   "Key_TV/FM",       ""},
    {28,  "Key_CD",          ""},
    {13,  "Key_Teletext",    ""},
    {30,  "Key_Power",       "Power"},
    {1,   "Key_1",           "1"},
    {11,  "Key_2",           "2"},
    {27,  "Key_3",           "3"},
    {7,   "Key_Video",       ""},
    {5,   "Key_4",           "4"},
    {9,   "Key_5",           "5"},
    {21,  "Key_6",           "6"},
    {14,  "Key_Audio",       ""},
    {6,   "Key_7",           "7"},
    {10,  "Key_8",           "8"},
    {18,  "Key_9",           "9"},
    {25,  "Key_FullScreen",  ""},
    {2,   "Key_0",           "0"},
    {16,  "Key_Display",     ""},
    {19,  "Key_Loop",        "Recall"},
    {17,  "Key_Preview",     ""},
    {14,  "Key_AutoScan",    ""},
    {26,  "Key_Freeze",      ""},
    {14,  "Key_Capture",     ""},
    {24,  "Key_Mute",        ""},
    {0,   "Key_Record",      ""},
    {29,  "Key_Pause",       ""},
    {8,   "Key_Stop",        ""},
    {255, "Key_Play",        ""},
    {255, "Key_Red",         ""},
    {20,  "Key_VolumeDown",  "VolumeDown"},
    {22,  "Key_VolumeUp",    "VolumeUp"},
    {255, "Key_Yellow",      ""},
    {255, "Key_Green",       ""},
    {23,  "Key_ChannelDown", "ChannelDown"},
    {31,  "Key_ChannelUp",   "ChannelUp"},
    {255, "Key_Cyan",        ""},
};
// clang-format on

namespace {

class WorkerSeam final : public PollSeam {
 public:
  explicit WorkerSeam(WorkerLink& link) : link_(link) {}
  bool StopRequested() override { return link_.StopRequested(); }
  void Report(int32_t code) override { link_.DispatchKey(code); }
  void Sleep(uint32_t ms) override { platform::SleepMilliseconds(ms); }

 private:
  WorkerLink& link_;
};

}  // namespace

CardRemoteModule::CardRemoteModule(uint32_t stop_wait_ms)
    : RemoteModuleBase(CardKeyTable, kCardKeyCount, stop_wait_ms) {
  LogMessage("> Initializing Tarvikon remote module.\n");
  LogMessage("> PYXRemote card remote, polling the receiver on I/O pins 8-14.\n");
  const ModuleSettings& settings = Settings();
  LogMessage("> KeyFirstDelay=%d, KeyRepeatDelay=%d\n", static_cast<int>(settings.FirstDelay()),
             static_cast<int>(settings.RepeatDelay()));
}

CardRemoteModule::~CardRemoteModule() = default;

int32_t CardRemoteModule::Run(WorkerLink& link) {
  IRegisterAccess* registers = nullptr;
  const HRESULT result =
      link.Device()->QueryInterface(IID_IRegisterAccess, reinterpret_cast<void**>(&registers));
  if (FAILED(result)) return result;
  // A device that answers success with no interface has none to offer.
  if (registers == nullptr) return E_NOINTERFACE;

  WorkerSeam seam(link);
  PollUntilStopped(*registers, seam, Settings());
  LogMessage("Tarvikon: Break event received. Bye!\n");
  return static_cast<int32_t>(registers->Release());
}

}  // namespace pyx

extern "C" PYX_EXPORT IRemoteModule* PYX_CALL GetInterfacePtr(void) {
  return new (std::nothrow) pyx::CardRemoteModule();
}
