#include "platform/ini_parse.h"

#include <cstdlib>

namespace pyx::platform {
namespace {

constexpr char kOther = IniText::kOtherChar;

// UTF-8 to one char per UTF-16 code unit; a byte that starts no valid
// sequence stands for one unit. Writes at most text.size() chars.
size_t DecodeUtf8(std::string_view text, char* out) {
  size_t n = 0;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      out[n++] = static_cast<char>(lead);
      ++i;
      continue;
    }
    const size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4
                          : lead >= 0xE0               ? 3
                          : lead >= 0xC2               ? 2
                                                       : 0;
    size_t got = 1;
    while (length != 0 && got < length && i + got < text.size() &&
           (static_cast<unsigned char>(text[i + got]) & 0xC0) == 0x80) {
      ++got;
    }
    out[n++] = kOther;
    if (length != 0 && got == length) {
      if (length == 4) out[n++] = kOther;  // a surrogate pair
      i += length;
    } else {
      ++i;
    }
  }
  return n;
}

// UTF-16 in the given byte order; an odd last byte is dropped.
size_t DecodeUtf16(std::string_view text, bool big_endian, char* out) {
  size_t n = 0;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    const auto first = static_cast<unsigned char>(text[i]);
    const auto second = static_cast<unsigned char>(text[i + 1]);
    const unsigned unit = big_endian ? (first << 8 | second) : (second << 8 | first);
    out[n++] = unit < 0x80 ? static_cast<char>(unit) : kOther;
  }
  return n;
}

// Text that Notepad saved as "Unicode" without its mark: of its first bytes,
// those in one of the two places of each pair are nearly all NULs and those
// in the other nearly none.
bool LooksLikeUnmarkedUtf16(std::string_view bytes) {
  const size_t pairs = (bytes.size() < 512 ? bytes.size() : 512) / 2;
  if (pairs < 2) return false;
  size_t nuls[2] = {0, 0};
  for (size_t i = 0; i < pairs * 2; ++i) nuls[i % 2] += bytes[i] == '\0';
  const size_t most = nuls[0] > nuls[1] ? nuls[0] : nuls[1];
  const size_t least = nuls[0] > nuls[1] ? nuls[1] : nuls[0];
  return most * 4 >= pairs * 3 && least * 8 <= pairs;
}

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

void IniText::Decode(std::string_view bytes) noexcept {
  std::free(decoded_);
  decoded_ = nullptr;
  text_ = bytes;
  encoding_ = IniEncoding::kBytes;
  const auto starts = [&bytes](std::string_view mark) {
    return Part(bytes, 0, mark.size()) == mark;
  };
  const bool utf8 = starts("\xEF\xBB\xBF");
  if (!utf8 && !starts("\xFF\xFE") && !starts("\xFE\xFF")) {
    if (LooksLikeUnmarkedUtf16(bytes)) encoding_ = IniEncoding::kUtf16Unmarked;
    return;
  }
  decoded_ = static_cast<char*>(std::malloc(bytes.size()));
  if (decoded_ == nullptr) {
    text_ = {};
    return;
  }
  size_t length;
  if (utf8) {
    encoding_ = IniEncoding::kUtf8;
    length = DecodeUtf8(Part(bytes, 3), decoded_);
  } else {
    encoding_ = IniEncoding::kUtf16;
    length = DecodeUtf16(Part(bytes, 2), starts("\xFE\xFF"), decoded_);
  }
  text_ = std::string_view(decoded_, length);
}

IniText::~IniText() { std::free(decoded_); }

bool SameIniName(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (IniLower(a[i]) != IniLower(b[i])) return false;
  }
  return true;
}

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
  ProfileNumber number{0, false, false, base, 0};
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
    number.base = 10;
    i = digits_begin - 1;
  }
  number.end = i;
  if (negative) result = 0u - result;
  number.value = static_cast<int32_t>(result);
  return number;
}

// The value as the Windows reader hands it to its number conversion: in a
// buffer of 30 characters, a value that starts and ends with the same quote
// loses the first, and the last when the rest fits.
ProfileInt ReadProfileInt(std::string_view value) noexcept {
  constexpr size_t kBuffer = 30;
  bool quoted = false;
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    quoted = true;
    value.remove_prefix(1);
  }
  std::string_view read = Part(value, 0, kBuffer - 1);
  if (quoted && kBuffer >= value.size()) read.remove_suffix(1);
  const size_t inside = value.size() - (quoted ? 1 : 0);
  return {read, read.size() < inside, ReadProfileNumber(read)};
}

int32_t IniLookupInt(std::string_view text, std::string_view section, std::string_view key,
                     int32_t fallback) noexcept {
  // The first section named `section`, and in it the first line named `key`.
  enum { kBefore, kIn, kAfter } where = kBefore;
  bool found = false;
  std::string_view value;
  ForEachIniLine(text, [&](const IniLine& line) {
    if (where == kAfter || found) return;
    if (line.kind == IniLine::kSection) {
      if (where == kIn) {
        where = kAfter;
      } else if (SameIniName(line.name, section)) {
        where = kIn;
      }
    } else if (where == kIn && SameIniName(line.name, key)) {
      found = true;
      value = line.value;
    }
  });
  const ProfileInt read = ReadProfileInt(value);
  return !found || read.read.empty() ? fallback : read.number.value;
}

}  // namespace pyx::platform
