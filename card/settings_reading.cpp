#include "card/settings_reading.h"

#include <cstdarg>
#include <cstring>
#include <string_view>

#include "card/poller.h"
#include "platform/ini_parse.h"

namespace pyx {

int32_t CardRowNamed(const char* name) {
  for (int32_t row = 0; row < kCardKeyCount; ++row) {
    if (platform::SameIniName(CardKeyTable[row].name, name)) return row;
  }
  return -1;
}

namespace {

using Access = platform::IniFile::Access;

// The names listed in one section: enough for every key of the table many
// times over; a file with more is read as far as this goes.
constexpr size_t kNamesBytes = 4096;
// One value as the log shows it; longer values are cut.
constexpr size_t kValueBytes = 64;

// printf-style text appended to a buffer, cut to its size.
class TextBuilder {
 public:
  TextBuilder(char* out, size_t size) : out_(out), size_(size) { out_[0] = '\0'; }
  void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    used_ += platform::FormatToBuffer(out_ + used_, size_ - used_, format, args);
    va_end(args);
  }

 private:
  char* out_;
  size_t size_;
  size_t used_ = 0;
};

// Calls visit(name) for each name in a list of NUL-terminated names that
// ends with an empty one.
template <typename Visit>
void ForEachName(const char* names, Visit visit) {
  for (const char* name = names; *name != '\0'; name += std::strlen(name) + 1) visit(name);
}

// How many of the names before `name` in the list are the same name.
int TimesBefore(const char* names, const char* name) {
  int times = 0;
  for (const char* other = names; other != name; other += std::strlen(other) + 1) {
    times += platform::SameIniName(other, name) ? 1 : 0;
  }
  return times;
}

int TimesIn(const char* names, const char* name) {
  int times = 0;
  ForEachName(names, [&](const char* other) { times += platform::SameIniName(other, name); });
  return times;
}

// Edits (insert, delete, replace, swap of neighbours) from `a` to `b`,
// regardless of ASCII case; names longer than 48 characters are far.
int Distance(std::string_view a, std::string_view b) {
  constexpr size_t kLongest = 48;
  if (a.size() > kLongest || b.size() > kLongest) return 1000;
  int rows[3][kLongest + 1];  // two rows back, one back, this one
  for (size_t j = 0; j <= b.size(); ++j) rows[1][j] = static_cast<int>(j);
  for (size_t i = 1; i <= a.size(); ++i) {
    int* row = rows[(i + 1) % 3];
    const int* up = rows[i % 3];
    const int* up2 = rows[(i + 2) % 3];
    row[0] = static_cast<int>(i);
    for (size_t j = 1; j <= b.size(); ++j) {
      const int cost = platform::IniLower(a[i - 1]) == platform::IniLower(b[j - 1]) ? 0 : 1;
      int best = up[j - 1] + cost;
      if (up[j] + 1 < best) best = up[j] + 1;
      if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
      if (i > 1 && j > 1 && platform::IniLower(a[i - 1]) == platform::IniLower(b[j - 2]) &&
          platform::IniLower(a[i - 2]) == platform::IniLower(b[j - 1]) && up2[j - 2] + 1 < best) {
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
  explicit NearestName(const char* name) : name_(name) {}
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
  const char* name_;
  const char* nearest_ = nullptr;
  int best_ = 0;
};

struct Setting {
  const char* key;
  bool delay;  // a delay, which is never negative; else an option, on when not 0
  int32_t SettingsReading::*value;
};
constexpr Setting kSettings[] = {
    {"KeyFirstDelay", true, &SettingsReading::first_delay},
    {"KeyRepeatDelay", true, &SettingsReading::repeat_delay},
    {"KeyPollDuringDelay", false, &SettingsReading::poll_during_delay},
    {"KeyTrace", false, &SettingsReading::trace},
};

const Setting* SettingNamed(const char* key) {
  for (const Setting& setting : kSettings) {
    if (platform::SameIniName(setting.key, key)) return &setting;
  }
  return nullptr;
}

// The lines of a reading, as they are found.
class Lines {
 public:
  explicit Lines(SettingsReading& reading) : reading_(reading) { reading_.line_count = 0; }

  // A new line to build; the last place is kept for a line that counts
  // those that did not fit.
  TextBuilder Next() {
    if (reading_.line_count < kMaxReadingLines - 1) {
      return TextBuilder(reading_.lines[reading_.line_count++], kReadingLineBytes);
    }
    ++dropped_;
    return TextBuilder(spare_, sizeof spare_);
  }
  void Finish() {
    if (dropped_ == 0) return;
    TextBuilder(reading_.lines[reading_.line_count++], kReadingLineBytes)
        .Add("%d more lines not listed", dropped_);
  }

 private:
  SettingsReading& reading_;
  int dropped_ = 0;
  char spare_[kReadingLineBytes];
};

// One section of the file as it was read: its name as written, the names of
// its keys with duplicates, and each value as written.
class Section {
 public:
  Section(const platform::IniFile& ini, const char* name, const char* names_as_written)
      : ini_(ini), name_(name) {
    const char* written = name;
    ForEachName(names_as_written, [&](const char* as_written) {
      if (platform::SameIniName(as_written, name)) written = as_written;
    });
    TextBuilder(written_, sizeof written_).Add("%s", written);
    ini.KeyNames(name, keys_, sizeof keys_);
  }

  // Calls visit(key, written) once for each key, with the value of its
  // first line as written, in file order. A key given more than once is
  // said so after it: only its first line counts.
  template <typename Visit>
  void ForEachKey(Lines& lines, Visit visit) {
    ForEachName(keys_, [&](const char* key) {
      if (TimesBefore(keys_, key) != 0) return;
      if (!ini_.String(name_, key, value_, sizeof value_)) value_[0] = '\0';
      visit(key, static_cast<const char*>(value_));
      if (const int times = TimesIn(keys_, key); times > 1) {
        lines.Next().Add("[%s] %s is given %d times: only the first, %s=%s, counts", written_, key,
                         times, key, value_);
      }
    });
  }
  int32_t Int(const char* key, int32_t fallback) const { return ini_.Int(name_, key, fallback); }
  const char* written() const { return written_; }

 private:
  const platform::IniFile& ini_;
  const char* name_;
  char written_[kValueBytes];
  char keys_[kNamesBytes];
  char value_[kValueBytes];  // of the key being visited, as written
};

// A line of a keys section that names no key, with the key it may mean.
void SayNoSuchKey(const Section& section, const char* key, const char* written, Lines& lines) {
  char prefixed[kValueBytes];
  TextBuilder(prefixed, sizeof prefixed).Add("Key_%s", key);
  NearestName nearest(key);
  for (const KeyEntry& row : CardKeyTable) nearest.Offer(row.name);
  const int32_t row = CardRowNamed(prefixed);
  TextBuilder line = lines.Next();
  line.Add("[%s] %s=%s: no key of that name", section.written(), key, written);
  if (row >= 0 || nearest.get() != nullptr) {
    line.Add(" (%s?)", row >= 0 ? CardKeyTable[row].name : nearest.get());
  }
  line.Add(", ignored");
}

// A new line on how `written`, the value of `key`, reads as a number:
// "[Section] key=300ms: read as 300, \"ms\" ignored". More may be added.
TextBuilder SayHowRead(const Section& section, const char* key, const char* written, int32_t read,
                       Lines& lines) {
  TextBuilder line = lines.Next();
  line.Add("[%s] %s=%s: ", section.written(), key, written);
  const platform::ProfileNumber number = platform::ReadProfileNumber(written);
  if (!number.digits) {
    line.Add("not a number, read as %d", static_cast<int>(read));
    return line;
  }
  line.Add(number.past_32_bits ? "past 32 bits, read as %d" : "read as %d", static_cast<int>(read));
  const char* rest = written + number.end;
  if (*rest == '\0') return line;
  const bool fraction = rest[0] == '.' && rest[1] >= '0' && rest[1] <= '9';
  const bool exponent = (rest[0] == 'e' || rest[0] == 'E') &&
                        ((rest[1] >= '0' && rest[1] <= '9') || rest[1] == '+' || rest[1] == '-');
  line.Add(fraction || exponent ? ": only plain whole numbers are read, \"%s\" ignored"
                                : ", \"%s\" ignored",
           rest);
  return line;
}

// True when `written` is read as the number it shows, and nothing else.
bool ReadsAsWritten(const char* written) {
  const platform::ProfileNumber number = platform::ReadProfileNumber(written);
  return number.digits && !number.past_32_bits && written[number.end] == '\0';
}

void ReadMainSection(Section& section, SettingsReading& reading, Lines& lines) {
  section.ForEachKey(lines, [&](const char* key, const char* written) {
    const Setting* setting = SettingNamed(key);
    if (setting == nullptr) {
      char suggestion[kValueBytes];
      TextBuilder suggest(suggestion, sizeof suggestion);
      if (CardRowNamed(key) >= 0) {
        suggest.Add(" (a key: its code goes in [%s])", kKeysSection);
      } else {
        NearestName nearest(key);
        for (const Setting& known : kSettings) nearest.Offer(known.key);
        if (nearest.get() != nullptr) suggest.Add(" (%s?)", nearest.get());
      }
      lines.Next().Add("[%s] %s=%s: no such setting%s, ignored", section.written(), key, written,
                       suggestion);
    } else {
      int32_t& value = reading.*setting->value;
      const int32_t kept = value;
      const int32_t read = section.Int(key, kept);
      if (written[0] == '\0') {
        lines.Next().Add("[%s] %s=: no value, ignored; %s stays %d", section.written(), key,
                         setting->key, static_cast<int>(kept));
      } else if (setting->delay && read < 0) {
        SayHowRead(section, key, written, read, lines)
            .Add(", negative: ignored; %s stays %d", setting->key, static_cast<int>(kept));
      } else {
        value = read;
        if (!ReadsAsWritten(written)) {
          TextBuilder line = SayHowRead(section, key, written, read, lines);
          if (!setting->delay) line.Add(read != 0 ? " (on)" : " (off)");
        }
      }
    }
  });
}

// A line of [PYXRemote Keys] that moves a key.
struct Move {
  int32_t row;
  int32_t code;
  char key[kValueBytes];  // as written
};

// Reads the moves in file order; returns how many.
int ReadMoves(Section& section, Move (&moves)[kCardKeyCount], Lines& lines) {
  int count = 0;
  section.ForEachKey(lines, [&](const char* key, const char* written) {
    const int32_t row = CardRowNamed(key);
    const platform::ProfileNumber number = platform::ReadProfileNumber(written);
    const int32_t code = section.Int(key, -1);
    if (row < 0) {
      SayNoSuchKey(section, key, written, lines);
    } else if (!number.digits || number.past_32_bits || code < 0 || code >= KeyMap::kCodes) {
      lines.Next().Add("[%s] %s=%s: not a code from 0 to %d, ignored", section.written(), key,
                       written, static_cast<int>(KeyMap::kCodes - 1));
    } else {
      Move& move = moves[count++];
      move.row = row;
      move.code = code;
      TextBuilder(move.key, sizeof move.key).Add("%s", key);
      if (!ReadsAsWritten(written)) SayHowRead(section, key, written, code, lines);
    }
  });
  return count;
}

// Each code reports the first key moved to it, else the first row of the
// table with that code that was not moved away; a key that loses its code
// to another, on either rule, can no longer be reported.
KeyMap MapOf(const Move* moves, int count, const char* section, Lines& lines) {
  bool moved[kCardKeyCount] = {};
  int32_t codes[kCardKeyCount];
  std::memcpy(codes, kCardKeyCodes, sizeof codes);
  for (int i = 0; i < count; ++i) {
    moved[moves[i].row] = true;
    codes[moves[i].row] = -1;  // left its own code
  }
  KeyMap keys = KeyMap::FirstRows(CardKeyTable, codes, kCardKeyCount);
  for (int i = count - 1; i >= 0; --i) keys.Set(moves[i].code, moves[i].row, true);
  for (int i = 0; i < count; ++i) {
    const Move& move = moves[i];
    const KeyEntry& key = CardKeyTable[move.row];
    const int32_t reporter = keys.RowIndex(move.code);
    const int32_t before = kCardKeyMap.RowIndex(move.code);
    if (reporter != move.row) {
      lines.Next().Add(
          "[%s] %s=%d: code %d reports %s, whose line comes first; %s can no longer "
          "be reported",
          section, move.key, static_cast<int>(move.code), static_cast<int>(move.code),
          CardKeyTable[reporter].name, key.name);
    } else if (before >= 0 && before != move.row && !moved[before]) {
      lines.Next().Add(
          "[%s] %s=%d: code %d reports %s now, in place of %s, which can no longer "
          "be reported",
          section, move.key, static_cast<int>(move.code), static_cast<int>(move.code), key.name,
          CardKeyTable[before].name);
    }
  }
  return keys;
}

// Reads the keys that do not repeat into `keys`, and their rows into
// `rows` in file order; returns how many.
int ReadNoRepeat(Section& section, KeyMap& keys, int32_t (&rows)[kCardKeyCount], Lines& lines) {
  uint64_t once = 0;
  int count = 0;
  section.ForEachKey(lines, [&](const char* key, const char* written) {
    const int32_t row = CardRowNamed(key);
    const int32_t read = section.Int(key, 0);
    if (row < 0) {
      SayNoSuchKey(section, key, written, lines);
    } else {
      if (written[0] != '\0' && !ReadsAsWritten(written)) {
        TextBuilder line = SayHowRead(section, key, written, read, lines);
        if (read == 0) line.Add(": %s repeats", CardKeyTable[row].name);
      }
      if (read != 0 && (once >> row & 1) == 0) {
        once |= uint64_t{1} << row;
        rows[count++] = row;
        bool reported = false;
        for (int32_t code = 0; code < KeyMap::kCodes; ++code) {
          reported |= keys.RowIndex(code) == row;
        }
        if (!reported) {
          lines.Next().Add("[%s] %s=%s: no code reports %s, so this changes nothing",
                           section.written(), key, written, CardKeyTable[row].name);
        }
      }
    }
  });
  for (int32_t code = 0; code < KeyMap::kCodes; ++code) {
    const int32_t row = keys.RowIndex(code);
    if (row >= 0 && (once >> row & 1) != 0) keys.Set(code, row, false);
  }
  return count;
}

// Sections whose name begins with "PYXRemote" that the module does not
// know, and sections of ours given more than once. Other sections belong to
// the application that owns the file.
void ReadSectionNames(const char* names, const char* const (&known)[3], Lines& lines) {
  ForEachName(names, [&](const char* name) {
    if (TimesBefore(names, name) != 0) return;
    const size_t prefix = std::strlen(kIniSection);
    if (std::strlen(name) < prefix ||
        !platform::SameIniName(std::string_view(name, prefix), kIniSection)) {
      return;
    }
    bool ours = false;
    for (const char* section : known) ours |= platform::SameIniName(name, section);
    if (!ours) {
      NearestName nearest(name);
      for (const char* section : known) nearest.Offer(section);
      char suggestion[kValueBytes];
      TextBuilder suggest(suggestion, sizeof suggestion);
      if (nearest.get() != nullptr) suggest.Add(" (%s?)", nearest.get());
      lines.Next().Add("[%s]: no such section%s, ignored", name, suggestion);
    } else if (const int times = TimesIn(names, name); times > 1) {
      lines.Next().Add("[%s] is given %d times: only the first is read", name, times);
    }
  });
}

// What the delays in force do, where it is not what a user would expect.
void SayWhatDelaysDo(const SettingsReading& reading, Lines& lines) {
  const struct {
    const char* key;
    int32_t ms;
    const char* short_effect;
  } kDelays[] = {
      {"KeyFirstDelay", reading.first_delay, "each press is reported twice"},
      {"KeyRepeatDelay", reading.repeat_delay, "a held key is reported on every read"},
  };
  for (const auto& [key, ms, short_effect] : kDelays) {
    if (ms < static_cast<int32_t>(kIdlePollMs)) {
      lines.Next().Add("[%s] %s is %d ms, below the %d ms poll: %s", kIniSection, key,
                       static_cast<int>(ms), static_cast<int>(kIdlePollMs), short_effect);
    } else if (reading.poll_during_delay == 0 && ms >= static_cast<int32_t>(kStopWaitMs)) {
      lines.Next().Add(
          "[%s] %s is %d ms, %d or more: a held key is not read again for that long, and "
          "switching the remote off gives up waiting after %d ms, before \"Bye!\"; "
          "KeyPollDuringDelay=1 keeps the remote answering",
          kIniSection, key, static_cast<int>(ms), static_cast<int>(kStopWaitMs),
          static_cast<int>(kStopWaitMs));
    }
  }
}

}  // namespace

void ReadSettings(const platform::IniFile& ini, SettingsReading& reading) {
  reading.access = ini.access();
  reading.error = ini.error();
  reading.has_section = ini.HasSection(kIniSection);
  Lines lines(reading);
  if (!ini.found()) return;

  static const char* const kKnown[] = {kIniSection, kKeysSection, kNoRepeatSection};
  char section_names[kNamesBytes];
  ini.SectionNames(section_names, sizeof section_names);
  // The lines that say what is in force come first; the others are found
  // before it is known.
  constexpr int kOptionLines = 4;
  for (int i = 0; i < kOptionLines; ++i) lines.Next();

  // One section at a time: each holds the names of its keys.
  {
    Section main(ini, kIniSection, section_names);
    ReadMainSection(main, reading, lines);
  }
  Move moves[kCardKeyCount];
  int move_count;
  {
    Section keys_section(ini, kKeysSection, section_names);
    move_count = ReadMoves(keys_section, moves, lines);
    reading.keys = MapOf(moves, move_count, keys_section.written(), lines);
  }
  int32_t no_repeat[kCardKeyCount];
  int no_repeat_count;
  {
    Section no_repeat_section(ini, kNoRepeatSection, section_names);
    no_repeat_count = ReadNoRepeat(no_repeat_section, reading.keys, no_repeat, lines);
  }
  ReadSectionNames(section_names, kKnown, lines);
  SayWhatDelaysDo(reading, lines);
  lines.Finish();

  // The options in force, in the places kept for them.
  int options = 0;
  const auto option = [&]() { return TextBuilder(reading.lines[options++], kReadingLineBytes); };
  if (reading.poll_during_delay != 0) {
    option().Add("KeyPollDuringDelay=%d: the remote is read during key delays too",
                 static_cast<int>(reading.poll_during_delay));
  }
  if (reading.trace != 0) {
    option().Add("KeyTrace=%d: each key event is logged, at most %d lines a Start",
                 static_cast<int>(reading.trace), static_cast<int>(kTraceLinesPerStart));
  }
  if (move_count > 0) {
    TextBuilder line = option();
    line.Add("Keys moved:");
    for (int i = 0; i < move_count; ++i) {
      line.Add("%s %s=%d", i == 0 ? "" : ",", CardKeyTable[moves[i].row].name,
               static_cast<int>(moves[i].code));
    }
  }
  if (no_repeat_count > 0) {
    TextBuilder line = option();
    line.Add("Keys that do not repeat:");
    for (int i = 0; i < no_repeat_count; ++i) {
      line.Add("%s %s", i == 0 ? "" : ",", CardKeyTable[no_repeat[i]].name);
    }
  }
  // Close the gap the unused places leave.
  const int gap = kOptionLines - options;
  std::memmove(reading.lines[options], reading.lines[kOptionLines],
               static_cast<size_t>(reading.line_count - kOptionLines) * kReadingLineBytes);
  reading.line_count -= gap;
}

void FormatBanner(const SettingsReading& reading, const char* path, bool at_defaults, char* out,
                  size_t size) {
  TextBuilder banner(out, size);
  banner.Add("PYXRemote %s (%d-bit), settings from %s", PYX_VERSION,
             static_cast<int>(sizeof(void*) * 8), path);
  const char* kept = at_defaults ? "defaults in force" : "the settings read before kept";
  switch (reading.access) {
    case Access::kRead:
      banner.Add(reading.has_section ? " [%s]" : ": no [%s] section", kIniSection);
      break;
    case Access::kMissing:
      banner.Add(": not found, %s", kept);
      break;
    case Access::kFolder:
      banner.Add(": a folder, not a file; %s", kept);
      break;
    case Access::kUnreadable:
      banner.Add(": cannot be read (error %d), %s", reading.error, kept);
      break;
  }
}

}  // namespace pyx
