// The memory of an object that several parties may touch, each on its own
// thread: each owns a share while it may touch the object, and whoever
// drops the last share frees it. Any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace pyx {

// Derived is freed with `delete`, as its most derived type when its
// destructor is virtual; it befriends SharedOwners<Derived> when that
// destructor is not public.
template <typename Derived>
class SharedOwners {
 public:
  // One more share, for a party that an owner lets in.
  void AddOwner() noexcept { owners_.fetch_add(1, std::memory_order_relaxed); }
  // Gives up the caller's share; frees the object when it was the last.
  // Touch nothing of the object after it.
  void DropOwner() noexcept {
    if (owners_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete static_cast<Derived*>(this);
  }

 protected:
  explicit SharedOwners(uint32_t owners) noexcept : owners_(owners) {}
  ~SharedOwners() = default;

 private:
  std::atomic<uint32_t> owners_;
};

}  // namespace pyx
