// Libraries that look like the module but misbehave, for remote-host's
// failure paths. FAKE_NULL_FACTORY: the factory returns null;
// FAKE_NO_EXPORT: there is no factory; otherwise the object refuses Start.
#include "pyxremote.h"

#if defined(_WIN32)
#define FAKE_EXPORT extern "C"  // exported by fake_module.def
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

struct Refusing final : IRemoteModule {
  HRESULT PYX_CALL QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PYX_CALL AddRef() override { return ++refs; }
  ULONG PYX_CALL Release() override { return --refs; }
  HRESULT PYX_CALL Start(IKeySink*, IUnknown*) override { return E_UNEXPECTED; }
  HRESULT PYX_CALL Stop() override { return S_OK; }
  void PYX_CALL Reserved() override {}
  ULONG refs = 1;
};

Refusing g_refusing;

}  // namespace

#ifdef FAKE_NO_EXPORT
extern "C" int FakeModuleWithoutFactory() { return 0; }
#else
FAKE_EXPORT IRemoteModule* PYX_CALL GetInterfacePtr(void) {
#ifdef FAKE_NULL_FACTORY
  return nullptr;
#else
  g_refusing.refs = 1;
  return &g_refusing;
#endif
}
#endif
