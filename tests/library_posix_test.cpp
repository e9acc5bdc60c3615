// The built library as a host on Linux loads it: by path, one export, and
// the same tables of operations.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "pyxremote.h"
#include "tests/fakes.h"
#include "tests/temp_dir.h"

namespace pyx {
namespace {

class Library : public testing::InTempDir {};

TEST_F(Library, LoadsByPathAndRunsThroughItsExport) {
  testing::WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=30\n");
  void* library = dlopen(PYX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto factory = reinterpret_cast<PFN_GetInterfacePtr>(dlsym(library, "GetInterfacePtr"));
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(dlsym(library, "LogMessage"), nullptr);
  EXPECT_EQ(dlsym(library, "_ZN3pyx12CardKeyTableE"), nullptr);

  testing::FakeSink sink;
  testing::FakeDevice device;
  device.registers.data = 31u << 8;
  IRemoteModule* first = factory();
  IRemoteModule* second = factory();
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first, second);
  ASSERT_EQ(first->Start(&sink, &device), S_OK);
  ASSERT_TRUE(sink.WaitForReports(1));
  EXPECT_EQ(first->Release(), 0u);
  EXPECT_EQ(second->Release(), 0u);
  EXPECT_EQ(sink.reports()[0].name, "Key_ChannelUp");
  EXPECT_EQ(sink.reports()[0].command, "ChannelUp");
  EXPECT_EQ(device.refs(), 1u);
  EXPECT_EQ(dlclose(library), 0);
  EXPECT_NE(Log().find("> KeyFirstDelay=30, KeyRepeatDelay=500"), std::string::npos);
}

// The wait that ships, through the export: a worker asleep in a 5600 ms
// delay holds Stop for 5000 ms, not longer.
TEST_F(Library, StopWaitsFiveSecondsForALateWorker) {
  testing::WriteFile("pyx.ini", "[PYXRemote]\nKeyFirstDelay=5600\n");
  void* library = dlopen(PYX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto factory = reinterpret_cast<PFN_GetInterfacePtr>(dlsym(library, "GetInterfacePtr"));
  testing::FakeSink sink;
  testing::FakeDevice device;
  device.registers.data = 30u << 8;
  IRemoteModule* module = factory();
  ASSERT_EQ(module->Start(&sink, &device), S_OK);
  ASSERT_TRUE(sink.WaitForReports(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // into the delay's sleep
  const auto began = testing::Clock::now();
  module->Stop();
  const auto waited = testing::Clock::now() - began;
  EXPECT_GE(waited, std::chrono::milliseconds(4950));
  EXPECT_LT(waited, std::chrono::milliseconds(5400));
  module->Release();
  EXPECT_TRUE(testing::WaitUntil([&] { return device.registers.refs() == 1; }));
  EXPECT_EQ(dlclose(library), 0);
}

}  // namespace
}  // namespace pyx
