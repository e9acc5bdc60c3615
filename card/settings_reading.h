// pyx.ini read once into one immutable value: the settings it puts in
// force, what the file was, and what was made of each of its lines. What
// acts, what the log says and what remote-host shows all come from it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "card/key_table.h"
#include "frame/nothrow_alloc.h"
#include "platform/platform.h"

namespace pyx {

inline constexpr char kIniSection[] = "PYXRemote";
inline constexpr char kKeysSection[] = "PYXRemote Keys";
inline constexpr char kNoRepeatSection[] = "PYXRemote NoRepeat";

// The delays in force until pyx.ini sets others, in milliseconds.
inline constexpr int32_t kDefaultFirstDelay = 1000;
inline constexpr int32_t kDefaultRepeatDelay = 500;

// Everything that acts, as one value.
struct Settings {
  // Milliseconds after a key report; never negative.
  int32_t first_delay;
  int32_t repeat_delay;
  // On when not 0: the worker goes on polling the card during those delays.
  int32_t poll_during_delay;
  // On when not 0: each key event is written to the log.
  int32_t trace;
  // Which row of CardKeyTable each code reports, and whether it repeats.
  KeyMap keys;
};

inline constexpr Settings kDefaultSettings{kDefaultFirstDelay, kDefaultRepeatDelay, 0, 0,
                                           kCardKeyMap};

// The settings of [PYXRemote], each by its key: a delay (milliseconds; a
// negative one is not taken) or a switch (on when not 0), the member of
// Settings it sets, and, for a delay, what one below the idle poll does.
struct SettingRule {
  const char* key;
  bool delay;
  int32_t Settings::*value;
  const char* below_poll;
};
inline constexpr SettingRule kSettingRules[] = {
    {"KeyFirstDelay", true, &Settings::first_delay, "each press is reported twice"},
    {"KeyRepeatDelay", true, &Settings::repeat_delay, "a held key is reported on every read"},
    {"KeyPollDuringDelay", false, &Settings::poll_during_delay, nullptr},
    {"KeyTrace", false, &Settings::trace, nullptr},
};
inline constexpr int kSettingCount = sizeof kSettingRules / sizeof kSettingRules[0];

bool SameSettings(const Settings& a, const Settings& b);

class SettingsRef;

// One reading. Made whole by ReadSettings and never changed; shared by
// counting: whoever holds a SettingsRef to it may use it from any thread.
class SettingsReading : public NothrowAllocated {
 public:
  // What an entry of the reading says.
  enum class Kind : uint8_t {
    kInForce,  // an option in force, or the keys pyx.ini moves or stops repeating
    kFinding,  // a line that does not take effect as written, or what a delay does
  };
  struct Entry {
    Kind kind;
    int32_t line;      // of pyx.ini, from 1; 0 when the entry is about no one line
    const char* text;  // one line, without "> " and "\n"
  };

  const Settings& settings() const { return settings_; }
  // The file as it was found.
  platform::IniFile::Access access() const { return access_; }
  int error() const { return error_; }                          // with kUnreadable
  platform::IniEncoding encoding() const { return encoding_; }  // when read
  bool has_section() const { return has_section_; }             // [PYXRemote]
  // The code the acting [PYXRemote Keys] line gives CardKeyTable's row
  // `row`, or -1: the code that the remote sends for that key.
  int32_t CodeGiven(int32_t row) const { return codes_given_[row]; }

  // The entries in the order the log writes them: the settings in force,
  // then the findings about lines in file order, then what the delays do.
  int entry_count() const { return entry_count_; }
  Entry entry(int i) const;
  int finding_count() const { return finding_count_; }
  // Entries that were found but not kept: past kMaxEntries, or for want of
  // memory. Each of them is a finding.
  int unlisted() const { return unlisted_; }

  static constexpr int kMaxEntries = 1000;

  // The reading of no file that holds the library's defaults: in force from
  // the moment it loads until the first reading of pyx.ini.
  static SettingsRef Defaults();

 private:
  friend class SettingsRef;
  friend class ReadingBuilder;
  friend SettingsRef ReadSettings(const platform::IniFile& ini, const Settings& in_force);
  friend SettingsRef MakeSettings(const Settings& settings);
  friend class SettingsReader;

  constexpr explicit SettingsReading(const Settings& settings, uint32_t refs = 1)
      : refs_(refs), settings_(settings) {
    for (int32_t& code : codes_given_) code = -1;
  }
  ~SettingsReading();

  static SettingsReading defaults_;  // never let go of: its count never comes to 0

  std::atomic<uint32_t> refs_;
  Settings settings_;
  platform::IniFile::Access access_ = platform::IniFile::Access::kMissing;
  int error_ = 0;
  platform::IniEncoding encoding_ = platform::IniEncoding::kBytes;
  bool has_section_ = false;
  int32_t codes_given_[kCardKeyCount] = {};
  // Each entry at its offset in text_: its kind, its line, its text.
  char* text_ = nullptr;
  uint32_t* offsets_ = nullptr;
  int entry_count_ = 0;
  int finding_count_ = 0;
  int unlisted_ = 0;
};

// A counted reference to a reading; move-only. Null when a reading could not
// be made for want of memory.
class SettingsRef {
 public:
  SettingsRef() = default;
  ~SettingsRef() { reset(); }
  SettingsRef(SettingsRef&& other) noexcept : reading_(other.reading_) { other.reading_ = nullptr; }
  SettingsRef& operator=(SettingsRef&& other) noexcept;
  SettingsRef(const SettingsRef&) = delete;
  SettingsRef& operator=(const SettingsRef&) = delete;

  // Another reference to the same reading.
  SettingsRef Share() const;
  const SettingsReading* get() const { return reading_; }
  const SettingsReading* operator->() const { return reading_; }
  const SettingsReading& operator*() const { return *reading_; }
  explicit operator bool() const { return reading_ != nullptr; }
  void reset();

 private:
  friend class ReadingBuilder;
  friend class SettingsReading;
  explicit SettingsRef(SettingsReading* reading) : reading_(reading) {}
  SettingsReading* reading_ = nullptr;
};

// Reads `ini` with `in_force` as the settings in force: a setting that
// pyx.ini does not give a value it can take keeps its value there. The
// keymap is made anew from the file. A file that cannot be read changes no
// setting and has no entries.
SettingsRef ReadSettings(const platform::IniFile& ini, const Settings& in_force);

// A reading of no file that puts `settings` in force.
SettingsRef MakeSettings(const Settings& settings);

// Construction's second log line, without "> " and "\n": the version, the
// bitness, pyx.ini by `path`, and what was found there. `at_defaults`: the
// settings in force are the library's own.
void FormatBanner(const SettingsReading& reading, const char* path, bool at_defaults, char* out,
                  size_t size);

}  // namespace pyx
