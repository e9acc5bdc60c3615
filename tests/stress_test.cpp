// Sixteen objects at once, each with its own device and sink, started,
// stopped and released in random order from one host thread: afterwards no
// thread, handle or reference is left over. And one object that two host
// threads start and stop at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>

#include "card/card_remote.h"
#include "tests/fakes.h"
#include "tests/temp_dir.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <unistd.h>

#include <fstream>
#endif

namespace pyx {
namespace {

#ifndef _WIN32
int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}
#endif

int ThreadCount() {
#ifdef _WIN32
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int n = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    n += entry.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(snapshot);
  return n;
#else
  return CountEntries("/proc/self/task");
#endif
}

int HandleCount() {
#ifdef _WIN32
  DWORD n = 0;
  GetProcessHandleCount(GetCurrentProcess(), &n);
  return static_cast<int>(n);
#else
  return CountEntries("/proc/self/fd");
#endif
}

// The bytes of address space the process has mapped (reserved or
// committed). A thread that is never joined or detached keeps its stack here.
uint64_t MappedBytes() {
#ifdef _WIN32
  uint64_t total = 0;
  MEMORY_BASIC_INFORMATION region;
  for (const char* at = nullptr;
       VirtualQuery(at, &region, sizeof region) == sizeof region && at + region.RegionSize > at;
       at += region.RegionSize) {
    if (region.State != MEM_FREE) total += region.RegionSize;
  }
  return total;
#else
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
#endif
}

int Rounds() {
  const char* rounds = std::getenv("PYX_STRESS_ROUNDS");
  return rounds ? std::atoi(rounds) : 10000;
}

struct Slot {
  testing::FakeDevice device;
  testing::FakeSink sink;
  IRemoteModule* module = nullptr;
};

class Stress : public testing::InTempDir {};

TEST_F(Stress, SixteenObjectsInRandomOrderLeaveNothingBehind) {
  ResetSettings(3, 2);  // keys held on some cards keep their sleeps short
  {
    // Sixteen at once first, so that what a runtime sets up once and keeps
    // (ThreadSanitizer's own thread, the C library's per-thread heaps and
    // cached stacks) is in the baseline.
    Slot warm_up[16];
    for (Slot& slot : warm_up) {
      slot.device.registers.data = 30u << 8;
      slot.module = GetInterfacePtr();
      ASSERT_EQ(slot.module->Start(&slot.sink, &slot.device), S_OK);
    }
    for (Slot& slot : warm_up) ASSERT_TRUE(slot.sink.WaitForReports(1));
    for (Slot& slot : warm_up) slot.module->Release();
  }
  const int threads_before = ThreadCount();
  const int handles_before = HandleCount();
  const uint64_t mapped_before = MappedBytes();
  std::vector<std::unique_ptr<Slot>> slots;
  for (int i = 0; i < 16; ++i) {
    slots.push_back(std::make_unique<Slot>());
    slots.back()->device.registers.data = (i % 4 == 3) ? 0x4000u : (30u << 8);
  }

  std::mt19937 random(20261208);
  const int rounds = Rounds();
  int starts = 0, stops = 0, releases = 0;
  for (int round = 0; round < rounds; ++round) {
    Slot& slot = *slots[random() % slots.size()];
    switch (random() % 4) {
      case 0:
      case 1:  // start, or start again on a started object
        if (slot.module == nullptr) slot.module = GetInterfacePtr();
        ASSERT_NE(slot.module, nullptr);
        ASSERT_EQ(slot.module->Start(&slot.sink, &slot.device), S_OK);
        ++starts;
        break;
      case 2:
        if (slot.module) {
          ASSERT_EQ(slot.module->Stop(), S_OK);
        }
        ++stops;
        break;
      case 3:
        if (slot.module) {
          ASSERT_EQ(slot.module->Release(), 0u);
        }
        slot.module = nullptr;
        ++releases;
        break;
    }
  }
  for (auto& slot : slots) {
    if (slot->module) {
      EXPECT_EQ(slot->module->Release(), 0u);
    }
  }
  for (auto& slot : slots) {
    EXPECT_EQ(slot->device.refs(), 1u);
    EXPECT_EQ(slot->device.registers.refs(), 1u);
    EXPECT_EQ(slot->sink.refs(), 1u);
  }
  // Workers are gone once Stop has seen them end; give the threads a moment
  // to leave the kernel's list.
  EXPECT_TRUE(testing::WaitUntil([&] { return ThreadCount() <= threads_before; }))
      << ThreadCount() << " threads, " << threads_before << " before";
  EXPECT_LE(HandleCount(), handles_before);
  // Some growth is the allocators' and the thread library's cache of stacks;
  // thousands of threads that kept their stacks would be gigabytes.
  const uint64_t mapped_after = MappedBytes();
  EXPECT_LE(mapped_after, mapped_before + (64u << 20))
      << (mapped_after - mapped_before) / 1024 << " KiB more mapped";
  std::printf(
      "%d rounds: %d starts, %d stops, %d releases; mapped %+lld KiB\n", rounds, starts, stops,
      releases,
      (static_cast<long long>(mapped_after) - static_cast<long long>(mapped_before)) / 1024);
}

// A host object that is both sink and device, counted atomically, as one
// that two host threads share must be.
class SharedHostObject final : public IKeySink {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID iid, void** object) override {
    if (!SameGuid(iid, IID_IRegisterAccess)) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    registers.AddRef();
    *object = static_cast<IRegisterAccess*>(&registers);
    return S_OK;
  }
  ULONG PYX_CALL AddRef() override { return ++refs; }
  ULONG PYX_CALL Release() override { return --refs; }
  HRESULT PYX_CALL OnKey(const char*, const char*) override { return S_OK; }

  std::atomic<ULONG> refs{1};
  testing::FakeRegisters registers;
};

// Calls that meet on two threads: each Start and Stop takes the current
// worker whole, so every one is ended once and every reference given back.
TEST_F(Stress, TwoThreadsStartingAndStoppingOneObjectLeaveNothingBehind) {
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_NE(module, nullptr);
  SharedHostObject objects[2];
  const int rounds = std::max(Rounds() / 50, 1);
  const auto host_thread = [&](SharedHostObject& own, unsigned seed) {
    std::mt19937 random(seed);
    for (int round = 0; round < rounds; ++round) {
      if (random() % 2 == 0) {
        EXPECT_EQ(module->Start(&own, &own), S_OK);
      } else {
        EXPECT_EQ(module->Stop(), S_OK);
      }
    }
  };
  std::thread first(host_thread, std::ref(objects[0]), 1u);
  std::thread second(host_thread, std::ref(objects[1]), 2u);
  first.join();
  second.join();
  EXPECT_EQ(module->Release(), 0u);
  for (SharedHostObject& object : objects) {
    EXPECT_EQ(object.refs, 1u);
    EXPECT_TRUE(testing::WaitUntil([&] { return object.registers.refs() == 1; }));
    EXPECT_EQ(object.registers.unheld_calls, 0);
  }
}

}  // namespace
}  // namespace pyx
