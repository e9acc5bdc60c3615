#include "script.h"

#include <cctype>

#include "keys.h"

namespace remote_host {
namespace {

bool IsSeparator(char c) {
  return std::isspace(static_cast<unsigned char>(c)) || c == ',' || c == ';';
}

// A whole number of decimal digits no larger than `max`.
bool ParseNumber(std::string_view text, uint32_t max, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > max) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

std::vector<std::string_view> Split(std::string_view word) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t colon = word.find(':', start);
    parts.push_back(word.substr(start, colon == std::string_view::npos ? colon : colon - start));
    if (colon == std::string_view::npos) return parts;
    start = colon + 1;
  }
}

std::string ParseStep(std::string_view word, Step* step) {
  const std::vector<std::string_view> parts = Split(word);
  const std::string quoted = "'" + std::string(word) + "'";
  auto duration = [&](std::string_view text, uint32_t* ms) -> std::string {
    if (ParseNumber(text, kMaxStepMs, ms)) return "";
    return "bad duration '" + std::string(text) + "' in " + quoted + " (whole milliseconds, 0 to " +
           std::to_string(kMaxStepMs) + ")";
  };
  step->text = std::string(word);

  if (SameTextIgnoringCase(parts[0], "clear")) {
    if (parts.size() != 1) return quoted + ": clear takes no value";
    step->kind = Step::kClear;
    return "";
  }
  if (SameTextIgnoringCase(parts[0], "wait")) {
    if (parts.size() != 2) return quoted + ": expected wait:MILLISECONDS";
    step->kind = Step::kWait;
    return duration(parts[1], &step->ms);
  }
  step->kind = Step::kPress;
  step->ms = kDefaultHoldMs;
  if (SameTextIgnoringCase(parts[0], "code")) {
    if (parts.size() < 2 || parts.size() > 3)
      return quoted + ": expected code:N or code:N:MILLISECONDS";
    uint32_t code = 0;
    if (!ParseNumber(parts[1], 63, &code)) {
      return "bad code '" + std::string(parts[1]) + "' in " + quoted +
             " (the receiver sends 0 to 63)";
    }
    step->code = static_cast<int32_t>(code);
    return parts.size() == 3 ? duration(parts[2], &step->ms) : "";
  }
  if (parts.size() > 2) return quoted + ": expected KEY or KEY:MILLISECONDS";
  const Key* key = FindKeyByName(parts[0]);
  if (key == nullptr) {
    return "unknown key '" + std::string(parts[0]) + "'; known keys: " + KnownKeyNames();
  }
  step->key = key;
  step->code = key->code;
  return parts.size() == 2 ? duration(parts[1], &step->ms) : "";
}

}  // namespace

ParseResult ParseScript(std::string_view script) {
  ParseResult result;
  size_t i = 0;
  int number = 0;
  while (i < script.size()) {
    if (script[i] == '#') {
      while (i < script.size() && script[i] != '\n') ++i;
      continue;
    }
    if (IsSeparator(script[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < script.size() && !IsSeparator(script[end]) && script[end] != '#') ++end;
    Step step{Step::kWait, 0, nullptr, 0, ""};
    ++number;
    const std::string error = ParseStep(script.substr(i, end - i), &step);
    if (!error.empty()) {
      result.error = "step " + std::to_string(number) + ": " + error;
      result.steps.clear();
      return result;
    }
    result.steps.push_back(std::move(step));
    i = end;
  }
  if (result.steps.empty()) result.error = "the script has no steps";
  return result;
}

std::string SendKeysAs(const Keymap& keymap, std::vector<Step>* steps) {
  int number = 0;
  for (Step& step : *steps) {
    ++number;
    if (step.key == nullptr) continue;
    step.code = keymap.CodeOf(step.key);
    if (step.code < 0 || step.code > 63) {
      return "step " + std::to_string(number) + ": " + NoCodeMessage(step.key, step.code);
    }
  }
  return "";
}

std::string ScriptText(std::string_view bytes) {
  const auto starts = [&bytes](std::string_view mark) {
    return bytes.substr(0, mark.size()) == mark;
  };
  if (starts("\xEF\xBB\xBF")) return std::string(bytes.substr(3));
  if (!starts("\xFF\xFE") && !starts("\xFE\xFF")) return std::string(bytes);
  const bool big_endian = starts("\xFE\xFF");
  std::string text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    const unsigned unit = big_endian ? (first << 8 | second) : (second << 8 | first);
    text += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return text;
}

}  // namespace remote_host
