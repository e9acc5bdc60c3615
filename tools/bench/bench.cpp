// pyx-bench: what the module costs and how precisely it reports, measured
// through its export and tables of operations with a simulated card.
//
//   pyx-bench --run OUT.tsv [--quick] [--dir DIR] [--library PATH]
//       measures this build and writes one "key<TAB>value" line per figure
//   pyx-bench --report RESULTS.json --build TEXT RUN.tsv...
//       prints the figures of the runs beside their limits and writes JSON
//   pyx-bench --quick
//       both at once, briefly, to keep the benchmark working
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_platform.h"
#include "card/settings_reading.h"
#include "module_library.h"
#include "sim_card.h"

#ifdef PYX_HAVE_GOOGLE_BENCHMARK
#include <benchmark/benchmark.h>

#include "card/poller.h"
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const size_t i = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  return values[std::min(values.size() - 1, i == 0 ? 0 : i - 1)];
}

void SleepMs(double ms) {
  std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

void WriteIni(int first, int repeat, const char* more = "") {
  std::ofstream ini("pyx.ini", std::ios::binary | std::ios::trunc);
  ini << "[PYXRemote]\r\nKeyFirstDelay=" << first << "\r\nKeyRepeatDelay=" << repeat << "\r\n"
      << more;
}

// A sink that timestamps reports and can act on them on the worker thread.
class TimingSink final : public IKeySink {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PYX_CALL AddRef() override { return ++refs_; }
  ULONG PYX_CALL Release() override { return --refs_; }
  HRESULT PYX_CALL OnKey(const char*, const char*) override {
    const auto at = Clock::now();
    if (on_key) on_key();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.push_back(at);
    }
    changed_.notify_all();
    return S_OK;
  }
  std::function<void()> on_key;  // worker thread, inside OnKey

  // Waits for the n-th report (counting from 1) and returns its time.
  bool WaitFor(size_t n, Clock::time_point* at, std::chrono::milliseconds timeout = 3000ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [&] { return reports_.size() >= n; })) return false;
    *at = reports_[n - 1];
    return true;
  }
  std::vector<Clock::time_point> reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_.clear();
  }

 private:
  std::atomic<ULONG> refs_{1};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Clock::time_point> reports_;
};

// What --idle runs: the module on an idle card, the same with KeyTrace=1,
// or the floor, a bare thread doing a poll cycle's three register accesses
// and a 20 ms sleep.
enum class IdleLoad { kModule, kTrace, kFloor };

// One idle load on `card`, from construction to destruction. `factory` is
// not called for the floor.
class IdleRun {
 public:
  IdleRun(IdleLoad load, PFN_GetInterfacePtr factory, remote_host::SimCard& card) {
    if (load != IdleLoad::kFloor) {
      WriteIni(1000, 500, load == IdleLoad::kTrace ? "KeyTrace=1\r\n" : "");
      module_ = factory();
      if (module_ != nullptr) module_->Start(&sink_, card.device());
      return;
    }
    void* registers = nullptr;
    card.device()->QueryInterface(IID_IRegisterAccess, &registers);
    registers_ = static_cast<IRegisterAccess*>(registers);
    floor_ = std::thread([this] {
      while (!stop_.load(std::memory_order_relaxed)) {
        uint32_t enable = 0, data = 0;
        registers_->ReadRegister(0x118, &enable);
        registers_->WriteRegister(0x118, (enable & 0x00FF00FF) | 0x8000);
        registers_->ReadRegister(0x200, &data);
        bench::SleepMs(20);
      }
    });
  }
  ~IdleRun() {
    if (module_ != nullptr) module_->Release();
    stop_ = true;
    if (floor_.joinable()) floor_.join();
    if (registers_ != nullptr) registers_->Release();
  }
  IdleRun(const IdleRun&) = delete;
  IdleRun& operator=(const IdleRun&) = delete;

 private:
  TimingSink sink_;
  IRemoteModule* module_ = nullptr;
  IRegisterAccess* registers_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread floor_;
};

