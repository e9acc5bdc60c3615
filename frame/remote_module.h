// The module object the host holds: reference counting, interface queries,
// Start and Stop of a worker thread, and the report of a key code to the
// host's sink through a key map. Run, the worker thread's body, is left to
// a subclass.
//
// States and transitions. A row: the state an event finds, the event, the
// state after it, and what the call answers. RemoteModuleTable in
// tests/remote_module_test.cpp walks these rows as they stand here: a row
// the code does not keep fails it.
//
//   Created     no current Session; the host's references > 0.
//   Started     a current Session whose worker runs Run.
//   NoWorker    a current Session with the device and the sink but no
//               thread (no event, or no thread, to be had).
//   Stopped     as Created.
//   StoppedLate as Stopped, but the worker of the Session that Stop ended
//               is still in a call: Stop gave up its wait. That Session,
//               and so the object's memory, stays until Run returns.
//   Gone        the host's references gone, but a late worker's Session,
//               and so the object's memory, stays until Run returns.
//   Freed       the host's references and every Session gone: the memory
//               is freed.
//   Releasing   inside a host object's Release that the final Release
//               makes: the references are 0, the memory not yet freed.
//
//   from        | event                          | to          | answer
//   Created     | Start                          | Started     | S_OK
//   Created     | Start, null device             | Created     | E_UNEXPECTED
//   Created     | Start, no memory               | Created     | E_UNEXPECTED
//   Created     | Start, no event                | NoWorker    | E_UNEXPECTED
//   Created     | Start, no thread               | NoWorker    | E_UNEXPECTED
//   Created     | Stop                           | Created     | S_OK
//   Created     | Release, last                  | Freed       | 0
//   Started     | Start                          | Started     | S_OK
//   Started     | Stop                           | Stopped     | S_OK
//   Started     | Stop, from OnKey               | Stopped     | S_OK
//   Started     | Stop, worker stuck             | StoppedLate | S_OK
//   Started     | Release, last                  | Freed       | 0
//   Started     | Release, last, from OnKey      | Freed       | 0
//   NoWorker    | Start                          | Started     | S_OK
//   NoWorker    | Stop                           | Stopped     | S_OK
//   NoWorker    | Release, last                  | Freed       | 0
//   Stopped     | Start                          | Started     | S_OK
//   Stopped     | Stop                           | Stopped     | S_OK
//   StoppedLate | Start                          | Started     | S_OK
//   StoppedLate | Release, last                  | Gone        | 0
//   StoppedLate | worker's call returns          | Stopped     | -
//   Gone        | worker's call returns          | Freed       | -
//   Releasing   | AddRef                         | Releasing   | 0
//   Releasing   | Release                        | Releasing   | 0
//   Releasing   | QueryInterface                 | Releasing   | E_UNEXPECTED
//   Releasing   | Start                          | Releasing   | E_UNEXPECTED
//   Releasing   | Stop                           | Releasing   | S_OK
//
// Start also answers E_UNEXPECTED, and leaves the object Freed, when the
// new worker's first OnKey stops the object and releases its last
// reference before Start is done; whether it does so first depends on
// timing, so no row says it.
//
// In each Start, Stop or final Release that ends a Session, in this order:
// the Session is taken from session_ (one caller alone gets it); its worker
// is told to end and waited for; it is cut off; the device and then the
// sink are released, on the caller's thread, except the object of the call
// the worker is making, which the worker releases as that call returns. A
// Start ends the old Session, with its releases, before it takes the new
// device and sink into a new one; it has taken its own references to them
// first, so a host object given to both survives the old release.
//
// Who frees what (SharedOwners: the last owner frees)
//
//   the object's memory   owners: the host's references, as one share while
//                 refs_ > 0; each Session; each Start, and each ending of
//                 a Session, while under way. Freed on the thread of the
//                 last: the host's, or a late worker's.
//   a Session     owners: the Start that made it, until it has resumed the
//                 worker; the worker thread, until Run has returned;
//                 whoever ends it, until it has cut the worker off. Freed
//                 on the thread of the last, where it closes its stop event
//                 and thread handle and drops its share of the object.
//   device, sink  AddRef in Start, on its caller's thread; Release as above.
//   IRegisterAccess  the worker's, from the device's QueryInterface to its
//                 Release as Run ends, on the worker thread.
//
// DispatchKey reports the row the reading's key map gives the code, if
// there is one and a sink, and Stop has not cut the worker off.
//
// The host's calls may come from any thread, two at once included (a
// worker's late Release that calls back, say): the current Session changes
// hands by atomic exchange, so one caller alone ends it; the counts are
// atomic; and no lock is held across a call into the host.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/host_interfaces.h"
#include "frame/nothrow_alloc.h"
#include "platform/shared_owners.h"

namespace pyx {

// One row of a key table. The host is handed pointers to `name` and
// `command`, so rows live in static storage.
struct KeyEntry {
  int32_t code;
  char name[32];     // NUL-terminated, NUL-padded, never empty
  char command[32];  // NUL-terminated, NUL-padded, often empty
};

// For each code the card can yield (0 to 63): the row of a key table that it
// reports, or none, and whether a held key with that code is reported again.
// A value: copied whole, it is never half of one map and half of another.
// Rows past the 255th of a table cannot be named.
class KeyMap {
 public:
  static constexpr int32_t kCodes = 64;

