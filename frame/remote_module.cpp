#include "frame/remote_module.h"

#include <utility>

namespace pyx {

#ifndef E_POINTER
#define E_POINTER ((HRESULT)0x80004003L)
#endif

const KeyEntry* FindKey(const KeyEntry* table, int32_t count, int32_t code) {
  for (int32_t i = 0; i < count; ++i) {
    if (table[i].code == code) return &table[i];
  }
  return nullptr;
}

// One started worker. `where_` says where the worker is with the host's
// objects, and which of its two owners lets go second:
//
//   kOwnCode -> kInDeviceCall / kInSinkCall -> kOwnCode   while it runs
//   any of those -> kEnded                                  the worker, as it ends
//   any of those -> kLetGo                                  Stop, after its wait
//
// Whoever finds the other's final mark frees the Worker. Stop releases the
// device and the sink unless it finds the worker inside a call of one; then
// the worker releases that one as the call returns.
class Worker final : public WorkerContext, public NothrowAllocated {
 public:
  enum Where : int { kOwnCode, kInDeviceCall, kInSinkCall, kEnded, kLetGo };

  Worker(RemoteModuleBase* module, platform::unique_event stop, IUnknown* device, IKeySink* sink,
         const KeyEntry* table, int32_t count)
      : module_(module),
        stop_(std::move(stop)),
        device_(device),
        sink_(sink),
        table_(table),
        count_(count) {}

  HRESULT QueryDevice(REFIID iid, void** object) override {
    *object = nullptr;
    if (!Enter(kInDeviceCall)) return E_UNEXPECTED;
    const HRESULT result = device_->QueryInterface(iid, object);
    Leave(kInDeviceCall, device_);
    return result;
  }
  bool StopRequested() override { return platform::IsSignalled(stop_); }
  void DispatchKey(int32_t code) override {
    if (sink_ == nullptr) return;
    const KeyEntry* entry = FindKey(table_, count_, code);
    if (entry == nullptr || !Enter(kInSinkCall)) return;
    sink_->OnKey(entry->name, entry->command);
    Leave(kInSinkCall, sink_);
  }
  void Sleep(uint32_t ms) override { platform::SleepMilliseconds(ms); }
  uint32_t NowMs() override { return platform::MonotonicMilliseconds(); }

  RemoteModuleBase* module() const { return module_; }
  const platform::unique_event& stop_event() const { return stop_; }

  // Host thread: a worker that never ran has nothing to end.
  void NeverRan() { where_.store(kEnded, std::memory_order_relaxed); }
  // Host thread, once: where the worker was when Stop let go. The Worker is
  // freed here when the worker had ended.
  static Where LetGo(Worker* worker) { return Finish(worker, kLetGo); }
  // Worker thread, once, as it ends.
  static void Ended(Worker* worker) { Finish(worker, kEnded); }

 private:
  static Where Finish(Worker* worker, Where mark) {
    const auto found = static_cast<Where>(worker->where_.exchange(mark, std::memory_order_acq_rel));
    if (found == kEnded || found == kLetGo) delete worker;
    return found;
  }
  bool Enter(Where call) {
    int expected = kOwnCode;
    return where_.compare_exchange_strong(expected, call, std::memory_order_acq_rel);
  }
  // Stop let go during the call: the reference left is ours to release.
  template <typename Host>
  void Leave(Where call, Host* object) {
    int expected = call;
    if (!where_.compare_exchange_strong(expected, kOwnCode, std::memory_order_acq_rel)) {
      object->Release();
    }
  }

  RemoteModuleBase* const module_;
  platform::unique_event stop_;
  IUnknown* const device_;
  IKeySink* const sink_;  // may be null
  const KeyEntry* const table_;
  const int32_t count_;
  std::atomic<int> where_{kOwnCode};
};

RemoteModuleBase::RemoteModuleBase(const KeyEntry* table, int32_t count, uint32_t stop_wait_ms)
    : table_(table), count_(count), stop_wait_ms_(stop_wait_ms) {}

// Release stops the object before it is destroyed, and a worker keeps the
// object until it ends, so nothing is running here.
RemoteModuleBase::~RemoteModuleBase() = default;

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

ULONG PYX_CALL RemoteModuleBase::AddRef() { return ++refs_; }

ULONG PYX_CALL RemoteModuleBase::Release() {
  if (--refs_ != 0) return refs_;
  Stop();
  DropKeeper();
  return 0;
}

HRESULT PYX_CALL RemoteModuleBase::Start(IKeySink* sink, IUnknown* device) {
  if (device == nullptr) return E_UNEXPECTED;
  Stop();

  device_ = device;
  device_->AddRef();
  sink_ = sink;
  if (sink_ != nullptr) sink_->AddRef();

  Worker* worker =
      new (std::nothrow) Worker(this, platform::CreateStopEvent(), device, sink, table_, count_);
  if (worker == nullptr) return E_UNEXPECTED;
  worker_ = worker;
  if (worker->stop_event()) thread_ = platform::CreateSuspendedThread(&WorkerMain, worker);
  if (!thread_) {
    worker->NeverRan();
    return E_UNEXPECTED;
  }
  keepers_.fetch_add(1, std::memory_order_relaxed);
  // The last touch of the object here: from now on the worker may call the
  // host, and the host may call Stop or Release from inside that call.
  platform::ResumeThread(thread_);
  return S_OK;
}

HRESULT PYX_CALL RemoteModuleBase::Stop() {
  if (device_ == nullptr) return S_OK;
  Worker::Where worker_was = Worker::kEnded;
  if (Worker* worker = worker_) {
    worker_ = nullptr;
    platform::SignalEvent(worker->stop_event());
    // From inside OnKey, on the worker's own thread, there is nothing to wait
    // for: the worker ends after the call returns.
    if (thread_ && !platform::IsCurrentThread(thread_)) {
      platform::WaitForThreadEnd(thread_, stop_wait_ms_);
    }
    thread_.reset();
    worker_was = Worker::LetGo(worker);
  }
  if (worker_was != Worker::kInDeviceCall) device_->Release();
  if (sink_ != nullptr && worker_was != Worker::kInSinkCall) sink_->Release();
  device_ = nullptr;
  sink_ = nullptr;
  return S_OK;
}

void PYX_CALL RemoteModuleBase::Reserved() {}

void RemoteModuleBase::WorkerMain(void* arg) {
  auto* worker = static_cast<Worker*>(arg);
  RemoteModuleBase* module = worker->module();
  module->Run(*worker);
  Worker::Ended(worker);
  module->DropKeeper();
}

void RemoteModuleBase::DropKeeper() {
  if (keepers_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

}  // namespace pyx