struct Sizes {
  int idle_seconds_x10, presses, repeats, stops, mid_delay_stops, objects;
};
const Sizes kFull = {15, 220, 120, 80, 20, 64};
const Sizes kQuick = {3, 20, 10, 10, 3, 8};

class Runner {
 public:
  Runner(PFN_GetInterfacePtr factory, const Sizes& sizes) : factory_(factory), sizes_(sizes) {}

  void Run(std::map<std::string, double>* out) {
    Idle(out);
    Latency(out);
    Repeat(out);
    StopIdle(out);
    StopMidDelay(out);
    Footprint(out);
  }

 private:
  IRemoteModule* NewModule() {
    IRemoteModule* module = factory_();
    if (module == nullptr) {
      std::fprintf(stderr, "pyx-bench: the factory returned no object\n");
      std::exit(1);
    }
    return module;
  }

  // CPU per second and polls per second, over `seconds`, of what runs now.
  void Window(double seconds, const remote_host::SimCard& card, double* cpu, double* polls) {
    const double cpu0 = bench::ProcessCpuMs();
    const uint64_t reads0 = card.data_reads();
    const auto t0 = Clock::now();
    SleepMs(seconds * 1000);
    const double elapsed = Ms(Clock::now() - t0) / 1000;
    *cpu += (bench::ProcessCpuMs() - cpu0) / elapsed;
    *polls += static_cast<double>(card.data_reads() - reads0) / elapsed;
  }

  void Idle(std::map<std::string, double>* out) {
    const double seconds = sizes_.idle_seconds_x10 / 10.0;
    double cpu[3] = {}, polls[3] = {};
    for (int round = 0; round < 2; ++round) {
      for (IdleLoad load : {IdleLoad::kModule, IdleLoad::kTrace, IdleLoad::kFloor}) {
        remote_host::SimCard card;
        const IdleRun run(load, factory_, card);
        SleepMs(100);
        Window(seconds, card, &cpu[static_cast<int>(load)], &polls[static_cast<int>(load)]);
      }
    }
    (*out)["idle_cpu_ms_per_s"] = cpu[0] / 2;
    (*out)["idle_trace_cpu_ms_per_s"] = cpu[1] / 2;
    (*out)["idle_floor_cpu_ms_per_s"] = cpu[2] / 2;
    (*out)["idle_cpu_ratio"] = cpu[0] / cpu[2];
    (*out)["idle_trace_cpu_ratio"] = cpu[1] / cpu[2];
    (*out)["polls_per_s"] = polls[0] / 2;
    (*out)["floor_polls_per_s"] = polls[2] / 2;
  }

  // Presses at random phases of the idle poll, each let go at its report.
  void Latency(std::map<std::string, double>* out) {
    WriteIni(0, 0);
    remote_host::SimCard card;
    TimingSink sink;
    sink.on_key = [&] {
      card.LetGo();
      card.ClearCode();
    };
    IRemoteModule* module = NewModule();
    module->Start(&sink, card.device());
    std::mt19937 random(12345);
    std::uniform_real_distribution<double> phase(25, 65);
    std::vector<double> latencies;
    for (int i = 1; i <= sizes_.presses; ++i) {
      SleepMs(phase(random));
      const auto pressed = Clock::now();
      card.HoldCode(1);
      Clock::time_point reported;
      if (!sink.WaitFor(static_cast<size_t>(i), &reported)) break;
      latencies.push_back(Ms(reported - pressed));
    }
    module->Release();
    (*out)["latency_samples"] = static_cast<double>(latencies.size());
    (*out)["latency_p50_ms"] = Percentile(latencies, 50);
    (*out)["latency_p99_ms"] = Percentile(latencies, 99);
    (*out)["latency_max_ms"] = Percentile(latencies, 100);
  }

