// The module's settings in force and its log.
#pragma once

#include <cstdint>

#include "card/settings_reading.h"

namespace pyx {

// The settings in force: one reading of pyx.ini, published whole. Each use
// takes one reading and keeps to it, so that it never acts on the delays of
// one reading and the keymap of another.
class ModuleSettings {
 public:
  // The library's defaults.
  ModuleSettings() : current_(SettingsReading::Defaults()) {}
  ModuleSettings(const ModuleSettings&) = delete;
  ModuleSettings& operator=(const ModuleSettings&) = delete;

  // The reading in force. Any thread.
  SettingsRef Current() const;
  // Puts `reading` in force; the one before goes when its last holder lets
  // go of it. Any thread; a null `reading` changes nothing.
  void Publish(SettingsRef reading);

 private:
  SettingsRef current_;  // guarded by ProcessLock::kSettings
};

// The process's settings, shared by every object and worker.
ModuleSettings& ProcessSettings();

inline constexpr char kLogFileName[] = "PYXRemote.log";

// Appends one printf-style message to PYXRemote.log in the current directory
// (opened and closed for each message; "\n" is stored as the platform's text
// line end). When the log could be opened, pyx.ini is then read again and
// the reading put in force; when that changes what is in force, a line
// says what it changed (and, being a log line, pyx.ini is read again). Any
// thread.
void LogMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same for construction's own lines, which say what the reading in
// force is themselves: a change is put in force without a line about it.
void LogConstructionLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reads pyx.ini again and puts the reading in force, as a log line does,
// without writing one. Any thread.
void LoadSettings();

// Construction's second log line: version, bitness, and pyx.ini by its full
// path, with what was found there.
void LogBanner();

// The lines construction writes after the third, from `reading`, the one
// the third line shows, as one log message: each option in force, each
// line of pyx.ini that does not take effect as written, and what the
// delays in force do that a user would not expect. At most kLoggedFindings
// findings; a last line counts those left out.
void LogSettingsFindings(const SettingsReading& reading);
inline constexpr int kLoggedFindings = 100;

}  // namespace pyx
