// Stand-ins for the operating system services the module uses: a stop event,
// a worker thread, sleep, and the INI reader. One implementation file per
// platform (platform_posix.cpp, platform_win32.cpp); the build picks one.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "platform/ini_parse.h"

namespace pyx::platform {

// Owns one OS handle; move-only. Traits give the handle type, its invalid
// value and how to give it back.
template <typename Traits>
class unique_handle {
 public:
  using pointer = typename Traits::pointer;

  unique_handle() noexcept = default;
  explicit unique_handle(pointer handle) noexcept : handle_(handle) {}
  ~unique_handle() { reset(); }

  unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
  unique_handle& operator=(unique_handle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_handle(const unique_handle&) = delete;
  unique_handle& operator=(const unique_handle&) = delete;

  pointer get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Traits::Invalid(); }

  pointer release() noexcept {
    pointer handle = handle_;
    handle_ = Traits::Invalid();
    return handle;
  }
  void reset(pointer handle = Traits::Invalid()) noexcept {
    if (handle_ != Traits::Invalid()) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  pointer handle_ = Traits::Invalid();
};

struct EventTraits {
  using pointer = void*;
  static constexpr pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer event) noexcept;
};

struct ThreadTraits {
  using pointer = void*;
  static constexpr pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer thread) noexcept;
};

using unique_event = unique_handle<EventTraits>;
using unique_thread = unique_handle<ThreadTraits>;

// A manual-reset event, not signalled, unnamed. Invalid when it cannot be
// created.
unique_event CreateStopEvent() noexcept;

// Signals the event; it stays signalled. Any thread.
void SignalEvent(const unique_event& event) noexcept;

// Tests the event without waiting. True only when it is known to be
// signalled; a test that fails answers false. Any thread.
bool IsSignalled(const unique_event& event) noexcept;

using ThreadEntry = void (*)(void* arg);

// Creates a thread for entry(arg) that waits, before it runs entry, until
// ResumeThread is called on it; the creator uses that gap to finish what the
// thread must find done. Invalid when no thread could be created; entry then
// never runs. A valid thread must be resumed once. Closing the handle gives
// up the means to wait for the thread; it does not end the thread.
unique_thread CreateSuspendedThread(ThreadEntry entry, void* arg) noexcept;

// Lets a thread from CreateSuspendedThread run entry(arg).
void ResumeThread(const unique_thread& thread) noexcept;

// Waits at most timeout_ms milliseconds for the thread to end, that is for
// entry(arg) to return and the thread to exit. Not on the thread itself.
void WaitForThreadEnd(const unique_thread& thread, uint32_t timeout_ms) noexcept;

// True when called on `thread` itself (from inside its entry).
bool IsCurrentThread(const unique_thread& thread) noexcept;

// Suspends the calling thread for `ms` milliseconds.
void SleepMilliseconds(uint32_t ms) noexcept;

// Milliseconds on a clock that only goes forward, wrapping at 2^32. Any
// thread.
uint32_t MonotonicMilliseconds() noexcept;

// The module's process-wide locks, each held by a HoldLock:
//   kLog       while the module writes one log message and reads pyx.ini:
//              its writes to its log never overlap within the process (a
//              Windows append seeks to the end and then writes, so two at
//              once can overwrite each other);
//   kSettings  while it takes or replaces the settings in force, which is
//              all that is done under it.
// Not recursive. Any thread.
enum class ProcessLock { kLog, kSettings };

class HoldLock {
 public:
  explicit HoldLock(ProcessLock lock) noexcept;
  ~HoldLock();
  HoldLock(const HoldLock&) = delete;
  HoldLock& operator=(const HoldLock&) = delete;

 private:
  const ProcessLock lock_;
};

// vfprintf of the system's C runtime (msvcrt.dll's own on Windows, not a
// statically linked replacement).
int FormatToFile(std::FILE* file, const char* format, va_list args) noexcept;

// vsnprintf of the system's C runtime, always NUL-terminated within `size`
// (> 0). The length written, without the NUL.
size_t FormatToBuffer(char* out, size_t size, const char* format, va_list args) noexcept;

// Test seam: each resource the module creates can be made to fail as the
// system would fail it, at the system's call, after what comes before it.
enum class Resource { kMemory, kEvent, kThread };
using FailureInjector = bool (*)(Resource resource);

namespace detail {
inline std::atomic<FailureInjector> g_failure_injector{nullptr};
}  // namespace detail

// While `fails` is set, it is asked before each creation of a resource, and
// true makes that creation fail. Null ends it. Tests only.
inline void InjectFailuresForTesting(FailureInjector fails) noexcept {
  detail::g_failure_injector.store(fails, std::memory_order_relaxed);
}
inline bool FailureInjected(Resource resource) noexcept {
  const FailureInjector fails = detail::g_failure_injector.load(std::memory_order_relaxed);
  return fails != nullptr && fails(resource);
}

// The INI file the module reads, relative to the current directory at the
// time of the call.
extern const char kIniPath[];

// An INI file as the module reads it at one moment: its text, read once,
// for the lines it holds; and, on Windows, the value of a key as the system
// reads it, GetPrivateProfileIntA's answer, which reads the file again.
// Elsewhere, and for text given in memory, there is no system reader: what
// our reader makes of the text (ini_parse.h), which gives the same answers
// for the same bytes, is what acts. Any thread; one object on one thread.
class IniFile {
 public:
  // Whether the file could be read, and if not, why.
  enum class Access {
    kMissing,     // no such file
    kFolder,      // a folder of that name
    kUnreadable,  // there, but it cannot be read: see error()
    kRead
  };

  // The file at `path`.
  explicit IniFile(const char* path) noexcept;
  // `bytes` as the contents of a file that was read, by our reader alone.
  // `bytes` must outlive the object.
  struct InMemory {};
  IniFile(InMemory, std::string_view bytes) noexcept;
  ~IniFile();
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  // The path it was given; null for text given in memory.
  const char* path() const noexcept { return path_; }
  Access access() const noexcept { return access_; }
  // With kUnreadable, the system's error number: errno on POSIX (EINVAL for
  // what is not a plain file), GetLastError on Windows; EFBIG or
  // ERROR_FILE_TOO_LARGE for a file over kMaxIniBytes.
  int error() const noexcept { return error_; }
  // The file is there to be read.
  bool found() const noexcept { return access_ == Access::kRead; }
  // Its text, and how its bytes were taken as text; empty unless found().
  std::string_view text() const noexcept { return text_.text(); }
  IniEncoding encoding() const noexcept { return text_.encoding(); }
  // The integer value the system reads for `key` in `section` into
  // `value` (`fallback` when the section or the key is missing or the value
  // is empty), and true; false, and `value` untouched, where no system
  // reads the file: elsewhere than Windows, or for text in memory.
  bool SystemInt(const char* section, const char* key, int32_t fallback,
                 int32_t* value) const noexcept;

  static constexpr size_t kMaxIniBytes = 1 << 20;

 private:
  const char* path_ = nullptr;  // null: in memory
  Access access_ = Access::kMissing;
  int error_ = 0;
  char* bytes_ = nullptr;  // the file's, when read from one
  IniText text_;
};

// The full path of `path`, relative to the current directory, in `out`
// (cut to `size` - 1 characters).
void FullPath(const char* path, char* out, size_t size) noexcept;

}  // namespace pyx::platform