  void Repeat(std::map<std::string, double>* out) {
    constexpr int kFirst = 200, kRepeat = 50;
    WriteIni(kFirst, kRepeat);
    remote_host::SimCard card;
    TimingSink sink;
    IRemoteModule* module = NewModule();
    module->Start(&sink, card.device());
    SleepMs(50);
    card.HoldCode(30);
    Clock::time_point last;
    sink.WaitFor(static_cast<size_t>(sizes_.repeats) + 2, &last,
                 std::chrono::milliseconds(kFirst + kRepeat * sizes_.repeats * 2 + 2000));
    card.LetGo();
    module->Release();
    const auto reports = sink.reports();
    std::vector<double> first, repeat;
    for (size_t i = 1; i < reports.size(); ++i) {
      const double gap = Ms(reports[i] - reports[i - 1]);
      (i == 1 ? first : repeat).push_back(gap - (i == 1 ? kFirst : kRepeat));
    }
    (*out)["first_interval_error_ms"] = Percentile(first, 50);
    (*out)["repeat_error_p50_ms"] = Percentile(repeat, 50);
    (*out)["repeat_error_p99_ms"] = Percentile(repeat, 99);
    (*out)["repeat_samples"] = static_cast<double>(repeat.size());
  }

  void StopIdle(std::map<std::string, double>* out) {
    WriteIni(1000, 500);
    remote_host::SimCard card;
    TimingSink sink;
    IRemoteModule* module = NewModule();
    std::mt19937 random(777);
    std::uniform_real_distribution<double> phase(5, 45);
    std::vector<double> stops;
    for (int i = 0; i < sizes_.stops; ++i) {
      module->Start(&sink, card.device());
      SleepMs(phase(random));
      const auto t0 = Clock::now();
      module->Stop();
      stops.push_back(Ms(Clock::now() - t0));
    }
    module->Release();
    (*out)["stop_idle_p50_ms"] = Percentile(stops, 50);
    (*out)["stop_idle_p99_ms"] = Percentile(stops, 99);
    (*out)["stop_idle_max_ms"] = Percentile(stops, 100);
  }

  // Stop while the worker sleeps KeyFirstDelay: it should take the rest of
  // that sleep and nothing more.
  void StopMidDelay(std::map<std::string, double>* out) {
    constexpr int kFirst = 200;
    WriteIni(kFirst, 500);
    remote_host::SimCard card;
    TimingSink sink;
    IRemoteModule* module = NewModule();
    std::mt19937 random(99);
    std::uniform_real_distribution<double> into(20, 150);
    std::vector<double> overshoot;
    for (int i = 0; i < sizes_.mid_delay_stops; ++i) {
      sink.Clear();
      module->Start(&sink, card.device());
      SleepMs(30);
      card.HoldCode(30);
      Clock::time_point reported;
      if (!sink.WaitFor(1, &reported)) break;
      card.LetGo();
      card.ClearCode();
      SleepMs(into(random));
      module->Stop();
      overshoot.push_back(Ms(Clock::now() - (reported + std::chrono::milliseconds(kFirst))));
    }
    module->Release();
    (*out)["stop_mid_delay_overshoot_p50_ms"] = Percentile(overshoot, 50);
    (*out)["stop_mid_delay_overshoot_p99_ms"] = Percentile(overshoot, 99);
  }

  void Footprint(std::map<std::string, double>* out) {
    WriteIni(1000, 500);
    const int n = sizes_.objects;
    std::vector<std::unique_ptr<remote_host::SimCard>> cards;
    std::vector<std::unique_ptr<TimingSink>> sinks;
    for (int i = 0; i < n; ++i) {
      cards.push_back(std::make_unique<remote_host::SimCard>());
      sinks.push_back(std::make_unique<TimingSink>());
    }
    SleepMs(50);
    const size_t rss0 = bench::ResidentBytes();
    const int threads0 = bench::ThreadCount();
    std::vector<IRemoteModule*> modules;
    for (int i = 0; i < n; ++i) {
      modules.push_back(NewModule());
      modules.back()->Start(sinks[static_cast<size_t>(i)].get(),
                            cards[static_cast<size_t>(i)]->device());
    }
    SleepMs(200);
    const size_t rss1 = bench::ResidentBytes();
    const int threads1 = bench::ThreadCount();
    for (IRemoteModule* module : modules) module->Release();
    (*out)["memory_per_object_kib"] =
        (static_cast<double>(rss1) - static_cast<double>(rss0)) / 1024.0 / n;
    (*out)["threads_per_object"] = static_cast<double>(threads1 - threads0) / n;
  }

