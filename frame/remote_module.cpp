#include "frame/remote_module.h"

#include <utility>

#include "platform/platform.h"

namespace pyx {

#ifndef E_POINTER
#define E_POINTER ((HRESULT)0x80004003L)
#endif

// Everything one Start creates. The host's calls create it, detach it from
// the module (Stop) and free it; the worker thread uses it from its start
// until it marks itself ended, and never frees it.
//
// `call_` is the one thing both sides change. The worker commits to a call of
// the device or the sink by moving it from kNone to that call, and back as
// the call returns; Stop, after its wait, moves it to kCutOff whatever it
// holds, and learns which call the worker had committed to. The worker
// begins no call once it finds kCutOff, and releases the object of a call
// that it finds cut off as the call returns; Stop releases the others.
class Session final : public RunContext, public NothrowAllocated {
 public:
  // What Stop releases: the references the worker does not.
  struct HostReferences {
    IUnknown* device;
    IKeySink* sink;
  };

  // Takes over one reference to `device` and, when not null, to `sink`.
  Session(RemoteModuleBase& module, IUnknown* device, IKeySink* sink)
      : module_(module), device_(device), sink_(sink) {}

  // Host's call: creates the stop event and the suspended worker thread,
  // which holds the module from here. False when either is missing.
  bool Begin() {
    stop_ = platform::CreateStopEvent();
    if (stop_) thread_ = platform::CreateSuspendedThread(&WorkerMain, this);
    if (!thread_) return false;
    module_.Hold();
    return true;
  }
  // Host's call: lets the worker thread run. The session may be detached
  // and the module released before this returns.
  void Resume() { platform::ResumeThread(thread_); }

  // Host's call, once: tells the worker to end, waits for it at most
  // `wait_ms` (not at all on the worker thread itself, from inside OnKey),
  // and cuts it off from the host's objects.
  HostReferences End(uint32_t wait_ms) {
    platform::SignalEvent(stop_);
    if (thread_ && !platform::IsCurrentThread(thread_)) {
      platform::WaitForThreadEnd(thread_, wait_ms);
    }
    const Call committed = call_.exchange(kCutOff, std::memory_order_acq_rel);
    return {committed == kDeviceCall ? nullptr : device_, committed == kSinkCall ? nullptr : sink_};
  }
  // Host's call: the worker thread has made its last touch of the session,
  // or there never was one; the session may be freed.
  bool WorkerEnded() const { return !thread_ || ended_.load(std::memory_order_acquire); }

  HRESULT QueryDevice(REFIID iid, void** object) override {
    *object = nullptr;
    if (!Commit(kDeviceCall)) return E_UNEXPECTED;
    const HRESULT result = device_->QueryInterface(iid, object);
    Return(kDeviceCall, device_);
    return result;
  }
  bool StopRequested() override { return platform::IsSignalled(stop_); }
  void DispatchKey(int32_t code) override { Report(FindKey(module_.table_, module_.count_, code)); }
  void DispatchKey(int32_t code, const KeyMap& keys) override { Report(keys.Row(code)); }
  void Sleep(uint32_t ms) override { platform::SleepMilliseconds(ms); }
  uint32_t NowMs() override { return platform::MonotonicMilliseconds(); }

  Session* next_retired = nullptr;  // the module's list; host's calls only

 private:
  enum Call { kNone, kDeviceCall, kSinkCall, kCutOff };

  static void WorkerMain(void* arg) {
    auto* session = static_cast<Session*>(arg);
    RemoteModuleBase& module = session->module_;
    module.Run(*session);
    session->ended_.store(true, std::memory_order_release);
    module.DropHold();
  }

  void Report(const KeyEntry* row) {
    if (sink_ == nullptr || row == nullptr || !Commit(kSinkCall)) return;
    sink_->OnKey(row->name, row->command);
    Return(kSinkCall, sink_);
  }

  bool Commit(Call call) {
    Call expected = kNone;
    return call_.compare_exchange_strong(expected, call, std::memory_order_acq_rel);
  }
  // Stop cut the worker off during the call: that object's reference is the
  // worker's to give back.
  template <typename Host>
  void Return(Call call, Host* object) {
    Call expected = call;
    if (!call_.compare_exchange_strong(expected, kNone, std::memory_order_acq_rel)) {
      object->Release();
    }
  }

  RemoteModuleBase& module_;
  IUnknown* const device_;
  IKeySink* const sink_;  // may be null
  platform::unique_event stop_;
  platform::unique_thread thread_;  // invalid: started without a worker
  std::atomic<Call> call_{kNone};
  std::atomic<bool> ended_{false};  // the worker thread's last touch
};

RemoteModuleBase::RemoteModuleBase(const KeyEntry* table, int32_t count, uint32_t stop_wait_ms)
    : table_(table), count_(count), stop_wait_ms_(stop_wait_ms) {}

// The last hold is gone: every worker thread has ended, so every retired
// Session may go.
RemoteModuleBase::~RemoteModuleBase() {
  while (Session* session = retired_) {
    retired_ = session->next_retired;
    delete session;
  }
}

HRESULT PYX_CALL RemoteModuleBase::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (SameGuid(iid, kIidUnknown) || SameGuid(iid, IID_IRemoteModule)) {
    *object = static_cast<IRemoteModule*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

// Once the count has reached 0 the object is on its way out: a host object
// that calls AddRef or Release on it from its own Release (which Stop calls)
// changes nothing.
ULONG PYX_CALL RemoteModuleBase::AddRef() { return refs_ == 0 ? 0 : ++refs_; }

ULONG PYX_CALL RemoteModuleBase::Release() {
  if (refs_ == 0) return 0;
  if (--refs_ != 0) return refs_;
  Stop();
  DropHold();
  return 0;
}

HRESULT PYX_CALL RemoteModuleBase::Start(IKeySink* sink, IUnknown* device) {
  if (device == nullptr || refs_ == 0) return E_UNEXPECTED;
  Hold();
  device->AddRef();
  if (sink != nullptr) sink->AddRef();
  // Stop's Releases may run host code that starts us again, or lets go of
  // the object's last reference.
  while (session_ != nullptr) Stop();
  FreeEndedSessions();
  Session* session = refs_ == 0 ? nullptr : new (std::nothrow) Session(*this, device, sink);
  if (session == nullptr) {
    device->Release();
    if (sink != nullptr) sink->Release();
    DropHold();
    return E_UNEXPECTED;
  }
  session_ = session;
  const bool running = session->Begin();
  if (running) session->Resume();
  DropHold();
  return running ? S_OK : E_UNEXPECTED;
}

HRESULT PYX_CALL RemoteModuleBase::Stop() {
  Session* session = std::exchange(session_, nullptr);
  if (session == nullptr) return S_OK;
  Hold();
  const Session::HostReferences left = session->End(stop_wait_ms_);
  session->next_retired = retired_;
  retired_ = session;
  FreeEndedSessions();
  // Settled: the Releases below may run host code that calls Start, Stop or
  // Release on this object.
  if (left.device != nullptr) left.device->Release();
  if (left.sink != nullptr) left.sink->Release();
  DropHold();
  return S_OK;
}

void PYX_CALL RemoteModuleBase::Reserved() {}

void RemoteModuleBase::FreeEndedSessions() {
  for (Session** link = &retired_; *link != nullptr;) {
    Session* session = *link;
    if (session->WorkerEnded()) {
      *link = session->next_retired;
      delete session;
    } else {
      link = &session->next_retired;
    }
  }
}

void RemoteModuleBase::DropHold() {
  if (holds_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

}  // namespace pyx
