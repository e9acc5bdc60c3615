// The module object against fake host objects: references after each step,
// the worker's start and end, key dispatch, and a worker that outlives Stop.
#include "frame/remote_module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "card/poller.h"
#include "platform/platform.h"
#include "tests/fakes.h"

namespace pyx {
namespace {

using namespace std::chrono_literals;
using testing::FakeDevice;
using testing::FakeSink;
using testing::WaitUntil;

const KeyEntry kTable[] = {
    {7, "Key_Seven", "Seven"},
    {5, "Key_Five", ""},
    {7, "Key_LaterSeven", ""},
};
const KeyMap kKeys = KeyMap::Of(kTable, 3);

// A module whose worker body is the test's; it counts its runs and its
// destruction.
class ProbeModule final : public RemoteModuleBase {
 public:
  using Body = std::function<int32_t(RunContext&)>;
  ProbeModule(Body body, std::atomic<int>* destroyed, uint32_t stop_wait_ms = kStopWaitMs)
      : RemoteModuleBase(stop_wait_ms), body_(std::move(body)), destroyed_(destroyed) {}
  int32_t Run(RunContext& context) override {
    ++runs;
    const int32_t result = body_(context);
    ++ended;
    return result;
  }
  std::atomic<int> runs{0};
  std::atomic<int> ended{0};  // bodies that have returned

