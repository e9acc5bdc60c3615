// libFuzzer target for the INI reader: any bytes, any length, as a pyx.ini.
// It must answer without crashing or reading past the text it is given.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/ini_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using pyx::platform::IniLookupInt;
  volatile int32_t sink = IniLookupInt(text, "PYXRemote", "KeyFirstDelay", 1000);
  sink = IniLookupInt(text, "PYXRemote", "KeyRepeatDelay", -1);
  sink = IniLookupInt(text, "", "", 7);  // empty names match empty sections and keys
  sink = pyx::platform::ParseProfileInt(text);
  (void)sink;
  return 0;
}
