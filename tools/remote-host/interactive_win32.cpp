// The console side of --interactive, on Windows. The console reports each
// key's key-down and key-up, so a key is held exactly as long as it is held
// on the keyboard; the key-downs of its auto-repeat change nothing.
#include <windows.h>

#include "interactive.h"
#include "keys.h"

namespace remote_host {
namespace {

// Restores the console's input mode on the way out.
class RawConsole {
 public:
  explicit RawConsole(HANDLE input) : input_(input) {}
  bool Enter() {
    if (!GetConsoleMode(input_, &saved_)) return false;
    entered_ =
        SetConsoleMode(input_, saved_ & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                                            ENABLE_PROCESSED_INPUT)) != 0;
    return entered_;
  }
  ~RawConsole() {
    if (entered_) SetConsoleMode(input_, saved_);
  }

 private:
  HANDLE input_;
  DWORD saved_ = 0;
  bool entered_ = false;
};

// The key map's entry for a console key event: the arrows by their virtual
// key, the others by the character they type.
const KeyboardKey* MapKey(const KEY_EVENT_RECORD& key) {
  std::string input;
  switch (key.wVirtualKeyCode) {
    case VK_UP:
      input = "\x1b[A";
      break;
    case VK_DOWN:
      input = "\x1b[B";
      break;
    case VK_RIGHT:
      input = "\x1b[C";
      break;
    case VK_LEFT:
      input = "\x1b[D";
      break;
    default: {
      char typed = key.uChar.AsciiChar;
      if (typed == 0) return nullptr;
      if (typed >= 'A' && typed <= 'Z') typed = static_cast<char>(typed - 'A' + 'a');
      input.assign(1, typed);
    }
  }
  for (const KeyboardKey& entry : KeyboardMap()) {
    if (entry.input == input) return &entry;
  }
  return nullptr;
}

}  // namespace

bool CanRunInteractive(std::string* error) {
  DWORD mode;
  if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) return true;
  *error = "--interactive needs a console on standard input";
  return false;
}

int RunInteractive(ModuleRun& run, Console& console, const Keymap& keymap, std::string* error) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  RawConsole raw(input);
  if (!raw.Enter()) {
    *error = "cannot switch the console's line input off";
    return 1;
  }
  console.Text(KeyboardMapText());
  const KeyboardKey* held = nullptr;
  while (true) {
    if (WaitForSingleObject(input, 50) != WAIT_OBJECT_0) continue;
    INPUT_RECORD records[16];
    DWORD count = 0;
    if (!ReadConsoleInputA(input, records, 16, &count)) break;
    for (DWORD i = 0; i < count; ++i) {
      if (records[i].EventType != KEY_EVENT) continue;
      const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
      const char typed = key.uChar.AsciiChar;
      if (key.bKeyDown && (typed == 'q' || typed == 'Q' || typed == 3)) {
        run.LetGo();
        return 0;
      }
      const KeyboardKey* entry = MapKey(key);
      if (entry == nullptr) continue;
      if (key.bKeyDown && entry != held) {
        held = HoldRemoteKey(run, console, keymap, entry->remote) ? entry : nullptr;
      } else if (!key.bKeyDown && entry == held) {
        run.LetGo();
        console.Line(Stamp(run.NowMs(), "[let go]"));
        held = nullptr;
      }
    }
  }
  run.LetGo();
  return 0;
}

}  // namespace remote_host
