#include "card/settings_log.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace pyx {

SettingsRef ModuleSettings::Current() const {
  platform::HoldLock lock(platform::ProcessLock::kSettings);
  return current_.Share();
}

void ModuleSettings::Publish(SettingsRef reading) {
  if (!reading) return;
  {
    platform::HoldLock lock(platform::ProcessLock::kSettings);
    // The swap leaves the one before in `reading`, let go of outside the lock.
    SettingsRef before = static_cast<SettingsRef&&>(current_);
    current_ = static_cast<SettingsRef&&>(reading);
    reading = static_cast<SettingsRef&&>(before);
  }
}

namespace {

ModuleSettings g_settings;

enum class Changes { kSaid, kQuiet };

// One message appended to the log; false when it could not be opened.
bool Append(const char* format, va_list args) {
  FILE* log = std::fopen(kLogFileName, "a+t");
  if (log == nullptr) return false;
  platform::FormatToFile(log, format, args);
  std::fclose(log);
  return true;
}

// printf to the log through the system's C runtime, as every log line is.
void Print(FILE* log, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Print(FILE* log, const char* format, ...) {
  va_list args;
  va_start(args, format);
  platform::FormatToFile(log, format, args);
  va_end(args);
}

// What a code reports under `settings`: "Key_Power", "Key_Power once per
// press" or "none".
void DescribeCode(FILE* log, const Settings& settings, int32_t code) {
  const KeyEntry* row = settings.keys.Row(code);
  if (row == nullptr) {
    std::fputs("none", log);
  } else {
    std::fputs(row->name, log);
    if (!settings.keys.Repeats(code)) std::fputs(" once per press", log);
  }
}

// One line on what a reading changed in force. False when the log could
// not be opened.
bool AppendChange(const Settings& before, const Settings& after) {
  FILE* log = std::fopen(kLogFileName, "a+t");
  if (log == nullptr) return false;
  std::fputs("pyx.ini read again:", log);
  const char* separator = " ";
  const struct {
    const char* key;
    int32_t Settings::*value;
  } kValues[] = {
      {"KeyFirstDelay", &Settings::first_delay},
      {"KeyRepeatDelay", &Settings::repeat_delay},
      {"KeyPollDuringDelay", &Settings::poll_during_delay},
      {"KeyTrace", &Settings::trace},
  };
  for (const auto& [key, value] : kValues) {
    if (before.*value == after.*value) continue;
    Print(log, "%s%s=%d (was %d)", separator, key, static_cast<int>(after.*value),
          static_cast<int>(before.*value));
    separator = "; ";
  }
  for (int32_t code = 0; code < KeyMap::kCodes; ++code) {
    if (before.keys.RowIndex(code) == after.keys.RowIndex(code) &&
        before.keys.Repeats(code) == after.keys.Repeats(code)) {
      continue;
    }
    Print(log, "%scode %d: ", separator, static_cast<int>(code));
    DescribeCode(log, after, code);
    std::fputs(" (was ", log);
    DescribeCode(log, before, code);
    std::fputs(")", log);
    separator = "; ";
  }
  std::fputs("\n", log);
  std::fclose(log);
  return true;
}

// Reads pyx.ini and puts the reading in force; with kSaid, a change is
// written to the log, after which pyx.ini is read again, as after any log
// line. With the log's lock held.
void Reload(Changes changes) {
  // A file that changes on every reading would be read forever: a few
  // rounds are enough for any edit.
  for (int round = 0; round < 4; ++round) {
    const SettingsRef before = g_settings.Current();
    const platform::IniFile ini(platform::kIniPath);
    SettingsRef read = ReadSettings(ini, before->settings());
    if (!read) return;  // no memory for it: what is in force stays
    const bool changed = !SameSettings(before->settings(), read->settings());
    const Settings after = read->settings();
    g_settings.Publish(static_cast<SettingsRef&&>(read));
    if (changes == Changes::kQuiet || !changed || !AppendChange(before->settings(), after)) {
      return;
    }
  }
}

void Log(Changes changes, const char* format, va_list args) {
  platform::HoldLock lock(platform::ProcessLock::kLog);
  if (Append(format, args)) Reload(changes);
}

}  // namespace

ModuleSettings& ProcessSettings() { return g_settings; }

void LoadSettings() {
  platform::HoldLock lock(platform::ProcessLock::kLog);
  Reload(Changes::kQuiet);
}

void LogMessage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Log(Changes::kSaid, format, args);
  va_end(args);
}

void LogConstructionLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Log(Changes::kQuiet, format, args);
  va_end(args);
}

void LogBanner() {
  char path[4096];
  platform::FullPath(platform::kIniPath, path, sizeof path);
  const SettingsRef reading = g_settings.Current();
  char banner[sizeof path + 256];
  FormatBanner(*reading, path, SameSettings(reading->settings(), kDefaultSettings), banner,
               sizeof banner);
  LogConstructionLine("> %s\n", banner);
}

// Written as one message, so that they stand together in the log and
// pyx.ini is read once after them, however many they are.
void LogSettingsFindings(const SettingsReading& reading) {
  if (reading.entry_count() == 0 && reading.finding_count() == 0) return;
  platform::HoldLock lock(platform::ProcessLock::kLog);
  FILE* log = std::fopen(kLogFileName, "a+t");
  if (log == nullptr) return;
  int findings = 0;
  for (int i = 0; i < reading.entry_count(); ++i) {
    const SettingsReading::Entry entry = reading.entry(i);
    if (entry.kind == SettingsReading::Kind::kFinding && ++findings > kLoggedFindings) continue;
    Print(log, "> %s\n", entry.text);
  }
  const int logged = findings < kLoggedFindings ? findings : kLoggedFindings;
  if (reading.finding_count() > logged) {
    Print(log,
          "> %d more findings about pyx.ini are not listed here; remote-host --settings lists "
          "them\n",
          reading.finding_count() - logged);
  }
  std::fclose(log);
  Reload(Changes::kQuiet);
}

}  // namespace pyx
