#include "keys.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace remote_host {

using pyx::CardKeyTable;
using pyx::kCardKeyCount;
using pyx::KeyMap;

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  return pyx::platform::SameIniName(a, b);
}

namespace {

constexpr std::string_view kPrefix = "Key_";

int32_t RowOf(const Key* key) { return static_cast<int32_t>(key - CardKeyTable); }

}  // namespace

const Key* FindKeyByName(std::string_view name) {
  if (name.size() > kPrefix.size() &&
      SameTextIgnoringCase(name.substr(0, kPrefix.size()), kPrefix)) {
    name.remove_prefix(kPrefix.size());
  }
  for (const Key& key : CardKeyTable) {
    if (SameTextIgnoringCase(std::string_view(key.name).substr(kPrefix.size()), name)) return &key;
  }
  return nullptr;
}

Keymap Keymap::Of(const pyx::platform::IniFile& ini) {
  pyx::SettingsRef reading = pyx::ReadSettings(ini, pyx::kDefaultSettings);
  return reading ? Keymap(std::move(reading)) : Keymap();
}

Keymap Keymap::FromPyxIni() { return Of(pyx::platform::IniFile(pyx::platform::kIniPath)); }

Keymap Keymap::FromText(std::string_view text) {
  return Of(pyx::platform::IniFile(pyx::platform::IniFile::InMemory{}, text));
}

int32_t Keymap::CodeOf(const Key* key) const {
  const int32_t given = reading_->CodeGiven(RowOf(key));
  return given >= 0 ? given : key->code;
}

std::string NoCodeMessage(const Key* key, int32_t code) {
  return std::string(key->name) + " has code " + std::to_string(code) +
         ", which the card's receiver cannot send; give it one in pyx.ini's [PYXRemote Keys] (" +
         key->name + "=37), or use code:N for a raw code";
}

std::string KnownKeyNames() {
  std::string names;
  for (const Key& key : CardKeyTable) {
    if (!names.empty()) names += ", ";
    names += std::string_view(key.name).substr(kPrefix.size());
  }
  return names;
}

namespace {

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// "4, 12, 32 to 36": codes in runs.
std::string Runs(const bool (&in)[KeyMap::kCodes]) {
  std::string out;
  for (int32_t code = 0; code < KeyMap::kCodes; ++code) {
    if (!in[code]) continue;
    int32_t last = code;
    while (last + 1 < KeyMap::kCodes && in[last + 1]) ++last;
    out += (out.empty() ? "" : ", ") + std::to_string(code);
    if (last > code) out += (last == code + 1 ? ", " : " to ") + std::to_string(last);
    code = last;
  }
  return out;
}

}  // namespace

std::string SettingsReport(const pyx::SettingsReading& reading, const char* path) {
  char banner[4096 + 256];
  pyx::FormatBanner(reading, path, true, banner, sizeof banner);
  std::string out = std::string(banner) + "\n\n";
  const pyx::Settings& settings = reading.settings();
  out += "in force\n";
  for (const pyx::SettingRule& setting : pyx::kSettingRules) {
    const int value = settings.*setting.value;
    out += setting.delay
               ? Printf("  %-19s %d ms\n", setting.key, value)
               : Printf("  %-19s %d (%s)\n", setting.key, value, value != 0 ? "on" : "off");
  }

  out += "\nkeymap: what the module reports for each code the remote sends\n";
  out += Printf("  %4s  %-16s %-12s %-8s %s\n", "code", "key", "command", "repeats", "pyx.ini");
  const KeyMap& keys = settings.keys;
  const KeyMap& card = pyx::kCardKeyMap;
  bool silent[KeyMap::kCodes] = {};
  bool reported[kCardKeyCount] = {};
  for (int32_t code = 0; code < KeyMap::kCodes; ++code) {
    const int32_t row = keys.RowIndex(code);
    const int32_t was = card.RowIndex(code);
    if (row >= 0) reported[row] = true;
    if (row < 0 && was < 0) {
      silent[code] = true;
      continue;
    }
    std::string change;
    if (row != was && row >= 0) {
      change = "moved here" +
               (was >= 0 ? std::string(", in place of ") + CardKeyTable[was].name : std::string());
    } else if (row != was) {
      const int32_t given = reading.CodeGiven(was);
      change = std::string(CardKeyTable[was].name) +
               (given >= 0 ? " moved to " + std::to_string(given) : std::string(" no longer here"));
    } else if (!keys.Repeats(code)) {
      change = "reported once per press";
    }
    const char* repeats = row < 0 ? "" : keys.Repeats(code) ? "yes" : "no";
    std::string line = Printf("  %4d  %-16s %-12s %-8s %s", static_cast<int>(code),
                              row >= 0 ? CardKeyTable[row].name : "-",
                              row >= 0 ? CardKeyTable[row].command : "", repeats, change.c_str());
    out += line.erase(line.find_last_not_of(' ') + 1) + "\n";
  }
  out += "  codes that report nothing: " + Runs(silent) + "\n";
  std::string unreported;
  for (int32_t row = 0; row < kCardKeyCount; ++row) {
    if (!reported[row])
      unreported += (unreported.empty() ? "" : ", ") + std::string(CardKeyTable[row].name);
  }
  if (!unreported.empty()) out += "  keys that no code reports: " + unreported + "\n";

  const int findings = reading.finding_count();
  out += "\n";
  if (findings == 0) {
    out += "no findings: each line of pyx.ini takes effect as written\n";
    return out;
  }
  out += Printf("%d finding%s\n", findings, findings == 1 ? "" : "s");
  for (int i = 0; i < reading.entry_count(); ++i) {
    const pyx::SettingsReading::Entry entry = reading.entry(i);
    if (entry.kind != pyx::SettingsReading::Kind::kFinding) continue;
    out += (entry.line > 0 ? "  line " + std::to_string(entry.line) + ": " : std::string("  ")) +
           entry.text + "\n";
  }
  if (reading.unlisted() > 0) {
    out += Printf("  and %d more, not listed\n", reading.unlisted());
  }
  return out;
}

}  // namespace remote_host
