// Remote scripts: what the simulated remote does, step by step.
//
//   Power:2200   hold a key for 2200 ms (names as in the key table, with or
//                without "Key_", any case; 300 ms when no time is given),
//                sent as the code the keymap in force gives the key
//   code:4:500   hold a raw 6-bit code, known or not (300 ms by default)
//   wait:800     hold nothing for 800 ms
//   clear        set the receiver's code lines to 0
//
// Steps are separated by white space, commas or semicolons; "#" starts a
// comment that runs to the end of the line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "keys.h"

namespace remote_host {

inline constexpr uint32_t kDefaultHoldMs = 300;
inline constexpr uint32_t kMaxStepMs = 3600 * 1000;

struct Step {
  enum Kind { kPress, kWait, kClear } kind;
  int32_t code = 0;          // kPress: 0..63, once the key's is known
  const Key* key = nullptr;  // kPress of a key by name
  uint32_t ms = 0;           // kPress, kWait
  std::string text;          // the step as written, for messages and summaries
};

struct ParseResult {
  std::vector<Step> steps;
  std::string error;  // empty when the whole script parsed
  bool ok() const { return error.empty(); }
};

ParseResult ParseScript(std::string_view script);

// Gives each press of a key by name the code that `keymap` gives the key.
// Empty, or what is wrong: a key with no code the card can send.
std::string SendKeysAs(const Keymap& keymap, std::vector<Step>* steps);

// A script file's bytes as text: a UTF-8 byte-order mark is dropped, and a
// file that starts with a UTF-16 one (FF FE or FE FF, as Notepad saves
// "Unicode") is converted; characters beyond ASCII become '?'.
std::string ScriptText(std::string_view bytes);

}  // namespace remote_host