  // Reports nothing.
  constexpr KeyMap() = default;
  // A map of rows of `table` that reports nothing yet.
  constexpr explicit KeyMap(const KeyEntry* table) : table_(table) {}
  // The table as it stands, given the code of each of its `count` rows:
  // each code reports its first row, and repeats.
  static constexpr KeyMap FirstRows(const KeyEntry* table, const int32_t* codes, int32_t count) {
    KeyMap map(table);
    for (int32_t row = count - 1; row >= 0; --row) map.Set(codes[row], row, true);
    return map;
  }
  // The same, with the codes the rows hold.
  static KeyMap Of(const KeyEntry* table, int32_t count) {
    KeyMap map(table);
    for (int32_t row = count - 1; row >= 0; --row) map.Set(table[row].code, row, true);
    return map;
  }

  // The row `code` reports, or null; null for a code outside 0 to 63.
  constexpr const KeyEntry* Row(int32_t code) const {
    return RowIndex(code) < 0 ? nullptr : &table_[RowIndex(code)];
  }
  // The index in the table of that row, or -1.
  constexpr int32_t RowIndex(int32_t code) const {
    return InRange(code) ? int32_t{rows_[code]} - 1 : -1;
  }
  constexpr bool Repeats(int32_t code) const {
    return !InRange(code) || (no_repeat_ >> code & 1) == 0;
  }
  // Bit c set: code c does not repeat.
  constexpr uint64_t NoRepeatCodes() const { return no_repeat_; }
  constexpr const KeyEntry* table() const { return table_; }

  // `code` reports table row `row` (-1: none), and repeats or not. Codes
  // outside 0 to 63 are left alone.
  constexpr void Set(int32_t code, int32_t row, bool repeats) {
    if (!InRange(code)) return;
    rows_[code] = row >= 0 && row < 255 ? static_cast<uint8_t>(row + 1) : 0;
    const uint64_t bit = uint64_t{1} << code;
    no_repeat_ = repeats ? no_repeat_ & ~bit : no_repeat_ | bit;
  }

  // The same rows of the same table for every code, repeating alike.
  constexpr bool operator==(const KeyMap& other) const {
    for (int32_t code = 0; code < kCodes; ++code) {
      if (rows_[code] != other.rows_[code]) return false;
    }
    return table_ == other.table_ && no_repeat_ == other.no_repeat_;
  }

 private:
  static constexpr bool InRange(int32_t code) { return code >= 0 && code < kCodes; }

  const KeyEntry* table_ = nullptr;
  uint8_t rows_[kCodes] = {};  // row + 1; 0 for none
  uint64_t no_repeat_ = 0;
};

// How long Stop waits for the worker thread to end, in milliseconds.
inline constexpr uint32_t kStopWaitMs = 5000;

// What Run may use; every call on the worker thread. A Session implements it
// on the host's objects and the system's clock and sleep; tests implement it
// in simulated time.
class RunContext {
 public:
  // The device's QueryInterface, or E_UNEXPECTED and a null pointer once
  // Stop has cut the worker off.
  virtual HRESULT QueryDevice(REFIID iid, void** object) = 0;
  // True once Stop has told the worker to end.
  virtual bool StopRequested() = 0;
  // One register access each, results ignored; false, with no call made,
  // once Stop has cut the worker off.
  virtual bool ReadRegister(IRegisterAccess& registers, uint32_t offset, uint32_t* value) = 0;
  virtual bool WriteRegister(IRegisterAccess& registers, uint32_t offset, uint32_t value) = 0;
  // Reports the row that `keys` gives `code` to the sink, if there is a
  // sink and such a row, and Stop has not cut the worker off.
  virtual void DispatchKey(int32_t code, const KeyMap& keys) = 0;
  // Suspends the worker thread for `ms` milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
  // A clock in milliseconds that only goes forward, wrapping at 2^32.
  virtual uint32_t NowMs() = 0;

 protected:
  ~RunContext() = default;
};

class Session;

// The object's memory is freed only by its last owner's DropOwner.
class RemoteModuleBase : public IRemoteModule,
                         public NothrowAllocated,
                         private SharedOwners<RemoteModuleBase> {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID iid, void** object) override;
  ULONG PYX_CALL AddRef() override;
  ULONG PYX_CALL Release() override;
  HRESULT PYX_CALL Start(IKeySink* sink, IUnknown* device) override;
  HRESULT PYX_CALL Stop() override;
  void PYX_CALL Reserved() override;

 protected:
  // `stop_wait_ms` bounds Stop's wait.
  explicit RemoteModuleBase(uint32_t stop_wait_ms = kStopWaitMs);
  virtual ~RemoteModuleBase();

  // The worker thread's body; its result is discarded.
  virtual int32_t Run(RunContext& context) = 0;

 private:
  friend class Session;
  friend class SharedOwners<RemoteModuleBase>;
  RemoteModuleBase(const RemoteModuleBase&) = delete;
  RemoteModuleBase& operator=(const RemoteModuleBase&) = delete;

  // Ends `session`, detached from session_ by the caller: the worker is told
  // to end, waited for and cut off, then the references left to the caller
  // are released on its thread.
  void EndSession(Session* session);
  // Adds `step` to refs_ unless it is 0, which stays; the count before.
  ULONG StepRefs(int step);

  std::atomic<ULONG> refs_{1};              // the host's references
  std::atomic<Session*> session_{nullptr};  // the current one
  const uint32_t stop_wait_ms_;
};

}  // namespace pyx
