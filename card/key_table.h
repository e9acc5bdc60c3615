// The card's key table: receiver codes to key names, searched from the top;
// the first row with a code wins. Rows with code 255 can never match a
// 6-bit code.
#pragma once

#include <cstdint>

#include "frame/remote_module.h"

namespace pyx {

inline constexpr int32_t kCardKeyCount = 36;

extern const KeyEntry CardKeyTable[kCardKeyCount];

}  // namespace pyx
