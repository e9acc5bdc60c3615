#include "keys.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

namespace remote_host {

const std::vector<Key>& AllKeys() {
  static const std::vector<Key> keys = {
#define PYX_KEY(code, name, command) {code, name, command},
#include "card/key_table.inc"
#undef PYX_KEY
  };
  return keys;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

namespace {

constexpr std::string_view kPrefix = "Key_";

}  // namespace

const Key* FindKeyByName(std::string_view name) {
  if (name.size() > kPrefix.size() &&
      SameTextIgnoringCase(name.substr(0, kPrefix.size()), kPrefix)) {
    name.remove_prefix(kPrefix.size());
  }
  for (const Key& key : AllKeys()) {
    if (SameTextIgnoringCase(std::string_view(key.name).substr(kPrefix.size()), name)) return &key;
  }
  return nullptr;
}

const Key* Keymap::ReportedFor(int32_t code) const {
  for (const auto& [key, moved_to] : moved) {
    if (moved_to == code) return key;
  }
  for (const Key& key : AllKeys()) {
    if (key.code == code && !Moved(&key)) return &key;
  }
  return nullptr;
}

int32_t Keymap::CodeOf(const Key* key) const {
  for (const auto& [moved_key, code] : moved) {
    if (moved_key == key) return code;
  }
  return key->code;
}

bool Keymap::Moved(const Key* key) const {
  return std::any_of(moved.begin(), moved.end(), [key](const auto& m) { return m.first == key; });
}

std::string NoCodeMessage(const Key* key, int32_t code) {
  return std::string(key->name) + " has code " + std::to_string(code) +
         ", which the card's receiver cannot send; give it one in pyx.ini's [PYXRemote Keys] (" +
         key->name + "=37), or use code:N for a raw code";
}

bool Keymap::Repeats(const Key* key) const {
  return std::find(no_repeat.begin(), no_repeat.end(), key) == no_repeat.end();
}

Keymap KeymapFromLog(const std::string& log) {
  Keymap keymap;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    std::string_view rest = line;
    const auto after = [&rest](std::string_view head) {
      if (rest.substr(0, head.size()) != head) return false;
      rest.remove_prefix(head.size());
      return true;
    };
    if (after("> KeyFirstDelay=")) {
      keymap.first_delay_ms = std::atof(std::string(rest).c_str());
      continue;
    }
    const bool moved = after("> Keys moved: ");
    if (!moved && !after("> Keys that do not repeat: ")) continue;
    if (moved) {
      keymap.moved.clear();
    } else {
      keymap.no_repeat.clear();
    }
    std::istringstream items{std::string(rest)};
    for (std::string item; std::getline(items, item, ',');) {
      item.erase(0, item.find_first_not_of(' '));
      const size_t equals = item.find('=');
      const Key* key = FindKeyByName(item.substr(0, equals));
      if (key == nullptr) continue;
      if (moved && equals != std::string::npos) {
        keymap.moved.emplace_back(key, std::atoi(item.c_str() + equals + 1));
      } else if (!moved) {
        keymap.no_repeat.push_back(key);
      }
    }
  }
  return keymap;
}

std::string KnownKeyNames() {
  std::string names;
  for (const Key& key : AllKeys()) {
    if (!names.empty()) names += ", ";
    names += std::string_view(key.name).substr(kPrefix.size());
  }
  return names;
}

}  // namespace remote_host
