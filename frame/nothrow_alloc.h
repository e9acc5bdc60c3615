// Heap allocation for the module's own objects without the throwing global
// operator new: `new (std::nothrow) T(...)` yields null when memory is short,
// and nothing pulls in the C++ exception machinery.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#include "platform/platform.h"

namespace pyx {

struct NothrowAllocated {
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (platform::FailureInjected(platform::Resource::kMemory)) return nullptr;
    return std::malloc(size);
  }
  static void operator delete(void* memory) noexcept { std::free(memory); }
  static void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
};

}  // namespace pyx
