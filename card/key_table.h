// The card's key table: receiver codes to key names, searched from the top;
// the first row with a code wins. Rows with code 255 can never match a
// 6-bit code.
#pragma once

#include <cstdint>
#include <string_view>

#include "frame/remote_module.h"

namespace pyx {

inline constexpr int32_t kCardKeyCount = 36;

// Static data: the host is handed pointers into it.
extern const KeyEntry CardKeyTable[kCardKeyCount];

// The code of each row, for what is worked out as the library is built.
inline constexpr int32_t kCardKeyCodes[kCardKeyCount] = {
#define PYX_KEY(code, name, command) code,
#include "card/key_table.inc"
#undef PYX_KEY
};

// The card's table as it stands, before pyx.ini moves any key.
inline constexpr KeyMap kCardKeyMap = KeyMap::FirstRows(CardKeyTable, kCardKeyCodes, kCardKeyCount);

// The row of CardKeyTable named `name`, in any case; -1 for none.
int32_t CardRowNamed(std::string_view name);

}  // namespace pyx