 private:
  ~ProbeModule() override { ++*destroyed_; }
  Body body_;
  std::atomic<int>* destroyed_;
};

// Polls the stop event every millisecond until it is signalled.
int32_t RunUntilStopped(RunContext& context) {
  while (!context.StopRequested()) std::this_thread::sleep_for(1ms);
  return 0;
}

IRemoteModule* NewProbe(std::atomic<int>* destroyed, ProbeModule::Body body = RunUntilStopped) {
  return new (std::nothrow) ProbeModule(std::move(body), destroyed);
}

TEST(RemoteModule, AnswersQueryInterfaceOnlyForWhatItIs) {
  std::atomic<int> destroyed{0};
  IRemoteModule* module = NewProbe(&destroyed);

  void* unknown = nullptr;
  void* remote = nullptr;
  ASSERT_EQ(module->QueryInterface(kIidUnknown, &unknown), S_OK);
  ASSERT_EQ(module->QueryInterface(IID_IRemoteModule, &remote), S_OK);
  EXPECT_EQ(unknown, static_cast<void*>(module));
  EXPECT_EQ(remote, static_cast<void*>(module));

  void* other = &other;
  EXPECT_EQ(module->QueryInterface(IID_IRegisterAccess, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(module->QueryInterface(IID_IRemoteModule, nullptr), static_cast<HRESULT>(0x80004003));

  EXPECT_EQ(module->AddRef(), 4u);  // 1 + two queries + this one
  EXPECT_EQ(module->Release(), 3u);
  EXPECT_EQ(module->Release(), 2u);
  EXPECT_EQ(module->Release(), 1u);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(module->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

TEST(RemoteModule, StartWithoutADeviceChangesNothing) {
  std::atomic<int> destroyed{0};
  auto* probe = new (std::nothrow) ProbeModule(RunUntilStopped, &destroyed);
  FakeSink sink;
  EXPECT_EQ(probe->Start(&sink, nullptr), E_UNEXPECTED);
  EXPECT_EQ(sink.refs(), 1u);
  EXPECT_EQ(probe->Stop(), S_OK);
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(probe->runs, 0);

  // On a started object too: its worker goes on, its references stay.
  FakeSink other_sink;
  FakeDevice device;
  ASSERT_EQ(probe->Start(&sink, &device), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return probe->runs == 1; }));
  EXPECT_EQ(probe->Start(&other_sink, nullptr), E_UNEXPECTED);
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(probe->ended, 0);
  EXPECT_EQ(probe->runs, 1);
  EXPECT_EQ(device.refs(), 2u);
  EXPECT_EQ(sink.refs(), 2u);
  EXPECT_EQ(other_sink.refs(), 1u);
  EXPECT_EQ(probe->Release(), 0u);
  EXPECT_EQ(device.refs(), 1u);
  EXPECT_EQ(sink.refs(), 1u);
}

platform::Resource g_failing;

// Without an event or a thread the object is started without a worker and
// holds its references until Stop; without memory it keeps nothing.
TEST(RemoteModule, StartWithoutMemoryAnEventOrAThread) {
  using platform::Resource;
  for (Resource failing : {Resource::kMemory, Resource::kEvent, Resource::kThread}) {
    std::atomic<int> destroyed{0};
    auto* probe = new (std::nothrow) ProbeModule(RunUntilStopped, &destroyed);
    FakeSink sink;
    FakeDevice device;
    g_failing = failing;
    platform::InjectFailuresForTesting([](Resource r) { return r == g_failing; });
    EXPECT_EQ(probe->Start(&sink, &device), E_UNEXPECTED);
    platform::InjectFailuresForTesting(nullptr);
    const ULONG held = failing == Resource::kMemory ? 1u : 2u;
    EXPECT_EQ(device.refs(), held);
    EXPECT_EQ(sink.refs(), held);
    EXPECT_EQ(probe->Stop(), S_OK);
    EXPECT_EQ(device.refs(), 1u);
    EXPECT_EQ(sink.refs(), 1u);
    EXPECT_EQ(probe->runs, 0);
    EXPECT_EQ(probe->Release(), 0u);
  }
}

TEST(RemoteModule, StartHoldsDeviceAndSinkUntilStop) {
  std::atomic<int> destroyed{0};
  auto* probe = new (std::nothrow) ProbeModule(RunUntilStopped, &destroyed);
  FakeSink sink;
  FakeDevice device;

  EXPECT_EQ(probe->Stop(), S_OK);  // on a fresh object: nothing to do
  ASSERT_EQ(probe->Start(&sink, &device), S_OK);
  EXPECT_EQ(device.refs(), 2u);
  EXPECT_EQ(sink.refs(), 2u);
  ASSERT_TRUE(WaitUntil([&] { return probe->runs == 1; }));

  EXPECT_EQ(probe->Stop(), S_OK);
  EXPECT_EQ(device.refs(), 1u);
  EXPECT_EQ(sink.refs(), 1u);
  EXPECT_EQ(probe->Stop(), S_OK);
  EXPECT_EQ(device.refs(), 1u);

  // Stopped is as good as new: it starts again.
  ASSERT_EQ(probe->Start(nullptr, &device), S_OK);
  EXPECT_EQ(device.refs(), 2u);
  EXPECT_EQ(probe->Stop(), S_OK);
  EXPECT_EQ(probe->runs, 2);
  EXPECT_EQ(device.refs(), 1u);
  EXPECT_EQ(probe->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
}

TEST(RemoteModule, StartOnAStartedObjectEndsTheFirstWorkerAndSwapsReferences) {
  std::atomic<int> destroyed{0};
  std::atomic<int> ended{0};
  auto* probe = new (std::nothrow) ProbeModule(
      [&](RunContext& context) {
        RunUntilStopped(context);
        ++ended;
        return 0;
      },
      &destroyed);
  FakeSink first_sink, second_sink;
  FakeDevice first_device, second_device;

  ASSERT_EQ(probe->Start(&first_sink, &first_device), S_OK);
  ASSERT_EQ(probe->Start(&second_sink, &second_device), S_OK);
  EXPECT_EQ(ended, 1);
  EXPECT_EQ(first_device.refs(), 1u);
  EXPECT_EQ(first_sink.refs(), 1u);
  EXPECT_EQ(second_device.refs(), 2u);
  EXPECT_EQ(second_sink.refs(), 2u);

  EXPECT_EQ(probe->Release(), 0u);
  EXPECT_EQ(ended, 2);
  EXPECT_EQ(second_device.refs(), 1u);
  EXPECT_EQ(second_sink.refs(), 1u);
  EXPECT_EQ(destroyed, 1);
}

TEST(RemoteModule, FinalReleaseOfAStartedObjectEndsItsWorkerFirst) {
  std::atomic<int> destroyed{0};
  std::atomic<bool> whole_when_stopped{false};
  FakeSink sink;
  FakeDevice device;
  // Released at once after Start: the worker still runs the subclass's Run
  // and sees the stop before the object goes.
  IRemoteModule* module = NewProbe(&destroyed, [&](RunContext& context) {
    RunUntilStopped(context);
    whole_when_stopped = destroyed == 0;
    return 0;
  });
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  EXPECT_EQ(module->Release(), 0u);
  EXPECT_EQ(destroyed, 1);
  EXPECT_TRUE(whole_when_stopped);
  EXPECT_EQ(device.refs(), 1u);
  EXPECT_EQ(sink.refs(), 1u);
}

TEST(RemoteModule, DispatchKeyReportsTheFirstRowWithTheCode) {
  std::atomic<int> destroyed{0};
  FakeSink sink;
  FakeDevice device;
  IRemoteModule* module = NewProbe(&destroyed, [](RunContext& context) {
    context.DispatchKey(7, kKeys);
    context.DispatchKey(6, kKeys);  // no row
    context.DispatchKey(5, kKeys);
    return RunUntilStopped(context);
  });
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  ASSERT_TRUE(sink.WaitForReports(2));
  module->Stop();
  const auto reports = sink.reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].name, "Key_Seven");
  EXPECT_EQ(reports[0].command, "Seven");
  EXPECT_EQ(reports[1].name, "Key_Five");
  EXPECT_EQ(reports[1].command, "");
  module->Release();
}

TEST(RemoteModule, NoSinkOrAnEmptyTableReportsNothing) {
  std::atomic<int> destroyed{0};
  std::atomic<int> dispatched{0};
  const auto dispatch_all = [&](const KeyMap& keys) {
    return [&dispatched, keys](RunContext& context) {
      for (int32_t code = -1; code < 300; ++code) context.DispatchKey(code, keys);
      ++dispatched;
      return RunUntilStopped(context);
    };
  };
  FakeSink sink;
  FakeDevice device;

  IRemoteModule* no_sink = NewProbe(&destroyed, dispatch_all(kKeys));
  EXPECT_EQ(no_sink->Start(nullptr, &device), S_OK);
  IRemoteModule* empty = new (std::nothrow) ProbeModule(dispatch_all(KeyMap(kTable)), &destroyed);
  EXPECT_EQ(empty->Start(&sink, &device), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return dispatched == 2; }));
  no_sink->Release();
  empty->Release();
  EXPECT_TRUE(sink.reports().empty());
  EXPECT_EQ(sink.refs(), 1u);
  EXPECT_EQ(device.refs(), 1u);
}

TEST(RemoteModule, WorkerEndingOnItsOwnLeavesStopNothingToWaitFor) {
  std::atomic<int> destroyed{0};
  FakeSink sink;
  FakeDevice device;
  IRemoteModule* module = NewProbe(&destroyed, [](RunContext&) { return -1; });
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(device.refs(), 2u);  // held until Stop, worker or not
  const auto before = testing::Clock::now();
  module->Stop();
  EXPECT_LT(testing::Clock::now() - before, 1s);
  EXPECT_EQ(device.refs(), 1u);
  EXPECT_EQ(sink.refs(), 1u);
  module->Release();
}

// A worker that goes on after Stop's wait: Stop still gives back device and
// sink on its own thread, and the worker calls neither once Stop has
// returned. The worker's end is seen through `ended`, an atomic, so reading
// the plain counts after it is ordered.
class LateWorker : public ::testing::Test {
 protected:
  static constexpr uint32_t kWaitMs = 30;

