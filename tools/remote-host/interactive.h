// --interactive: keyboard keys hold remote keys. A key counts as held while
// the terminal's own key repeat keeps sending it, and as let go when that
// stops; q quits.
#pragma once

#include <string>

#include "keys.h"
#include "module_run.h"

namespace remote_host {

struct KeyboardKey {
  const char* keyboard;  // as shown in the key map
  std::string input;     // the bytes the terminal sends
  const char* remote;    // key table name without "Key_"
};

// The key map, as shown on screen.
const std::vector<KeyboardKey>& KeyboardMap();
std::string KeyboardMapText();

// Whether this process can run interactively; `error` says why not.
bool CanRunInteractive(std::string* error);

// Runs until q (or end of input), sending each remote key as the code
// `keymap` gives it. Returns the exit status; `error` says why when it is
// not 0.
int RunInteractive(ModuleRun& run, Console& console, const Keymap& keymap, std::string* error);

// Holds the remote key named `remote` (a name of the key table without
// "Key_") as the code `keymap` gives it, and says so; a key with no code
// the card can send is said so and not held. Whether it is held.
bool HoldRemoteKey(ModuleRun& run, Console& console, const Keymap& keymap, const char* remote);

}  // namespace remote_host
