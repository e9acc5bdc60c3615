#include "card/settings_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "card/settings_reading.h"
#include "platform/platform.h"

namespace pyx {

namespace {

// Constant-initialised: the defaults hold from the moment the library loads.
ModuleSettings g_settings;

// The last reading of pyx.ini. Guarded by the log's lock, under which every
// reload reads and publishes, so that the reading published last is the
// file as it was read last. Zero-initialised; filled by the first reload.
SettingsReading g_reading;

// Reads pyx.ini into g_reading, starting from the settings in force, and
// publishes what it sets. With the log's lock held.
void Reload() {
  SettingsReading& reading = g_reading;
  reading.first_delay = g_settings.FirstDelay();
  reading.repeat_delay = g_settings.RepeatDelay();
  reading.poll_during_delay = g_settings.KeyPollDuringDelay.load(std::memory_order_relaxed);
  reading.trace = g_settings.KeyTrace.load(std::memory_order_relaxed);
  reading.keys = g_settings.Keys();
  const platform::IniFile ini(platform::kIniPath);
  ReadSettings(ini, reading);
  if (!ini.found()) return;
  g_settings.KeyFirstDelay.store(reading.first_delay, std::memory_order_relaxed);
  g_settings.KeyRepeatDelay.store(reading.repeat_delay, std::memory_order_relaxed);
  g_settings.KeyPollDuringDelay.store(reading.poll_during_delay, std::memory_order_relaxed);
  g_settings.KeyTrace.store(reading.trace, std::memory_order_relaxed);
  g_settings.SetKeys(reading.keys);
}

bool AtDefaults(const SettingsReading& reading) {
  for (int i = 0; i < KeyMap::kWords; ++i) {
    if (reading.keys.Word(i) != kCardKeyMap.Word(i)) return false;
  }
  return reading.first_delay == kDefaultFirstDelay && reading.repeat_delay == kDefaultRepeatDelay &&
         reading.poll_during_delay == 0 && reading.trace == 0;
}

}  // namespace

// A sequence lock: the writer makes the version odd, writes, and makes it
// even again; a reader keeps what it read only when the version was the same
// even number before and after. Each word is written with release and read
// with acquire, so a reader that sees any word of a write also sees the odd
// version written before it.
KeyMap ModuleSettings::Keys() const {
  uint64_t words[KeyMap::kWords];
  for (uint32_t tries = 1;; ++tries) {
    const uint32_t before = keys_version_.load(std::memory_order_acquire);
    for (int i = 0; i < KeyMap::kWords; ++i) {
      words[i] = keys_words_[i].load(std::memory_order_acquire);
    }
    if ((before & 1) == 0 && keys_version_.load(std::memory_order_relaxed) == before) break;
    // A writer that was preempted halfway: let it finish.
    if (tries % 64 == 0) platform::SleepMilliseconds(1);
  }
  return KeyMap::FromWords(CardKeyTable, words);
}

void ModuleSettings::SetKeys(const KeyMap& keys) {
  const uint32_t version = keys_version_.load(std::memory_order_relaxed);
  keys_version_.store(version + 1, std::memory_order_relaxed);
  for (int i = 0; i < KeyMap::kWords; ++i) {
    keys_words_[i].store(keys.Word(i), std::memory_order_release);
  }
  keys_version_.store(version + 2, std::memory_order_release);
}

ModuleSettings& Settings() { return g_settings; }

void LoadSettings() {
  platform::LogWriteLock lock;
  Reload();
}

void LogMessage(const char* format, ...) {
  platform::LogWriteLock lock;
  FILE* log = std::fopen(kLogFileName, "a+t");
  if (log == nullptr) return;
  va_list args;
  va_start(args, format);
  platform::FormatToFile(log, format, args);
  va_end(args);
  std::fclose(log);
  Reload();
}

void LogBanner() {
  char path[512];
  platform::FullPath(platform::kIniPath, path, sizeof path);
  char banner[kReadingLineBytes + sizeof path];
  {
    platform::LogWriteLock lock;
    FormatBanner(g_reading, path, AtDefaults(g_reading), banner, sizeof banner);
  }
  LogMessage("> %s\n", banner);
}

void LogSettingsFindings() {
  // Taken whole, before the first line's own reload can change them.
  char lines[kMaxReadingLines][kReadingLineBytes];
  int count;
  {
    platform::LogWriteLock lock;
    count = g_reading.line_count;
    std::memcpy(lines, g_reading.lines, sizeof lines);
  }
  for (int i = 0; i < count; ++i) LogMessage("> %s\n", lines[i]);
}

}  // namespace pyx