  void StartLate(std::function<void(RunContext&)> after_stop) {
    module_ = new (std::nothrow) ProbeModule(
        [this, after_stop](RunContext& context) {
          RunUntilStopped(context);
          std::unique_lock<std::mutex> lock(gate_mutex_);
          gate_changed_.wait(lock, [this] { return gate_open_; });
          lock.unlock();
          after_stop(context);
          return 0;
        },
        &destroyed_, kWaitMs);
    ASSERT_EQ(module_->Start(&sink_, &device_), S_OK);
  }
  void OpenGate() {
    {
      std::lock_guard<std::mutex> lock(gate_mutex_);
      gate_open_ = true;
    }
    gate_changed_.notify_all();
  }
  // Every reference was taken, and every one given back so far, on this
  // thread.
  bool CountedHereOnly(const testing::HostCounted& counts) {
    for (const auto* calls : {&counts.adders(), &counts.releasers()}) {
      for (auto id : *calls) {
        if (id != std::this_thread::get_id()) return false;
      }
    }
    return !counts.releasers().empty();
  }

  std::atomic<int> destroyed_{0};
  FakeSink sink_;
  FakeDevice device_;
  ProbeModule* module_ = nullptr;
  std::mutex gate_mutex_;
  std::condition_variable gate_changed_;
  bool gate_open_ = false;
};

TEST_F(LateWorker, StopReleasesDeviceAndSinkOnItsThreadAndCutsTheWorkerOff) {
  std::atomic<HRESULT> late_query{S_OK};
  StartLate([&](RunContext& context) {
    context.DispatchKey(7, kKeys);
    void* registers = nullptr;
    late_query = context.QueryDevice(IID_IRegisterAccess, &registers);
  });
  const auto before = testing::Clock::now();
  EXPECT_EQ(module_->Stop(), S_OK);
  EXPECT_LT(testing::Clock::now() - before, 2s);
  EXPECT_EQ(device_.refs(), 1u);
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_TRUE(CountedHereOnly(device_.counts()));
  EXPECT_TRUE(CountedHereOnly(sink_.counts()));

  OpenGate();
  ASSERT_TRUE(WaitUntil([&] { return module_->ended == 1; }));
  EXPECT_EQ(late_query, E_UNEXPECTED);
  EXPECT_EQ(device_.queries, 0);
  EXPECT_TRUE(sink_.reports().empty());
  EXPECT_EQ(device_.counts().releasers().size(), 1u);
  EXPECT_EQ(sink_.counts().releasers().size(), 1u);
  EXPECT_EQ(module_->Release(), 0u);
  // The worker may still be on its way out of the object.
  EXPECT_TRUE(WaitUntil([&] { return destroyed_ == 1; }));
}

TEST_F(LateWorker, OutlivesTheObjectsLastReleaseWithoutTouchingFreedMemory) {
  StartLate([](RunContext& context) {
    std::this_thread::sleep_for(5ms);
    context.DispatchKey(5, kKeys);
    (void)context.StopRequested();
  });
  EXPECT_EQ(module_->Release(), 0u);
  EXPECT_EQ(destroyed_, 0);  // kept for the worker
  EXPECT_EQ(device_.refs(), 1u);
  EXPECT_EQ(sink_.refs(), 1u);

  OpenGate();
  ASSERT_TRUE(WaitUntil([&] { return destroyed_ == 1; }));
  EXPECT_TRUE(sink_.reports().empty());
  EXPECT_TRUE(CountedHereOnly(sink_.counts()));
}

TEST_F(LateWorker, ASinkInsideOnKeyIsReleasedByTheWorkerAsTheCallReturns) {
  std::atomic<bool> in_call{false};
  std::atomic<bool> release_call{false};
  std::thread::id worker_thread;
  sink_.SetOnKey([&] {
    worker_thread = std::this_thread::get_id();
    in_call = true;
    while (!release_call) std::this_thread::sleep_for(1ms);
  });
  module_ = new (std::nothrow) ProbeModule(
      [](RunContext& context) {
        while (true) {
          context.DispatchKey(7, kKeys);
          if (context.StopRequested()) break;
        }
        context.DispatchKey(7, kKeys);
        return 0;
      },
      &destroyed_, kWaitMs);
  ASSERT_EQ(module_->Start(&sink_, &device_), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return in_call.load(); }));
  module_->Stop();  // gives up while OnKey blocks
  EXPECT_EQ(device_.refs(), 1u);
  EXPECT_TRUE(CountedHereOnly(device_.counts()));
  EXPECT_TRUE(sink_.counts().releasers().empty());

  release_call = true;
  ASSERT_TRUE(WaitUntil([&] { return module_->ended == 1; }));
  EXPECT_EQ(sink_.refs(), 1u);
  ASSERT_EQ(sink_.counts().releasers().size(), 1u);
  EXPECT_EQ(sink_.counts().releasers()[0], worker_thread);
  EXPECT_EQ(sink_.reports().size(), 1u);
  module_->Release();
}

TEST_F(LateWorker, ASinkWhoseOnKeyReturnsWithinTheWaitIsReleasedOnStopsThread) {
  sink_.SetOnKey([] { std::this_thread::sleep_for(50ms); });
  module_ = new (std::nothrow) ProbeModule(
      [](RunContext& context) {
        context.DispatchKey(7, kKeys);
        return RunUntilStopped(context);
      },
      &destroyed_);
  ASSERT_EQ(module_->Start(&sink_, &device_), S_OK);
  ASSERT_TRUE(sink_.WaitForReports(1));
  module_->Stop();  // while OnKey sleeps
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_TRUE(CountedHereOnly(sink_.counts()));
  module_->Release();
}

