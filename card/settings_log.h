// The module's settings and its log.
#pragma once

#include <atomic>
#include <cstdint>

#include "card/key_table.h"

namespace pyx {

// Process-wide, shared by every object and worker; each field is read and
// written whole, without ordering between fields. A reload that runs while a
// worker reads may show it some fields old and some new.
struct ModuleSettings {
  // Delays in milliseconds after a key report. Never negative.
  std::atomic<int32_t> KeyFirstDelay{1000};
  std::atomic<int32_t> KeyRepeatDelay{500};
  // Not 0: the worker goes on polling the card during those delays.
  std::atomic<int32_t> KeyPollDuringDelay{0};
  // Not 0: each key event is written to the log.
  std::atomic<int32_t> KeyTrace{0};
  // [PYXRemote Keys]: for each row of CardKeyTable, the code it was given,
  // plus 1; 0 for a row that keeps its own.
  std::atomic<uint8_t> moved_code[kCardKeyCount] = {};
  // [PYXRemote NoRepeat]: bit i set, row i reports once per press.
  std::atomic<uint64_t> no_repeat_rows{0};
  // Bit c set: the row that code c reports does not repeat. Kept with the
  // two above, so that the poll loop reads one value.
  std::atomic<uint64_t> no_repeat_codes{0};

  int32_t FirstDelay() const { return KeyFirstDelay.load(std::memory_order_relaxed); }
  int32_t RepeatDelay() const { return KeyRepeatDelay.load(std::memory_order_relaxed); }
  bool PollDuringDelay() const { return KeyPollDuringDelay.load(std::memory_order_relaxed) != 0; }
  bool Trace() const { return KeyTrace.load(std::memory_order_relaxed) != 0; }
  uint64_t NoRepeatCodes() const { return no_repeat_codes.load(std::memory_order_relaxed); }

  // The row reported for `code`: the first row given that code, else the
  // first row of its own with it; null for none. The row's name and command
  // stay in the static table.
  const KeyEntry* RowFor(int32_t code) const;
};

// The process's settings.
ModuleSettings& Settings();

inline constexpr char kLogFileName[] = "PYXRemote.log";
inline constexpr char kIniSection[] = "PYXRemote";
inline constexpr char kKeysSection[] = "PYXRemote Keys";
inline constexpr char kNoRepeatSection[] = "PYXRemote NoRepeat";

// Appends one printf-style message to PYXRemote.log in the current directory
// (opened and closed for each message; "\n" is stored as the platform's text
// line end). When the log could be opened, the settings are then reloaded
// from the INI file. Any thread.
void LogMessage(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Reloads the settings from the INI file. A missing file leaves them all as
// they are; a missing value, or a negative delay, leaves that setting as it
// is. The keys moved and those that do not repeat are read anew each time.
void LoadSettings(ModuleSettings& settings);

// Construction's second log line: version, bitness, and pyx.ini by its full
// path, with whether it was found and has a [PYXRemote] section.
void LogBanner();

// The lines construction writes after the third, only for what pyx.ini
// sets beyond the two delays: each option in force, each value ignored or
// read other than written, and a delay so short that a held key is reported
// on every read.
void LogSettingsFindings();

}  // namespace pyx
