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

}  // namespace
}  // namespace pyx