TEST_F(LateWorker, ADeviceInsideQueryInterfaceIsReleasedByTheWorkerAndTheSinkByStop) {
  std::atomic<bool> in_query{false};
  std::thread::id worker_thread;
  device_.on_query = [&] {
    worker_thread = std::this_thread::get_id();
    in_query = true;
    std::unique_lock<std::mutex> lock(gate_mutex_);
    gate_changed_.wait(lock, [this] { return gate_open_; });
  };
  module_ = new (std::nothrow) ProbeModule(
      [](RunContext& context) {
        void* registers = nullptr;
        if (SUCCEEDED(context.QueryDevice(IID_IRegisterAccess, &registers))) {
          static_cast<IRegisterAccess*>(registers)->Release();
        }
        return 0;
      },
      &destroyed_, kWaitMs);
  ASSERT_EQ(module_->Start(&sink_, &device_), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return in_query.load(); }));
  module_->Stop();  // gives up while QueryInterface blocks
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_TRUE(CountedHereOnly(sink_.counts()));
  EXPECT_TRUE(device_.counts().releasers().empty());

  OpenGate();
  ASSERT_TRUE(WaitUntil([&] { return module_->ended == 1; }));
  EXPECT_EQ(device_.refs(), 1u);
  EXPECT_EQ(device_.counts().releasers(), std::vector{worker_thread});
  module_->Release();
}

// After a Stop that gave up on a blocked OnKey, a Start given the same sink
// starts a worker at once, which reports to it while the old call still
// runs; each worker's reference to the sink is released once.
TEST_F(LateWorker, ANewWorkerReportsToTheSameSinkBesideABlockedOldCall) {
  std::atomic<int> in_calls{0}, most_at_once{0};
  std::atomic<bool> release_first{false};
  std::atomic<int> calls{0};
  sink_.SetOnKey([&] {
    const int now = ++in_calls;
    if (now > most_at_once) most_at_once = now;
    if (calls++ == 0) {
      while (!release_first) std::this_thread::sleep_for(1ms);
    }
    --in_calls;
  });
  module_ = new (std::nothrow) ProbeModule(
      [](RunContext& context) {
        while (!context.StopRequested()) {
          context.DispatchKey(7, kKeys);
          std::this_thread::sleep_for(1ms);
        }
        return 0;
      },
      &destroyed_, kWaitMs);
  ASSERT_EQ(module_->Start(&sink_, &device_), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return in_calls == 1; }));
  module_->Stop();  // gives up while the first OnKey blocks
  FakeDevice second_device;
  ASSERT_EQ(module_->Start(&sink_, &second_device), S_OK);
  EXPECT_TRUE(WaitUntil([&] { return most_at_once == 2; }));
  EXPECT_EQ(sink_.refs(), 3u);  // the test's, the old worker's, the new Session's

  release_first = true;
  ASSERT_TRUE(WaitUntil([&] { return module_->ended == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return sink_.refs() == 2u; }));
  module_->Stop();
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_EQ(second_device.refs(), 1u);
  module_->Release();
}

void NoLog(const char*, ...) {}

// A register access that outlasts Stop's wait is the worker's last: once
// Stop has returned, no other begins; the worker then gives back its
// registers.
TEST_F(LateWorker, RegisterAccessesEndWithTheOneUnderWayWhenStopGivesUp) {
  std::atomic<bool> in_access{false};
  device_.registers.on_access = [&] {
    if (device_.registers.begun != 4) return;  // the second cycle's first
    in_access = true;
    std::unique_lock<std::mutex> lock(gate_mutex_);
    gate_changed_.wait(lock, [this] { return gate_open_; });
  };
  ModuleSettings settings;
  module_ = new (std::nothrow) ProbeModule(
      [&settings](RunContext& context) {
        void* registers = nullptr;
        if (FAILED(context.QueryDevice(IID_IRegisterAccess, &registers))) return -1;
        auto* access = static_cast<IRegisterAccess*>(registers);
        PollUntilStopped(*access, context, settings, NoLog);
        return static_cast<int32_t>(access->Release());
      },
      &destroyed_, kWaitMs);
  ASSERT_EQ(module_->Start(&sink_, &device_), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return in_access.load(); }));
  module_->Stop();  // gives up while the access blocks
  const int begun = device_.registers.begun;
  OpenGate();
  ASSERT_TRUE(WaitUntil([&] { return device_.registers.refs() == 1; }));
  EXPECT_EQ(device_.registers.begun, begun);
  EXPECT_EQ(device_.registers.unheld_calls, 0);
  EXPECT_EQ(module_->Release(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return destroyed_ == 1; }));
}

// A sink whose Release comes late, on the worker thread, and stops the
// module there while the host's own thread stops it too: whichever Stop
// takes the current Session ends it, once; every object is released once.
TEST_F(LateWorker, ALateReleaseThatStopsBesideTheHostEndsEachSessionOnce) {
  FakeSink second_sink;
  FakeDevice second_device;
  std::atomic<bool> in_call{false}, release_call{false}, late_stop{false};
  sink_.SetOnKey([&] {
    if (in_call.exchange(true)) return;
    while (!release_call) std::this_thread::sleep_for(1ms);
  });
  module_ = new (std::nothrow) ProbeModule(
      [](RunContext& context) {
        context.DispatchKey(7, kKeys);
        return RunUntilStopped(context);
      },
      &destroyed_, kWaitMs);
  ASSERT_EQ(module_->Start(&sink_, &device_), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return in_call.load(); }));
  module_->Stop();  // gives up while OnKey blocks: the sink is the worker's to release
  ASSERT_EQ(module_->Start(&second_sink, &second_device), S_OK);
  sink_.counts().on_last_release = [&] {
    late_stop = true;
    module_->Stop();
  };
  sink_.counts().Drop();  // the worker holds the last reference now
  release_call = true;
  ASSERT_TRUE(WaitUntil([&] { return late_stop.load(); }));
  EXPECT_EQ(module_->Stop(), S_OK);
  EXPECT_EQ(module_->Release(), 0u);
  ASSERT_TRUE(WaitUntil([&] { return destroyed_ == 1; }));
  EXPECT_EQ(sink_.refs(), 0u);
  EXPECT_EQ(device_.refs(), 1u);
  EXPECT_EQ(second_sink.refs(), 1u);
  EXPECT_EQ(second_device.refs(), 1u);
  EXPECT_EQ(second_sink.counts().releasers().size(), 1u);
  EXPECT_EQ(second_device.counts().releasers().size(), 1u);
}

