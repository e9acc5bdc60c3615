// What a run saw: the presses the remote made and the reports the module
// sent, and the summary and timelines drawn from them. Pure: no clock, no
// module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "keys.h"

namespace remote_host {

struct Press {
  int32_t code;
  std::string step;  // as written in the script, or the keyboard key
  double start_ms;   // since the run began
  double end_ms;     // when it was let go
};

struct KeyReport {
  double at_ms;
  std::string name;
  std::string command;
};

struct RunRecord {
  std::vector<Press> presses;
  std::vector<KeyReport> reports;
  Keymap keymap;  // as pyx.ini set it for the run
};

// Per reported key, named by the keymap (or raw code without a row): presses, reports, the
// first report's latency after each press, and the intervals between
// reports, press by press (a run of three or more equal ones as "500 x 4").
std::string Summary(const RunRecord& record);

// For each press: the hold and the reports, every press on one millisecond
// scale chosen to fit the longest in `columns` characters. A press of a key
// that does not repeat, held past the first delay, says so.
std::string Timelines(const RunRecord& record, int columns);

}  // namespace remote_host
