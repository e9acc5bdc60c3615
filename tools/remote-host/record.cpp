#include "record.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "keys.h"

namespace remote_host {
namespace {

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Ms(double ms) { return Format("%.0f", ms); }

// The name under which a press's reports arrive, or "code N" when the
// module has no row for it.
std::string ReportedAs(const Keymap& keymap, int32_t code) {
  const Key* key = keymap.ReportedFor(code);
  return key ? key->name : "code " + std::to_string(code);
}

// reports[i] belongs to the latest press that began at or before it.
std::vector<std::vector<const KeyReport*>> ReportsByPress(const RunRecord& record) {
  std::vector<std::vector<const KeyReport*>> by_press(record.presses.size());
  for (const KeyReport& report : record.reports) {
    for (size_t i = record.presses.size(); i-- > 0;) {
      if (record.presses[i].start_ms <= report.at_ms + 0.5) {
        by_press[i].push_back(&report);
        break;
      }
    }
  }
  return by_press;
}

// "1000 500 500 500 500" as "1000 500 x 4": a run of three or more equal
// values is written once with its count.
std::string Runs(const std::vector<std::string>& values) {
  std::string out;
  for (size_t i = 0; i < values.size();) {
    size_t n = 1;
    while (i + n < values.size() && values[i + n] == values[i]) ++n;
    const size_t shown = n >= 3 ? 1 : n;
    for (size_t k = 0; k < shown; ++k) out += (out.empty() ? "" : " ") + values[i];
    if (n >= 3) out += " x " + std::to_string(n);
    i += n;
  }
  return out;
}

struct KeyLine {
  int presses = 0;
  int reports = 0;
  std::vector<std::string> latencies;
  std::vector<std::string> intervals;  // per press: "1000 500", or "-" with one report
  bool known = true;
  bool any_interval = false;
};

}  // namespace

std::string Summary(const RunRecord& record) {
  const auto by_press = ReportsByPress(record);
  std::vector<std::string> order;
  std::map<std::string, KeyLine> lines;
  for (size_t i = 0; i < record.presses.size(); ++i) {
    const std::string key = ReportedAs(record.keymap, record.presses[i].code);
    if (!lines.count(key)) order.push_back(key);
    KeyLine& line = lines[key];
    line.known = record.keymap.ReportedFor(record.presses[i].code) != nullptr;
    ++line.presses;
    const auto& reports = by_press[i];
    line.reports += static_cast<int>(reports.size());
    if (reports.empty()) continue;
    line.latencies.push_back(Ms(reports[0]->at_ms - record.presses[i].start_ms));
    std::vector<std::string> gaps;
    for (size_t r = 1; r < reports.size(); ++r) {
      gaps.push_back(Ms(reports[r]->at_ms - reports[r - 1]->at_ms));
    }
    line.intervals.push_back(gaps.empty() ? "-" : Runs(gaps));
    if (!gaps.empty()) line.any_interval = true;
  }

  auto join = [](const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const std::string& part : parts) out += (out.empty() ? "" : separator) + part;
    return out.empty() ? std::string("-") : out;
  };
  std::string out = "summary\n";
  char row[512];
  std::snprintf(row, sizeof row, "  %-18s %7s %7s  %-18s %s\n", "key", "presses", "reports",
                "first report (ms)", "intervals (ms)");
  out += row;
  for (const std::string& key : order) {
    const KeyLine& line = lines[key];
    const std::string name = line.known ? key : key + " (no row)";
    std::snprintf(row, sizeof row, "  %-18s %7d %7d  %-18s %s\n", name.c_str(), line.presses,
                  line.reports, join(line.latencies, ", ").c_str(),
                  line.any_interval ? join(line.intervals, " | ").c_str() : "-");
    out += row;
  }
  if (record.presses.empty()) out += "  (no key was pressed)\n";
  return out;
}

std::string Timelines(const RunRecord& record, int columns) {
  const auto by_press = ReportsByPress(record);
  const int width = std::max(20, columns - 12);
  // One scale for every press, so that their lengths compare: the longest
  // hold or last report fits.
  double span = 0;
  for (size_t i = 0; i < record.presses.size(); ++i) {
    const Press& press = record.presses[i];
    span = std::max(span, press.end_ms - press.start_ms);
    for (const KeyReport* r : by_press[i]) span = std::max(span, r->at_ms - press.start_ms);
  }
  // 1, 2 or 5 times a power of ten milliseconds per character.
  double scale = 1;
  for (double decade = 1; scale * width < span + 1; decade *= 10) {
    for (double step : {1.0, 2.0, 5.0}) {
      scale = step * decade;
      if (scale * width >= span + 1) break;
    }
  }
  std::string out;
  for (size_t i = 0; i < record.presses.size(); ++i) {
    const Press& press = record.presses[i];
    const auto& reports = by_press[i];
    auto column = [&](double ms) {
      return std::min(width - 1, static_cast<int>(std::floor((ms - press.start_ms) / scale)));
    };
    std::string held(static_cast<size_t>(width), ' ');
    std::string sent(static_cast<size_t>(width), ' ');
    for (int c = 0; c <= column(press.end_ms) && press.end_ms > press.start_ms; ++c) held[c] = '=';
    for (const KeyReport* r : reports)
      sent[static_cast<size_t>(std::max(0, column(r->at_ms)))] = '^';

    const Key* key = record.keymap.ReportedFor(press.code);
    std::string title = ReportedAs(record.keymap, press.code) + " (" + press.step + ") at " +
                        Ms(press.start_ms) + " ms: held " + Ms(press.end_ms - press.start_ms) +
                        " ms, " + std::to_string(reports.size()) +
                        (reports.size() == 1 ? " report" : " reports");
    if (key != nullptr && !record.keymap.Repeats(press.code) &&
        press.end_ms - press.start_ms > record.keymap.first_delay_ms()) {
      title += ", not repeated";
    }
    if (title.size() > static_cast<size_t>(columns)) title.resize(static_cast<size_t>(columns));
    out += title + "\n";
    out += "  held    |" + held + "|\n";
    out += "  reports |" + sent + "|\n";
    // The axis: 0, the scale, and the end, under the bars.
    std::string axis(static_cast<size_t>(width) + 2, ' ');
    const std::string middle = "1 char = " + Ms(scale) + " ms";
    const std::string end = Ms(scale * width) + " ms";
    axis[2] = '0';
    axis.replace((axis.size() - middle.size()) / 2, middle.size(), middle);
    axis.replace(axis.size() - end.size(), end.size(), end);
    out += "         " + axis + "\n";
  }
  return out;
}

}  // namespace remote_host