// A host's sink that keeps what it saw in plain fields, and reads them once
// Stop has returned: an OnKey that returns within Stop's wait is ordered
// before that read (ThreadSanitizer checks it).
TEST_F(LateWorker, PlainSinkStateWrittenJustBeforeTheWaitRunsOutIsOrderedBeforeStopReturns) {
  struct {
    int reports = 0;
    std::string last;
  } seen;  // plain, as a host may keep it
  std::atomic<bool> in_call{false};
  std::atomic<int64_t> stop_began_ms{0};
  sink_.SetOnKey([&] {
    in_call = true;
    while (stop_began_ms == 0) std::this_thread::sleep_for(1ms);
    const auto now_ms = [] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(
                 testing::Clock::now().time_since_epoch())
          .count();
    };
    while (now_ms() < stop_began_ms + 300) std::this_thread::sleep_for(1ms);
    ++seen.reports;
    seen.last = "Key_Seven";
  });
  module_ = new (std::nothrow) ProbeModule(
      [](RunContext& context) {
        context.DispatchKey(7, kKeys);
        return RunUntilStopped(context);
      },
      &destroyed_, /*stop_wait_ms=*/600);
  ASSERT_EQ(module_->Start(&sink_, &device_), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return in_call.load(); }));
  stop_began_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      testing::Clock::now().time_since_epoch())
                      .count();
  module_->Stop();
  EXPECT_EQ(seen.reports, 1);
  EXPECT_EQ(seen.last, "Key_Seven");
  EXPECT_EQ(sink_.refs(), 1u);
  module_->Release();
}

// The clock the poll loop times its delays with.
TEST(PlatformClock, CountsMillisecondsOfRealTimeAndNeverGoesBack) {
  const uint32_t before = platform::MonotonicMilliseconds();
  platform::SleepMilliseconds(100);
  const uint32_t slept = platform::MonotonicMilliseconds() - before;
  EXPECT_GE(slept, 90u);
  EXPECT_LE(slept, 300u);
  uint32_t last = platform::MonotonicMilliseconds();
  for (int i = 0; i < 200000; ++i) {
    const uint32_t now = platform::MonotonicMilliseconds();
    ASSERT_GE(static_cast<int32_t>(now - last), 0) << i;
    last = now;
  }
}

// The table of states and transitions at the top of frame/remote_module.h,
// read from the header and walked row by row: each row's state is reached,
// its event made, its answer and the state after it checked.
struct TableRow {
  std::string from, event, to, answer;
};

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::vector<TableRow> ReadStateTable() {
  std::ifstream header(PYX_MODULE_HEADER_PATH);
  std::vector<TableRow> rows;
  std::string line;
  while (std::getline(header, line)) {
    if (line.rfind("//   ", 0) != 0) continue;
    std::vector<std::string> cells;
    size_t at = 2;
    for (size_t bar; (bar = line.find('|', at)) != std::string::npos; at = bar + 1) {
      cells.push_back(Trim(line.substr(at, bar - at)));
    }
    cells.push_back(Trim(line.substr(at)));
    if (cells.size() == 4 && cells[0] != "from")
      rows.push_back({cells[0], cells[1], cells[2], cells[3]});
  }
  return rows;
}

std::string Answer(HRESULT result) {
  return result == S_OK ? "S_OK" : result == E_UNEXPECTED ? "E_UNEXPECTED" : std::to_string(result);
}

class TableWalk {
 public:
  static constexpr uint32_t kWaitMs = 30;

  TableWalk()
      : probe_(new (std::nothrow) ProbeModule(
            [this](RunContext& context) {
              while (!context.StopRequested()) {
                if (report_) context.DispatchKey(7, kKeys);
                std::this_thread::sleep_for(1ms);
              }
              // Stuck: outlasts Stop's wait until the gate opens.
              while (stuck_ && !gate_open_) std::this_thread::sleep_for(1ms);
              return 0;
            },
            &destroyed_, kWaitMs)) {}

  ~TableWalk() {
    gate_open_ = true;
    if (!released_) probe_->Release();
    EXPECT_TRUE(WaitUntil([&] { return destroyed_ == 1; }));
  }

  // Brings a fresh object to `state`; false for a state the walk does not
  // know. "Releasing" is reached in Make, around the event.
  bool Reach(const std::string& state) {
    if (state == "Created" || state == "Releasing") return true;
    if (state == "Started" || state == "Stopped") {
      EXPECT_EQ(Start(), "S_OK");
      if (state == "Stopped") {
        EXPECT_EQ(probe_->Stop(), S_OK);
      }
      return true;
    }
    if (state == "NoWorker") return Make("Start, no thread") == "E_UNEXPECTED";
    if (state == "StoppedLate" || state == "Gone") {
      EXPECT_EQ(Start(), "S_OK");
      EXPECT_EQ(Make("Stop, worker stuck"), "S_OK");
      if (state == "Gone") {
        EXPECT_EQ(Make("Release, last"), "0");
      }
      return true;
    }
    return false;
  }

