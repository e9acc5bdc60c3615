// Host objects for tests: a key sink and a card device that count their
// references and record every call. They live on the test's stack; the
// counts say whether the module gave back what it took.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/host_interfaces.h"

namespace pyx::testing {

using Clock = std::chrono::steady_clock;

// Waits up to `timeout` for `done()`; true if it came.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The registers' reference count, which the worker takes and gives back on
// its own thread. Starts at 1: the test's own.
class Counted {
 public:
  ULONG Add() { return ++refs_; }
  ULONG Drop() { return --refs_; }
  ULONG refs() const { return refs_.load(); }

 private:
  std::atomic<ULONG> refs_{1};
};

// The count of a host object that the module may touch only on the host's
// calling thread: a plain integer, as such a host may keep it, so that
// ThreadSanitizer reports any touch that is not ordered with the host's.
// Each call records its thread. Starts at 1: the test's own.
class HostCounted {
 public:
  ULONG Add() {
    adders_.push_back(std::this_thread::get_id());
    return ++refs_;
  }
  ULONG Drop() {
    releasers_.push_back(std::this_thread::get_id());
    const ULONG left = --refs_;
    if (left == 0 && on_last_release) on_last_release();
    return left;
  }
  ULONG refs() const { return refs_; }
  const std::vector<std::thread::id>& adders() const { return adders_; }
  const std::vector<std::thread::id>& releasers() const { return releasers_; }

  // Runs inside the Release that takes the count to 0, on its thread: a host
  // object that calls back into the module as it dies.
  std::function<void()> on_last_release;

 private:
  ULONG refs_ = 1;
  std::vector<std::thread::id> adders_, releasers_;
};

struct KeyReport {
  std::string name;
  std::string command;
  Clock::time_point at;
};

class FakeSink final : public IKeySink {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID iid, void** object) override {
    if (SameGuid(iid, kIidUnknown)) {
      *object = this;
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PYX_CALL AddRef() override { return count_.Add(); }
  ULONG PYX_CALL Release() override { return count_.Drop(); }
  HRESULT PYX_CALL OnKey(const char* name, const char* command) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.push_back({name, command, Clock::now()});
    }
    changed_.notify_all();
    if (on_key_) on_key_();
    return S_OK;
  }

  // Runs inside OnKey, after the report is recorded, on the worker thread.
  void SetOnKey(std::function<void()> hook) { on_key_ = std::move(hook); }

  ULONG refs() const { return count_.refs(); }
  HostCounted& counts() { return count_; }
  std::vector<KeyReport> reports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  bool WaitForReports(size_t n,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return reports_.size() >= n; });
  }

 private:
  HostCounted count_;
  std::function<void()> on_key_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<KeyReport> reports_;
};

struct RegisterAccess {
  char op;  // 'R' or 'W'
  uint32_t offset;
  uint32_t value;  // read: what was handed out; write: what was written
};

// The card's registers: the enable register keeps what is written to it;
// the data register shows whatever the test sets. A call while the module
// holds no reference is refused and counted in `unheld_calls`.
class FakeRegisters final : public IRegisterAccess {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PYX_CALL AddRef() override { return count_.Add(); }
  ULONG PYX_CALL Release() override { return count_.Drop(); }
  HRESULT PYX_CALL Placeholder() override { return E_UNEXPECTED; }
  HRESULT PYX_CALL ReadRegister(uint32_t offset, uint32_t* value) override {
    Begin();
    if (!Held()) return E_UNEXPECTED;
    if (fail_reads) {
      Record({'R', offset, 0});
      return E_UNEXPECTED;  // and leaves *value alone
    }
    const uint32_t v = offset == 0x200 ? data.load() : enable.load();
    *value = v;
    Record({'R', offset, v});
    return S_OK;
  }
  HRESULT PYX_CALL WriteRegister(uint32_t offset, uint32_t value) override {
    Begin();
    if (!Held()) return E_UNEXPECTED;
    if (offset == 0x118) enable.store(value);
    Record({'W', offset, value});
    return S_OK;
  }

  ULONG refs() const { return count_.refs(); }
  std::vector<RegisterAccess> accesses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accesses_;
  }
  size_t access_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accesses_.size();
  }

  std::atomic<uint32_t> enable{0};
  std::atomic<uint32_t> data{0x4000};  // no key down
  std::atomic<bool> fail_reads{false};
  std::atomic<int> unheld_calls{0};
  std::atomic<int> begun{0};  // accesses begun
  // Runs first in each access, after `begun` counts it. Set before Start.
  std::function<void()> on_access;

 private:
  void Begin() {
    ++begun;
    if (on_access) on_access();
  }
  bool Held() {
    if (count_.refs() > 1) return true;  // beyond the test's own
    ++unheld_calls;
    return false;
  }
  void Record(const RegisterAccess& access) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (accesses_.size() < 100000) accesses_.push_back(access);
  }
  Counted count_;
  mutable std::mutex mutex_;
  std::vector<RegisterAccess> accesses_;
};

// The device object: hands out `registers` for IID_IRegisterAccess unless
// told to refuse.
class FakeDevice final : public IUnknown {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID iid, void** object) override {
    ++queries;
    if (on_query) on_query();
    if (SameGuid(iid, IID_IRegisterAccess) && !refuse) {
      if (answer_null) {
        *object = nullptr;
        return S_OK;
      }
      registers.AddRef();
      *object = static_cast<IRegisterAccess*>(&registers);
      return answer.load();
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PYX_CALL AddRef() override { return count_.Add(); }
  ULONG PYX_CALL Release() override { return count_.Drop(); }

  ULONG refs() const { return count_.refs(); }
  HostCounted& counts() { return count_; }

  FakeRegisters registers;
  std::function<void()> on_query;  // runs first in QueryInterface
  std::atomic<bool> refuse{false};
  std::atomic<bool> answer_null{false};  // S_OK with a null pointer
  std::atomic<HRESULT> answer{S_OK};     // the success code handed out
  std::atomic<int> queries{0};

 private:
  HostCounted count_;
};

}  // namespace pyx::testing
