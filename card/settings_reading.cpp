#include "card/settings_reading.h"

#include <cstdarg>
#include <cstring>
#include <string_view>

#include "card/poller.h"

namespace pyx {

using platform::IniEncoding;
using platform::IniLine;
using platform::SameIniName;
using Access = platform::IniFile::Access;

bool SameSettings(const Settings& a, const Settings& b) {
  return a.keys == b.keys && a.first_delay == b.first_delay && a.repeat_delay == b.repeat_delay &&
         a.poll_during_delay == b.poll_during_delay && a.trace == b.trace;
}

namespace {

// printf-style text appended to a buffer, cut to its size; the entries it
// builds are short, as every quote of the file is shortened. One over no
// buffer takes nothing, at no cost: an entry that will not be kept.
class TextBuilder {
 public:
  TextBuilder(char* out, size_t size) : out_(out), size_(size) {
    if (out_ != nullptr) out_[0] = '\0';
  }
  void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (out_ == nullptr) return;
    va_list args;
    va_start(args, format);
    used_ += platform::FormatToBuffer(out_ + used_, size_ - used_, format, args);
    va_end(args);
  }
  // Text of the file as it was written, each character that is not
  // printable as '?' (and, in text decoded from UTF-8 or UTF-16, each
  // character beyond ASCII); text over 72 characters is shortened to its
  // first 56, and says so.
  void Quote(std::string_view text, bool decoded) {
    constexpr size_t kLongest = 72, kShown = 56;
    if (out_ == nullptr) return;
    const size_t shown = text.size() > kLongest ? kShown : text.size();
    for (size_t i = 0; i < shown && used_ + 1 < size_; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      const bool printable = (c >= 0x20 && c < 0x7F) || (c >= 0x80 && !decoded);
      out_[used_++] = printable ? static_cast<char>(c) : '?';
    }
    out_[used_] = '\0';
    if (shown < text.size()) Add("... (%u characters)", static_cast<unsigned>(text.size()));
  }
  size_t size() const { return used_; }
  const char* text() const { return out_; }

 private:
  char* out_;
  size_t size_;
  size_t used_ = 0;
};

// Edits (insert, delete, replace, swap of neighbours) from `a` to `b`,
// regardless of ASCII case; names longer than 48 characters are far.
int Distance(std::string_view a, std::string_view b) {
  constexpr size_t kLongest = 48;
  if (a.size() > kLongest || b.size() > kLongest) return 1000;
  int rows[3][kLongest + 1];  // two rows back, one back, this one
  for (size_t j = 0; j <= b.size(); ++j) rows[1][j] = static_cast<int>(j);
  const auto same = [&](size_t i, size_t j) {
    return platform::IniLower(a[i]) == platform::IniLower(b[j]);
  };
  for (size_t i = 1; i <= a.size(); ++i) {
    int* row = rows[(i + 1) % 3];
    const int* up = rows[i % 3];
    const int* up2 = rows[(i + 2) % 3];
    row[0] = static_cast<int>(i);
    for (size_t j = 1; j <= b.size(); ++j) {
      int best = up[j - 1] + (same(i - 1, j - 1) ? 0 : 1);
      if (up[j] + 1 < best) best = up[j] + 1;
      if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
      if (i > 1 && j > 1 && same(i - 1, j - 2) && same(i - 2, j - 1) && up2[j - 2] + 1 < best) {
        best = up2[j - 2] + 1;
      }
      row[j] = best;
    }
  }
  return rows[(a.size() + 1) % 3][b.size()];
}

// Of the known names it is offered, the one nearest to `name`, when it is
// near enough to be a slip of the hand.
class NearestName {
 public:
  explicit NearestName(std::string_view name) : name_(name) {}
  void Offer(const char* candidate) {
    const int distance = Distance(name_, candidate);
    const int slip = static_cast<int>(std::strlen(candidate) + 3) / 4;
    if (distance <= slip && (nearest_ == nullptr || distance < best_)) {
      nearest_ = candidate;
      best_ = distance;
    }
  }
  // Null when none was near enough.
  const char* get() const { return nearest_; }

