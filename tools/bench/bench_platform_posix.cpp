#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "bench_platform.h"

namespace bench {

double ProcessCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

size_t ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(statm);
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

int ThreadCount() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  int n = 0;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') ++n;
  }
  closedir(tasks);
  return n;
}

void SleepMs(unsigned ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

const char* BuildName() { return "native"; }

}  // namespace bench
