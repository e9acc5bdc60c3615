// The card's keys as the host knows them: the module's own key table, and
// the keymap pyx.ini sets, read by the module's own reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "card/settings_reading.h"

namespace remote_host {

using Key = pyx::KeyEntry;

// The row a script names: "Power", "key_power" and "KEY_POWER" all name
// Key_Power. Null when there is none.
const Key* FindKeyByName(std::string_view name);

// The keys as a reading of pyx.ini sets them: what each code reports, and
// what the remote sends for each key.
class Keymap {
 public:
  // The library's defaults: no pyx.ini.
  Keymap() : reading_(pyx::SettingsReading::Defaults()) {}
  // pyx.ini in the current folder, read from the library's defaults, as a
  // module loaded now reads it; the defaults when that cannot be done.
  static Keymap FromPyxIni();
  // `text` as pyx.ini.
  static Keymap FromText(std::string_view text);

  Keymap(const Keymap& other) : reading_(other.reading_.Share()) {}
  Keymap& operator=(const Keymap& other) {
    reading_ = other.reading_.Share();
    return *this;
  }

  // The row the module reports for a code the card yields; null for none.
  const Key* ReportedFor(int32_t code) const { return settings().keys.Row(code); }
  // Whether a held key with `code` is reported again.
  bool Repeats(int32_t code) const { return settings().keys.Repeats(code); }
  // The code the remote sends for `key`: the one pyx.ini gives it, else its
  // own (255 for a key the card has no code for).
  int32_t CodeOf(const Key* key) const;
  // Whether pyx.ini gives `key` a code other than its own.
  bool Moved(const Key* key) const { return CodeOf(key) != key->code; }
  double first_delay_ms() const { return settings().first_delay; }
  const pyx::SettingsReading& reading() const { return *reading_; }

 private:
  explicit Keymap(pyx::SettingsRef reading) : reading_(std::move(reading)) {}
  static Keymap Of(const pyx::platform::IniFile& ini);
  const pyx::Settings& settings() const { return reading_->settings(); }

  pyx::SettingsRef reading_;
};

// Why `key`, whose code is `code`, cannot be sent.
std::string NoCodeMessage(const Key* key, int32_t code);

// Equal regardless of ASCII case.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

// The names a script may use, for messages: "TV/FM, CD, ...".
std::string KnownKeyNames();

// For `remote-host --settings`: the reading of pyx.ini at `path` for the
// person at the TV: the settings in force, the whole keymap, and each
// finding with its line.
std::string SettingsReport(const pyx::SettingsReading& reading, const char* path);

}  // namespace remote_host
