// A host in C++: loads PYXRemote, hands it a card and a key sink, lets it
// run for a moment, and lets go. The card here shows the Power key held down.
//
// Its objects count their references for real and delete themselves at 0,
// as a host's must, so they can be copied as they are: the counts are
// atomic, because the module's worker thread takes and gives back
// references too. How to build and run it: the host developer's guide,
// "Building a host".
//
//   host-cpp PYXRemote.dll              Stop and Release after 1.2 s
//   host-cpp PYXRemote.dll --power-off  the sink stops the module and lets
//                                       go of it from OnKey, as a Power key
//                                       that closes the application would
#include <atomic>
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

// Host objects not yet deleted.
std::atomic<int> g_live{0};

// An object of the host's that counts its references and deletes itself at
// 0. The count starts at 1: the creator's own.
template <typename Interface>
class Object : public Interface {
 public:
  ULONG PYX_CALL AddRef() override { return ++refs_; }
  ULONG PYX_CALL Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  Object() { ++g_live; }
  virtual ~Object() { --g_live; }

 private:
  std::atomic<ULONG> refs_{1};
};

// The card: one object that is both the device (what Start is given) and
// IRegisterAccess (what the device hands out), with one count. The data
// register (0x200) shows key code 30, Power, down.
class Card final : public Object<IRegisterAccess> {
 public:
  HRESULT PYX_CALL QueryInterface(REFIID iid, void** out) override {
    if (SameIid(iid, IID_IUnknown) || SameIid(iid, IID_IRegisterAccess)) {
      *out = static_cast<IRegisterAccess*>(this);
      AddRef();  // the caller owns the reference handed out
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT PYX_CALL Placeholder() override { return S_OK; }
  HRESULT PYX_CALL ReadRegister(uint32_t offset, uint32_t* value) override {
    *value = offset == 0x200 ? 30u << 8 : 0;
    return S_OK;
  }
  HRESULT PYX_CALL WriteRegister(uint32_t, uint32_t) override { return S_OK; }
};

// The key sink: called on the module's thread, not this one.
class Sink final : public Object<IKeySink> {
 public:
  // With `power_off`, the sink owns that reference to the module and lets
  // go of it at the first Power report.
  explicit Sink(IRemoteModule* power_off) : power_off_(power_off) {}

  HRESULT PYX_CALL QueryInterface(REFIID iid, void** out) override {
    if (SameIid(iid, IID_IUnknown) || SameIid(iid, IID_IKeySink)) {
      *out = static_cast<IKeySink*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  bool took() const { return took_; }
  HRESULT PYX_CALL OnKey(const char* name, const char* command) override {
    std::printf("key %s, command \"%s\"\n", name, command);
    if (power_off_ != nullptr && std::strcmp(name, "Key_Power") == 0) {
      IRemoteModule* module = power_off_;
      power_off_ = nullptr;
      took_ = true;
      // From OnKey neither waits for the module's thread, which this is.
      module->Stop();
      module->Release();
      std::printf("the sink stopped the module and let go of it\n");
    }
    return S_OK;
  }

 private:
  IRemoteModule* power_off_;       // the module's thread only, once started
  std::atomic<bool> took_{false};  // the sink has taken the module, before Stop
};

}  // namespace

int main(int argc, char** argv) {
  const bool power_off = argc == 3 && std::strcmp(argv[2], "--power-off") == 0;
  if (argc != 2 && !power_off) {
    std::printf("usage: host-cpp PATH/TO/PYXRemote.dll [--power-off]\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IONBF, 0);
#ifdef _WIN32
  HMODULE library = LoadLibraryA(argv[1]);
  if (library == nullptr) {
    const DWORD error = GetLastError();
    std::printf("cannot load %s: error %lu%s\n", argv[1], static_cast<unsigned long>(error),
                error == ERROR_BAD_EXE_FORMAT
                    ? ": the DLL is of the other bitness (a 32-bit host loads the 32-bit DLL, "
                      "a 64-bit host the 64-bit one)"
                : error == ERROR_MOD_NOT_FOUND ? ": no such file"
                                               : "");
    return 1;
  }
  PFN_GetInterfacePtr create = PYX_GET_FACTORY(library);
#else
  void* library = dlopen(argv[1], RTLD_NOW);
  if (library == nullptr) {
    std::printf("cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
  auto create = reinterpret_cast<PFN_GetInterfacePtr>(dlsym(library, "GetInterfacePtr"));
#endif
  if (create == nullptr) {
    std::printf("%s has no GetInterfacePtr\n", argv[1]);
    return 1;
  }
  IRemoteModule* module = create();
  if (module == nullptr) {
    std::printf("out of memory\n");
    return 1;
  }

  // With --power-off the sink owns the host's reference to the module.
  auto* card = new Card;
  auto* sink = new Sink(power_off ? module : nullptr);
  const HRESULT started = module->Start(sink, card);
  // A first OnKey quick enough to let go of the module before Start is done
  // makes Start answer E_UNEXPECTED: the module is on its way out.
  if (started != S_OK && !(power_off && sink->took())) {
    std::printf("Start failed: 0x%08lx\n", static_cast<unsigned long>(started));
    // The sink never took the module: its reference is ours to give back,
    // after a Stop that gives back what a Start without a thread kept.
    module->Stop();
    module->Release();
    return 1;
  }
  // The module holds its own references to the card and the sink.
  card->Release();
  sink->Release();
  if (!power_off) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // at once, then after 1000 ms
    module->Stop();
    module->Release();
  }
  // Each object deletes itself as its last reference goes, on whichever
  // thread that is.
  for (int waited_ms = 0; g_live != 0 && waited_ms < 10000; waited_ms += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (g_live == 0) {
    std::printf("all host objects freed\n");
  } else {
    std::printf("host objects left: %d\n", g_live.load());
  }
#ifdef _WIN32
  FreeLibrary(library);
#else
  dlclose(library);
#endif
  return g_live == 0 ? 0 : 1;
}
