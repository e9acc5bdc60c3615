#include "card/settings_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "card/poller.h"
#include "platform/platform.h"

namespace pyx {

namespace {

// Constant-initialised: the defaults hold from the moment the library loads.
ModuleSettings g_settings;

// The names listed in one section: enough for every key of the table many
// times over; a file with more is read as far as this goes.
constexpr size_t kNamesBytes = 4096;
// One value as read; longer values are cut.
constexpr size_t kValueBytes = 64;

// The row of CardKeyTable named `name` in any case, or -1.
int RowNamed(const char* name) {
  for (int row = 0; row < kCardKeyCount; ++row) {
    if (platform::SameIniName(CardKeyTable[row].name, name)) return row;
  }
  return -1;
}

// The first digit comes before any other character but white space and a
// sign: the value is a number, as the INI reader takes it, not a word that
// it reads as 0.
bool IsNumber(const char* value) {
  while (*value != '\0' && static_cast<unsigned char>(*value) <= 0x20) ++value;
  if (*value == '+' || *value == '-') ++value;
  return *value >= '0' && *value <= '9';
}

// The code a [PYXRemote Keys] value gives, or -1 when it is not one.
int32_t CodeOf(const platform::IniFile& ini, const char* name) {
  char value[kValueBytes];
  if (!ini.String(kKeysSection, name, value, sizeof value) || !IsNumber(value)) return -1;
  const int32_t code = ini.Int(kKeysSection, name, -1);
  return code >= 0 && code <= static_cast<int32_t>(kCodeMask) ? code : -1;
}

// Calls visit(name) for each name listed in `section`.
template <typename Visit>
void ForEachName(const platform::IniFile& ini, const char* section, Visit visit) {
  char names[kNamesBytes];
  ini.KeyNames(section, names, sizeof names);
  for (const char* name = names; *name != '\0'; name += std::strlen(name) + 1) visit(name);
}

// A negative delay would reach the platform's sleep as weeks or forever.
void LoadOne(const platform::IniFile& ini, std::atomic<int32_t>& setting, const char* key,
             bool negative_allowed = false) {
  const int32_t current = setting.load(std::memory_order_relaxed);
  const int32_t value = ini.Int(kIniSection, key, current);
  if (value >= 0 || negative_allowed) setting.store(value, std::memory_order_relaxed);
}

bool AtDefaults(const ModuleSettings& settings) {
  const ModuleSettings defaults;
  if (settings.no_repeat_rows.load(std::memory_order_relaxed) != 0) return false;
  for (const auto& moved : settings.moved_code) {
    if (moved.load(std::memory_order_relaxed) != 0) return false;
  }
  return settings.FirstDelay() == defaults.FirstDelay() &&
         settings.RepeatDelay() == defaults.RepeatDelay() &&
         settings.PollDuringDelay() == defaults.PollDuringDelay() &&
         settings.Trace() == defaults.Trace();
}

// Appends printf-style text to a line being built in `line`, cut to its size.
class LineBuilder {
 public:
  void Add(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
  {
    va_list args;
    va_start(args, format);
    used_ += platform::FormatToBuffer(text_ + used_, sizeof text_ - used_, format, args);
    va_end(args);
  }
  const char* text() const { return text_; }
  bool empty() const { return used_ == 0; }

 private:
  char text_[1536] = {};
  size_t used_ = 0;
};

}  // namespace

const KeyEntry* ModuleSettings::RowFor(int32_t code) const {
  for (int row = 0; row < kCardKeyCount; ++row) {
    if (moved_code[row].load(std::memory_order_relaxed) == code + 1) return &CardKeyTable[row];
  }
  for (int row = 0; row < kCardKeyCount; ++row) {
    if (CardKeyTable[row].code == code && moved_code[row].load(std::memory_order_relaxed) == 0) {
      return &CardKeyTable[row];
    }
  }
  return nullptr;
}

ModuleSettings& Settings() { return g_settings; }

void LoadSettings(ModuleSettings& settings) {
  const platform::IniFile ini(platform::kIniPath);
  if (!ini.found()) return;
  LoadOne(ini, settings.KeyFirstDelay, "KeyFirstDelay");
  LoadOne(ini, settings.KeyRepeatDelay, "KeyRepeatDelay");
  LoadOne(ini, settings.KeyPollDuringDelay, "KeyPollDuringDelay", /*negative_allowed=*/true);
  LoadOne(ini, settings.KeyTrace, "KeyTrace", /*negative_allowed=*/true);

  uint8_t moved[kCardKeyCount] = {};
  ForEachName(ini, kKeysSection, [&](const char* name) {
    const int row = RowNamed(name);
    const int32_t code = row < 0 ? -1 : CodeOf(ini, name);
    if (code >= 0 && moved[row] == 0) moved[row] = static_cast<uint8_t>(code + 1);
  });
  for (int row = 0; row < kCardKeyCount; ++row) {
    settings.moved_code[row].store(moved[row], std::memory_order_relaxed);
  }
  uint64_t no_repeat_rows = 0;
  ForEachName(ini, kNoRepeatSection, [&](const char* name) {
    const int row = RowNamed(name);
    if (row >= 0 && ini.Int(kNoRepeatSection, name, 0) != 0) no_repeat_rows |= uint64_t{1} << row;
  });
  settings.no_repeat_rows.store(no_repeat_rows, std::memory_order_relaxed);
  uint64_t no_repeat_codes = 0;
  for (int32_t code = 0; code <= static_cast<int32_t>(kCodeMask); ++code) {
    const KeyEntry* row = settings.RowFor(code);
    if (row != nullptr && (no_repeat_rows >> (row - CardKeyTable) & 1) != 0) {
      no_repeat_codes |= uint64_t{1} << code;
    }
  }
  settings.no_repeat_codes.store(no_repeat_codes, std::memory_order_relaxed);
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

void LogBanner() {
  char path[512];
  platform::FullPath(platform::kIniPath, path, sizeof path);
  const platform::IniFile ini(platform::kIniPath);
  const char* found = " [PYXRemote]";
  if (!ini.found()) {
    found = AtDefaults(Settings()) ? ": not found, defaults in force"
                                   : ": not found, the settings read before kept";
  } else if (!ini.HasSection(kIniSection)) {
    found = ": no [PYXRemote] section";
  }
  LogMessage("> PYXRemote %s (%d-bit), settings from %s%s\n", PYX_VERSION,
             static_cast<int>(sizeof(void*) * 8), path, found);
}

void LogSettingsFindings() {
  const platform::IniFile ini(platform::kIniPath);
  if (!ini.found()) return;
  const ModuleSettings& settings = Settings();

  // What is in force beyond the two delays.
  if (settings.PollDuringDelay()) {
    LogMessage("> KeyPollDuringDelay=%d: the remote is read during key delays too\n",
               static_cast<int>(settings.KeyPollDuringDelay.load(std::memory_order_relaxed)));
  }
  if (settings.Trace()) {
    LogMessage("> KeyTrace=%d: each key event is logged, at most %d lines a Start\n",
               static_cast<int>(settings.KeyTrace.load(std::memory_order_relaxed)),
               static_cast<int>(kTraceLinesPerStart));
  }
  LineBuilder moved, once;
  for (int row = 0; row < kCardKeyCount; ++row) {
    const int code = settings.moved_code[row].load(std::memory_order_relaxed) - 1;
    if (code >= 0) moved.Add("%s%s=%d", moved.empty() ? "" : ", ", CardKeyTable[row].name, code);
    if ((settings.no_repeat_rows.load(std::memory_order_relaxed) >> row & 1) != 0) {
      once.Add("%s%s", once.empty() ? "" : ", ", CardKeyTable[row].name);
    }
  }
  if (!moved.empty()) LogMessage("> Keys moved: %s\n", moved.text());
  if (!once.empty()) LogMessage("> Keys that do not repeat: %s\n", once.text());

  // What was ignored, or read other than written.
  char value[kValueBytes];
  const struct {
    const char* key;
    bool delay;
  } kNumbers[] = {{"KeyFirstDelay", true},
                  {"KeyRepeatDelay", true},
                  {"KeyPollDuringDelay", false},
                  {"KeyTrace", false}};
  for (const auto& [key, delay] : kNumbers) {
    if (!ini.String(kIniSection, key, value, sizeof value) || value[0] == '\0') continue;
    if (!IsNumber(value)) {
      LogMessage("> %s=%s is not a number: read as 0\n", key, value);
    } else if (delay && ini.Int(kIniSection, key, 0) < 0) {
      LogMessage("> %s=%s is negative: ignored\n", key, value);
    }
  }
  bool seen[kCardKeyCount] = {};
  ForEachName(ini, kKeysSection, [&](const char* name) {
    if (!ini.String(kKeysSection, name, value, sizeof value)) value[0] = '\0';
    const int row = RowNamed(name);
    if (row < 0) {
      LogMessage("> [%s] %s=%s: no key of that name, ignored\n", kKeysSection, name, value);
    } else if (seen[row]) {
      LogMessage("> [%s] %s: named again, only its first line counts\n", kKeysSection, name);
    } else if (CodeOf(ini, name) < 0) {
      LogMessage("> [%s] %s=%s: not a code from 0 to 63, ignored\n", kKeysSection, name, value);
    }
    if (row >= 0) seen[row] = true;
  });
  ForEachName(ini, kNoRepeatSection, [&](const char* name) {
    if (!ini.String(kNoRepeatSection, name, value, sizeof value)) value[0] = '\0';
    if (RowNamed(name) < 0) {
      LogMessage("> [%s] %s=%s: no key of that name, ignored\n", kNoRepeatSection, name, value);
    } else if (value[0] != '\0' && !IsNumber(value)) {
      LogMessage("> [%s] %s=%s is not a number: read as 0, the key repeats\n", kNoRepeatSection,
                 name, value);
    }
  });

  // A delay shorter than a poll: the sleep after a report ends before the
  // next read would have come anyway.
  if (settings.RepeatDelay() < static_cast<int32_t>(kIdlePollMs)) {
    LogMessage(
        "> KeyRepeatDelay=%d is below the %d ms poll: a held key is reported on every read\n",
        static_cast<int>(settings.RepeatDelay()), static_cast<int>(kIdlePollMs));
  } else if (settings.FirstDelay() < static_cast<int32_t>(kIdlePollMs)) {
    LogMessage(
        "> KeyFirstDelay=%d is below the %d ms poll: a held key is reported again on the next "
        "read\n",
        static_cast<int>(settings.FirstDelay()), static_cast<int>(kIdlePollMs));
  }
}

}  // namespace pyx
