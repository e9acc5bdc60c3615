// libFuzzer target for the reader of pyx.ini: any bytes, any length, as a
// pyx.ini. It must answer without crashing or reading past the text it is
// given, and every entry it makes must be one whole line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "card/settings_reading.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const pyx::platform::IniFile ini(pyx::platform::IniFile::InMemory{}, bytes);
  const pyx::SettingsRef reading = pyx::ReadSettings(ini, pyx::kDefaultSettings);
  if (!reading) return 0;
  for (int i = 0; i < reading->entry_count(); ++i) {
    const char* text = reading->entry(i).text;
    if (std::strchr(text, '\n') != nullptr || std::strchr(text, '\r') != nullptr) std::abort();
  }
  const pyx::Settings& settings = reading->settings();
  if (settings.first_delay < 0 || settings.repeat_delay < 0) std::abort();
  return 0;
}
