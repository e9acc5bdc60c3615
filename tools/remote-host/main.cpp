// remote-host: runs the PYXRemote module as a TV application would, with a
// simulated card and remote, and shows what the module reports and when.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "interactive.h"
#include "keys.h"
#include "module_library.h"
#include "module_run.h"
#include "platform/platform.h"
#include "record.h"
#include "script.h"

namespace fs = std::filesystem;
using namespace remote_host;

namespace {

// make demo's script: a short press, a long hold (first report, then repeats
// at the default 1000 and 500 ms), other keys, a key pressed again while
// the code lines still hold it, and a code without a row.
const char kDemoScript[] =
    "Power:300 wait:1200 "
    "ChannelUp:2200 wait:600 "
    "VolumeUp:300 wait:1200 VolumeUp:1200 wait:300 "
    "clear code:4:1600 wait:400";

const char kUsage[] =
    "usage: remote-host [options] [--script \"STEPS\" | --script-file FILE | - | --interactive]\n"
    "       remote-host --settings [--dir DIR]\n"
    "\n"
    "Loads the PYXRemote module, starts it with a simulated TV card, and plays\n"
    "a remote script on the card's receiver. Each report is printed as it\n"
    "arrives (milliseconds since Start, key name, command); a summary follows.\n"
    "\n"
    "With --settings it reads pyx.ini as the module does and prints what it\n"
    "makes of it: the settings in force, what each code of the remote reports,\n"
    "and each line that does not take effect as written, with its line number.\n"
    "\n"
    "steps (separated by spaces, commas or new lines; # starts a comment):\n"
    "  Power:2200    hold a key for 2200 ms (name as in the key table, with or\n"
    "                without Key_, any case; 300 ms if no time is given)\n"
    "  code:4:500    hold a raw receiver code 0-63, known or not\n"
    "  wait:800      hold nothing for 800 ms\n"
    "  clear         set the receiver's code lines to 0\n"
    "\n"
    "options:\n"
    "  --library PATH     the module to load (default: the one beside this program)\n"
    "  --dir DIR          run in DIR, where the module reads pyx.ini and writes\n"
    "                     PYXRemote.log (default: the current directory)\n"
    "  --trace            print every register access\n"
    "  --timeline         draw each press's hold and reports on a time scale\n"
    "  --interactive      hold remote keys with the keyboard (a terminal is needed)\n"
    "  --demo             play the built-in demonstration script\n"
    "  --settings         print what pyx.ini in DIR (or here) sets, and stop\n"
    "  --help             this text\n"
    "\n"
    "exit status: 0 done, 1 a failure at run time, 2 bad usage or script;\n"
    "with --settings: 0 when pyx.ini has no finding, 1 when it has one\n";

struct Options {
  std::string library;
  std::string dir;
  std::string script;
  bool have_script = false;
  bool trace = false;
  bool timeline = false;
  bool interactive = false;
  bool settings = false;
};

int Usage(const std::string& message) {
  std::fprintf(stderr, "remote-host: %s\n(remote-host --help for usage)\n", message.c_str());
  return 2;
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "remote-host: %s\n", message.c_str());
  return 1;
}

bool ReadAll(std::istream& in, std::string* text) {
  std::ostringstream out;
  out << in.rdbuf();
  *text = out.str();
  return !in.bad();
}

int TerminalColumns() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return info.srWindow.Right - info.srWindow.Left + 1;
  }
#else
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  if (const char* columns = std::getenv("COLUMNS")) {
    const int n = std::atoi(columns);
    if (n > 0) return n;
  }
  return 80;
}

// 0 when all options parsed; otherwise the exit status, after a message.
int ParseOptions(int argc, char** argv, Options* options) {
  auto take_script = [&](std::string text) {
    if (options->have_script) return false;
    options->script = std::move(text);
    options->have_script = true;
    return true;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    } else if (arg == "--library") {
      if (!value(&options->library)) return Usage("--library needs a path");
    } else if (arg == "--dir") {
      if (!value(&options->dir)) return Usage("--dir needs a folder");
    } else if (arg == "--trace") {
      options->trace = true;
    } else if (arg == "--timeline") {
      options->timeline = true;
    } else if (arg == "--interactive") {
      options->interactive = true;
    } else if (arg == "--settings") {
      options->settings = true;
    } else if (arg == "--demo") {
      if (!take_script(kDemoScript)) return Usage("give one script only");
    } else if (arg == "--script") {
      if (!value(&text)) return Usage("--script needs steps");
      if (!take_script(text)) return Usage("give one script only");
    } else if (arg == "--script-file" || arg == "-") {
      std::string path = "-";
      if (arg == "--script-file" && !value(&path)) return Usage("--script-file needs a file");
      bool read = false;
      if (path == "-") {
        read = ReadAll(std::cin, &text);
      } else {
        std::ifstream in(path, std::ios::binary);
        read = in && ReadAll(in, &text);
      }
      if (!read) return Usage("cannot read the script " + path);
      if (!take_script(ScriptText(text))) return Usage("give one script only");
    } else {
      return Usage("unknown argument '" + arg + "'");
    }
  }
  if (options->settings && (options->have_script || options->interactive || options->trace ||
                            options->timeline || !options->library.empty())) {
    return Usage("--settings takes --dir only");
  }
  if (options->settings) return 0;
  if (options->interactive && options->have_script) {
    return Usage("--interactive plays no script");
  }
  if (!options->interactive && !options->have_script) {
    return Usage("nothing to play: give --script, --script-file, - or --interactive");
  }
  return 0;
}

