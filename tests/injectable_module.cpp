// The module as a DLL for tests, beside GetInterfacePtr a switch that makes
// the worker thread's creation fail as the system would fail it.
#include "platform/platform.h"

namespace {

bool FailThreads(pyx::platform::Resource resource) {
  return resource == pyx::platform::Resource::kThread;
}

}  // namespace

extern "C" __declspec(dllexport) void FailThreadCreation(int fail) {
  pyx::platform::InjectFailuresForTesting(fail != 0 ? FailThreads : nullptr);
}
