// Runs a test in a fresh temporary directory, the module's current
// directory for its log and INI file, and restores the settings' defaults.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "card/settings_log.h"

namespace pyx::testing {

// What a "\n" of a log message is stored as.
#ifdef _WIN32
inline constexpr char kEol[] = "\r\n";
#else
inline constexpr char kEol[] = "\n";
#endif

// Whole file contents, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The given delays and option; every other setting at its default.
  void ResetSettings(int32_t first = 1000, int32_t repeat = 500, int32_t poll_during_delay = 0);
  std::string Log() const { return ReadFile("PYXRemote.log"); }

  std::string dir_;

 private:
  std::string previous_dir_;
};

}  // namespace pyx::testing