void PlayScript(ModuleRun& run, Console& console, const Keymap& keymap,
                const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    std::string shown = "[" + step.text + "]";
    if (step.key != nullptr && keymap.Moved(step.key)) {
      shown += " sends code " + std::to_string(step.code) + ", as pyx.ini moves " + step.key->name;
    }
    console.Line(Stamp(run.NowMs(), shown));
    switch (step.kind) {
      case Step::kPress:
        run.Press(step.code, step.text);
        break;
      case Step::kWait:
        run.LetGo();
        break;
      case Step::kClear:
        run.LetGo();
        run.ClearCode();
        continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
  }
  run.LetGo();
}

std::string LogSince(const fs::path& log, std::uintmax_t offset) {
  std::ifstream in(log, std::ios::binary);
  if (!in) return "";
  in.seekg(static_cast<std::streamoff>(offset));
  std::string text;
  ReadAll(in, &text);
  std::string lines;
  for (char c : text) {
    if (c != '\r') lines += c;
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int status = ParseOptions(argc, argv, &options)) return status < 0 ? 0 : status;

  std::vector<Step> steps;
  if (options.have_script) {
    ParseResult parsed = ParseScript(options.script);
    if (!parsed.ok()) return Usage(parsed.error);
    steps = std::move(parsed.steps);
  }

  std::string cannot;
  if (options.interactive && !CanRunInteractive(&cannot)) return Usage(cannot);

  std::error_code failed;
  std::string library = options.library.empty() ? DefaultModulePath(argv[0]) : options.library;
  library = fs::absolute(library, failed).string();
  if (!options.dir.empty()) {
    fs::current_path(options.dir, failed);
    if (failed) return Failure("cannot work in " + options.dir + ": " + failed.message());
  }
  if (options.settings) {
    char path[4096];
    pyx::platform::FullPath(pyx::platform::kIniPath, path, sizeof path);
    const Keymap keymap = Keymap::FromPyxIni();
    std::fputs(SettingsReport(keymap.reading(), path).c_str(), stdout);
    return keymap.reading().finding_count() > 0 ? 1 : 0;
  }
  const fs::path log = fs::absolute("PYXRemote.log", failed);
  const std::uintmax_t log_before = fs::is_regular_file(log) ? fs::file_size(log, failed) : 0;

  Console console;
  int status = 0;
  RunRecord record;
  // Keys go by pyx.ini, read as the module reads it.
  const Keymap keymap = Keymap::FromPyxIni();
  if (std::string unsendable = SendKeysAs(keymap, &steps); !unsendable.empty()) {
    return Usage(unsendable);
  }
  {
    ModuleRun run(console);
    std::string error;
    RunOptions run_options{library, options.trace};
    if (!run.Load(run_options, &error)) return Failure(error);
    if (!run.Start(&error)) return Failure(error);
    console.Line("remote-host: " + library + " started; folder " + fs::current_path().string());
    if (options.interactive) {
      status = RunInteractive(run, console, keymap, &error);
    } else {
      PlayScript(run, console, keymap, steps);
    }
    console.Line(Stamp(run.NowMs(), "[stop]"));
    run.End();
    if (status != 0) {
      std::fprintf(stderr, "remote-host: %s\n", error.c_str());
      return status;
    }
    record = run.record();
    record.keymap = keymap;
  }

  const std::string added = LogSince(log, log_before);
  console.Text("\n" + Summary(record));
  if (options.timeline) console.Text("\n" + Timelines(record, TerminalColumns()));
  console.Text("\nlog: " + log.string() + (added.empty() ? " (this run added nothing)\n" : "\n"));
  std::istringstream lines(added);
  for (std::string line; std::getline(lines, line);) console.Line("  " + line);
  return 0;
}
