// The profile-file rules of the Windows INI reader, on text in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pyx::platform {

// The integer value of `key` in `section` of the INI text, or `fallback` when
// the section or the key is missing or the value is empty.
//
// Rules: lines end at '\n' or '\r'; white space around section names, keys and
// values is trimmed; a UTF-8 byte-order mark is skipped; names match
// regardless of ASCII case; only the first section of the name is searched and
// its first matching key wins; there are no comments; a value in a matching
// pair of '"' or '\'' loses them. The number is read by ParseProfileInt.
int32_t IniLookupInt(std::string_view text, std::string_view section, std::string_view key,
                     int32_t fallback) noexcept;

// Leading white space, an optional sign, an optional lower-case "0x", "0o" or
// "0b" prefix, then digits up to the first that is not one; no digits is 0.
// Taken modulo 2^32 as a signed 32-bit value.
int32_t ParseProfileInt(std::string_view value) noexcept;

}  // namespace pyx::platform
