// The module object the host holds: reference counting, interface queries,
// Start and Stop of the worker thread, and the report of a key code to the
// host's sink through a key table. The body of the worker, Run, is left to a
// subclass.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/host_interfaces.h"
#include "frame/nothrow_alloc.h"
#include "platform/platform.h"

namespace pyx {

// One row of a key table. The host is handed pointers to `name` and
// `command`, so rows live in static storage.
struct KeyEntry {
  int32_t code;
  char name[32];     // NUL-terminated, NUL-padded, never empty
  char command[32];  // NUL-terminated, NUL-padded, often empty
};

// The first row of table[0..count) with `code`, or null.
const KeyEntry* FindKey(const KeyEntry* table, int32_t count, int32_t code);

// How long Stop waits for the worker to end, in milliseconds.
inline constexpr uint32_t kStopWaitMs = 5000;

class RemoteModuleBase;

// What one worker shares with the object that started it: the stop event,
// the references to the device and the sink, and the key table. It has two
// owners, the object (from Start until Stop) and the worker (until it ends);
// the last to let go closes the event and releases device and sink. A worker
// that outlives Stop's wait is cut off from the sink, so the host's sink is
// never called once Stop has returned.
class WorkerLink : public NothrowAllocated {
 public:
  // Worker thread only.
  IUnknown* Device() const { return device_; }
  bool StopRequested() const { return platform::IsSignalled(stop_); }
  // Reports the first row of the key table with `code` to the sink, if there
  // is a sink, such a row, and Stop has not given up waiting.
  void DispatchKey(int32_t code);

 private:
  friend class RemoteModuleBase;
  enum SinkState : int { kSinkFree, kSinkCalling, kSinkCutOff };

  WorkerLink(RemoteModuleBase* module, platform::unique_event stop, IUnknown* device,
             IKeySink* sink, const KeyEntry* table, int32_t count);
  ~WorkerLink();
  WorkerLink(const WorkerLink&) = delete;
  WorkerLink& operator=(const WorkerLink&) = delete;

  // Host thread: no call of the sink begins after this returns.
  void CutOffSink();
  // Either owner, once.
  void Drop();

  RemoteModuleBase* const module_;
  platform::unique_event stop_;
  IUnknown* const device_;  // one reference
  IKeySink* const sink_;    // one reference, or null
  const KeyEntry* const table_;
  const int32_t count_;
  std::atomic<int> owners_{2};
  std::atomic<int> sink_state_{kSinkFree};
  // Set by Start once it has stored the thread handle; the worker runs
  // nothing of the object's before, so a Stop from inside OnKey finds the
  // object whole.
  std::atomic<bool> started_{false};
};

// Host-side contract: the host calls the six operations from one thread at a
// time. The worker touches neither the reference count nor the object's own
// fields; it works through its WorkerLink. The object's memory stays until
// both the host's last Release and every worker it started have ended.
class RemoteModuleBase : public IRemoteModule, public NothrowAllocated {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID iid, void** object) override;
  ULONG PYX_CALL AddRef() override;
  ULONG PYX_CALL Release() override;
  HRESULT PYX_CALL Start(IKeySink* sink, IUnknown* device) override;
  HRESULT PYX_CALL Stop() override;
  void PYX_CALL Reserved() override;

  virtual ~RemoteModuleBase();

  // The worker's body, on the worker thread; its result is discarded.
  virtual int32_t Run(WorkerLink& link) = 0;

 protected:
  // `table` is static data of `count` rows. `stop_wait_ms` bounds Stop's wait.
  RemoteModuleBase(const KeyEntry* table, int32_t count, uint32_t stop_wait_ms = kStopWaitMs);

 private:
  RemoteModuleBase(const RemoteModuleBase&) = delete;
  RemoteModuleBase& operator=(const RemoteModuleBase&) = delete;

  static void WorkerMain(void* link);
  void DropHolder();

  platform::unique_thread worker_;  // while started, unless thread creation failed
  ULONG refs_ = 1;                  // host thread only
  WorkerLink* link_ = nullptr;      // our share of it; set exactly while started
  const KeyEntry* const table_;
  const int32_t count_;
  const uint32_t stop_wait_ms_;
  // 1 for the host's references, plus 1 for each worker that has not ended.
  std::atomic<uint32_t> holders_{1};
};

}  // namespace pyx
