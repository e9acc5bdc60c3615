// What IniFile does alike on every platform.
#include <cstdlib>

#include "platform/platform.h"

namespace pyx::platform {

IniFile::IniFile(InMemory, std::string_view bytes) noexcept : access_(Access::kRead) {
  text_.Decode(bytes);
}

IniFile::~IniFile() { std::free(bytes_); }

}  // namespace pyx::platform
