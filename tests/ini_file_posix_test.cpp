// Our INI reader on real files: what is not a plain, reasonably sized file
// reads as missing, and nothing blocks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/platform.h"
#include "tests/temp_dir.h"

namespace pyx {
namespace {

using testing::WriteFile;

class IniFile : public testing::InTempDir {
 protected:
  int32_t Read(const char* path = "pyx.ini") {
    return platform::IniFile(path).Int("PYXRemote", "KeyFirstDelay", 77);
  }
};

TEST_F(IniFile, ReadsTheKeyFromTheFile) {
  WriteFile("pyx.ini", "[PYXRemote]\r\nKeyFirstDelay=640\r\n");
  EXPECT_EQ(Read(), 640);
  EXPECT_STREQ(platform::kIniPath, "pyx.ini");
}

TEST_F(IniFile, MissingUnreadableOrOddFilesGiveTheDefault) {
  EXPECT_EQ(Read(), 77);
  std::filesystem::create_directory("pyx.ini");
  EXPECT_EQ(Read(), 77);
  ASSERT_EQ(mkfifo("fifo.ini", 0600), 0);
  EXPECT_EQ(Read("fifo.ini"), 77);   // and returns at once: no writer needed
  EXPECT_EQ(Read("/dev/zero"), 77);  // endless
}

TEST_F(IniFile, AFileOverTheBoundIsNotRead) {
  std::string big = "[PYXRemote]\nKeyFirstDelay=5\n";
  WriteFile("small.ini", big + std::string((1 << 20) - big.size(), '\n'));
  EXPECT_EQ(Read("small.ini"), 5);
  WriteFile("big.ini", big + std::string(1 << 20, '\n'));
  EXPECT_EQ(Read("big.ini"), 77);
}

}  // namespace
}  // namespace pyx
