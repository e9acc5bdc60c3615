#include "interactive.h"

namespace remote_host {

const std::vector<KeyboardKey>& KeyboardMap() {
  static const std::vector<KeyboardKey> map = {
      {"0-9", "0", "0"},
      {"", "1", "1"},
      {"", "2", "2"},
      {"", "3", "3"},
      {"", "4", "4"},
      {"", "5", "5"},
      {"", "6", "6"},
      {"", "7", "7"},
      {"", "8", "8"},
      {"", "9", "9"},
      {"up", "\x1b[A", "ChannelUp"},
      {"", "\x1bOA", "ChannelUp"},
      {"down", "\x1b[B", "ChannelDown"},
      {"", "\x1bOB", "ChannelDown"},
      {"right", "\x1b[C", "VolumeUp"},
      {"", "\x1bOC", "VolumeUp"},
      {"left", "\x1b[D", "VolumeDown"},
      {"", "\x1bOD", "VolumeDown"},
      {"p", "p", "Power"},
      {"m", "m", "Mute"},
      {"t", "t", "TV/FM"},
      {"c", "c", "CD"},
      {"x", "x", "Teletext"},
      {"v", "v", "Video"},
      {"a", "a", "Audio"},
      {"f", "f", "FullScreen"},
      {"d", "d", "Display"},
      {"l", "l", "Loop"},
      {"w", "w", "Preview"},
      {"z", "z", "Freeze"},
      {"r", "r", "Record"},
      {"space", " ", "Pause"},
      {"s", "s", "Stop"},
      {"y", "y", "Play"},
      {"e", "e", "Red"},
      {"g", "g", "Green"},
      {"j", "j", "Yellow"},
      {"k", "k", "Cyan"},
      {"u", "u", "AutoScan"},
      {"i", "i", "Capture"},
  };
  return map;
}

bool HoldRemoteKey(ModuleRun& run, Console& console, const Keymap& keymap, const char* remote) {
  const Key* key = FindKeyByName(remote);
  const int32_t code = keymap.CodeOf(key);
  if (code < 0 || code > 63) {
    console.Line(
        Stamp(run.NowMs(), std::string("[") + remote + ": " + NoCodeMessage(key, code) + "]"));
    return false;
  }
  std::string said = std::string("[") + remote + " held";
  if (keymap.Moved(key)) said += ", code " + std::to_string(code) + " as pyx.ini moves it";
  console.Line(Stamp(run.NowMs(), said + "]"));
  run.Press(code, remote);
  return true;
}

std::string KeyboardMapText() {
  std::string text =
      "keys: 0-9 digits, up/down ChannelUp/ChannelDown, right/left "
      "VolumeUp/VolumeDown\n      ";
  int shown = 0;
  for (const KeyboardKey& key : KeyboardMap()) {
    const std::string label = key.keyboard;
    if (label.empty() || label == "0-9" || label == "up" || label == "down" || label == "right" ||
        label == "left") {
      continue;
    }
    text += label + " " + key.remote + (++shown % 6 == 0 ? "\n      " : ", ");
  }
  return text + "q quits\n";
}

}  // namespace remote_host
