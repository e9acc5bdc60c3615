#include "card/settings_log.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace pyx {

namespace {

// Constant-initialised: the defaults hold from the moment the library loads.
ModuleSettings g_settings;

// A negative delay would reach the platform's sleep as weeks or forever.
void LoadOne(std::atomic<int32_t>& setting, const char* key, bool negative_allowed = false) {
  const int32_t current = setting.load(std::memory_order_relaxed);
  const int32_t value = platform::ReadIniInt(kIniSection, key, current, platform::kIniPath);
  if (value >= 0 || negative_allowed) setting.store(value, std::memory_order_relaxed);
}

}  // namespace

ModuleSettings& Settings() { return g_settings; }

void LoadSettings(ModuleSettings& settings) {
  LoadOne(settings.KeyFirstDelay, "KeyFirstDelay");
  LoadOne(settings.KeyRepeatDelay, "KeyRepeatDelay");
  LoadOne(settings.KeyPollDuringDelay, "KeyPollDuringDelay", /*negative_allowed=*/true);
}

void LogMessage(const char* format, ...) {
  {
    platform::LogWriteLock lock;
    FILE* log = std::fopen(kLogFileName, "a+t");
    if (log == nullptr) return;
    va_list args;
    va_start(args, format);
    platform::FormatToFile(log, format, args);
    va_end(args);
    std::fclose(log);
  }
  LoadSettings(Settings());
}

}  // namespace pyx