  // Makes `event` on the object in `from`; what the call answered, "-" for
  // an event that is no call, or "?" for an event the walk does not know.
  std::string Make(const std::string& event, const std::string& from = "") {
    if (from == "Releasing") return MakeInsideFinalRelease(event);
    if (event == "Start") return Start();
    if (event == "Start, null device") return Answer(probe_->Start(&NewPair().sink, nullptr));
    if (event == "Start, no memory") return StartFailing(platform::Resource::kMemory);
    if (event == "Start, no event") return StartFailing(platform::Resource::kEvent);
    if (event == "Start, no thread") return StartFailing(platform::Resource::kThread);
    if (event == "Stop") return Answer(probe_->Stop());
    if (event == "Stop, worker stuck") {
      stuck_ = true;
      late_workers_ = 1;
      return Answer(probe_->Stop());
    }
    if (event == "Release, last") {
      released_ = true;
      return std::to_string(probe_->Release());
    }
    if (event == "Stop, from OnKey" || event == "Release, last, from OnKey") {
      const bool stop = event == "Stop, from OnKey";
      released_ = !stop;
      std::atomic<bool> done{false};
      std::string answer;
      pairs_[current_].sink.SetOnKey([&, stop] {
        if (done) return;
        answer = stop ? Answer(probe_->Stop()) : std::to_string(probe_->Release());
        done = true;
      });
      report_ = true;
      EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
      // The sink is released as OnKey returns, on the worker's thread: wait
      // for the worker's end, after which its counts may be read.
      EXPECT_TRUE(stop ? WaitUntil([&] { return probe_->ended == probe_->runs; })
                       : WaitUntil([&] { return destroyed_ == 1; }));
      return answer;
    }
    if (event == "worker's call returns") {
      gate_open_ = true;
      late_workers_ = 0;
      // Once the host's references are gone the late worker frees the object.
      EXPECT_TRUE(released_ ? WaitUntil([&] { return destroyed_ == 1; })
                            : WaitUntil([&] { return probe_->ended == probe_->runs; }));
      return "-";
    }
    return "?";
  }

  // Whether the object is in `state`: the references each pair holds, the
  // workers that run, whether the memory is freed. "?" for a state the walk
  // does not know.
  std::string Check(const std::string& state) {
    const bool held = state == "Started" || state == "NoWorker";
    for (size_t i = 0; i < pairs_.size(); ++i) {
      const ULONG refs = held && static_cast<int>(i) == current_ ? 2u : 1u;
      if (pairs_[i].sink.refs() != refs || pairs_[i].device.refs() != refs) {
        return "pair " + std::to_string(i) + " holds " + std::to_string(pairs_[i].sink.refs());
      }
    }
    if (state == "Freed") return destroyed_ == 1 ? state : "not freed";
    const bool late = state == "StoppedLate" || state == "Gone";
    if (late && late_workers_ == 0) return "no late worker";
    const int running = (state == "Started" ? 1 : 0) + late_workers_;
    const int expected_runs = started_;
    if (!WaitUntil([&] { return probe_->runs == expected_runs; }) ||
        !WaitUntil([&] { return probe_->runs - probe_->ended == running; })) {
      return "runs " + std::to_string(probe_->runs) + ", ended " + std::to_string(probe_->ended);
    }
    if (destroyed_ != 0) return "freed";
    if (state == "Created" || state == "Stopped" || state == "Started" || state == "NoWorker" ||
        late) {
      return state;
    }
    return "?";
  }

 private:
  struct Pair {
    FakeSink sink;
    FakeDevice device;
  };
  Pair& NewPair() { return pairs_.emplace_back(); }

  std::string Start() {
    Pair& pair = NewPair();
    const HRESULT result = probe_->Start(&pair.sink, &pair.device);
    if (result == S_OK) {
      current_ = static_cast<int>(pairs_.size()) - 1;
      ++started_;
    }
    return Answer(result);
  }

  std::string StartFailing(platform::Resource failing) {
    g_failing = failing;
    platform::InjectFailuresForTesting([](platform::Resource r) { return r == g_failing; });
    Pair& pair = NewPair();
    const HRESULT result = probe_->Start(&pair.sink, &pair.device);
    platform::InjectFailuresForTesting(nullptr);
    // Without an event or a thread the references are kept until Stop.
    if (pair.sink.refs() == 2) current_ = static_cast<int>(pairs_.size()) - 1;
    return Answer(result);
  }

  // Inside the Release of a sink whose last reference the module holds,
  // made by the final Release; the state after is checked there too.
  std::string MakeInsideFinalRelease(const std::string& event) {
    EXPECT_EQ(Start(), "S_OK");
    Pair& pair = pairs_[current_];
    std::string answer = "?";
    bool still_releasing = false;
    pair.sink.counts().on_last_release = [&] {
      if (event == "AddRef") answer = std::to_string(probe_->AddRef());
      if (event == "Release") answer = std::to_string(probe_->Release());
      if (event == "Stop") answer = Answer(probe_->Stop());
      if (event == "Start") answer = Answer(probe_->Start(&NewPair().sink, &pairs_.back().device));
      if (event == "QueryInterface") {
        void* object = &object;
        const HRESULT result = probe_->QueryInterface(IID_IRemoteModule, &object);
        answer = object == nullptr ? Answer(result) : "a pointer";
      }
      still_releasing = probe_->AddRef() == 0 && destroyed_ == 0;
    };
    pair.sink.counts().Drop();
    released_ = true;
    EXPECT_EQ(probe_->Release(), 0u);
    return still_releasing ? answer : answer + ", then not Releasing";
  }

