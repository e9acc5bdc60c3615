// Our INI reader on real files: what is not a plain, reasonably sized file
// reads as missing, and nothing blocks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "platform/platform.h"
#include "tests/temp_dir.h"

namespace pyx {
namespace {

using testing::WriteFile;

class IniFile : public testing::InTempDir {
 protected:
  int32_t Read(const char* path = "pyx.ini") {
    const platform::IniFile ini(path);
    return platform::IniLookupInt(ini.text(), "PYXRemote", "KeyFirstDelay", 77);
  }
};

TEST_F(IniFile, ReadsTheKeyFromTheFile) {
  WriteFile("pyx.ini", "[PYXRemote]\r\nKeyFirstDelay=640\r\n");
  EXPECT_EQ(Read(), 640);
  EXPECT_STREQ(platform::kIniPath, "pyx.ini");
}

// Each file that is not there to be read gives the default, says why, and
// returns at once (a FIFO needs no writer, /dev/zero does not end).
TEST_F(IniFile, MissingUnreadableOrOddFilesGiveTheDefaultAndSayWhy) {
  using Access = platform::IniFile::Access;
  std::filesystem::create_directory("folder.ini");
  ASSERT_EQ(mkfifo("fifo.ini", 0600), 0);
  std::filesystem::create_symlink("loop.ini", "loop.ini");
  std::filesystem::create_symlink("gone", "dangling.ini");
  std::string big = "[PYXRemote]\nKeyFirstDelay=5\n";
  WriteFile("small.ini", big + std::string((1 << 20) - big.size(), '\n'));
  WriteFile("big.ini", big + std::string(1 << 20, '\n'));
  const struct {
    const char* path;
    Access access;
    int error;
    int32_t read;
  } rows[] = {
      {"none.ini", Access::kMissing, 0, 77},
      {"dangling.ini", Access::kMissing, 0, 77},
      {"no/such/dir.ini", Access::kMissing, 0, 77},
      {"folder.ini", Access::kFolder, 0, 77},
      {"fifo.ini", Access::kUnreadable, EINVAL, 77},
      {"/dev/zero", Access::kUnreadable, EINVAL, 77},
      {"loop.ini", Access::kUnreadable, ELOOP, 77},
      {"big.ini", Access::kUnreadable, EFBIG, 77},
      {"small.ini", Access::kRead, 0, 5},
  };
  for (const auto& row : rows) {
    const platform::IniFile ini(row.path);
    EXPECT_EQ(ini.access(), row.access) << row.path;
    EXPECT_EQ(ini.error(), row.error) << row.path;
    EXPECT_EQ(Read(row.path), row.read) << row.path;
  }
}

}  // namespace
}  // namespace pyx