 private:
  std::string_view name_;
  const char* nearest_ = nullptr;
  int best_ = 0;
};

// Our sections: [PYXRemote] holds kSettingRules by name; the other
// two hold a line per key of CardKeyTable, by its name, whose value is a
// code the card yields, 0 to 63 (any other is not taken), or a switch that
// stops the key's repeats.
enum Section { kMain, kKeys, kNoRepeat, kSections };
struct SectionRule {
  const char* name;
  const char* what;  // what a name that is not one of its keys is not
};
constexpr SectionRule kSectionRules[kSections] = {
    {kIniSection, "no such setting"},
    {kKeysSection, "no key of that name"},
    {kNoRepeatSection, "no key of that name"},
};

// The line that acts for one key of a section: its first, and its value
// as the number rule reads it, once.
struct Acting {
  int32_t line;  // 0: none
  bool equals;   // it has an '='; a line without one names the key with no value
  std::string_view text;
  platform::ProfileInt number;
};

int SettingNamed(std::string_view name) {
  for (int i = 0; i < kSettingCount; ++i) {
    if (SameIniName(kSettingRules[i].key, name)) return i;
  }
  return -1;
}

// Which of our sections `name` is, or kSections.
int SectionNamed(std::string_view name) {
  for (int s = 0; s < kSections; ++s) {
    if (SameIniName(kSectionRules[s].name, name)) return s;
  }
  return kSections;
}

// The key of section `s` named `name`: a setting's index or a table row.
int32_t KeyNamed(int s, std::string_view name) {
  return s == kMain ? SettingNamed(name) : CardRowNamed(name);
}

// Text the user wrote to be passed over: a comment line, or a remark after
// a value or a header, behind ';' or '#'.
bool IsRemark(std::string_view text) {
  return !text.empty() && (text.front() == ';' || text.front() == '#');
}

// "PYXRemote" as the name begins, in any case, after spaces, '_', '-' and
// '.' are taken out; `prefix` is how much must match.
bool LooksOurs(std::string_view name, std::string_view prefix) {
  size_t matched = 0;
  for (char c : name) {
    if (c == ' ' || c == '_' || c == '-' || c == '.') continue;
    if (matched == prefix.size()) break;
    if (platform::IniLower(c) != platform::IniLower(prefix[matched])) return false;
    ++matched;
  }
  return matched == prefix.size();
}

}  // namespace

// Builds a reading: its entries as they are found, then ordered.
class ReadingBuilder {
 public:
  explicit ReadingBuilder(SettingsReading* reading) : reading_(reading) {}
  ~ReadingBuilder() {
    std::free(text_);
    std::free(offsets_);
  }

  // The groups of entries, in the order they are written.
  enum Group : uint8_t { kInForce, kFindings, kDelayNotes };

  // A new entry's text, to be built and then added; past kMaxEntries one
  // that takes nothing, as it will not be kept.
  TextBuilder Start() {
    return count_ < SettingsReading::kMaxEntries ? TextBuilder(entry_, sizeof entry_)
                                                 : TextBuilder(nullptr, 0);
  }
  void Add(Group group, int32_t line, const TextBuilder& text) {
    if (group != kInForce) ++reading_->finding_count_;
    const size_t bytes = kHeader + text.size() + 1;
    if (text.text() == nullptr || !Reserve(bytes)) {
      ++reading_->unlisted_;
      return;
    }
    text_[used_] = static_cast<char>(group);
    std::memcpy(text_ + used_ + 1, &line, sizeof line);
    std::memcpy(text_ + used_ + kHeader, text.text(), text.size() + 1);
    offsets_[count_++] = static_cast<uint32_t>(used_);
    used_ += bytes;
  }

  // Orders the entries, group by group, the findings by line, each group
  // otherwise in the order found, and hands them and the reading over.
  SettingsRef Finish() {
    for (int i = 1; i < count_; ++i) {
      const uint32_t moving = offsets_[i];
      int j = i;
      for (; j > 0 && Before(moving, offsets_[j - 1]); --j) offsets_[j] = offsets_[j - 1];
      offsets_[j] = moving;
    }
    reading_->text_ = text_;
    reading_->offsets_ = offsets_;
    reading_->entry_count_ = count_;
    text_ = nullptr;
    offsets_ = nullptr;
    return SettingsRef(reading_);
  }

