#include "module_run.h"

#include <cinttypes>
#include <cstring>

namespace remote_host {

void Console::Line(const std::string& text) { Text(text + "\n"); }

void Console::Text(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string Stamp(double ms, const std::string& what) {
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "%7.0f ms  ", ms);
  return prefix + what;
}

double ModuleRun::NowMs() const {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - origin_)
      .count();
}

HRESULT PYX_CALL ModuleRun::Sink::QueryInterface(REFIID, void** object) {
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT PYX_CALL ModuleRun::Sink::OnKey(const char* name, const char* command) {
  const double at = run.NowMs();
  {
    std::lock_guard<std::mutex> lock(run.record_mutex_);
    run.record_.reports.push_back({at, name, command});
  }
  char line[128];
  std::snprintf(line, sizeof line, "%-18s %s", name, *command ? command : "-");
  run.console_.Line(Stamp(at, line));
  return S_OK;
}

bool ModuleRun::Load(const RunOptions& options, std::string* error) {
  if (!library_.Load(options.library_path, error)) return false;
  module_ = library_.factory()();
  if (module_ == nullptr) {
    *error = "the module's factory returned no object";
    library_.Unload();
    return false;
  }
  if (options.trace) {
    card_.SetTrace([this](char op, uint32_t offset, uint32_t value) {
      char line[64];
      std::snprintf(line, sizeof line, "  %s 0x%03" PRIx32 " %s 0x%08" PRIx32,
                    op == 'R' ? "read " : "write", offset, op == 'R' ? "->" : "<-", value);
      console_.Line(Stamp(NowMs(), line));
    });
  }
  return true;
}

bool ModuleRun::Start(std::string* error) {
  origin_ = std::chrono::steady_clock::now();
  const HRESULT started = module_->Start(&sink_, card_.device());
  if (FAILED(started)) {
    char text[64];
    std::snprintf(text, sizeof text, "the module refused Start (0x%08" PRIx32 ")",
                  static_cast<uint32_t>(started));
    *error = text;
    module_->Release();
    module_ = nullptr;
    library_.Unload();
    return false;
  }
  return true;
}

void ModuleRun::Press(int32_t code, const std::string& step) {
  LetGo();
  card_.HoldCode(code);
  record_.presses.push_back({code, step, NowMs(), 0});
  pressed_ = true;
}

void ModuleRun::LetGo() {
  if (!pressed_) return;
  card_.LetGo();
  record_.presses.back().end_ms = NowMs();
  pressed_ = false;
}

void ModuleRun::End() {
  LetGo();
  if (module_ != nullptr) {
    const double began = NowMs();
    module_->Stop();
    const double took = NowMs() - began;
    // The module waits 5000 ms for its worker, then gives up on it.
    if (took >= 4900) {
      console_.Line("remote-host: Stop gave up waiting for the module's worker after " +
                    std::to_string(static_cast<long>(took)) +
                    " ms (a key delay near 5000 ms or more?); it ends on its own");
    }
    module_->Release();
    module_ = nullptr;
  }
  library_.Unload();
}

}  // namespace remote_host
