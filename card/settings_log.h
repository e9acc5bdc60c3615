// The module's two timing settings and its log.
#pragma once

#include <atomic>
#include <cstdint>

namespace pyx {

// Process-wide, shared by every object and worker; each is read and written
// whole, without ordering between them.
struct ModuleSettings {
  // Delays in milliseconds after a key report. Never negative.
  std::atomic<int32_t> KeyFirstDelay{1000};
  std::atomic<int32_t> KeyRepeatDelay{500};
  // Not 0: the worker goes on polling the card during those delays.
  std::atomic<int32_t> KeyPollDuringDelay{0};

  int32_t FirstDelay() const { return KeyFirstDelay.load(std::memory_order_relaxed); }
  int32_t RepeatDelay() const { return KeyRepeatDelay.load(std::memory_order_relaxed); }
  bool PollDuringDelay() const { return KeyPollDuringDelay.load(std::memory_order_relaxed) != 0; }
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

// Reloads the settings from the INI file. A missing value, or a negative
// delay, leaves a setting as it is.
void LoadSettings(ModuleSettings& settings);

}  // namespace pyx
