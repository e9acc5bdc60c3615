// The module object the host holds: reference counting, interface queries,
// Start and Stop of a worker thread, and the report of a key code to the
// host's sink through a key table. Run, the worker thread's body, is left to
// a subclass.
//
// States, as the host's calls move them
//
//   Created --Start--> Started --Stop--> Stopped (as Created; Start again)
//   Started --Start--> Stop, then Start: the old references go, new ones come
//   any     --Start with a null device--> unchanged, E_UNEXPECTED
//   any     --Start that finds no memory--> Stopped, E_UNEXPECTED, nothing kept
//   any     --Start that finds no event or no thread--> "started without a
//           worker", E_UNEXPECTED: its Session keeps the references (and
//           the event) until Stop
//   any     --final Release--> Stop, then the host's hold goes (see holds_)
//   Start during the final Release (from a host object's Release that Stop
//   calls), or whose own Stop of the old session lets go of the object's
//   last reference: E_UNEXPECTED, nothing kept.
//   AddRef and Release once refs_ is 0: 0, nothing changes.
//
// Who owns what
//
//   RemoteModuleBase  refs_: the host's references, touched by the host's
//                     calls only, on the thread the host makes them on (the
//                     worker thread, for a Release from OnKey).
//                     holds_: the object's memory. 1 while refs_ > 0, 1 for
//                     each worker thread that has not ended, 1 for each Start
//                     or Stop under way. The last DropHold frees the object;
//                     the only memory that goes by a count.
//                     session_: the Session of the current Start, until Stop.
//                     retired_: Sessions that Stop let go of before their
//                     worker ended; a later Start or Stop frees each once
//                     its worker has ended, and the object's end frees all.
//   Session           one per Start, created by Start, freed by Stop or as
//                     above (never by its worker): one reference to the
//                     device and one to the sink, the stop event, the worker
//                     thread's handle, and the worker thread's hold on the
//                     object. The object's end may come on a worker thread,
//                     from the last DropHold.
//   worker thread     its IRegisterAccess, a local of Run.
//
// On which thread the host's references are taken and given back
//
//   device, sink   AddRef: in Start, on its caller's thread.
//                  Release: in Stop, the final Release or a Start that keeps
//                  nothing, on its caller's thread (the worker thread, when
//                  the host calls from OnKey), once the object's own state is
//                  settled (Session detached, pointers gone): whatever host
//                  code that Release runs may call Start, Stop or Release,
//                  and the object is held until the call returns. One
//                  exception: the object of a call the worker had committed
//                  to when Stop gave up its wait (OnKey, or the device's
//                  QueryInterface as the worker begins) is released by the
//                  worker, on its thread, as that call returns. Once Stop has
//                  returned the worker begins no call it had not committed
//                  to before.
//   registers      the device's QueryInterface, every register access and
//                  their Release: on the worker thread, possibly after Stop
//                  has returned.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/host_interfaces.h"
#include "frame/nothrow_alloc.h"

namespace pyx {

// One row of a key table. The host is handed pointers to `name` and
// `command`, so rows live in static storage.
struct KeyEntry {
  int32_t code;
  char name[32];     // NUL-terminated, NUL-padded, never empty
  char command[32];  // NUL-terminated, NUL-padded, often empty
};

// The first row of table[0..count) with `code`, or null.
constexpr const KeyEntry* FindKey(const KeyEntry* table, int32_t count, int32_t code) {
  for (int32_t i = 0; i < count; ++i) {
    if (table[i].code == code) return &table[i];
  }
  return nullptr;
}

// For each code the card can yield (0 to 63): the row of a key table that it
// reports, or none, and whether a held key with that code is reported again.
// A value: copied whole, it is never half of one map and half of another.
// Rows past the 255th of a table cannot be named.
class KeyMap {
 public:
  static constexpr int32_t kCodes = 64;
  // The map in 64-bit words: eight of rows, one of codes that do not repeat.
  static constexpr int kWords = kCodes / 8 + 1;

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

  constexpr uint64_t Word(int i) const {
    if (i == kWords - 1) return no_repeat_;
    uint64_t word = 0;
    for (int b = 0; b < 8; ++b) word |= uint64_t{rows_[i * 8 + b]} << (8 * b);
    return word;
  }
  // The map of `table` whose words are `words`.
  static constexpr KeyMap FromWords(const KeyEntry* table, const uint64_t (&words)[kWords]) {
    KeyMap map;
    map.table_ = table;
    for (int32_t code = 0; code < kCodes; ++code) {
      map.rows_[code] = static_cast<uint8_t>(words[code / 8] >> (8 * (code % 8)));
    }
    map.no_repeat_ = words[kWords - 1];
    return map;
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
  // The device's QueryInterface, or E_UNEXPECTED once Stop has taken the
  // device back.
  virtual HRESULT QueryDevice(REFIID iid, void** object) = 0;
  // True once Stop has told the worker to end.
  virtual bool StopRequested() = 0;
  // Reports the first row of the module's key table with `code` to the sink,
  // if there is a sink and such a row, and Stop has not taken the sink back.
  virtual void DispatchKey(int32_t code) = 0;
  // The same for the row that `keys` gives `code`.
  virtual void DispatchKey(int32_t code, const KeyMap& keys) = 0;
  // Suspends the worker thread for `ms` milliseconds.
  virtual void Sleep(uint32_t ms) = 0;
  // A clock in milliseconds that only goes forward, wrapping at 2^32.
  virtual uint32_t NowMs() = 0;

 protected:
  ~RunContext() = default;
};

class Session;

// The host calls the six operations from one thread at a time; the object is
// freed only through DropHold.
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

  // The worker thread's body; its result is discarded.
  virtual int32_t Run(RunContext& context) = 0;

 private:
  friend class Session;
  RemoteModuleBase(const RemoteModuleBase&) = delete;
  RemoteModuleBase& operator=(const RemoteModuleBase&) = delete;

  void Hold() { holds_.fetch_add(1, std::memory_order_relaxed); }
  // Frees the object when this was the last hold: touch nothing after it.
  void DropHold();
  // Frees each retired Session whose worker has ended. Host's calls only.
  void FreeEndedSessions();

  ULONG refs_ = 1;
  std::atomic<uint32_t> holds_{1};
  Session* session_ = nullptr;
  Session* retired_ = nullptr;
  const KeyEntry* const table_;
  const int32_t count_;
  const uint32_t stop_wait_ms_;
};

}  // namespace pyx
