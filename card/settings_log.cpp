#include "card/settings_log.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "platform/platform.h"

namespace pyx {

SettingsRef ModuleSettings::Current() const {
  platform::HoldLock lock(platform::ProcessLock::kSettings);
  return current_.Share();
}

void ModuleSettings::Publish(SettingsRef reading) {
  if (!reading) return;
  SettingsRef before;  // let go of outside the lock
  platform::HoldLock lock(platform::ProcessLock::kSettings);
  before = std::move(current_);
  current_ = std::move(reading);
}

namespace {

ModuleSettings g_settings;

enum class Changes { kSaid, kQuiet };

// The log, opened for appending as long as this lives: "\n" is stored as
// the platform's text line end, and the text is formatted by the system's
// C runtime, as every log line is. False when it could not be opened.
class LogFile {
 public:
  LogFile() : file_(std::fopen(kLogFileName, "a+t")) {}
  ~LogFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  explicit operator bool() const { return file_ != nullptr; }
  void Write(const char* format, va_list args) { platform::FormatToFile(file_, format, args); }
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    Write(format, args);
    va_end(args);
  }

 private:
  FILE* const file_;
};

// What a code reports under `settings`: "Key_Power", "Key_Power once per
// press" or "none".
void DescribeCode(LogFile& log, const Settings& settings, int32_t code) {
  const KeyEntry* row = settings.keys.Row(code);
  log.Print("%s%s", row == nullptr ? "none" : row->name,
            row != nullptr && !settings.keys.Repeats(code) ? " once per press" : "");
}

// One line on what a reading changed in force. False when the log could
// not be opened.
bool AppendChange(const Settings& before, const Settings& after) {
  LogFile log;
  if (!log) return false;
  log.Print("pyx.ini read again:");
  const char* separator = " ";
  for (const SettingRule& setting : kSettingRules) {
    const int32_t was = before.*setting.value, now = after.*setting.value;
    if (was == now) continue;
    log.Print("%s%s=%d (was %d)", separator, setting.key, static_cast<int>(now),
              static_cast<int>(was));
    separator = "; ";
  }
  for (int32_t code = 0; code < KeyMap::kCodes; ++code) {
    if (before.keys.RowIndex(code) == after.keys.RowIndex(code) &&
        before.keys.Repeats(code) == after.keys.Repeats(code)) {
      continue;
    }
    log.Print("%scode %d: ", separator, static_cast<int>(code));
    DescribeCode(log, after, code);
    log.Print(" (was ");
    DescribeCode(log, before, code);
    log.Print(")");
    separator = "; ";
  }
  log.Print("\n");
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
    const SettingsRef after = read.Share();
    g_settings.Publish(std::move(read));
    if (changes == Changes::kQuiet || SameSettings(before->settings(), after->settings()) ||
        !AppendChange(before->settings(), after->settings())) {
      return;
    }
  }
}

void Log(Changes changes, const char* format, va_list args) {
  platform::HoldLock lock(platform::ProcessLock::kLog);
  {
    LogFile log;
    if (!log) return;
    log.Write(format, args);
  }
  Reload(changes);
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
  {
    LogFile log;
    if (!log) return;
    int findings = 0;
    for (int i = 0; i < reading.entry_count(); ++i) {
      const SettingsReading::Entry entry = reading.entry(i);
      if (entry.kind == SettingsReading::Kind::kFinding && ++findings > kLoggedFindings) continue;
      log.Print("> %s\n", entry.text);
    }
    const int logged = findings < kLoggedFindings ? findings : kLoggedFindings;
    if (reading.finding_count() > logged) {
      log.Print(
          "> %d more findings about pyx.ini are not listed here; remote-host --settings lists "
          "them\n",
          reading.finding_count() - logged);
    }
  }
  Reload(Changes::kQuiet);
}

}  // namespace pyx
