// What only the Windows build has: __uuidof on the header's interfaces, as a
// host built with mingw-w64 (or Visual C++) names them, the smart pointers
// the host guide shows, and the DLL's reference to itself, which each worker
// thread holds.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h, which pyxremote.h includes first.
#include <comdef.h>
#include <wrl/client.h>

#include "frame/host_interfaces.h"
#include "tests/fakes.h"
#include "tests/temp_dir.h"

namespace pyx {
namespace {

TEST(Uuidof, NamesEachInterfaceByItsIid) {
  EXPECT_TRUE(SameGuid(__uuidof(IRemoteModule), IID_IRemoteModule));
  EXPECT_TRUE(SameGuid(__uuidof(IRegisterAccess), IID_IRegisterAccess));
  EXPECT_TRUE(SameGuid(__uuidof(IKeySink), IID_IKeySink));
  IKeySink* sink = nullptr;
  EXPECT_TRUE(SameGuid(__uuidof(sink), IID_IKeySink));
}

class ModuleDll : public testing::InTempDir {};

_COM_SMARTPTR_TYPEDEF(IRemoteModule, __uuidof(IRemoteModule));

// The host guide's lines, each of which must leave the new object with the
// one reference the pointer gives back.
TEST_F(ModuleDll, SmartPointersTakeTheNewObjectsReferenceAsTheHostGuideSays) {
  HMODULE dll = LoadLibraryA(PYX_INJECTABLE_DLL);
  ASSERT_NE(dll, nullptr);
  const PFN_GetInterfacePtr create = PYX_GET_FACTORY(dll);
  ASSERT_TRUE(create != nullptr);
  const auto refs = [](IRemoteModule* module) {
    module->AddRef();
    return module->Release();
  };
  {
    IRemoteModulePtr module(create(), false);
    EXPECT_EQ(refs(module), 1u);
  }
  {
    IRemoteModulePtr module;
    module.Attach(create());
    EXPECT_EQ(refs(module), 1u);
  }
  {
    Microsoft::WRL::ComPtr<IRemoteModule> module;
    *module.ReleaseAndGetAddressOf() = create();
    EXPECT_EQ(refs(module.Get()), 1u);
  }
  {
    // mingw-w64's Attach adds a reference, which the guide warns of.
    Microsoft::WRL::ComPtr<IRemoteModule> module;
    module.Attach(create());
    EXPECT_EQ(refs(module.Get()), 2u);
    module->Release();
  }
  ASSERT_TRUE(FreeLibrary(dll));
}

// The module built as a DLL of its own, with a switch that makes the worker
// thread's creation fail: a Start that took the DLL's reference for a thread
// it then could not create gives it back, so the DLL unloads.
TEST_F(ModuleDll, UnloadsAfterAStartWhoseThreadCouldNotBeCreated) {
  HMODULE dll = LoadLibraryA(PYX_INJECTABLE_DLL);
  ASSERT_NE(dll, nullptr);
  const PFN_GetInterfacePtr create = PYX_GET_FACTORY(dll);
  const auto fail_threads = reinterpret_cast<void (*)(int)>(
      reinterpret_cast<void (*)(void)>(GetProcAddress(dll, "FailThreadCreation")));
  ASSERT_TRUE(create != nullptr && fail_threads != nullptr);
  IRemoteModule* module = create();
  testing::FakeSink sink;
  testing::FakeDevice device;
  fail_threads(1);
  EXPECT_EQ(module->Start(&sink, &device), E_UNEXPECTED);
  fail_threads(0);
  EXPECT_EQ(module->Release(), 0u);
  EXPECT_EQ(device.refs(), 1u);
  ASSERT_TRUE(FreeLibrary(dll));
  EXPECT_EQ(GetModuleHandleA(PYX_INJECTABLE_DLL), nullptr);
}

}  // namespace
}  // namespace pyx
