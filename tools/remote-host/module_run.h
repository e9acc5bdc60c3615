// One run of the module in the host: load, create, Start with the simulated
// card and a printing sink, then Stop, Release and unload.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "module_library.h"
#include "record.h"
#include "sim_card.h"

namespace remote_host {

// Lines to standard output, whole, from any thread.
class Console {
 public:
  void Line(const std::string& text);
  void Text(const std::string& text);

 private:
  std::mutex mutex_;
};

struct RunOptions {
  std::string library_path;
  bool trace = false;
};

class ModuleRun {
 public:
  explicit ModuleRun(Console& console) : console_(console), sink_(*this) {}
  ~ModuleRun() { End(); }
  ModuleRun(const ModuleRun&) = delete;
  ModuleRun& operator=(const ModuleRun&) = delete;

  // Loads the module and creates an object, which writes its construction
  // lines to the log. False, with the reason in `error`, when either fails.
  bool Load(const RunOptions& options, std::string* error);
  // Starts the object with the simulated card. False, with the reason in
  // `error`, when it refuses; nothing is left running.
  bool Start(std::string* error);

  // Host thread: the remote.
  void Press(int32_t code, const std::string& step);
  void LetGo();
  void ClearCode() { card_.ClearCode(); }

  // Stop, Release, unload. Idempotent.
  void End();

  double NowMs() const;
  const RunRecord& record() const { return record_; }  // after End

 private:
  struct Sink final : IKeySink {
    explicit Sink(ModuleRun& run) : run(run) {}
    HRESULT PYX_CALL QueryInterface(REFIID iid, void** object) override;
    ULONG PYX_CALL AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG PYX_CALL Release() override { return static_cast<ULONG>(--refs); }
    HRESULT PYX_CALL OnKey(const char* name, const char* command) override;
    ModuleRun& run;
    std::atomic<long> refs{1};
  };

  Console& console_;
  SimCard card_;
  Sink sink_;
  ModuleLibrary library_;
  IRemoteModule* module_ = nullptr;
  std::chrono::steady_clock::time_point origin_ = std::chrono::steady_clock::now();
  std::mutex record_mutex_;
  RunRecord record_;  // reports guarded by record_mutex_
  bool pressed_ = false;
};

// Prints "  1234 ms  " before `what`.
std::string Stamp(double ms, const std::string& what);

}  // namespace remote_host
