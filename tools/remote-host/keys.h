// The card's keys as the host knows them: the same rows the module reports
// from, read from the module's key table data file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace remote_host {

struct Key {
  int32_t code;
  const char* name;     // "Key_Power"
  const char* command;  // "Power", often ""
};

// Every row, in table order.
const std::vector<Key>& AllKeys();

// The row a script names: "Power", "key_power" and "KEY_POWER" all name
// Key_Power. Null when there is none.
const Key* FindKeyByName(std::string_view name);

// The keys as one run of the module had them: the rows pyx.ini moved to
// other codes, the keys that do not repeat, and the first delay.
struct Keymap {
  std::vector<std::pair<const Key*, int32_t>> moved;  // in table order
  std::vector<const Key*> no_repeat;
  double first_delay_ms = 1000;

  // The row the module reports for a code the card yields: the first row
  // moved to it, else the first row of its own with it; null for none.
  const Key* ReportedFor(int32_t code) const;
  bool Repeats(const Key* key) const;
  // The code the remote sends for `key`: the one pyx.ini moved it to, else
  // its own (255 for a key the card has no code for).
  int32_t CodeOf(const Key* key) const;
  // Whether pyx.ini moved `key`.
  bool Moved(const Key* key) const;
};

// Why `key`, whose code is `code`, cannot be sent.
std::string NoCodeMessage(const Key* key, int32_t code);

// The keymap that the module's construction lines in `log` state ("> Keys
// moved: ...", "> Keys that do not repeat: ...", "> KeyFirstDelay=...");
// the table's own without them.
Keymap KeymapFromLog(const std::string& log);

// Equal regardless of ASCII case.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

// The names a script may use, for messages: "TV/FM, CD, ...".
std::string KnownKeyNames();

}  // namespace remote_host