  static constexpr size_t kHeader = 1 + sizeof(int32_t);
  static SettingsReading::Entry EntryAt(const char* text, uint32_t offset) {
    SettingsReading::Entry entry;
    entry.kind = text[offset] == kInForce ? SettingsReading::Kind::kInForce
                                          : SettingsReading::Kind::kFinding;
    std::memcpy(&entry.line, text + offset + 1, sizeof entry.line);
    entry.text = text + offset + kHeader;
    return entry;
  }

  SettingsReading& reading() { return *reading_; }

 private:
  bool Before(uint32_t a, uint32_t b) const {
    if (text_[a] != text_[b]) return text_[a] < text_[b];
    if (text_[a] != kFindings) return false;
    const SettingsReading::Entry x = EntryAt(text_, a), y = EntryAt(text_, b);
    return x.line < y.line;
  }
  bool Reserve(size_t bytes) {
    if (count_ == capacity_) {
      const int capacity = capacity_ == 0 ? 16 : capacity_ * 2;
      void* grown = std::realloc(offsets_, static_cast<size_t>(capacity) * sizeof *offsets_);
      if (grown == nullptr) return false;
      offsets_ = static_cast<uint32_t*>(grown);
      capacity_ = capacity;
    }
    if (used_ + bytes > size_) {
      const size_t size = (size_ == 0 ? 1024 : size_ * 2) + bytes;
      void* grown = std::realloc(text_, size);
      if (grown == nullptr) return false;
      text_ = static_cast<char*>(grown);
      size_ = size;
    }
    return true;
  }

  SettingsReading* reading_;
  char entry_[512];
  char* text_ = nullptr;
  size_t used_ = 0, size_ = 0;
  uint32_t* offsets_ = nullptr;
  int count_ = 0, capacity_ = 0;
};

// One reading of one file: the pass over its lines, then what their values
// make, each entry as soon as it is known.
class SettingsReader {
 public:
  SettingsReader(const platform::IniFile& ini, ReadingBuilder& out)
      : ini_(ini),
        out_(out),
        decoded_(ini.encoding() == IniEncoding::kUtf8 || ini.encoding() == IniEncoding::kUtf16) {}

  void Read(const Settings& in_force) {
    Settings& settings = out_.reading().settings_;
    platform::ForEachIniLine(ini_.text(), [this](const IniLine& line) { Visit(line); });
    for (int i = 0; i < kSettingCount; ++i) ReadSetting(i, in_force.*kSettingRules[i].value);
    ReadMoves();
    ReadNoRepeat();
    SayInForce();
    SayWhatDelaysDo(settings);
  }

 private:
  // Where the line being read stands.
  enum class Place {
    kNoSection,  // above the first section
    kOurs,       // the first of one of our sections: section_ says which
    kOursAgain,  // a later one of the same name
    kOther       // the application's, or one we name as a slip
  };

  // The pass: each line as the system reads it, and what the file says.
  void Visit(const IniLine& line) {
    if (line.kind == IniLine::kSection) return VisitSection(line);
    if (IsRemark(line.text)) return;  // a comment line
    if (line.text.front() == '[' && LooksOurs(platform::Part(line.text, 1), "PYX")) {
      TextBuilder text = out_.Start();
      text.Quote(line.text, decoded_);
      text.Add(": no \"]\" closes it, so it heads no section, ignored");
      return Add(line.number, text);
    }
    switch (place_) {
      case Place::kOther:
        return;
      case Place::kNoSection: {
        TextBuilder text = out_.Start();
        text.Quote(line.text, decoded_);
        text.Add(": above the first section, in none, ignored");
        for (int s = 0; s < kNoRepeat; ++s) {
          if (KeyNamed(s, line.name) >= 0) text.Add(" (it goes in [%s])", kSectionRules[s].name);
        }
        return Add(line.number, text);
      }
      case Place::kOursAgain: {
        TextBuilder text = InSection(line);
        text.Add(": in a later [%s] section, which is not read, ignored",
                 kSectionRules[section_].name);
        return Add(line.number, text);
      }
      case Place::kOurs:
        return VisitKey(line);
    }
  }

