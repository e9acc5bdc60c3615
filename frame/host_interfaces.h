// The host's interfaces as the module sees them: IUnknown, IRegisterAccess,
// IKeySink and their identifiers. The table layouts are those of the header a
// host includes, so the two cannot drift apart.
#pragma once

#include <cstring>

#include "pyxremote.h"

namespace pyx {

// {00000000-0000-0000-C000-000000000046}. Our own copy: the module links no
// COM library that would define IID_IUnknown.
inline constexpr GUID kIidUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// GUIDs are compared byte for byte.
inline bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace pyx
