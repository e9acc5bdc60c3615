// The module object against fake host objects: references after each step,
// the worker's start and end, key dispatch, and a worker that outlives Stop.
#include "frame/remote_module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

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
