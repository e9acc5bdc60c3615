// The module object the host holds: reference counting, interface queries,
// Start and Stop of the worker thread, and the report of a key code to the
// host's sink through a key table. The body of the worker, Run, is left to a
// subclass.
//
// States
//
//   Created --Start--> Started --Stop--> Stopped (as Created; Start again)
//      |                  |                 |
//      +------------------+-----------------+--> final Release: Stop, then free
//
//   "Started without a worker": Start found no memory, event or thread and
//   returned E_UNEXPECTED; it holds its references until Stop all the same.
//
// Who owns what
//
//   host's thread   refs_, the count of the host's references.
//   the object      device_ and sink_, one reference each from Start to Stop;
//                   the worker's thread handle; one share of its Worker.
//   Worker          one per Start: the stop event, and where the worker is
//                   with the host's objects. Two shares, the object's (until
//                   Stop) and the worker thread's (until it ends); the second
//                   to let go frees it.
//   worker thread   its IRegisterAccess, taken and released on that thread.
//   keepers_        the object's memory: 1 while the host holds references,
//                   plus 1 for each worker that has not ended (a worker that
//                   outlived Stop's wait still runs the object's Run).
//
// Threads of the host's objects
//
//   device, sink  AddRef in Start, Release in Stop or the final Release: on
//                 the host's calling thread, whether the worker has ended or
//                 not. One exception: an object the worker is inside a call
//                 of at that moment (the sink's OnKey; the device's
//                 QueryInterface, as the worker begins) is released by the
//                 worker as that call returns. After Stop has returned, the
//                 worker begins no call on either.
//   registers     QueryInterface of the device, every register access, and
//                 their Release: on the worker thread.
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

// What a worker's Run may use; every call on the worker thread. The module's
// own worker implements it on the host's objects and the system's clock and
// sleep; tests implement it in simulated time.
class WorkerContext {
 public:
  // The device's QueryInterface, or E_UNEXPECTED once Stop has let go of the
  // device.
  virtual HRESULT QueryDevice(REFIID iid, void** object) = 0;
  // True once Stop has told the worker to end.
  virtual bool StopRequested() = 0;
  // Reports the first row of the key table with `code` to the sink, if there
  // is a sink and such a row, and Stop has not let go of the sink.
  virtual void DispatchKey(int32_t code) = 0;
  // Suspends the worker for `ms` milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
  // A clock in milliseconds that only goes forward, wrapping at 2^32.
  virtual uint32_t NowMs() = 0;

 protected:
  ~WorkerContext() = default;
};

class Worker;

// The host calls the six operations from one thread at a time; the object is
// freed only through Release.
class RemoteModuleBase : public IRemoteModule, public NothrowAllocated {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID iid, void** object) override;
  ULONG PYX_CALL AddRef() override;
  ULONG PYX_CALL Release() override;
  HRESULT PYX_CALL Start(IKeySink* sink, IUnknown* device) override;
  HRESULT PYX_CALL Stop() override;
  void PYX_CALL Reserved() override;

 protected:
  // `table` is static data of `count` rows. `stop_wait_ms` bounds Stop's wait.
  RemoteModuleBase(const KeyEntry* table, int32_t count, uint32_t stop_wait_ms = kStopWaitMs);
  virtual ~RemoteModuleBase();

  // The worker's body, on the worker thread; its result is discarded.
  virtual int32_t Run(WorkerContext& worker) = 0;

 private:
  RemoteModuleBase(const RemoteModuleBase&) = delete;
  RemoteModuleBase& operator=(const RemoteModuleBase&) = delete;

  static void WorkerMain(void* worker);
  void DropKeeper();

  platform::unique_thread thread_;  // while started, unless Start failed
  ULONG refs_ = 1;
  IUnknown* device_ = nullptr;  // set exactly while started
  IKeySink* sink_ = nullptr;
  Worker* worker_ = nullptr;  // our share, while started, unless Start failed
  const KeyEntry* const table_;
  const int32_t count_;
  const uint32_t stop_wait_ms_;
  std::atomic<uint32_t> keepers_{1};
};

}  // namespace pyx
