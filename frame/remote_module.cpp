#include "frame/remote_module.h"

#include "platform/platform.h"

namespace pyx {

#ifndef E_POINTER
#define E_POINTER ((HRESULT)0x80004003L)
#endif

// Everything one Start creates: one reference each to the device and the
// sink, the stop event, and the worker thread. Its owners: the Start that
// made it, until it has resumed the worker; the worker thread, until Run has
// returned; whoever ends it, until it has cut the worker off. The last of
// them frees it, on its own thread.
//
// `call_` is the one thing the worker and whoever ends the Session both
// change. The worker commits to a call of the host's objects by moving it
// from kNoCall to that call, and back as the call returns; ending, after its
// wait, adds kCutOff whatever it holds, and learns which call the worker
// had committed to. The worker begins no call once kCutOff is set; a device
// or sink call that it finds cut off as the call returns leaves that
// object's reference to the worker, which releases it.
class Session final : public RunContext, public NothrowAllocated, public SharedOwners<Session> {
 public:
  // The references whoever ends the Session releases.
  struct HostReferences {
    IUnknown* device;
    IKeySink* sink;
  };

  // Takes over one reference to `device` and, when not null, to `sink`.
  // Owned by its starter and by whoever will end it; owns a share of the
  // module.
  Session(RemoteModuleBase& module, IUnknown* device, IKeySink* sink)
      : SharedOwners(2), module_(module), device_(device), sink_(sink) {
    module_.AddOwner();
  }
  ~Session() { module_.DropOwner(); }

  // The starter: creates the stop event and the suspended worker thread,
  // which owns the Session from here. False when either is missing.
  bool Begin() {
    stop_ = platform::CreateStopEvent();
    if (stop_) thread_ = platform::CreateSuspendedThread(&WorkerMain, this);
    if (!thread_) return false;
    AddOwner();
    return true;
  }
  // The starter, once: lets the worker run, if there is one, and drops its
  // share.
  void Launch() {
    platform::ResumeThread(thread_);
    DropOwner();
  }

  // Whoever detached the Session, once: tells the worker to end, waits for
  // it at most `wait_ms` (not at all on the worker thread itself, from
  // inside OnKey), cuts it off, and drops its share. The Session may be
  // gone when this returns.
  HostReferences End(uint32_t wait_ms) {
    platform::SignalEvent(stop_);
    if (thread_ && !platform::IsCurrentThread(thread_)) {
      platform::WaitForThreadEnd(thread_, wait_ms);
    }
    const int committed = call_.fetch_or(kCutOff, std::memory_order_acq_rel) & kCallMask;
    const HostReferences left{committed == kDeviceCall ? nullptr : device_,
                              committed == kSinkCall ? nullptr : sink_};
    DropOwner();
    return left;
  }

  HRESULT QueryDevice(REFIID iid, void** object) override {
    *object = nullptr;
    if (!Commit(kDeviceCall)) return E_UNEXPECTED;
    const HRESULT result = device_->QueryInterface(iid, object);
    if (CutOffDuring(kDeviceCall)) device_->Release();
    return result;
  }
  bool StopRequested() override { return platform::IsSignalled(stop_); }
  bool ReadRegister(IRegisterAccess& registers, uint32_t offset, uint32_t* value) override {
    return AccessRegisters([&] { registers.ReadRegister(offset, value); });
  }
  bool WriteRegister(IRegisterAccess& registers, uint32_t offset, uint32_t value) override {
    return AccessRegisters([&] { registers.WriteRegister(offset, value); });
  }
  void DispatchKey(int32_t code, const KeyMap& keys) override { Report(keys.Row(code)); }
  void Sleep(uint32_t ms) override { platform::SleepMilliseconds(ms); }
  uint32_t NowMs() override { return platform::MonotonicMilliseconds(); }

 private:
  enum : int { kNoCall, kDeviceCall, kSinkCall, kRegisterCall, kCallMask = 3, kCutOff = 4 };

  static void WorkerMain(void* arg) {
    auto* session = static_cast<Session*>(arg);
    session->module_.Run(*session);
    session->DropOwner();
  }

  void Report(const KeyEntry* row) {
    if (sink_ == nullptr || row == nullptr || !Commit(kSinkCall)) return;
    sink_->OnKey(row->name, row->command);
    if (CutOffDuring(kSinkCall)) sink_->Release();
  }

