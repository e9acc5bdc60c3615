// The profile-file rules of the Windows INI reader, on text in memory: how
// a file's bytes become text, how the text falls into lines, sections and
// keys, and how a value reads as a number.
//
// Rules, those of the Windows reader: a file that starts with a byte-order
// mark is UTF-8 (EF BB BF) or UTF-16 (FF FE little-endian, FE FF
// big-endian), any other is taken byte for byte; a line ends at '\n' or
// '\r'; tab, line feed, vertical tab, form feed, carriage return, space and
// Ctrl-Z are white space around lines, names and values; a NUL ends a name
// or a value; a line that starts with '[' and has a ']' heads a section;
// names match regardless of ASCII case; only the first section of a name is
// searched and its first matching key wins; there are no comments; a value
// is read as a number from at most its first 29 characters, and one that
// starts and ends with the same quote ('"' or '\'') loses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pyx::platform {

// How a file's bytes were taken as text.
enum class IniEncoding {
  kBytes,         // byte for byte, as 8-bit text
  kUtf8,          // UTF-8, after its byte-order mark
  kUtf16,         // UTF-16 of either byte order, after its byte-order mark
  kUtf16Unmarked  // byte for byte, but it looks like UTF-16 without a mark
};

// An INI file's text as the Windows reader sees it: one char per UTF-16
// code unit, ASCII as it is and any other character as kOtherChar. A file
// that cannot be decoded for want of memory reads as empty. The bytes must
// outlive the text.
class IniText {
 public:
  static constexpr char kOtherChar = '\x80';

  IniText() noexcept = default;
  explicit IniText(std::string_view bytes) noexcept { Decode(bytes); }
  ~IniText();
  // Takes `bytes` as the text, in place of any before.
  void Decode(std::string_view bytes) noexcept;
  IniText(const IniText&) = delete;
  IniText& operator=(const IniText&) = delete;

  std::string_view text() const noexcept { return text_; }
  IniEncoding encoding() const noexcept { return encoding_; }

 private:
  std::string_view text_;
  IniEncoding encoding_ = IniEncoding::kBytes;
  char* decoded_ = nullptr;
};

// One line of the text that is not blank.
struct IniLine {
  enum Kind {
    kSection,  // "[name]", perhaps with text after the ']'
    kKey,      // "name=value"
    kNoEquals  // a line with no '=' that heads no section
  };
  int number;  // from 1; "\r\n" ends one line
  Kind kind;
  std::string_view text;   // the line, white space around it trimmed
  std::string_view name;   // the section's or the key's, trimmed, up to a NUL
  std::string_view value;  // kKey: trimmed, up to a NUL
};

// Calls visit(line) for each line that is not blank, in file order.
template <typename Visit>
void ForEachIniLine(std::string_view text, Visit visit);

// The integer value of `key` in `section` of the text (as IniText gives
// it), or `fallback` when the section or the key is missing or the value
// is empty: what GetPrivateProfileIntA answers for the same file.
int32_t IniLookupInt(std::string_view text, std::string_view section, std::string_view key,
                     int32_t fallback) noexcept;

// True when two INI names (sections, keys) are the same regardless of ASCII
// case, as the reader matches them.
bool SameIniName(std::string_view a, std::string_view b) noexcept;

// `c` in lower case when it is an ASCII capital; as it is otherwise.
inline char IniLower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// A value as the number rule reads it: leading white space (any character
// from 0x01 to 0x20), an optional sign, an optional lower-case "0x", "0o" or
// "0b" prefix, then digits up to the first that is not one.
struct ProfileNumber {
  int32_t value;      // taken modulo 2^32 as a signed 32-bit value; 0 without digits
  bool digits;        // at least one digit was read
  bool past_32_bits;  // the digits stand for 2^32 or more
  int base;           // 10, or 16, 8 or 2 after a prefix
  size_t end;         // where the read stops: the text from here on is not read
};
ProfileNumber ReadProfileNumber(std::string_view value) noexcept;

// A key's value as GetPrivateProfileIntA reads it.
struct ProfileInt {
  std::string_view read;  // what the number rule is given: quotes gone, at most 29 characters
  bool cut;               // the value is longer than that: the rest is not read
  ProfileNumber number;   // of `read`; an empty `read` leaves the default in force
};
ProfileInt ReadProfileInt(std::string_view value) noexcept;

// s.substr(from, count) without its throw, which a module built without
// exceptions must not reach: `from` past the end gives the empty end.
inline std::string_view Part(std::string_view s, size_t from,
                             size_t count = std::string_view::npos) noexcept {
  if (from > s.size()) from = s.size();
  const size_t left = s.size() - from;
  return std::string_view(s.data() + from, count < left ? count : left);
}

// White space around lines, names and values.
inline bool IsIniSpace(char c) noexcept {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 0x09 && u <= 0x0D) || u == 0x20 || u == 0x1A;
}

inline std::string_view TrimIni(std::string_view s) noexcept {
  while (!s.empty() && IsIniSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsIniSpace(s.back())) s.remove_suffix(1);
  return s;
}

template <typename Visit>
void ForEachIniLine(std::string_view text, Visit visit) {
  const auto up_to_nul = [](std::string_view s) { return Part(s, 0, s.find('\0')); };
  int number = 1;
  for (size_t next = 0; next < text.size();) {
    size_t end = text.find_first_of("\r\n", next);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimIni(Part(text, next, end - next));
    const int this_number = number;
    if (end < text.size()) {
      ++number;
      end += Part(text, end, 2) == "\r\n" ? 2 : 1;
    }
    next = end;
    if (line.empty()) continue;
    // A '[' without a ']' begins an ordinary key line.
    const size_t close = line.front() == '[' ? line.rfind(']') : std::string_view::npos;
    if (close != std::string_view::npos) {
      visit(IniLine{
          this_number, IniLine::kSection, line, up_to_nul(TrimIni(Part(line, 1, close - 1))), {}});
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      visit(IniLine{this_number, IniLine::kNoEquals, line, up_to_nul(line), {}});
    } else {
      visit(IniLine{this_number, IniLine::kKey, line, up_to_nul(TrimIni(Part(line, 0, equals))),
                    up_to_nul(TrimIni(Part(line, equals + 1)))});
    }
  }
}

}  // namespace pyx::platform