  void VisitSection(const IniLine& line) {
    const int s = SectionNamed(line.name);
    const std::string_view after = platform::Part(line.text, line.text.rfind(']') + 1);
    if (s == kSections) {
      place_ = Place::kOther;
      if (!LooksOurs(line.name, "PYX")) return;
      NearestName nearest(line.name);
      for (const SectionRule& rule : kSectionRules) nearest.Offer(rule.name);
      if (nearest.get() == nullptr && !LooksOurs(line.name, kIniSection)) return;
      TextBuilder text = out_.Start();
      text.Add("[");
      text.Quote(line.name, decoded_);
      text.Add("]: no such section");
      if (nearest.get() != nullptr) text.Add(" (%s?)", nearest.get());
      text.Add(", ignored with the lines under it");
      return Add(line.number, text);
    }
    section_ = s;
    written_ = line.name;
    if (section_line_[s] != 0) {
      place_ = Place::kOursAgain;
      TextBuilder text = out_.Start();
      text.Add("[");
      text.Quote(line.name, decoded_);
      text.Add("] is given again: only the first, on line %d, is read",
               static_cast<int>(section_line_[s]));
      return Add(line.number, text);
    }
    place_ = Place::kOurs;
    section_line_[s] = line.number;
    section_written_[s] = line.name;
    if (s == kMain) out_.reading().has_section_ = true;
    const std::string_view extra = platform::TrimIni(after);
    if (extra.empty() || IsRemark(extra)) return;
    TextBuilder text = out_.Start();
    text.Quote(line.text, decoded_);
    text.Add(": read as [");
    text.Quote(line.name, decoded_);
    text.Add("], \"");
    text.Quote(extra, decoded_);
    text.Add("\" ignored");
    Add(line.number, text);
  }

  void VisitKey(const IniLine& line) {
    const bool equals = line.kind == IniLine::kKey;
    const int32_t key = KeyNamed(section_, line.name);
    if (key < 0) {
      TextBuilder text = InSection(line);
      if (equals && line.name.empty()) {
        text.Add(": no name before \"=\", ignored");
      } else if (!equals) {
        text.Add(": no \"=\", ignored");
        SuggestEquals(line.text, text);
      } else {
        SayNoSuchKey(line.name, text);
      }
      return Add(line.number, text);
    }
    Acting& acting = section_ == kMain ? settings_[key] : keys_[section_ - 1][key];
    if (acting.line == 0) {
      acting = {line.number, equals, line.text, platform::ReadProfileInt(line.value)};
      return;
    }
    TextBuilder text = InSection(line);
    text.Add(": given again, ignored: the line that counts is line %d, ",
             static_cast<int>(acting.line));
    text.Quote(acting.text, decoded_);
    Add(line.number, text);
  }

  // "(KeyFirstDelay=300?)" for "KeyFirstDelay 300" or "KeyFirstDelay:300".
  void SuggestEquals(std::string_view line, TextBuilder& text) {
    const size_t split = line.find_first_of(" \t:");
    if (split == std::string_view::npos) return;
    const std::string_view name = platform::Part(line, 0, split);
    const std::string_view value = platform::TrimIni(platform::Part(line, split + 1));
    if (KeyNamed(section_, name) < 0 || value.empty()) return;
    text.Add(" (");
    text.Quote(name, decoded_);
    text.Add("=");
    text.Quote(value.front() == ':' ? platform::TrimIni(platform::Part(value, 1)) : value,
               decoded_);
    text.Add("?)");
  }

  void SayNoSuchKey(std::string_view name, TextBuilder& text) {
    text.Add(": %s", kSectionRules[section_].what);
    if (section_ != kMain && SettingNamed(name) >= 0) {
      text.Add(" (a setting: it goes in [%s])", kIniSection);
    } else if (section_ == kMain && CardRowNamed(name) >= 0) {
      text.Add(" (a key: its code goes in [%s])", kKeysSection);
    } else {
      NearestName nearest(name);
      if (section_ == kMain) {
        for (const SettingRule& setting : kSettingRules) nearest.Offer(setting.key);
      } else {
        for (const KeyEntry& row : CardKeyTable) nearest.Offer(row.name);
      }
      // A key named without its "Key_" is the key meant.
      char prefixed[64];
      TextBuilder with_prefix(prefixed, sizeof prefixed);
      with_prefix.Add("Key_%.*s", static_cast<int>(name.size() < 40 ? name.size() : 40),
                      name.data());
      const int32_t row = section_ == kMain ? -1 : CardRowNamed(prefixed);
      const char* meant = row >= 0 ? CardKeyTable[row].name : nearest.get();
      if (meant != nullptr) text.Add(" (%s?)", meant);
    }
    text.Add(", ignored");
  }

