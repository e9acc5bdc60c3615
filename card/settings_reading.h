// pyx.ini read once into one value: the settings in force, which row each
// code reports, and the log lines that say what the file set and what in it
// did not take effect as written. What acts and what the log says both come
// from this value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "card/key_table.h"
#include "platform/platform.h"

namespace pyx {

inline constexpr char kIniSection[] = "PYXRemote";
inline constexpr char kKeysSection[] = "PYXRemote Keys";
inline constexpr char kNoRepeatSection[] = "PYXRemote NoRepeat";

// The lines written after the third construction line: at most this many,
// each cut to kReadingLineBytes - 1 characters.
inline constexpr int kMaxReadingLines = 40;
inline constexpr size_t kReadingLineBytes = 256;

// The delays in force until pyx.ini sets others, in milliseconds.
inline constexpr int32_t kDefaultFirstDelay = 1000;
inline constexpr int32_t kDefaultRepeatDelay = 500;

// Zero-initialised as a static: its values are set before each reading.
struct SettingsReading {
  // The file as it was found.
  platform::IniFile::Access access;
  int error;         // the system's, when it could not be read
  bool has_section;  // it has a [PYXRemote] section

  // In force. Delays in milliseconds, never negative; the two options are
  // on when not 0.
  int32_t first_delay;
  int32_t repeat_delay;
  int32_t poll_during_delay;
  int32_t trace;
  KeyMap keys;

  // Each without "> " and "\n": first the options in force, then each line
  // of pyx.ini that does not take effect as written, in file order, then
  // what the delays in force do.
  int line_count;
  char lines[kMaxReadingLines][kReadingLineBytes];
};

// Reads `ini` into `reading`, whose settings on entry are those in force: a
// setting that pyx.ini does not give a value it can take keeps its own. The
// keymap and the lines are made anew from the file. A file that cannot be
// read changes only the file's state and leaves no lines.
void ReadSettings(const platform::IniFile& ini, SettingsReading& reading);

// Construction's second log line, without "> " and "\n": the version, the
// bitness, pyx.ini by `path`, and what was found there. `at_defaults`: the
// settings in force are the library's own.
void FormatBanner(const SettingsReading& reading, const char* path, bool at_defaults, char* out,
                  size_t size);

}  // namespace pyx