  std::atomic<int> destroyed_{0};
  std::atomic<bool> report_{false}, stuck_{false}, gate_open_{false};
  ProbeModule* const probe_;
  std::deque<Pair> pairs_;
  int current_ = -1;      // the pair the object keeps
  int started_ = 0;       // workers started
  int late_workers_ = 0;  // workers that a Stop gave up on, still running
  bool released_ = false;
};

TEST(RemoteModuleTable, EveryRowOfTheStateTableHolds) {
  const std::vector<TableRow> rows = ReadStateTable();
  ASSERT_GE(rows.size(), 20u) << "no table in " << PYX_MODULE_HEADER_PATH;
  for (const TableRow& row : rows) {
    SCOPED_TRACE(row.from + " | " + row.event + " | " + row.to + " | " + row.answer);
    TableWalk walk;
    ASSERT_TRUE(walk.Reach(row.from)) << "a state the walk does not know";
    EXPECT_EQ(walk.Make(row.event, row.from), row.answer);
    if (row.from != "Releasing") {
      EXPECT_EQ(walk.Check(row.to), row.to);
    }
  }
}

// Host objects that call back into the module from the Release that lets go
// of their last reference, which the module holds. Each object is released
// once, and the module, whatever the call, is neither touched once freed nor
// left running a worker that nothing can stop.
TEST(CallBackFromRelease, EachObjectIsReleasedOnceAndNoWorkerIsLeftBehind) {
  enum Dies { kSink, kDevice };
  enum Calls { kStop, kStartAgain, kReleaseModule, kAddRef, kQueryInterface };
  enum Trigger { kByStop, kByFinalRelease, kByStart };
  struct Row {
    const char* what;
    Dies dies;
    Calls calls;
    Trigger trigger;
    HRESULT nested;        // what the call from Release returns (S_OK: 0 from Release or AddRef)
    bool fresh_running;    // the fresh objects are held by a running worker after the trigger
    HRESULT start = S_OK;  // what the triggering Start returns
  };
  const Row rows[] = {
      {"sink stops", kSink, kStop, kByStop, S_OK, false},
      {"device stops", kDevice, kStop, kByStop, S_OK, false},
      {"sink starts again", kSink, kStartAgain, kByStop, S_OK, true},
      {"device starts again", kDevice, kStartAgain, kByStop, S_OK, true},
      {"sink owns the module's last reference", kSink, kReleaseModule, kByStop, S_OK, false},
      {"device owns the module's last reference", kDevice, kReleaseModule, kByStop, S_OK, false},
      {"sink stops in the final Release", kSink, kStop, kByFinalRelease, S_OK, false},
      {"sink starts in the final Release", kSink, kStartAgain, kByFinalRelease, E_UNEXPECTED,
       false},
      {"device starts in the final Release", kDevice, kStartAgain, kByFinalRelease, E_UNEXPECTED,
       false},
      {"sink starts again inside Start", kSink, kStartAgain, kByStart, S_OK, false},
      {"sink lets go of the module's last reference inside Start", kSink, kReleaseModule, kByStart,
       S_OK, false, E_UNEXPECTED},
      {"sink releases the module in the final Release", kSink, kReleaseModule, kByFinalRelease,
       S_OK, false},
      {"device adds a reference in the final Release", kDevice, kAddRef, kByFinalRelease, S_OK,
       false},
      {"sink asks for the module in the final Release", kSink, kQueryInterface, kByFinalRelease,
       S_OK, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::atomic<int> destroyed{0};
    auto* probe = new (std::nothrow) ProbeModule(RunUntilStopped, &destroyed);
    FakeSink sink, fresh_sink, later_sink;
    FakeDevice device, fresh_device, later_device;
    HRESULT nested = 1;  // no call came
    ASSERT_EQ(probe->Start(&sink, &device), S_OK);
    testing::HostCounted& dying = row.dies == kSink ? sink.counts() : device.counts();
    dying.on_last_release = [&] {
      if (row.calls == kStop) nested = probe->Stop();
      if (row.calls == kStartAgain) nested = probe->Start(&fresh_sink, &fresh_device);
      if (row.calls == kReleaseModule) nested = probe->Release() == 0 ? S_OK : E_UNEXPECTED;
      if (row.calls == kAddRef) nested = probe->AddRef() == 0 ? S_OK : E_UNEXPECTED;
      if (row.calls == kQueryInterface) {
        void* object = &object;
        const HRESULT got = probe->QueryInterface(IID_IRemoteModule, &object);
        nested = FAILED(got) && object == nullptr ? S_OK : E_UNEXPECTED;
      }
    };
    dying.Drop();  // the module holds the last reference now

    if (row.trigger == kByStop) {
      EXPECT_EQ(probe->Stop(), S_OK);
    } else if (row.trigger == kByStart) {
      EXPECT_EQ(probe->Start(&later_sink, &later_device), row.start);
    } else {
      EXPECT_EQ(probe->Release(), 0u);
    }
    EXPECT_EQ(nested, row.nested);
    EXPECT_EQ(sink.refs(), row.dies == kSink ? 0u : 1u);
    EXPECT_EQ(device.refs(), row.dies == kDevice ? 0u : 1u);
    EXPECT_EQ(fresh_device.refs(), row.fresh_running ? 2u : 1u);
    EXPECT_EQ(fresh_sink.refs(), row.fresh_running ? 2u : 1u);
    if (row.fresh_running) {
      EXPECT_TRUE(WaitUntil([&] { return probe->runs == 2; }));
    }
    const bool freed = row.calls == kReleaseModule || row.trigger == kByFinalRelease;
    EXPECT_EQ(destroyed, freed ? 1 : 0);
    if (!freed) {
      EXPECT_EQ(probe->Release(), 0u);
    }
    EXPECT_EQ(destroyed, 1);
    for (FakeDevice* d : {&fresh_device, &later_device}) EXPECT_EQ(d->refs(), 1u);
    for (FakeSink* k : {&fresh_sink, &later_sink}) EXPECT_EQ(k->refs(), 1u);
  }
}

}  // namespace
}  // namespace pyx

