// POSIX implementation of the platform layer.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/ini_parse.h"
#include "platform/platform.h"
#include "platform/shared_owners.h"

namespace pyx::platform {
namespace {

struct Event {
  std::atomic<bool> signalled{false};
};

// The record of one thread, owned by its handle and by the thread itself
// until entry has returned and the thread has said so. A thread that is not
// joined by the time its handle closes is detached and ends on its own.
struct Thread : SharedOwners<Thread> {
  Thread(ThreadEntry thread_entry, void* thread_arg) noexcept
      : SharedOwners(2), entry(thread_entry), arg(thread_arg) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    // Waits are timed on the monotonic clock: setting the wall clock neither
    // stretches nor cuts them.
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &attr);
    pthread_condattr_destroy(&attr);
  }
  ~Thread() {
    pthread_cond_destroy(&changed);
    pthread_mutex_destroy(&mutex);
  }
  static void operator delete(void* memory) noexcept { std::free(memory); }

  pthread_t id{};
  const ThreadEntry entry;
  void* const arg;
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t changed;
  bool resumed = false;  // guarded by mutex
  bool ended = false;    // guarded by mutex: entry has returned
  bool joined = false;   // the handle's own
};

void* ThreadMain(void* arg) {
  auto* thread = static_cast<Thread*>(arg);
  pthread_mutex_lock(&thread->mutex);
  while (!thread->resumed) pthread_cond_wait(&thread->changed, &thread->mutex);
  pthread_mutex_unlock(&thread->mutex);
  thread->entry(thread->arg);
  pthread_mutex_lock(&thread->mutex);
  thread->ended = true;
  pthread_cond_broadcast(&thread->changed);
  pthread_mutex_unlock(&thread->mutex);
  thread->DropOwner();
  return nullptr;
}

timespec MonotonicDeadline(uint32_t timeout_ms) {
  timespec at{};
  clock_gettime(CLOCK_MONOTONIC, &at);
  at.tv_sec += static_cast<time_t>(timeout_ms / 1000);
  at.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (at.tv_nsec >= 1000000000L) {
    at.tv_sec += 1;
    at.tv_nsec -= 1000000000L;
  }
  return at;
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

void ThreadTraits::Close(pointer handle) noexcept {
  auto* thread = static_cast<Thread*>(handle);
  if (!thread->joined) pthread_detach(thread->id);
  thread->DropOwner();
}

// The thread gets the platform's default stack: a host's OnKey runs on it,
// and a fixed small stack cannot grow here as it can on Windows.
unique_thread CreateSuspendedThread(ThreadEntry entry, void* arg) noexcept {
  void* memory = std::malloc(sizeof(Thread));
  if (memory == nullptr) return unique_thread();
  auto* thread = new (memory) Thread(entry, arg);
  if (FailureInjected(Resource::kThread) ||
      pthread_create(&thread->id, nullptr, ThreadMain, thread) != 0) {
    delete thread;  // no thread came to own it
    return unique_thread();
  }
  return unique_thread(thread);
}

void ResumeThread(const unique_thread& handle) noexcept {
  if (!handle) return;
  auto* thread = static_cast<Thread*>(handle.get());
  pthread_mutex_lock(&thread->mutex);
  thread->resumed = true;
  pthread_cond_broadcast(&thread->changed);
  pthread_mutex_unlock(&thread->mutex);
}

// Returns as the thread's entry returns, not at the next of a series of
// tries; the join that follows waits only for the thread's exit.
void WaitForThreadEnd(const unique_thread& handle, uint32_t timeout_ms) noexcept {
  if (!handle) return;
  auto* thread = static_cast<Thread*>(handle.get());
  if (thread->joined) return;
  const timespec deadline = MonotonicDeadline(timeout_ms);
  pthread_mutex_lock(&thread->mutex);
  // Any answer but a wake-up (the deadline, or a failure) ends the wait.
  int waited = 0;
  while (!thread->ended && waited == 0) {
    waited = pthread_cond_timedwait(&thread->changed, &thread->mutex, &deadline);
  }
  const bool ended = thread->ended;
  pthread_mutex_unlock(&thread->mutex);
  if (ended) thread->joined = pthread_join(thread->id, nullptr) == 0;
}

bool IsCurrentThread(const unique_thread& handle) noexcept {
  return handle && pthread_equal(static_cast<Thread*>(handle.get())->id, pthread_self());
}

namespace {
pthread_mutex_t g_locks[] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};
}  // namespace

HoldLock::HoldLock(ProcessLock lock) noexcept : lock_(lock) {
  pthread_mutex_lock(&g_locks[static_cast<int>(lock_)]);
}
HoldLock::~HoldLock() { pthread_mutex_unlock(&g_locks[static_cast<int>(lock_)]); }

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

size_t FormatToBuffer(char* out, size_t size, const char* format, va_list args) noexcept {
  const int n = std::vsnprintf(out, size, format, args);
  if (n < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

IniFile::IniFile(const char* path) noexcept : path_(path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const bool missing = errno == ENOENT || errno == ENOTDIR;
    access_ = missing ? Access::kMissing : Access::kUnreadable;
    error_ = missing ? 0 : errno;
    return;
  }
  access_ = Access::kUnreadable;
  struct stat info;
  if (fstat(fd, &info) != 0) {
    error_ = errno;
  } else if (S_ISDIR(info.st_mode)) {
    access_ = Access::kFolder;
  } else if (!S_ISREG(info.st_mode)) {
    error_ = EINVAL;
  } else if (static_cast<uint64_t>(info.st_size) > kMaxIniBytes) {
    error_ = EFBIG;
  } else {
    const size_t size = static_cast<size_t>(info.st_size);
    bytes_ = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
    size_t got = 0;
    error_ = bytes_ != nullptr ? 0 : ENOMEM;
    while (error_ == 0 && got < size) {
      const ssize_t n = read(fd, bytes_ + got, size - got);
      if (n < 0 && errno != EINTR) error_ = errno;
      if (n == 0) break;  // the file shrank meanwhile
      if (n > 0) got += static_cast<size_t>(n);
    }
    if (error_ == 0) {
      access_ = Access::kRead;
      text_.Decode(std::string_view(bytes_, got));
    }
  }
  close(fd);
}

bool IniFile::SystemInt(const char*, const char*, int32_t, int32_t*) const noexcept {
  return false;
}

void FullPath(const char* path, char* out, size_t size) noexcept {
  if (size == 0) return;
  out[0] = '\0';
  if (path[0] != '/' && getcwd(out, size) != nullptr) {
    const size_t used = std::strlen(out);
    std::snprintf(out + used, size - used, "%s%s", used > 0 && out[used - 1] == '/' ? "" : "/",
                  path);
  } else {
    std::snprintf(out, size, "%s", path);
  }
}

}  // namespace pyx::platform
