#include "tests/temp_dir.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace pyx::testing {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

void InTempDir::SetUp() {
  previous_dir_ = fs::current_path().string();
  static int serial = 0;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path dir = fs::temp_directory_path() /
                 ("pyxremote-test-" + std::to_string(stamp) + "-" + std::to_string(++serial));
  fs::create_directories(dir);
  dir_ = dir.string();
  fs::current_path(dir);
  ResetSettings();
}

void InTempDir::TearDown() {
  fs::current_path(previous_dir_);
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
  ResetSettings();
}

void InTempDir::ResetSettings(int32_t first, int32_t repeat, int32_t poll_during_delay) {
  Settings settings = kDefaultSettings;
  settings.first_delay = first;
  settings.repeat_delay = repeat;
  settings.poll_during_delay = poll_during_delay;
  ProcessSettings().Publish(MakeSettings(settings));
}

}  // namespace pyx::testing