namespace pyx {
namespace {

// A host that ends everything from inside OnKey, on the worker's own thread
// (a Power key that shuts the application down).
class ShutdownFromOnKey : public ::testing::Test {
 protected:
  void StartReporting(std::function<void(IRemoteModule*)> in_on_key) {
    module_ = new (std::nothrow) ProbeModule(
        [](RunContext& context) {
          while (!context.StopRequested()) {
            context.DispatchKey(7, kKeys);
            std::this_thread::sleep_for(1ms);
          }
          context.DispatchKey(7, kKeys);  // cut off: never reaches the sink
          return 0;
        },
        &destroyed_);
    sink_.SetOnKey([this, in_on_key] {
      if (calls_++ != 0) return;
      const auto before = testing::Clock::now();
      in_on_key(module_);
      took_ = testing::Clock::now() - before;
      returned_ = true;
    });
    ASSERT_EQ(module_->Start(&sink_, &device_), S_OK);
  }

  std::atomic<int> destroyed_{0};
  std::atomic<int> calls_{0};
  std::atomic<bool> returned_{false};
  testing::Clock::duration took_{};
  FakeSink sink_;
  FakeDevice device_;
  ProbeModule* module_ = nullptr;
};

TEST_F(ShutdownFromOnKey, StopReturnsAtOnceAndTheWorkerEndsAfterTheCall) {
  StartReporting([](IRemoteModule* module) { EXPECT_EQ(module->Stop(), S_OK); });
  ASSERT_TRUE(WaitUntil([&] { return module_->ended == 1; }));
  EXPECT_LT(took_, 1s);
  EXPECT_EQ(device_.refs(), 1u);
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_EQ(sink_.reports().size(), 1u);
  EXPECT_EQ(module_->Release(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return destroyed_ == 1; }));
}

// Inside OnKey: Stop releases the device, whose Release starts the module
// again; a second Stop in the same OnKey waits for that new worker, which
// is not the one making the call.
TEST_F(ShutdownFromOnKey, AStopInsideOnKeyWaitsForAWorkerStartedInsideIt) {
  FakeSink fresh_sink;
  FakeDevice fresh_device;
  std::atomic<int> ended_at_second_stop{-1};
  device_.counts().on_last_release = [&] {
    EXPECT_EQ(module_->Start(&fresh_sink, &fresh_device), S_OK);
  };
  StartReporting([&](IRemoteModule* module) {
    device_.counts().Drop();          // the module holds the device's last reference
    EXPECT_EQ(module->Stop(), S_OK);  // ends this worker's Session: no wait
    EXPECT_EQ(sink_.refs(), 2u);      // released as this OnKey returns
    ASSERT_TRUE(WaitUntil([&] { return module_->runs == 2; }));
    EXPECT_EQ(module->Stop(), S_OK);  // ends the fresh worker: waits for it
    ended_at_second_stop = module_->ended.load();
  });
  ASSERT_TRUE(WaitUntil([&] { return module_->ended == 2; }));
  EXPECT_EQ(ended_at_second_stop, 1);  // the fresh one; this one was still in OnKey
  EXPECT_LT(took_, 1s);
  EXPECT_EQ(device_.refs(), 0u);
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_EQ(fresh_sink.refs(), 1u);
  EXPECT_EQ(fresh_device.refs(), 1u);
  EXPECT_EQ(module_->Release(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return destroyed_ == 1; }));
}

// A power-off sink: the first OnKey stops the object and lets go of the
// host's reference, which the sink owns, perhaps while the host's thread is
// still inside Start. Start answers S_OK, or E_UNEXPECTED once the last
// reference has gone; either way everything is given back and freed.
TEST(PowerOffSink, StartAnswersEitherWayAndEverythingIsFreed) {
  int unexpected = 0;
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> destroyed{0};
    std::atomic<bool> took{false};
    auto* probe = new (std::nothrow) ProbeModule(
        [](RunContext& context) {
          context.DispatchKey(7, kKeys);
          return RunUntilStopped(context);
        },
        &destroyed);
    FakeSink sink;
    FakeDevice device;
    sink.SetOnKey([&] {
      if (took.exchange(true)) return;
      probe->Stop();
      probe->Release();
    });
    const HRESULT started = probe->Start(&sink, &device);
    EXPECT_TRUE(started == S_OK || (started == E_UNEXPECTED && took)) << started;
    if (started == E_UNEXPECTED) ++unexpected;
    ASSERT_TRUE(WaitUntil([&] { return destroyed == 1; }));
    EXPECT_EQ(sink.refs(), 1u);
    EXPECT_EQ(device.refs(), 1u);
  }
  std::printf("power-off sink: Start answered E_UNEXPECTED in %d of 50 rounds\n", unexpected);
}

TEST_F(ShutdownFromOnKey, FinalReleaseFreesTheObjectOnlyOnceTheWorkerIsOut) {
  StartReporting([this](IRemoteModule* module) {
    EXPECT_EQ(module->Release(), 0u);
    EXPECT_EQ(destroyed_, 0);  // the worker is still inside it
  });
  ASSERT_TRUE(WaitUntil([&] { return destroyed_ == 1; }));
  EXPECT_LT(took_, 1s);
  EXPECT_EQ(device_.refs(), 1u);
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_EQ(sink_.reports().size(), 1u);
}

}  // namespace
}  // namespace pyx
