// A host in C++: loads PYXRemote, hands it a card and a key sink, lets it
// run for a moment, and lets go. The card here shows the Power key held down.
// How to build and run it: the host developer's guide, "Building a host".
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "pyxremote.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

bool SameIid(REFIID a, REFIID b) { return std::memcmp(&a, &b, sizeof(IID)) == 0; }

// The objects below live as long as the program, so their reference counts
// need not free anything.

// The card's registers: the data register (0x200) shows key code 30 down.
class Registers final : public IRegisterAccess {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PYX_CALL AddRef() override { return 2; }
  ULONG PYX_CALL Release() override { return 1; }
  HRESULT PYX_CALL Placeholder() override { return S_OK; }
  HRESULT PYX_CALL ReadRegister(uint32_t offset, uint32_t* value) override {
    *value = offset == 0x200 ? 30u << 8 : 0;
    return S_OK;
  }
  HRESULT PYX_CALL WriteRegister(uint32_t, uint32_t) override { return S_OK; }
};

// The device: the module asks it for IRegisterAccess.
class Device final : public IUnknown {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID iid, void** out) override {
    if (SameIid(iid, IID_IRegisterAccess)) {
      *out = static_cast<IRegisterAccess*>(&registers_);  // the module will Release it
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PYX_CALL AddRef() override { return 2; }
  ULONG PYX_CALL Release() override { return 1; }

 private:
  Registers registers_;
};

// The key sink: called on the module's thread, not this one.
class Sink final : public IKeySink {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG PYX_CALL AddRef() override { return 2; }
  ULONG PYX_CALL Release() override { return 1; }
  HRESULT PYX_CALL OnKey(const char* name, const char* command) override {
    std::printf("key %s, command \"%s\"\n", name, command);
    return S_OK;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::printf("usage: host PATH/TO/PYXRemote.dll\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#ifdef _WIN32
  HMODULE library = LoadLibraryA(argv[1]);
  if (library == nullptr) return 1;
  PFN_GetInterfacePtr create = PYX_GET_FACTORY(library);
#else
  void* library = dlopen(argv[1], RTLD_NOW);
  if (library == nullptr) return 1;
  auto create = reinterpret_cast<PFN_GetInterfacePtr>(dlsym(library, "GetInterfacePtr"));
#endif
  IRemoteModule* module = create != nullptr ? create() : nullptr;
  if (module == nullptr) return 1;

  Device device;
  Sink sink;
  if (module->Start(&sink, &device) != S_OK) return 1;
  std::this_thread::sleep_for(
      std::chrono::milliseconds(1200));  // at once, then after KeyFirstDelay
  module->Stop();
  module->Release();
#ifdef _WIN32
  FreeLibrary(library);
#else
  dlclose(library);
#endif
  return 0;
}
