// What the benchmark reads off the process it runs in.
#pragma once

#include <cstddef>

namespace bench {

double ProcessCpuMs();      // CPU time of the whole process so far; NaN where unknown
size_t ResidentBytes();     // resident set (working set on Windows)
int ThreadCount();          // threads of this process now
const char* BuildName();    // "native" or "wine"
void SleepMs(unsigned ms);  // the system's own sleep, as the module's worker sleeps

}  // namespace bench
