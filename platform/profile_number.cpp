// The number rule of the Windows INI reader. Apart from the reader, so that
// the DLL, which reads pyx.ini through the system, explains values with the
// same rule; and free of anything that can throw.
#include "platform/ini_parse.h"

namespace pyx::platform {
namespace {

// White space before a number: any character up to the space.
bool IsNumberSpace(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 0x01 && u <= 0x20;
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

}  // namespace

ProfileNumber ReadProfileNumber(std::string_view value) noexcept {
  size_t i = 0;
  while (i < value.size() && IsNumberSpace(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
    negative = value[i] == '-';
    ++i;
  }
  int base = 10;
  if (i + 1 < value.size() && value[i] == '0') {
    switch (value[i + 1]) {
      case 'x':
        base = 16;
        break;
      case 'o':
        base = 8;
        break;
      case 'b':
        base = 2;
        break;
      default:
        break;
    }
    if (base != 10) i += 2;
  }
  const size_t digits_begin = i;
  ProfileNumber number{0, false, false, 0};
  uint64_t magnitude = 0;
  uint32_t result = 0;
  for (; i < value.size(); ++i) {
    const int digit = DigitValue(value[i]);
    if (digit >= base) break;
    result = result * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
    if (!number.past_32_bits) {
      magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
      number.past_32_bits = magnitude > UINT32_MAX;
    }
  }
  number.digits = i > digits_begin;
  // A prefix with no digit after it ("0xg") is the number 0, then text.
  if (!number.digits && base != 10) {
    number.digits = true;
    i = digits_begin - 1;
  }
  number.end = i;
  if (negative) result = 0u - result;
  number.value = static_cast<int32_t>(result);
  return number;
}

}  // namespace pyx::platform