  // The values, each read once by the system's rule, and what they set.

  // The delays are asked of the system whether or not the pass found their
  // lines, as the module has always read them; the options when it did.
  void ReadSetting(int i, int32_t kept) {
    const SettingRule& setting = kSettingRules[i];
    int32_t& value = out_.reading().settings_.*setting.value;
    value = kept;
    const Acting& acting = settings_[i];
    if (acting.line == 0 && !setting.delay) return;
    const int32_t read = ValueOf(kIniSection, setting.key, acting, kept);
    if (acting.line == 0) {
      // A line this pass did not find, should the system find one.
      if (read >= 0) value = read;
      return;
    }
    TextBuilder text = InSection(kMain, acting);
    if (NoValue(acting)) {
      text.Add(": no value, ignored; %s stays %d", setting.key, static_cast<int>(kept));
      return Add(acting.line, text);
    }
    const bool as_written = SayHowRead(acting, read, text);
    if (setting.delay && read < 0) {
      if (as_written) text.Add(": read as %d", static_cast<int>(read));
      text.Add(", negative: ignored; %s stays %d", setting.key, static_cast<int>(kept));
      return Add(acting.line, text);
    }
    value = read;
    if (as_written) return;
    if (!setting.delay) text.Add(read != 0 ? " (on)" : " (off)");
    Add(acting.line, text);
  }

  // A line that names its key and gives it nothing: the value in force stays.
  static bool NoValue(const Acting& acting) { return !acting.equals || acting.number.read.empty(); }

  // What acts for `key` of `section`, whose acting line the pass found (or
  // did not: line 0): on Windows the system's answer for its name; else
  // the parse of that line, the one its finding explains.
  int32_t ValueOf(const char* section, const char* key, const Acting& acting, int32_t fallback) {
    int32_t value = acting.line == 0 || NoValue(acting) ? fallback : acting.number.number.value;
    ini_.SystemInt(section, key, fallback, &value);
    return value;
  }

  // "read as 300, \"ms\" ignored", and the like, after the line's quote;
  // true, with nothing said, when the value reads as written: a plain
  // number, perhaps with a remark after it ("300 ; slower"), which the
  // number rule stops before, whole within the 29 characters read.
  bool SayHowRead(const Acting& acting, int32_t read, TextBuilder& text) {
    const platform::ProfileInt& number = acting.number;
    const std::string_view rest = platform::Part(number.read, number.number.end);
    const bool remark = IsRemark(platform::TrimIni(rest));
    // The cut matters when the number ran to it.
    const bool cut = number.cut && rest.empty();
    if (!cut && number.number.digits && !number.number.past_32_bits && number.number.base == 10 &&
        (rest.empty() || remark)) {
      return true;
    }
    text.Add(": ");
    if (cut) {
      text.Add("only its first 29 characters are read, \"");
      text.Quote(number.read, decoded_);
      text.Add("\": ");
    }
    text.Add(!number.number.digits        ? "not a number, read as %d"
             : number.number.past_32_bits ? "past 32 bits, read as %d"
                                          : "read as %d",
             static_cast<int>(read));
    if (number.number.base != 10) {
      text.Add(" (%s)", number.number.base == 16  ? "hexadecimal"
                        : number.number.base == 8 ? "octal"
                                                  : "binary");
    }
    if (number.number.digits && !rest.empty() && !remark) {
      const auto digit = [&](size_t i) {
        return i < rest.size() && rest[i] >= '0' && rest[i] <= '9';
      };
      const bool fraction = rest[0] == '.' && digit(1);
      const bool exponent = (rest[0] == 'e' || rest[0] == 'E') &&
                            (digit(1) || (rest.size() > 1 && (rest[1] == '+' || rest[1] == '-')));
      text.Add(fraction || exponent ? ": only plain whole numbers are read, \"" : ", \"");
      text.Quote(rest, decoded_);
      text.Add("\" ignored");
    }
    return false;
  }

