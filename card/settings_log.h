// The module's settings and its log.
#pragma once

#include <atomic>
#include <cstdint>

#include "card/key_table.h"
#include "card/settings_reading.h"

namespace pyx {

// Process-wide, shared by every object and worker. Each delay and option is
// read and written whole, without ordering between them; the keymap is read
// whole: never part of one reload and part of another.
struct ModuleSettings {
  // Delays in milliseconds after a key report. Never negative.
  std::atomic<int32_t> KeyFirstDelay{kDefaultFirstDelay};
  std::atomic<int32_t> KeyRepeatDelay{kDefaultRepeatDelay};
  // Not 0: the worker goes on polling the card during those delays.
  std::atomic<int32_t> KeyPollDuringDelay{0};
  // Not 0: each key event is written to the log.
  std::atomic<int32_t> KeyTrace{0};

  int32_t FirstDelay() const { return KeyFirstDelay.load(std::memory_order_relaxed); }
  int32_t RepeatDelay() const { return KeyRepeatDelay.load(std::memory_order_relaxed); }
  bool PollDuringDelay() const { return KeyPollDuringDelay.load(std::memory_order_relaxed) != 0; }
  bool Trace() const { return KeyTrace.load(std::memory_order_relaxed) != 0; }

  // Which row of CardKeyTable each code reports, and whether it repeats:
  // CardKeyTable's own until pyx.ini moves keys. Any thread.
  KeyMap Keys() const;
  // Publishes `keys`, a map of CardKeyTable. One caller at a time.
  void SetKeys(const KeyMap& keys);

 private:
  static_assert(KeyMap::kWords == 9, "one initial value for each word below");
  // Odd while SetKeys writes.
  std::atomic<uint32_t> keys_version_{0};
  std::atomic<uint64_t> keys_words_[KeyMap::kWords] = {
      kCardKeyMap.Word(0), kCardKeyMap.Word(1), kCardKeyMap.Word(2),
      kCardKeyMap.Word(3), kCardKeyMap.Word(4), kCardKeyMap.Word(5),
      kCardKeyMap.Word(6), kCardKeyMap.Word(7), kCardKeyMap.Word(8)};
};

// The process's settings.
ModuleSettings& Settings();

inline constexpr char kLogFileName[] = "PYXRemote.log";

// Appends one printf-style message to PYXRemote.log in the current directory
// (opened and closed for each message; "\n" is stored as the platform's text
// line end). When the log could be opened, the settings are then reloaded
// from the INI file. Any thread.
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reloads the process's settings from the INI file, as a log line does.
// What pyx.ini does not set keeps its value; a file that cannot be read
// leaves every setting as it is. Any thread.
void LoadSettings();

// Construction's second log line: version, bitness, and pyx.ini by its full
// path, with what was found there.
void LogBanner();

// The lines construction writes after the third, only for what pyx.ini
// sets beyond the two delays, from the reading the third line's reload
// made: each option in force, each line that does not take effect as
// written, and what the delays in force do that a user would not expect.
void LogSettingsFindings();

}  // namespace pyx
