#include <windows.h>
// windows.h first
#include <psapi.h>
#include <tlhelp32.h>

#include <cmath>

#include "bench_platform.h"

namespace bench {

// Not measured: Windows accounts a process's CPU time in scheduler ticks
// (10 to 16 ms), too coarse for an idle cost near 1 ms a second, and Wine
// keeps none at all.
double ProcessCpuMs() { return NAN; }

size_t ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.WorkingSetSize;
}

int ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int n = 0;
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++n;
  }
  CloseHandle(snapshot);
  return n;
}

void SleepMs(unsigned ms) { Sleep(ms); }

const char* BuildName() { return "wine"; }

}  // namespace bench