  // Each key moved to a code, in file order, then what the map makes of
  // them: each code reports the first key moved to it, else the first row
  // of the table with that code that was not moved away; a key that loses
  // its code to another, on either rule, can no longer be reported.
  void ReadMoves() {
    SettingsReading& reading = out_.reading();
    int32_t codes[kCardKeyCount];
    std::memcpy(codes, kCardKeyCodes, sizeof codes);
    int32_t rows[kCardKeyCount];
    const int count = RowsInFileOrder(keys_[0], rows);
    for (int i = 0; i < count; ++i) {
      const int32_t row = rows[i];
      const Acting& acting = keys_[0][row];
      const int32_t read = ValueOf(kKeysSection, CardKeyTable[row].name, acting, -1);
      TextBuilder text = InSection(kKeys, acting);
      if (NoValue(acting)) {
        text.Add(": no value, ignored");
        Add(acting.line, text);
        continue;
      }
      const bool as_written = SayHowRead(acting, read, text);
      const platform::ProfileNumber& number = acting.number.number;
      if (!number.digits || number.past_32_bits || read < 0 || read >= KeyMap::kCodes) {
        text.Add("%snot a code from 0 to %d, ignored", as_written ? ": " : "; ",
                 static_cast<int>(KeyMap::kCodes - 1));
        Add(acting.line, text);
        continue;
      }
      if (!as_written) Add(acting.line, text);
      reading.codes_given_[row] = read;
      codes[row] = -1;  // it leaves its own code
      moves_[move_count_++] = row;
    }
    KeyMap keys = KeyMap::FirstRows(CardKeyTable, codes, kCardKeyCount);
    for (int i = move_count_ - 1; i >= 0; --i) {
      keys.Set(reading.codes_given_[moves_[i]], moves_[i], true);
    }
    for (int i = 0; i < move_count_; ++i) {
      const int32_t row = moves_[i];
      const int32_t code = reading.codes_given_[row];
      const int32_t reporter = keys.RowIndex(code);
      const int32_t before = kCardKeyMap.RowIndex(code);
      const Acting& acting = keys_[0][row];
      if (reporter != row) {
        TextBuilder text = InSection(kKeys, acting);
        text.Add(
            ": code %d reports %s, whose line comes first; %s %s", static_cast<int>(code),
            CardKeyTable[reporter].name, CardKeyTable[row].name,
            kCardKeyCodes[row] < KeyMap::kCodes && kCardKeyMap.RowIndex(kCardKeyCodes[row]) == row
                ? "can no longer be reported"
                : "is not reported");
        Add(acting.line, text);
      } else if (before >= 0 && before != row && reading.codes_given_[before] < 0) {
        TextBuilder text = InSection(kKeys, acting);
        text.Add(": code %d reports %s now, in place of %s, which can no longer be reported",
                 static_cast<int>(code), CardKeyTable[row].name, CardKeyTable[before].name);
        Add(acting.line, text);
      }
    }
    reading.settings_.keys = keys;
  }

  // The keys that report once per press: those whose line reads not 0.
  void ReadNoRepeat() {
    KeyMap& keys = out_.reading().settings_.keys;
    int32_t rows[kCardKeyCount];
    const int count = RowsInFileOrder(keys_[1], rows);
    for (int i = 0; i < count; ++i) {
      const int32_t row = rows[i];
      const Acting& acting = keys_[1][row];
      const int32_t read = ValueOf(kNoRepeatSection, CardKeyTable[row].name, acting, 0);
      TextBuilder text = InSection(kNoRepeat, acting);
      if (NoValue(acting)) {
        text.Add(": no value, ignored: %s repeats", CardKeyTable[row].name);
        Add(acting.line, text);
        continue;
      }
      const bool as_written = SayHowRead(acting, read, text);
      if (read == 0) {
        if (as_written) continue;
        text.Add(": %s repeats", CardKeyTable[row].name);
        Add(acting.line, text);
        continue;
      }
      bool reported = false;
      for (int32_t code = 0; code < KeyMap::kCodes; ++code) {
        if (keys.RowIndex(code) == row) {
          keys.Set(code, row, false);
          reported = true;
        }
      }
      if (reported) {
        once_[once_count_++] = row;
        if (!as_written) Add(acting.line, text);
        continue;
      }
      text.Add(as_written ? ": no code reports %s, so this changes nothing"
                          : "; no code reports %s, so this changes nothing",
               CardKeyTable[row].name);
      Add(acting.line, text);
    }
  }

