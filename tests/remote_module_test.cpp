// The module object against fake host objects: references after each step,
// the worker's start and end, key dispatch, and a worker that outlives Stop.
#include "frame/remote_module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

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

// A module whose worker body is the test's; it counts its runs and its
// destruction.
class ProbeModule final : public RemoteModuleBase {
 public:
  using Body = std::function<int32_t(WorkerContext&)>;
  ProbeModule(Body body, std::atomic<int>* destroyed, int32_t count = 3,
              uint32_t stop_wait_ms = kStopWaitMs)
      : RemoteModuleBase(kTable, count, stop_wait_ms),
        body_(std::move(body)),
        destroyed_(destroyed) {}
  int32_t Run(WorkerContext& link) override {
    ++runs;
    const int32_t result = body_(link);
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
int32_t RunUntilStopped(WorkerContext& link) {
  while (!link.StopRequested()) std::this_thread::sleep_for(1ms);
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

TEST(RemoteModule, StartWithoutMemoryAnEventOrAThreadHoldsItsReferencesUntilStop) {
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
    EXPECT_EQ(device.refs(), 2u);
    EXPECT_EQ(sink.refs(), 2u);
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
      [&](WorkerContext& link) {
        RunUntilStopped(link);
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
  IRemoteModule* module = NewProbe(&destroyed, [&](WorkerContext& link) {
    RunUntilStopped(link);
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
  IRemoteModule* module = NewProbe(&destroyed, [](WorkerContext& link) {
    link.DispatchKey(7);
    link.DispatchKey(6);  // no row
    link.DispatchKey(5);
    return RunUntilStopped(link);
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
  auto dispatch_all = [&](WorkerContext& link) {
    for (int32_t code = -1; code < 300; ++code) link.DispatchKey(code);
    ++dispatched;
    return RunUntilStopped(link);
  };
  FakeSink sink;
  FakeDevice device;

  IRemoteModule* no_sink = NewProbe(&destroyed, dispatch_all);
  EXPECT_EQ(no_sink->Start(nullptr, &device), S_OK);
  IRemoteModule* empty = new (std::nothrow) ProbeModule(dispatch_all, &destroyed, /*count=*/0);
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
  IRemoteModule* module = NewProbe(&destroyed, [](WorkerContext&) { return -1; });
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

  void StartLate(std::function<void(WorkerContext&)> after_stop) {
    module_ = new (std::nothrow) ProbeModule(
        [this, after_stop](WorkerContext& link) {
          RunUntilStopped(link);
          std::unique_lock<std::mutex> lock(gate_mutex_);
          gate_changed_.wait(lock, [this] { return gate_open_; });
          lock.unlock();
          after_stop(link);
          return 0;
        },
        &destroyed_, 3, kWaitMs);
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
  StartLate([&](WorkerContext& link) {
    link.DispatchKey(7);
    void* registers = nullptr;
    late_query = link.QueryDevice(IID_IRegisterAccess, &registers);
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
  StartLate([](WorkerContext& link) {
    std::this_thread::sleep_for(5ms);
    link.DispatchKey(5);
    (void)link.StopRequested();
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
      [](WorkerContext& link) {
        while (true) {
          link.DispatchKey(7);
          if (link.StopRequested()) break;
        }
        link.DispatchKey(7);
        return 0;
      },
      &destroyed_, 3, kWaitMs);
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
        [](WorkerContext& link) {
          while (!link.StopRequested()) {
            link.DispatchKey(7);
            std::this_thread::sleep_for(1ms);
          }
          link.DispatchKey(7);  // cut off: never reaches the sink
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
