// POSIX implementation of the platform layer.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform/ini_parse.h"
#include "platform/platform.h"

namespace pyx::platform {
namespace {

struct Event {
  std::atomic<bool> signalled{false};
};

// Shared by the handle and the running thread; the last of the two to let go
// frees it. The thread runs detached: a handle closed before the thread ends
// leaves it to finish on its own.
struct Thread {
  ThreadEntry entry;
  void* arg;
  pthread_t id;  // set by the thread itself before entry runs
  std::atomic<bool> id_set{false};
  std::atomic<int> owners{2};
  std::mutex mutex;
  std::condition_variable changed;
  bool resumed = false;  // guarded by mutex
  bool ended = false;    // guarded by mutex
};

void DropThread(Thread* thread) {
  if (thread->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    thread->~Thread();
    std::free(thread);
  }
}

void* ThreadMain(void* arg) {
  auto* thread = static_cast<Thread*>(arg);
  {
    std::unique_lock<std::mutex> lock(thread->mutex);
    thread->changed.wait(lock, [thread] { return thread->resumed; });
  }
  thread->id = pthread_self();
  thread->id_set.store(true, std::memory_order_release);
  thread->entry(thread->arg);
  {
    std::lock_guard<std::mutex> lock(thread->mutex);
    thread->ended = true;
  }
  thread->changed.notify_all();
  DropThread(thread);
  return nullptr;
}

}  // namespace

const char kIniPath[] = "pyx.ini";

void EventTraits::Close(pointer event) noexcept {
  auto* e = static_cast<Event*>(event);
  e->~Event();
  std::free(e);
}

unique_event CreateStopEvent() noexcept {
  if (FailureInjected(Resource::kEvent)) return unique_event();
  void* memory = std::malloc(sizeof(Event));
  if (memory == nullptr) return unique_event();
  return unique_event(new (memory) Event);
}

void SignalEvent(const unique_event& event) noexcept {
  if (event) static_cast<Event*>(event.get())->signalled.store(true, std::memory_order_release);
}

bool IsSignalled(const unique_event& event) noexcept {
  return event && static_cast<Event*>(event.get())->signalled.load(std::memory_order_acquire);
}

void ThreadTraits::Close(pointer thread) noexcept { DropThread(static_cast<Thread*>(thread)); }

// The thread gets the platform's default stack: a host's OnKey runs on it,
// and a fixed small stack cannot grow here as it can on Windows.
unique_thread CreateSuspendedThread(ThreadEntry entry, void* arg) noexcept {
  if (FailureInjected(Resource::kThread)) return unique_thread();
  void* memory = std::malloc(sizeof(Thread));
  if (memory == nullptr) return unique_thread();
  auto* thread = new (memory) Thread;
  thread->entry = entry;
  thread->arg = arg;

  pthread_attr_t attr;
  pthread_t id;
  bool started = pthread_attr_init(&attr) == 0;
  if (started) {
    started = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 &&
              pthread_create(&id, &attr, ThreadMain, thread) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!started) {
    thread->~Thread();
    std::free(thread);
    return unique_thread();
  }
  return unique_thread(thread);
}

void ResumeThread(const unique_thread& handle) noexcept {
  if (!handle) return;
  auto* thread = static_cast<Thread*>(handle.get());
  // Notified under the lock: once resumed, the thread may run, end and free
  // `thread` (its handle closed from inside entry) as soon as we let go.
  std::lock_guard<std::mutex> lock(thread->mutex);
  thread->resumed = true;
  thread->changed.notify_all();
}

bool WaitForThreadEnd(const unique_thread& handle, uint32_t timeout_ms) noexcept {
  if (!handle) return false;
  auto* thread = static_cast<Thread*>(handle.get());
  std::unique_lock<std::mutex> lock(thread->mutex);
  return thread->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                  [thread] { return thread->ended; });
}

bool IsCurrentThread(const unique_thread& handle) noexcept {
  if (!handle) return false;
  auto* thread = static_cast<Thread*>(handle.get());
  return thread->id_set.load(std::memory_order_acquire) &&
         pthread_equal(thread->id, pthread_self());
}

namespace {
pthread_mutex_t g_log_mutex = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

LogWriteLock::LogWriteLock() noexcept { pthread_mutex_lock(&g_log_mutex); }
LogWriteLock::~LogWriteLock() { pthread_mutex_unlock(&g_log_mutex); }

void SleepMilliseconds(uint32_t ms) noexcept {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint32_t MonotonicMilliseconds() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

int FormatToFile(std::FILE* file, const char* format, va_list args) noexcept {
  return std::vfprintf(file, format, args);
}

namespace {

// The most of an INI file that is read. A larger file, or anything that is
// not a regular file (a FIFO, a directory, a device), reads as missing.
constexpr off_t kMaxIniBytes = 1 << 20;

}  // namespace

int32_t ReadIniInt(const char* section, const char* key, int32_t fallback,
                   const char* path) noexcept {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fallback;
  int32_t result = fallback;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxIniBytes) {
    const size_t size = static_cast<size_t>(info.st_size);
    char* text = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
    if (text != nullptr) {
      size_t got = 0;
      while (got < size) {
        const ssize_t n = read(fd, text + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      result = IniLookupInt(std::string_view(text, got), section, key, fallback);
      std::free(text);
    }
  }
  close(fd);
  return result;
}

}  // namespace pyx::platform
