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

// Critical sections, which every Windows the module runs on has. Set up as
// the DLL loads, before any module object can exist, and torn down as it
// unloads.
class Locks {
 public:
  Locks() noexcept {
    for (CRITICAL_SECTION& section : sections_) InitializeCriticalSection(&section);
  }
  ~Locks() {
    for (CRITICAL_SECTION& section : sections_) DeleteCriticalSection(&section);
  }
  CRITICAL_SECTION* get(ProcessLock lock) noexcept { return &sections_[static_cast<int>(lock)]; }

 private:
  CRITICAL_SECTION sections_[2];
};

Locks g_locks;

}  // namespace

HoldLock::HoldLock(ProcessLock lock) noexcept : lock_(lock) {
  EnterCriticalSection(g_locks.get(lock_));
}
HoldLock::~HoldLock() { LeaveCriticalSection(g_locks.get(lock_)); }

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

// The file is read here for its lines, with the sharing that lets any
// other program keep it open; a value is GetPrivateProfileIntA's, which
// reads it again (the system keeps the file it last read, and rereads it
// when it has changed).
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
  access_ = Access::kUnreadable;
  const HANDLE file =
      CreateFileA(path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error_ = static_cast<int>(GetLastError());
    return;
  }
  DWORD high = 0;
  const DWORD size = GetFileSize(file, &high);
  if (size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    error_ = static_cast<int>(GetLastError());
  } else if (high != 0 || size > kMaxIniBytes) {
    error_ = ERROR_FILE_TOO_LARGE;
  } else {
    bytes_ = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
    DWORD got = 0;
    if (bytes_ == nullptr) {
      error_ = ERROR_NOT_ENOUGH_MEMORY;
    } else if (!ReadFile(file, bytes_, size, &got, nullptr)) {
      error_ = static_cast<int>(GetLastError());
    } else {
      access_ = Access::kRead;
      text_.Decode(std::string_view(bytes_, got));
    }
  }
  CloseHandle(file);
}

bool IniFile::SystemInt(const char* section, const char* key, int32_t fallback,
                        int32_t* value) const noexcept {
  if (!found() || path_ == nullptr) return false;
  *value = static_cast<int32_t>(GetPrivateProfileIntA(section, key, fallback, path_));
  return true;
}

void FullPath(const char* path, char* out, size_t size) noexcept {
  if (size == 0) return;
  const DWORD length = GetFullPathNameA(path, static_cast<DWORD>(size), out, nullptr);
  if (length == 0 || length >= size) lstrcpynA(out, path, static_cast<int>(size));
}

}  // namespace pyx::platform
