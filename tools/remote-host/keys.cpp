#include "keys.h"

#include <cctype>

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

const Key* KeyReportedFor(int32_t code) {
  for (const Key& key : AllKeys()) {
    if (key.code == code) return &key;
  }
  return nullptr;
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
