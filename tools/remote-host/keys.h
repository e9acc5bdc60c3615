// The card's keys as the host knows them: the same rows the module reports
// from, read from the module's key table data file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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

// The name the module reports for a code the card yields (the first row with
// it), or null when no row has it.
const Key* KeyReportedFor(int32_t code);

// Equal regardless of ASCII case.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

// The names a script may use, for messages: "TV/FM, CD, ...".
std::string KnownKeyNames();

}  // namespace remote_host
