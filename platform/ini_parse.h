// The profile-file rules of the Windows INI reader, on text in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pyx::platform {

// The integer value of `key` in `section` of the INI text, or `fallback` when
// the section or the key is missing or the value is empty.
//
// Rules, those of the Windows reader: a file that starts with a byte-order
// mark is UTF-8 (EF BB BF) or UTF-16 (FF FE little-endian, FE FF big-endian);
// a line ends at '\n' or '\r'; tab, line feed, vertical tab, form feed, carriage return, space and
// Ctrl-Z are white space around lines, names and values; a NUL ends a name or a value; names match
// regardless of ASCII case; only the first section of the name is searched and its first matching
// key wins; there are no comments; a value is read from at most its first 29 characters, and one
// that starts and ends with the same quote ('"' or '\'') loses them. The number is read by
// ParseProfileInt.
int32_t IniLookupInt(std::string_view text, std::string_view section, std::string_view key,
                     int32_t fallback) noexcept;

// An INI file in memory, read by the rules above. A file with a byte-order
// mark is decoded once, here; a file that cannot be decoded for want of
// memory reads as empty. `file` must outlive the document.
class IniDocument {
 public:
  explicit IniDocument(std::string_view file) noexcept;
  ~IniDocument();
  IniDocument(const IniDocument&) = delete;
  IniDocument& operator=(const IniDocument&) = delete;

  // True when the file has a section named `section`.
  bool HasSection(std::string_view section) const noexcept;
  // As IniLookupInt.
  int32_t Int(std::string_view section, std::string_view key, int32_t fallback) const noexcept;
  // The value of `key` as the Windows reader returns it as a string: whole,
  // white space around it trimmed, and a value that starts and ends with
  // the same quote without them. False when the section or the key (with an
  // '=') is missing. The view points into the document.
  bool String(std::string_view section, std::string_view key,
              std::string_view* value) const noexcept;
  // The names of the keys of `section`, in file order, duplicates included,
  // as NUL-terminated strings after one another and a final NUL, as the
  // Windows reader lists them: lines with an '=' and a name that does not
  // begin with ';' (an empty name, listed, ends the list for its reader).
  // Names that do not fit in `size` are left out. Returns the length
  // without the final NUL.
  size_t KeyNames(std::string_view section, char* out, size_t size) const noexcept;
  // The names of the sections, in file order, duplicates included, in the
  // same form: each as written, white space around it trimmed.
  size_t SectionNames(char* out, size_t size) const noexcept;

 private:
  std::string_view text_;
  char* decoded_ = nullptr;
};

// A value as the number rule reads it: leading white space (any character
// from 0x01 to 0x20), an optional sign, an optional lower-case "0x", "0o" or
// "0b" prefix, then digits up to the first that is not one.
struct ProfileNumber {
  int32_t value;      // taken modulo 2^32 as a signed 32-bit value; 0 without digits
  bool digits;        // at least one digit was read
  bool past_32_bits;  // the digits stand for 2^32 or more
  size_t end;         // where the read stops: the text from here on is not read
};
ProfileNumber ReadProfileNumber(std::string_view value) noexcept;

inline int32_t ParseProfileInt(std::string_view value) noexcept {
  return ReadProfileNumber(value).value;
}

}  // namespace pyx::platform