  // The rows of the table that `lines` gives an acting line, in the order of
  // those lines; how many.
  static int RowsInFileOrder(const Acting (&lines)[kCardKeyCount], int32_t (&rows)[kCardKeyCount]) {
    int count = 0;
    for (int32_t row = 0; row < kCardKeyCount; ++row) {
      if (lines[row].line == 0) continue;
      int at = count++;
      for (; at > 0 && lines[rows[at - 1]].line > lines[row].line; --at) rows[at] = rows[at - 1];
      rows[at] = row;
    }
    return count;
  }

  // The options in force, and the keys the file moves and stops repeating,
  // each list over as many lines as it needs.
  void SayInForce() {
    const Settings& settings = out_.reading().settings_;
    if (settings.poll_during_delay != 0) {
      TextBuilder text = out_.Start();
      text.Add("KeyPollDuringDelay=%d: the remote is read during key delays too",
               static_cast<int>(settings.poll_during_delay));
      out_.Add(ReadingBuilder::kInForce, 0, text);
    }
    if (settings.trace != 0) {
      TextBuilder text = out_.Start();
      text.Add("KeyTrace=%d: each key event is logged, at most %d lines a Start",
               static_cast<int>(settings.trace), static_cast<int>(kTraceLinesPerStart));
      out_.Add(ReadingBuilder::kInForce, 0, text);
    }
    int32_t moved[kCardKeyCount];
    int moved_count = 0;
    for (int i = 0; i < move_count_; ++i) {
      const int32_t row = moves_[i];
      const int32_t code = out_.reading().codes_given_[row];
      if (settings.keys.RowIndex(code) == row && kCardKeyMap.RowIndex(code) != row) {
        moved[moved_count++] = row;
      }
    }
    SayList("Keys moved", moved, moved_count, true);
    SayList("Keys that do not repeat", once_, once_count_, false);
  }

  void SayList(const char* title, const int32_t* rows, int count, bool with_code) {
    constexpr size_t kWidth = 160;
    for (int i = 0; i < count;) {
      TextBuilder text = out_.Start();
      text.Add(i == 0 ? "%s:" : "%s, continued:", title);
      for (int first = i; i < count && (i == first || text.size() < kWidth); ++i) {
        text.Add("%s %s", i == first ? "" : ",", CardKeyTable[rows[i]].name);
        if (with_code) text.Add("=%d", static_cast<int>(out_.reading().codes_given_[rows[i]]));
      }
      out_.Add(ReadingBuilder::kInForce, 0, text);
    }
  }

  // What the delays in force do, where it is not what a user would expect.
  void SayWhatDelaysDo(const Settings& settings) {
    for (const SettingRule& delay : kSettingRules) {
      if (!delay.delay) continue;
      const int32_t ms = settings.*delay.value;
      TextBuilder text = out_.Start();
      if (ms < static_cast<int32_t>(kIdlePollMs)) {
        text.Add("[%s] %s is %d ms, below the %d ms poll: %s", kIniSection, delay.key,
                 static_cast<int>(ms), static_cast<int>(kIdlePollMs), delay.below_poll);
      } else if (settings.poll_during_delay == 0 && ms >= static_cast<int32_t>(kStopWaitMs)) {
        text.Add(
            "[%s] %s is %d ms, %d or more: a held key is not read again for that long, and "
            "switching the remote off gives up waiting after %d ms, before \"Bye!\"; "
            "KeyPollDuringDelay=1 keeps the remote answering",
            kIniSection, delay.key, static_cast<int>(ms), static_cast<int>(kStopWaitMs),
            static_cast<int>(kStopWaitMs));
      } else {
        continue;
      }
      out_.Add(ReadingBuilder::kDelayNotes, 0, text);
    }
  }

