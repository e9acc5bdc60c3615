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

WorkerLink::WorkerLink(RemoteModuleBase* module, platform::unique_event stop, IUnknown* device,
                       IKeySink* sink, const KeyEntry* table, int32_t count)
    : module_(module),
      stop_(std::move(stop)),
      device_(device),
      sink_(sink),
      table_(table),
      count_(count) {
  device_->AddRef();
  if (sink_ != nullptr) sink_->AddRef();
}

WorkerLink::~WorkerLink() {
  stop_.reset();
  device_->Release();
  if (sink_ != nullptr) sink_->Release();
}

void WorkerLink::DispatchKey(int32_t code) {
  if (sink_ == nullptr) return;
  const KeyEntry* entry = FindKey(table_, count_, code);
  if (entry == nullptr) return;
  int state = kSinkFree;
  if (!sink_state_.compare_exchange_strong(state, kSinkCalling, std::memory_order_acq_rel)) return;
  sink_->OnKey(entry->name, entry->command);
  state = kSinkCalling;
  sink_state_.compare_exchange_strong(state, kSinkFree, std::memory_order_acq_rel);
}

void WorkerLink::CutOffSink() { sink_state_.exchange(kSinkCutOff, std::memory_order_acq_rel); }

void WorkerLink::Drop() {
  if (owners_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

RemoteModuleBase::RemoteModuleBase(const KeyEntry* table, int32_t count, uint32_t stop_wait_ms)
    : table_(table), count_(count), stop_wait_ms_(stop_wait_ms) {}

// Release stops the object before it is destroyed, and a worker holds the
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
  DropHolder();
  return 0;
}

HRESULT PYX_CALL RemoteModuleBase::Start(IKeySink* sink, IUnknown* device) {
  if (device == nullptr) return E_UNEXPECTED;
  Stop();

  platform::unique_event stop = platform::CreateStopEvent();
  if (!stop) return E_UNEXPECTED;
  WorkerLink* link =
      new (std::nothrow) WorkerLink(this, std::move(stop), device, sink, table_, count_);
  if (link == nullptr) return E_UNEXPECTED;
  link_ = link;

  holders_.fetch_add(1, std::memory_order_relaxed);
  worker_ = platform::StartThread(&RemoteModuleBase::WorkerMain, link);
  if (!worker_) {
    // No worker: its shares go at once; ours, with the references, at Stop.
    holders_.fetch_sub(1, std::memory_order_relaxed);
    link->Drop();
    return E_UNEXPECTED;
  }
  // The last touch of the object here: from now on the worker may call the
  // host, and the host may call Stop or Release from inside that call.
  link->started_.store(true, std::memory_order_release);
  return S_OK;
}

HRESULT PYX_CALL RemoteModuleBase::Stop() {
  WorkerLink* link = link_;
  if (link == nullptr) return S_OK;
  link_ = nullptr;
  platform::SignalEvent(link->stop_);
  // Called from inside the sink, on the worker's own thread, there is nothing
  // to wait for: the worker ends after the call returns. Otherwise a worker
  // that outlives the wait is late. Either way it keeps what it shares with
  // us and lets go of it when it ends, but it may not call the sink again.
  if (worker_ &&
      (platform::IsCurrentThread(worker_) || !platform::WaitForThreadEnd(worker_, stop_wait_ms_))) {
    link->CutOffSink();
  }
  worker_.reset();
  link->Drop();
  return S_OK;
}

void PYX_CALL RemoteModuleBase::Reserved() {}

void RemoteModuleBase::WorkerMain(void* arg) {
  auto* link = static_cast<WorkerLink*>(arg);
  // Start is a few instructions from done: it has created this thread.
  while (!link->started_.load(std::memory_order_acquire)) platform::SleepMilliseconds(0);
  RemoteModuleBase* module = link->module_;
  module->Run(*link);
  link->Drop();
  module->DropHolder();
}

void RemoteModuleBase::DropHolder() {
  if (holders_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

}  // namespace pyx