  PFN_GetInterfacePtr factory_;
  Sizes sizes_;
};

#ifdef PYX_HAVE_GOOGLE_BENCHMARK
void BM_DecidePoll(benchmark::State& state) {
  // A held key, a release that keeps the code lines, then another key.
  static const uint32_t kData[] = {0x1E00, 0x1E00, 0x5E00, 0x5E00, 0x0100, 0x4000};
  pyx::PollState poll;
  size_t i = 0;
  for (auto _ : state) {
    const pyx::PollDecision next = pyx::DecidePoll(poll, kData[i], 0, {1000, 500, false, 0});
    poll = next.state;
    i = i == 5 ? 0 : i + 1;
    benchmark::DoNotOptimize(next);
  }
}

class CaptureReporter : public benchmark::BenchmarkReporter {
 public:
  bool ReportContext(const Context&) override { return true; }
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) ns = run.GetAdjustedCPUTime();
  }
  double ns = NAN;
};

double DecisionNs(bool quick) {
  std::string min_time = quick ? "--benchmark_min_time=0.01" : "--benchmark_min_time=0.5";
  char name[] = "pyx-bench";
  char* argv[] = {name, min_time.data(), nullptr};
  int argc = 2;
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("DecidePoll", BM_DecidePoll);
  CaptureReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  return reporter.ns;
}
#endif

// ---- report --------------------------------------------------------------

struct FigureDef {
  const char* key;
  const char* label;
  const char* limit_text;  // the goal or the floor, as shown
  double limit;            // NAN: information only
  bool at_least;           // the figure should be at least the limit
};

const FigureDef kFigures[] = {
    {"idle_cpu_ms_per_s", "idle CPU, module (ms per s)", "floor", NAN, false},
    {"idle_floor_cpu_ms_per_s", "idle CPU, bare poll thread (ms per s)", "", NAN, false},
    {"idle_cpu_ratio", "idle CPU, module / floor", "<= 1.1", 1.1, false},
    {"idle_trace_cpu_ms_per_s", "idle CPU, module with KeyTrace=1 (ms per s)", "", NAN, false},
    {"idle_trace_cpu_ratio", "idle CPU, KeyTrace=1 / floor", "<= 1.1", 1.1, false},
    {"outside_idle_cpu_ms_per_s", "idle CPU from /proc, module (ms per s)", "", NAN, false},
    {"outside_idle_trace_cpu_ms_per_s", "idle CPU from /proc, KeyTrace=1 (ms per s)", "", NAN,
     false},
    {"outside_idle_floor_cpu_ms_per_s", "idle CPU from /proc, floor program (ms per s)", "", NAN,
     false},
    {"outside_idle_cpu_ratio", "idle CPU from /proc, module / floor", "", NAN, false},
    {"polls_per_s", "polls per second, idle", ">= 49.5", 49.5, true},
    {"latency_p50_ms", "press to report, p50 (ms)", "", NAN, false},
    {"latency_p99_ms", "press to report, p99 (ms)", "<= 21", 21, false},
    {"latency_max_ms", "press to report, max (ms)", "", NAN, false},
    {"first_interval_error_ms", "first interval - KeyFirstDelay (ms)", "< 1", 1, false},
    {"repeat_error_p50_ms", "repeat interval - KeyRepeatDelay, p50 (ms)", "", NAN, false},
    {"repeat_error_p99_ms", "repeat interval - KeyRepeatDelay, p99 (ms)", "< 1", 1, false},
    {"stop_idle_p50_ms", "Stop on an idle card, p50 (ms)", "", NAN, false},
    {"stop_idle_p99_ms", "Stop on an idle card, p99 (ms)", "<= 21", 21, false},
    {"stop_idle_max_ms", "Stop on an idle card, max (ms)", "", NAN, false},
    {"stop_mid_delay_overshoot_p50_ms", "Stop in a delay, past its end, p50 (ms)", "", NAN, false},
    {"stop_mid_delay_overshoot_p99_ms", "Stop in a delay, past its end, p99 (ms)", "<= 2", 2,
     false},
    {"ini_read_us", "reading a 60-line pyx.ini (us)", "< 1000", 1000, false},
    {"library_kib", "library file (KiB)", "DLL <= 48", NAN, false},
    {"memory_per_object_kib", "memory per started object (KiB)", "", NAN, false},
    {"threads_per_object", "threads per started object", "= 1", NAN, false},
    {"decision_ns", "poll decision (ns per cycle)", "", NAN, false},
};

