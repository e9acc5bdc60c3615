// The terminal side of --interactive, on POSIX terminals.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "interactive.h"
#include "keys.h"

namespace remote_host {
namespace {

// How long a key stays held with no byte from the terminal: long enough to
// bridge the terminal's delay before it starts repeating, then short enough
// to let go soon after the repeat stops.
constexpr double kFirstRepeatWaitMs = 700;
constexpr double kRepeatGapMs = 150;

class RawTerminal {
 public:
  bool Enter() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return false;
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    entered_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    return entered_;
  }
  ~RawTerminal() {
    if (entered_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }

 private:
  termios saved_{};
  bool entered_ = false;
};

}  // namespace

bool CanRunInteractive(std::string* error) {
  if (isatty(STDIN_FILENO)) return true;
  *error = "--interactive needs a terminal on standard input";
  return false;
}

int RunInteractive(ModuleRun& run, Console& console, const Keymap& keymap, std::string* error) {
  RawTerminal terminal;
  if (!terminal.Enter()) {
    *error = "cannot put the terminal into raw mode";
    return 1;
  }
  console.Text(KeyboardMapText());

  std::string pending;
  const KeyboardKey* held = nullptr;
  double last_byte_ms = 0;
  bool repeating = false;
  while (true) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&in, 1, 10);
    if (ready > 0) {
      char bytes[64];
      const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
      if (n <= 0) break;  // end of input
      pending.append(bytes, static_cast<size_t>(n));
    }
    while (!pending.empty()) {
      if (pending[0] == 'q' || pending[0] == 'Q' || pending[0] == 3 || pending[0] == 4) {
        run.LetGo();
        return 0;
      }
      const KeyboardKey* match = nullptr;
      bool partial = false;
      for (const KeyboardKey& key : KeyboardMap()) {
        if (pending.compare(0, key.input.size(), key.input) == 0) {
          match = &key;
          break;
        }
        if (key.input.size() > pending.size() &&
            key.input.compare(0, pending.size(), pending) == 0) {
          partial = true;
        }
      }
      if (match == nullptr && partial) break;  // the rest of an escape sequence is on its way
      if (match == nullptr) {
        pending.erase(0, 1);
        continue;
      }
      pending.erase(0, match->input.size());
      const double now = run.NowMs();
      if (held != nullptr && std::string(held->remote) == match->remote) {
        repeating = true;
      } else {
        held = HoldRemoteKey(run, console, keymap, match->remote) ? match : nullptr;
        repeating = false;
      }
      last_byte_ms = now;
    }
    if (held != nullptr &&
        run.NowMs() - last_byte_ms > (repeating ? kRepeatGapMs : kFirstRepeatWaitMs)) {
      run.LetGo();
      console.Line(Stamp(run.NowMs(), "[let go]"));
      held = nullptr;
    }
  }
  run.LetGo();
  return 0;
}

}  // namespace remote_host
