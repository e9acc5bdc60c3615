#include "platform/ini_parse.h"

#include <cstdlib>

#include "platform/platform.h"

namespace pyx::platform {
namespace {

// The reader sees one char per UTF-16 code unit of the file, as the Windows
// reader does after it has converted the file: ASCII as it is, and anything
// else decoded from UTF-8 or UTF-16 as kOther, which is neither white space,
// a digit, a letter nor punctuation. A file without a byte-order mark is
// taken byte for byte.
constexpr char kOther = '\x80';

// White space around lines, names and values.
bool IsProfileSpace(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 0x09 && u <= 0x0D) || u == 0x20 || u == 0x1A;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsProfileSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsProfileSpace(s.back())) s.remove_suffix(1);
  return s;
}

// A name or value ends at a NUL, as a C string does.
std::string_view UpToNul(std::string_view s) { return s.substr(0, s.find('\0')); }

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
    if (length != 0 && got == length) {
      out[n++] = kOther;
      if (length == 4) out[n++] = kOther;  // a surrogate pair
      i += length;
    } else {
      out[n++] = kOther;
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

// The value as the Windows reader hands it to its number conversion: in a
// buffer of 30 characters, a value that starts and ends with the same quote
// loses the first, and the last when the rest fits.
std::string_view AsRead(std::string_view value) {
  constexpr size_t kBuffer = 30;
  bool quoted = false;
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    quoted = true;
    value.remove_prefix(1);
  }
  std::string_view read = value.substr(0, kBuffer - 1);
  if (quoted && kBuffer >= value.size()) read.remove_suffix(1);
  return read;
}

// Calls visit(line, section) for each line that is not blank, trimmed, in
// file order, until it returns true. `section` is the name of the section
// the line heads, when it is a section line; otherwise null.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  size_t next = 0;
  while (next < text.size()) {
    size_t end = text.find_first_of("\r\n", next);
    end = end == std::string_view::npos ? text.size() : end + 1;
    const std::string_view trimmed = Trim(text.substr(next, end - next));
    next = end;
    if (trimmed.empty()) continue;
    // A '[' without a ']' begins an ordinary key line.
    const size_t close = trimmed.front() == '[' ? trimmed.rfind(']') : std::string_view::npos;
    if (close == std::string_view::npos) {
      if (visit(trimmed, nullptr)) return;
      continue;
    }
    const std::string_view name = UpToNul(Trim(trimmed.substr(1, close - 1)));
    if (visit(trimmed, &name)) return;
  }
}

// Calls visit(name) for each section's name, in file order, until it
// returns true.
template <typename Visit>
void ForEachSection(std::string_view text, Visit visit) {
  ForEachLine(text, [&](std::string_view, const std::string_view* section) {
    return section != nullptr && visit(*section);
  });
}

// Calls line(name, value, has_value) for each key line of the first section
// named `section`, in file order, until it returns true. False when there is
// no such section.
template <typename Line>
bool ForEachKeyLine(std::string_view text, std::string_view section, Line line) {
  bool in_section = false;
  bool seen = false;
  ForEachLine(text, [&](std::string_view trimmed, const std::string_view* heads) {
    if (heads != nullptr) {
      if (in_section) return true;
      in_section = SameIniName(*heads, section);
      seen = seen || in_section;
      return false;
    }
    if (!in_section) return false;
    const size_t equals = trimmed.find('=');
    if (equals == std::string_view::npos) return line(UpToNul(trimmed), std::string_view(), false);
    return line(UpToNul(Trim(trimmed.substr(0, equals))), UpToNul(Trim(trimmed.substr(equals + 1))),
                true);
  });
  return seen;
}

// The value of `key` in the first section named `section`: `*found` false
// when there is no such section or key; an empty view for a key without '=',
// which `*with_equals` tells apart.
std::string_view FindValue(std::string_view text, std::string_view section, std::string_view key,
                           bool* found, bool* with_equals = nullptr) {
  *found = false;
  std::string_view value;
  ForEachKeyLine(text, section, [&](std::string_view name, std::string_view v, bool equals) {
    if (!SameIniName(name, key)) return false;
    *found = true;
    if (with_equals != nullptr) *with_equals = equals;
    value = v;
    return true;
  });
  return value;
}

}  // namespace

IniDocument::IniDocument(std::string_view file) noexcept : text_(file) {
  const auto starts = [&file](std::string_view mark) {
    return file.substr(0, mark.size()) == mark;
  };
  if (!starts("\xEF\xBB\xBF") && !starts("\xFF\xFE") && !starts("\xFE\xFF")) return;
  decoded_ = static_cast<char*>(std::malloc(file.size()));
  if (decoded_ == nullptr) {
    text_ = {};
    return;
  }
  size_t length;
  if (starts("\xEF\xBB\xBF")) {
    length = DecodeUtf8(file.substr(3), decoded_);
  } else {
    length = DecodeUtf16(file.substr(2), starts("\xFE\xFF"), decoded_);
  }
  text_ = std::string_view(decoded_, length);
}

IniDocument::~IniDocument() { std::free(decoded_); }

bool IniDocument::HasSection(std::string_view section) const noexcept {
  return ForEachKeyLine(text_, section,
                        [](std::string_view, std::string_view, bool) { return true; });
}

int32_t IniDocument::Int(std::string_view section, std::string_view key,
                         int32_t fallback) const noexcept {
  bool found = false;
  const std::string_view value = AsRead(FindValue(text_, section, key, &found));
  return !found || value.empty() ? fallback : ParseProfileInt(value);
}

bool IniDocument::String(std::string_view section, std::string_view key,
                         std::string_view* value) const noexcept {
  bool found = false;
  bool with_equals = false;
  *value = FindValue(text_, section, key, &found, &with_equals);
  if (!found || !with_equals) return false;
  if (value->size() >= 2 && (value->front() == '"' || value->front() == '\'') &&
      value->back() == value->front()) {
    *value = value->substr(1, value->size() - 2);
  }
  return true;
}

namespace {

// NUL-terminated names one after another in `out`, then a final NUL, as the
// Windows reader lists them; what does not fit is left out.
class NameList {
 public:
  NameList(char* out, size_t size) : out_(out), size_(size) {}
  // False when `name` does not fit: the list is full.
  bool Add(std::string_view name) {
    if (used_ + name.size() + 2 > size_) return false;
    name.copy(out_ + used_, name.size());
    used_ += name.size();
    out_[used_++] = '\0';
    return true;
  }
  // The length without the final NUL.
  size_t Finish() {
    out_[used_] = '\0';
    return used_;
  }

 private:
  char* out_;
  size_t size_;
  size_t used_ = 0;
};

}  // namespace

size_t IniDocument::KeyNames(std::string_view section, char* out, size_t size) const noexcept {
  if (size < 2) return 0;
  NameList list(out, size);
  ForEachKeyLine(text_, section, [&](std::string_view name, std::string_view, bool with_equals) {
    if (!with_equals || (!name.empty() && name.front() == ';')) return false;
    return !list.Add(name);
  });
  return list.Finish();
}

size_t IniDocument::SectionNames(char* out, size_t size) const noexcept {
  if (size < 2) return 0;
  NameList list(out, size);
  ForEachSection(text_, [&](std::string_view name) { return !list.Add(name); });
  return list.Finish();
}

int32_t IniLookupInt(std::string_view text, std::string_view section, std::string_view key,
                     int32_t fallback) noexcept {
  return IniDocument(text).Int(section, key, fallback);
}

}  // namespace pyx::platform
