// The module object the host holds: reference counting, interface queries,
// Start and Stop of a worker thread, and the report of a key code to the
// host's sink through a key map. Run, the worker thread's body, is left to
// a subclass.
//
// The states a host can reach
//
//   Created        refs_ >= 1, no current Session. After construction.
//   Started        a current Session, its worker thread running Run. After
//                  a Start that returned S_OK.
//   Started without a worker
//                  a current Session that keeps the device and sink (and its
//                  stop event, if it has one) but has no thread. After a
//                  Start that found no event or no thread: E_UNEXPECTED.
//   Stopped        no current Session, as Created. After Stop, or a Start
//                  that found no memory after stopping the old worker:
//                  E_UNEXPECTED, nothing kept. A Start with a null device
//                  changes no state: E_UNEXPECTED.
//   Stopped, worker still running
//                  as Stopped, but the worker of a Session that Stop ended
//                  goes on: Stop gave up its wait. That Session, and so the
//                  object's memory, stays until the worker lets go of it.
//   Released       refs_ is 0: the final Release has stopped the object,
//                  or a Start ended the Session it made because the object
//                  was let go of meanwhile (E_UNEXPECTED, nothing kept).
//                  AddRef and Release answer 0 and change nothing,
//                  QueryInterface fails with a null pointer, Start fails
//                  and keeps nothing, Stop does nothing. The memory goes
//                  when the last keeper lets go (below).
//
// Who frees what, and on which thread
//
//   the object's memory  keepers_: one for the host's references while
//                  refs_ > 0, one for each Session, one for each Start and
//                  each ending of a Session under way. The last to let go
//                  frees it: the host's thread, or the thread of a worker
//                  whose Session went last.
//   a Session      its own keepers_: the Start that made it until it has
//                  resumed the worker, the worker thread until Run has
//                  returned, and whoever ends it (Stop, a later Start, the
//                  final Release) until it has cut the worker off. The last
//                  to let go frees it, on its thread; the Session closes its
//                  stop event and thread handle and lets go of the object.
//   device, sink   AddRef in Start, on its caller's thread. Release by
//                  whoever ends the Session, on its thread, once the
//                  Session is detached and cut off, except the object of a
//                  call the worker had committed to when it was cut off
//                  (OnKey, or the device's QueryInterface): the worker
//                  releases that one, on its thread, as the call returns.
//   IRegisterAccess  the worker's, from the device's QueryInterface to its
//                  Release as Run ends, on the worker thread.
//
// What can still come after Stop has returned, all on the worker thread:
// the return of the one call the worker had committed to when Stop cut it
// off (OnKey, the device's QueryInterface, or a register access), the
// Release of that call's sink or device, and the Release of
// IRegisterAccess. The worker tests the cut-off before each call of the
// host's objects and begins none after it.
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