using Figures = std::map<std::string, double>;

bool ReadRun(const std::string& path, std::string* name, Figures* figures) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream fields(line);
    std::string key, value;
    if (!std::getline(fields, key, '\t') || !std::getline(fields, value)) continue;
    if (key == "build") {
      *name = value;
    } else {
      (*figures)[key] = value == "null" ? NAN : std::strtod(value.c_str(), nullptr);
    }
  }
  return true;
}

std::string Number(double v) {
  if (std::isnan(v)) return "-";
  char text[32];
  const double a = std::fabs(v);
  std::snprintf(text, sizeof text,
                a >= 100  ? "%.0f"
                : a >= 10 ? "%.1f"
                : a >= 1  ? "%.2f"
                          : "%.3f",
                v);
  return text;
}

std::string JsonNumber(double v) {
  if (std::isnan(v)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

int Report(const std::string& json_path, const std::string& build,
           const std::vector<std::pair<std::string, Figures>>& runs) {
  std::printf("%-44s", "figure");
  for (const auto& run : runs) std::printf(" %10s", run.first.c_str());
  std::printf("  %-10s %s\n", "goal", "verdict");
  int misses = 0;
  for (const FigureDef& def : kFigures) {
    std::printf("%-44s", def.label);
    for (const auto& run : runs) {
      const auto it = run.second.find(def.key);
      std::printf(" %10s", it == run.second.end() ? "-" : Number(it->second).c_str());
    }
    std::string verdict;
    if (!std::isnan(def.limit) && !runs.empty()) {
      const auto it = runs[0].second.find(def.key);
      if (it != runs[0].second.end() && !std::isnan(it->second)) {
        const bool met = def.at_least ? it->second >= def.limit : it->second <= def.limit;
        misses += met ? 0 : 1;
        verdict = (met ? "met, " : "MISSED, ") + Number(it->second / def.limit) + "x of goal";
      }
    }
    std::printf("  %-10s %s\n", def.limit_text, verdict.c_str());
  }
  std::printf("(verdicts are for the first column; the goals are the native build's)\n");

  if (!json_path.empty()) {
    std::ofstream json(json_path, std::ios::trunc);
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    json << "{\n  \"build\": \"" << build << "\",\n  \"date\": \"" << date
         << "\",\n  \"cores\": " << std::thread::hardware_concurrency() << ",\n  \"runs\": {";
    for (size_t r = 0; r < runs.size(); ++r) {
      json << (r ? "," : "") << "\n    \"" << runs[r].first << "\": {";
      size_t k = 0;
      for (const FigureDef& def : kFigures) {
        const auto it = runs[r].second.find(def.key);
        if (it == runs[r].second.end()) continue;
        json << (k++ ? "," : "") << "\n      \"" << def.key << "\": " << JsonNumber(it->second);
      }
      json << "\n    }";
    }
    json << "\n  },\n  \"goals\": {";
    size_t g = 0;
    for (const FigureDef& def : kFigures) {
      if (std::isnan(def.limit)) continue;
      json << (g++ ? "," : "") << "\n    \"" << def.key << "\": \"" << def.limit_text << "\"";
    }
    json << "\n  }\n}\n";
    std::printf("figures written to %s\n", json_path.c_str());
  }
  return misses;
}

// A pyx.ini of 60 lines as a TV application may keep it: its own sections
// and ours, with comments and blank lines; every line takes effect.
const char kSixtyLines[] =
    "; Settings of the TV application and its remote-control module.\r\n"
    "\r\n"
    "[Display]\r\nWidth=720\r\nHeight=576\r\nAspect=4:3\r\nDeinterlace=1\r\nOverscan=8\r\n"
    "Brightness=128\r\nContrast=128\r\nSaturation=128\r\nHue=0\r\n"
    "\r\n"
    "[Tuner]\r\nCountry=49\r\nInput=0\r\nChannel=0x1F\r\nFineTune=0\r\nAudio=Stereo\r\n"
    "Volume=80\r\nMute=0\r\nLastChannel=12\r\nScanFrom=45\r\nScanTo=860\r\n"
    "\r\n"
    "[Recording]\r\nFolder=C:\\TV\r\nFormat=MPEG2\r\nBitrate=6000\r\nSplitMinutes=60\r\n"
    "Timeshift=0\r\nBuffer=64\r\n"
    "\r\n"
    "; The remote.\r\n"
    "[PYXRemote]\r\n"
    "KeyFirstDelay=600\r\n"
    "KeyRepeatDelay=200\r\n"
    "KeyPollDuringDelay=1\r\n"
    "KeyTrace=0\r\n"
    "\r\n"
    "[PYXRemote Keys]\r\n"
    "Key_Play=37\r\n"
    "Key_Red=38\r\n"
    "Key_Green=39\r\n"
    "Key_Yellow=40\r\n"
    "\r\n"
    "[PYXRemote NoRepeat]\r\n"
    "Key_Power=1\r\n"
    "\r\n"
    "[Window]\r\nLeft=100\r\nTop=80\r\nMaximized=0\r\n";

// One reading of pyx.ini, as the module makes after each log line, in
// microseconds: the median of many. Negative when the reading is not the
// clean one expected.
double ReadingMicros(bool quick) {
  std::ofstream(pyx::platform::kIniPath, std::ios::binary | std::ios::trunc) << kSixtyLines;
  std::vector<double> micros;
  bool clean = true;
  for (int i = 0; i < (quick ? 20 : 400); ++i) {
    const auto start = Clock::now();
    const pyx::platform::IniFile ini(pyx::platform::kIniPath);
    const pyx::SettingsRef reading = pyx::ReadSettings(ini, pyx::kDefaultSettings);
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    clean = clean && reading && reading->finding_count() == 0 &&
            reading->settings().repeat_delay == 200;
  }
  std::error_code ignored;
  fs::remove(pyx::platform::kIniPath, ignored);
  return clean ? Percentile(micros, 50) : -1;
}

Figures Measure(const std::string& library, bool quick) {
  remote_host::ModuleLibrary module_library;
  std::string error;
  if (!module_library.Load(library, &error)) {
    std::fprintf(stderr, "pyx-bench: %s\n", error.c_str());
    std::exit(1);
  }
  Figures figures;
  Runner(module_library.factory(), quick ? kQuick : kFull).Run(&figures);
  std::error_code ignored;
  figures["library_kib"] = static_cast<double>(fs::file_size(library, ignored)) / 1024.0;
  figures["ini_read_us"] = ReadingMicros(quick);
#ifdef PYX_HAVE_GOOGLE_BENCHMARK
  figures["decision_ns"] = DecisionNs(quick);
#endif
  return figures;
}

// --idle: one idle load for a while and nothing else, for a measurement of
// the process from outside (scripts/wine-idle-cpu.sh).
int RunIdleFor(const std::string& what, double seconds, const std::string& library) {
  const IdleLoad load = what == "floor"   ? IdleLoad::kFloor
                        : what == "trace" ? IdleLoad::kTrace
                                          : IdleLoad::kModule;
  remote_host::ModuleLibrary module_library;
  std::string error;
  if (load != IdleLoad::kFloor && !module_library.Load(library, &error)) {
    std::fprintf(stderr, "pyx-bench: %s\n", error.c_str());
    return 1;
  }
  remote_host::SimCard card;
  {
    const IdleRun run(load, module_library.factory(), card);
    SleepMs(seconds * 1000);
  }
  std::printf("%s: %.0f polls in %.1f s\n", what.c_str(), static_cast<double>(card.data_reads()),
              seconds);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: pyx-bench --run OUT.tsv [--quick] [--dir DIR] [--library PATH]\n"
               "       pyx-bench --idle module|trace|floor SECONDS [--dir DIR] [--library PATH]\n"
               "       pyx-bench --report RESULTS.json [--build TEXT] RUN.tsv...\n"
               "       pyx-bench --quick [--dir DIR] [--library PATH]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string run_out, report_out, build = "unknown", dir, library, idle;
  double idle_seconds = 0;
  std::vector<std::string> inputs;
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (arg == "--run") {
      if (!value(&run_out)) return Usage();
    } else if (arg == "--report") {
      if (!value(&report_out)) return Usage();
    } else if (arg == "--build") {
      if (!value(&build)) return Usage();
    } else if (arg == "--dir") {
      if (!value(&dir)) return Usage();
    } else if (arg == "--library") {
      if (!value(&library)) return Usage();
    } else if (arg == "--idle") {
      std::string seconds;
      if (!value(&idle) || !value(&seconds)) return Usage();
      idle_seconds = std::strtod(seconds.c_str(), nullptr);
    } else if (arg == "--quick") {
      quick = true;
    } else if (!arg.empty() && arg[0] != '-') {
      inputs.push_back(arg);
    } else {
      return Usage();
    }
  }

  if (!report_out.empty()) {
    std::vector<std::pair<std::string, Figures>> runs;
    for (const std::string& path : inputs) {
      std::string name = path;
      Figures figures;
      if (!ReadRun(path, &name, &figures)) {
        std::fprintf(stderr, "pyx-bench: cannot read %s\n", path.c_str());
        return 1;
      }
      runs.emplace_back(name, figures);
    }
    Report(report_out, build, runs);
    return 0;
  }
  if (run_out.empty() && !quick && idle.empty()) return Usage();

  if (library.empty()) library = remote_host::DefaultModulePath(argv[0]);
  std::error_code failed;
  library = fs::absolute(library, failed).string();
  if (!run_out.empty()) run_out = fs::absolute(run_out, failed).string();
  const fs::path work = dir.empty() ? fs::temp_directory_path() / "pyx-bench" : fs::path(dir);
  fs::create_directories(work, failed);
  fs::current_path(work, failed);
  if (failed) {
    std::fprintf(stderr, "pyx-bench: cannot work in %s\n", work.string().c_str());
    return 1;
  }

  if (!idle.empty()) return RunIdleFor(idle, idle_seconds, library);
  const Figures figures = Measure(library, quick);
  if (!run_out.empty()) {
    std::ofstream out(run_out, std::ios::binary | std::ios::trunc);
    out << "build\t" << bench::BuildName() << "\n";
    for (const auto& [key, value] : figures) out << key << "\t" << JsonNumber(value) << "\n";
    if (!out) {
      std::fprintf(stderr, "pyx-bench: cannot write %s\n", run_out.c_str());
      return 1;
    }
    return 0;
  }
  // --quick alone: a short run, shown at once; it passes when it ran.
  Report("", build, {{bench::BuildName(), figures}});
  const auto threads = figures.find("threads_per_object");
  const bool one_thread = threads != figures.end() && std::fabs(threads->second - 1) < 0.01;
  const bool read = figures.at("ini_read_us") >= 0;
  const int passed = (one_thread ? 1 : 0) + (read ? 1 : 0);
  std::printf("%d passed, %d failed\n", passed, 2 - passed);
  return passed == 2 ? 0 : 1;
}
