// The module's two timing settings and its log.
#pragma once

#include <atomic>
#include <cstdint>

namespace pyx {

// Delays in milliseconds after a key report. Process-wide, shared by every
// object and worker; each is read and written whole, without ordering
// between the two. Never negative.
struct ModuleSettings {
  std::atomic<int32_t> KeyFirstDelay{1000};
  std::atomic<int32_t> KeyRepeatDelay{500};

  int32_t FirstDelay() const { return KeyFirstDelay.load(std::memory_order_relaxed); }
  int32_t RepeatDelay() const { return KeyRepeatDelay.load(std::memory_order_relaxed); }
};

// The process's settings.
ModuleSettings& Settings();

inline constexpr char kLogFileName[] = "PYXRemote.log";
inline constexpr char kIniSection[] = "PYXRemote";

// Appends one printf-style message to PYXRemote.log in the current directory
// (opened and closed for each message; "\n" is stored as the platform's text
// line end). When the log could be opened, the settings are then reloaded
// from the INI file. Any thread.
void LogMessage(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Reloads both settings from the INI file. A missing or negative value
// leaves a setting as it is.
void LoadSettings(ModuleSettings& settings);

}  // namespace pyx