  // Makes one register access, unless cut off. Cut off during it or not,
  // the registers are the worker's to release.
  template <typename Access>
  bool AccessRegisters(Access access) {
    if (!Commit(kRegisterCall)) return false;
    access();
    CutOffDuring(kRegisterCall);
    return true;
  }

  // The worker, before a call: false, and no call, once cut off.
  bool Commit(int call) {
    int expected = kNoCall;
    return call_.compare_exchange_strong(expected, call, std::memory_order_acq_rel);
  }
  // The worker, as the call returns: true when the worker was cut off during
  // it, in which case a device or sink call's reference is the worker's.
  bool CutOffDuring(int call) {
    int expected = call;
    return !call_.compare_exchange_strong(expected, kNoCall, std::memory_order_acq_rel);
  }

  RemoteModuleBase& module_;
  IUnknown* const device_;
  IKeySink* const sink_;  // may be null
  platform::unique_event stop_;
  platform::unique_thread thread_;  // invalid: started without a worker
  std::atomic<int> call_{kNoCall};
};

RemoteModuleBase::RemoteModuleBase(uint32_t stop_wait_ms)
    : SharedOwners(1), stop_wait_ms_(stop_wait_ms) {}

// The last owner has dropped its share: every Session has gone.
RemoteModuleBase::~RemoteModuleBase() = default;

HRESULT PYX_CALL RemoteModuleBase::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (!SameGuid(iid, kIidUnknown) && !SameGuid(iid, IID_IRemoteModule)) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  *object = static_cast<IRemoteModule*>(this);
  if (AddRef() != 0) return S_OK;
  // Asked during the final Release: the object is on its way out.
  *object = nullptr;
  return E_UNEXPECTED;
}

// Once the count has reached 0 the object is on its way out: a host object
// that calls AddRef or Release on it from its own Release, which the final
// Release makes, changes nothing.
ULONG PYX_CALL RemoteModuleBase::AddRef() {
  const ULONG was = StepRefs(+1);
  return was == 0 ? 0 : was + 1;
}

ULONG PYX_CALL RemoteModuleBase::Release() {
  const ULONG was = StepRefs(-1);
  if (was != 1) return was == 0 ? 0 : was - 1;
  Stop();
  DropOwner();
  return 0;
}

ULONG RemoteModuleBase::StepRefs(int step) {
  ULONG refs = refs_.load(std::memory_order_relaxed);
  while (refs != 0 && !refs_.compare_exchange_weak(refs, static_cast<ULONG>(refs + step))) {
  }
  return refs;
}

HRESULT PYX_CALL RemoteModuleBase::Start(IKeySink* sink, IUnknown* device) {
  AddOwner();
  if (device == nullptr || refs_.load() == 0) {
    DropOwner();
    return E_UNEXPECTED;
  }
  device->AddRef();
  if (sink != nullptr) sink->AddRef();
  // Ending a Session releases host objects, whose code may start us again,
  // or release the object's last reference.
  while (Session* old = session_.exchange(nullptr)) EndSession(old);
  auto* session = new (std::nothrow) Session(*this, device, sink);
  if (session == nullptr) {
    device->Release();
    if (sink != nullptr) sink->Release();
    DropOwner();
    return E_UNEXPECTED;
  }
  HRESULT result = session->Begin() ? S_OK : E_UNEXPECTED;
  // Current before its worker runs, so that a Stop from its first OnKey
  // finds it.
  Session* displaced = session_.exchange(session);
  session->Launch();
  // Another thread's Start got in meanwhile.
  if (displaced != nullptr) EndSession(displaced);
  // The object's last reference has gone since the test above: inside the
  // Stop above, from the new worker's first OnKey, or by a final Release on
  // another thread, which may have looked for the current Session before it
  // was current. Whichever it was, the object is on its way out: end what
  // is still current, and say so.
  if (refs_.load() == 0) {
    if (Session* current = session_.exchange(nullptr)) EndSession(current);
    result = E_UNEXPECTED;
  }
  DropOwner();
  return result;
}

HRESULT PYX_CALL RemoteModuleBase::Stop() {
  if (Session* session = session_.exchange(nullptr)) EndSession(session);
  return S_OK;
}

void PYX_CALL RemoteModuleBase::Reserved() {}

void RemoteModuleBase::EndSession(Session* session) {
  AddOwner();
  const Session::HostReferences left = session->End(stop_wait_ms_);
  // Settled: the Releases below may run host code that calls Start, Stop or
  // Release on this object.
  if (left.device != nullptr) left.device->Release();
  if (left.sink != nullptr) left.sink->Release();
  DropOwner();
}

}  // namespace pyx
