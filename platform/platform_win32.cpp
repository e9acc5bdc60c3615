// Win32 implementation of the platform layer: the kernel's own event,
// thread, sleep and profile services.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace pyx::platform {
namespace {

// The worker's stack. Windows can grow it up to the executable's reserve.
constexpr SIZE_T kWorkerStackBytes = 32768;

struct ThreadStart {
  ThreadEntry entry;
  void* arg;
  HMODULE self;  // a reference to this DLL, given back as the thread exits
};

DWORD WINAPI ThreadMain(LPVOID param) {
  ThreadStart start = *static_cast<ThreadStart*>(param);
  std::free(param);
  start.entry(start.arg);
  // Keeps the DLL's code in place until the thread is out of it, even when
  // the host has called FreeLibrary after a Stop that stopped waiting.
  FreeLibraryAndExitThread(start.self, 0);
  return 0;
}

}  // namespace

const char kIniPath[] = ".\\pyx.ini";

void EventTraits::Close(pointer event) noexcept { CloseHandle(event); }

unique_event CreateStopEvent() noexcept {
  if (FailureInjected(Resource::kEvent)) return unique_event();
  return unique_event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

void SignalEvent(const unique_event& event) noexcept {
  if (event) SetEvent(event.get());
}

bool IsSignalled(const unique_event& event) noexcept {
  return event && WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
}

// A thread handle with the thread's identifier, which IsCurrentThread
// compares (GetThreadId needs a later Windows than the module supports).
struct Thread {
  HANDLE handle;
  DWORD id;
};

void ThreadTraits::Close(pointer thread) noexcept {
  CloseHandle(static_cast<Thread*>(thread)->handle);
  std::free(thread);
}

unique_thread CreateSuspendedThread(ThreadEntry entry, void* arg) noexcept {
  auto* thread = static_cast<Thread*>(std::malloc(sizeof(Thread)));
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  if (thread == nullptr || start == nullptr ||
      !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&ThreadMain), &start->self)) {
    std::free(thread);
    std::free(start);
    return unique_thread();
  }
  start->entry = entry;
  start->arg = arg;
  thread->handle = FailureInjected(Resource::kThread)
                       ? nullptr
                       : CreateThread(nullptr, kWorkerStackBytes, ThreadMain, start,
                                      CREATE_SUSPENDED, &thread->id);
  if (thread->handle == nullptr) {
    FreeLibrary(start->self);
    std::free(start);
    std::free(thread);
    return unique_thread();
  }
  return unique_thread(thread);
}

void ResumeThread(const unique_thread& thread) noexcept {
  if (thread) ::ResumeThread(static_cast<Thread*>(thread.get())->handle);
}

void WaitForThreadEnd(const unique_thread& thread, uint32_t timeout_ms) noexcept {
  if (thread) WaitForSingleObject(static_cast<Thread*>(thread.get())->handle, timeout_ms);
}

bool IsCurrentThread(const unique_thread& thread) noexcept {
  return thread && static_cast<Thread*>(thread.get())->id == GetCurrentThreadId();
}

namespace {

// A critical section, which every Windows the module runs on has. Set up as
// the DLL loads, before any module object can exist, and torn down as it
// unloads.
class LogLock {
 public:
  LogLock() noexcept { InitializeCriticalSection(&section_); }
  ~LogLock() { DeleteCriticalSection(&section_); }
  CRITICAL_SECTION* get() noexcept { return &section_; }

 private:
  CRITICAL_SECTION section_;
};

LogLock g_log_lock;

}  // namespace

LogWriteLock::LogWriteLock() noexcept { EnterCriticalSection(g_log_lock.get()); }
LogWriteLock::~LogWriteLock() { LeaveCriticalSection(g_log_lock.get()); }

void SleepMilliseconds(uint32_t ms) noexcept { Sleep(ms); }

// The performance counter, not GetTickCount, whose steps of 10 to 16 ms
// would move a delay's end by as much.
uint32_t MonotonicMilliseconds() noexcept {
  LARGE_INTEGER count, frequency;
  if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 ||
      !QueryPerformanceCounter(&count)) {
    return GetTickCount();
  }
  const uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
  const uint64_t per_second = static_cast<uint64_t>(frequency.QuadPart);
  return static_cast<uint32_t>(ticks / per_second * 1000u +
                               ticks % per_second * 1000u / per_second);
}

int FormatToFile(std::FILE* file, const char* format, va_list args) noexcept {
  return __ms_vfprintf(file, format, args);
}

// msvcrt's _vsnprintf leaves a cut string without its NUL and answers -1.
size_t FormatToBuffer(char* out, size_t size, const char* format, va_list args) noexcept {
  const int n = _vsnprintf(out, size - 1, format, args);
  const size_t length = n < 0 ? size - 1 : static_cast<size_t>(n);
  out[length] = '\0';
  return length;
}

// The system's profile functions keep the file they last read, so asking
// them for one value after another does not read it again each time. They
// read a file they cannot open as empty: whether it can be read is asked
// here, with the sharing that lets any other program keep it open.
IniFile::IniFile(const char* path) noexcept : path_(path) {
  const DWORD attributes = GetFileAttributesA(path_);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    access_ = missing ? Access::kMissing : Access::kUnreadable;
    error_ = missing ? 0 : static_cast<int>(error);
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    access_ = Access::kFolder;
    return;
  }
  const HANDLE file =
      CreateFileA(path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    access_ = Access::kUnreadable;
    error_ = static_cast<int>(GetLastError());
    return;
  }
  CloseHandle(file);
  access_ = Access::kRead;
}

IniFile::~IniFile() = default;

namespace {

// An empty list of names, as the profile functions write one.
size_t EmptyList(char* out, size_t size) {
  if (size >= 2) out[0] = out[1] = '\0';
  return 0;
}

}  // namespace

bool IniFile::HasSection(const char* section) const noexcept {
  char names[4096];
  if (SectionNames(names, sizeof names) == 0) return false;
  for (const char* name = names; *name != '\0'; name += std::strlen(name) + 1) {
    if (lstrcmpiA(name, section) == 0) return true;
  }
  return false;
}

int32_t IniFile::Int(const char* section, const char* key, int32_t fallback) const noexcept {
  if (!found()) return fallback;
  return static_cast<int32_t>(GetPrivateProfileIntA(section, key, fallback, path_));
}

// A missing key gives back the default, which no value can be: a line with
// a lone control character 0x01 on it.
bool IniFile::String(const char* section, const char* key, char* out, size_t size) const noexcept {
  if (size == 0 || !found()) return false;
  GetPrivateProfileStringA(section, key, "\x01", out, static_cast<DWORD>(size), path_);
  return !(out[0] == '\x01' && out[1] == '\0');
}

size_t IniFile::KeyNames(const char* section, char* out, size_t size) const noexcept {
  if (!found()) return EmptyList(out, size);
  return GetPrivateProfileStringA(section, nullptr, "", out, static_cast<DWORD>(size), path_);
}

size_t IniFile::SectionNames(char* out, size_t size) const noexcept {
  if (!found()) return EmptyList(out, size);
  return GetPrivateProfileSectionNamesA(out, static_cast<DWORD>(size), path_);
}

void FullPath(const char* path, char* out, size_t size) noexcept {
  if (size == 0) return;
  const DWORD length = GetFullPathNameA(path, static_cast<DWORD>(size), out, nullptr);
  if (length == 0 || length >= size) lstrcpynA(out, path, static_cast<int>(size));
}

}  // namespace pyx::platform