  // A finding about a line of a section, begun with both as written:
  // "[PYXRemote] KeyFirstDelay=300ms".
  TextBuilder InSection(std::string_view section, std::string_view line) {
    TextBuilder text = out_.Start();
    text.Add("[");
    text.Quote(section, decoded_);
    text.Add("] ");
    text.Quote(line, decoded_);
    return text;
  }
  TextBuilder InSection(const IniLine& line) { return InSection(written_, line.text); }
  TextBuilder InSection(int s, const Acting& acting) {
    return InSection(section_written_[s], acting.text);
  }
  void Add(int32_t line, const TextBuilder& text) {
    out_.Add(ReadingBuilder::kFindings, line, text);
  }

  const platform::IniFile& ini_;
  ReadingBuilder& out_;
  const bool decoded_;
  Place place_ = Place::kNoSection;
  int section_ = kMain;
  std::string_view written_;                     // the current section's name as written
  std::string_view section_written_[kSections];  // each of ours, as its first header wrote it
  int32_t section_line_[kSections] = {};         // where each of ours begins
  Acting settings_[kSettingCount] = {};
  Acting keys_[2][kCardKeyCount] = {};  // [PYXRemote Keys], [PYXRemote NoRepeat]
  int32_t moves_[kCardKeyCount] = {};
  int move_count_ = 0;
  int32_t once_[kCardKeyCount] = {};
  int once_count_ = 0;
};

SettingsReading SettingsReading::defaults_(kDefaultSettings, 1u << 30);

SettingsRef SettingsReading::Defaults() {
  defaults_.refs_.fetch_add(1, std::memory_order_relaxed);
  return SettingsRef(&defaults_);
}

SettingsReading::~SettingsReading() {
  std::free(text_);
  std::free(offsets_);
}

SettingsReading::Entry SettingsReading::entry(int i) const {
  return ReadingBuilder::EntryAt(text_, offsets_[i]);
}

SettingsRef& SettingsRef::operator=(SettingsRef&& other) noexcept {
  if (this != &other) {
    reset();
    reading_ = other.reading_;
    other.reading_ = nullptr;
  }
  return *this;
}

SettingsRef SettingsRef::Share() const {
  if (reading_ != nullptr) reading_->refs_.fetch_add(1, std::memory_order_relaxed);
  return SettingsRef(reading_);
}

void SettingsRef::reset() {
  SettingsReading* reading = reading_;
  reading_ = nullptr;
  if (reading != nullptr && reading->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    delete reading;
  }
}

SettingsRef MakeSettings(const Settings& settings) {
  auto* reading = new (std::nothrow) SettingsReading(settings);
  if (reading == nullptr) return SettingsRef();
  ReadingBuilder builder(reading);
  return builder.Finish();
}

SettingsRef ReadSettings(const platform::IniFile& ini, const Settings& in_force) {
  auto* reading = new (std::nothrow) SettingsReading(in_force);
  if (reading == nullptr) return SettingsRef();
  reading->access_ = ini.access();
  reading->error_ = ini.error();
  reading->encoding_ = ini.encoding();
  ReadingBuilder builder(reading);
  if (ini.found()) SettingsReader(ini, builder).Read(in_force);
  return builder.Finish();
}

void FormatBanner(const SettingsReading& reading, const char* path, bool at_defaults, char* out,
                  size_t size) {
  TextBuilder banner(out, size);
  banner.Add("PYXRemote %s (%d-bit), settings from %s", PYX_VERSION,
             static_cast<int>(sizeof(void*) * 8), path);
  const char* kept = at_defaults ? "defaults in force" : "the settings read before kept";
  switch (reading.access()) {
    case Access::kRead:
      banner.Add(reading.has_section() ? " [%s]" : ": no [%s] section", kIniSection);
      if (reading.encoding() == IniEncoding::kUtf16Unmarked) {
        banner.Add(
            ": it is UTF-16 without a byte-order mark, read as 8-bit text; save it as "
            "ANSI, UTF-8 or Unicode");
      }
      break;
    case Access::kMissing:
      banner.Add(": not found, %s", kept);
      break;
    case Access::kFolder:
      banner.Add(": a folder, not a file; %s", kept);
      break;
    case Access::kUnreadable:
      banner.Add(": cannot be read (error %d), %s", reading.error(), kept);
      break;
  }
}

}  // namespace pyx
