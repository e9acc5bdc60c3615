// The C and C++ views of the host header agree: a C host can drive the
// module, and host objects written in C serve the module's calls.
#include <gtest/gtest.h>

#include "card/card_remote.h"
#include "tests/fakes.h"
#include "tests/temp_dir.h"

extern "C" {
int CViewCallEverySlot(IRemoteModule* module, IKeySink* sink, IUnknown* device);
IKeySink* CViewSink(void);
int CViewSinkRefs(void);
const char* CViewSinkLastName(void);
const char* CViewSinkLastCommand(void);
IRegisterAccess* CViewRegisters(void);
uint32_t CViewRegistersLastOffset(void);
uint32_t CViewRegistersLastValue(void);
}

namespace pyx {
namespace {

class CView : public testing::InTempDir {};

TEST_F(CView, ACHostReachesEveryOperationInItsSlot) {
  testing::FakeDevice device;
  testing::FakeSink sink;
  IRemoteModule* module = GetInterfacePtr();
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(CViewCallEverySlot(module, &sink, &device), 0);
  EXPECT_EQ(device.refs(), 1u);  // started and stopped again
  EXPECT_EQ(sink.refs(), 1u);
  EXPECT_EQ(module->Release(), 0u);
}

TEST_F(CView, HostObjectsWrittenInCServeTheModulesCalls) {
  IKeySink* sink = CViewSink();
  EXPECT_EQ(sink->AddRef(), 2u);
  EXPECT_EQ(sink->Release(), 1u);
  EXPECT_EQ(sink->OnKey("Key_Power", "Power"), S_OK);
  EXPECT_STREQ(CViewSinkLastName(), "Key_Power");
  EXPECT_STREQ(CViewSinkLastCommand(), "Power");
  EXPECT_EQ(CViewSinkRefs(), 1);

  IRegisterAccess* registers = CViewRegisters();
  uint32_t value = 0;
  EXPECT_EQ(registers->ReadRegister(0x200, &value), S_OK);
  EXPECT_EQ(value, 0x201u);
  EXPECT_EQ(registers->WriteRegister(0x118, 0x8000), S_OK);
  EXPECT_EQ(CViewRegistersLastOffset(), 0x118u);
  EXPECT_EQ(CViewRegistersLastValue(), 0x8000u);
  EXPECT_EQ(registers->Placeholder(), E_UNEXPECTED);
}

}  // namespace
}  // namespace pyx
