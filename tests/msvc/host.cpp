// A C++ host as Visual C++ builds one: <windows.h> first, as a precompiled
// header puts it, then pyxremote.h; interfaces named with __uuidof, the
// module held in a smart pointer of its own, references counted with
// Interlocked*. No C++ standard library: the C runtime and the system only.
// Prints what examples/host.c prints, so one check reads both.
//
//   host-cpp PYXRemote.dll              Stop and Release after 1.2 s
//   host-cpp PYXRemote.dll --power-off  the sink stops the module and lets
//                                       go of it from OnKey
// clang-format off: <windows.h> first, as the precompiled header has it.
#include <windows.h>
// clang-format on

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pyxremote.h"

namespace {

volatile LONG g_live = 0;  // host objects not yet deleted

// Holds one reference; Attach takes one that is already the holder's.
template <typename T>
class Ref {
 public:
  Ref() = default;
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  void Attach(T* object) {
    Reset();
    object_ = object;
  }
  T* Detach() {
    T* object = object_;
    object_ = nullptr;
    return object;
  }
  // Clears the pointer first, then releases: the Release may call back.
  void Reset() {
    if (T* object = Detach()) object->Release();
  }
  T* Get() const { return object_; }
  T* operator->() const { return object_; }

 private:
  T* object_ = nullptr;
};

template <typename Interface>
class Object : public Interface {
 public:
  ULONG PYX_CALL AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG PYX_CALL Release() override {
    const LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }
  HRESULT PYX_CALL QueryInterface(REFIID iid, void** out) override {
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, __uuidof(Interface))) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<Interface*>(this);
    AddRef();
    return S_OK;
  }

 protected:
  Object() { InterlockedIncrement(&g_live); }
  virtual ~Object() { InterlockedDecrement(&g_live); }

 private:
  volatile LONG refs_ = 1;
};

// The card: the device, and its own IRegisterAccess. Code 30, Power, down.
class Card final : public Object<IRegisterAccess> {
 public:
  HRESULT PYX_CALL Placeholder() override { return S_OK; }
  HRESULT PYX_CALL ReadRegister(uint32_t offset, uint32_t* value) override {
    *value = offset == 0x200 ? 30u << 8 : 0;
    return S_OK;
  }
  HRESULT PYX_CALL WriteRegister(uint32_t, uint32_t) override { return S_OK; }
};

class Sink final : public Object<IKeySink> {
 public:
  explicit Sink(IRemoteModule* power_off) : power_off_(power_off) {}
  bool Took() const { return InterlockedCompareExchange(&took_, 0, 0) != 0; }
  HRESULT PYX_CALL OnKey(const char* name, const char* command) override {
    printf("key %s, command \"%s\"\n", name, command);
    if (power_off_ != nullptr && strcmp(name, "Key_Power") == 0) {
      IRemoteModule* module = power_off_;
      power_off_ = nullptr;
      InterlockedExchange(&took_, 1);
      module->Stop();
      module->Release();
      printf("the sink stopped the module and let go of it\n");
    }
    return S_OK;
  }

 private:
  IRemoteModule* power_off_;
  mutable volatile LONG took_ = 0;
};

}  // namespace

// Built here without Visual C++'s own runtime library, which would bring
// these; a host built with Visual C++ has them.
void* operator new(size_t size) { return malloc(size); }
void operator delete(void* memory) noexcept { free(memory); }
void operator delete(void* memory, size_t) noexcept { free(memory); }

int main(int argc, char** argv) {
  const bool power_off = argc == 3 && strcmp(argv[2], "--power-off") == 0;
  if (argc != 2 && !power_off) {
    printf("usage: host-cpp PATH/TO/PYXRemote.dll [--power-off]\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  HMODULE library = LoadLibraryA(argv[1]);
  PFN_GetInterfacePtr create = library != nullptr ? PYX_GET_FACTORY(library) : nullptr;
  if (create == nullptr) {
    printf("cannot load %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  Ref<IRemoteModule> module;
  module.Attach(create());
  if (module.Get() == nullptr) return 1;
  // __uuidof names the same interface as the header's IID.
  Ref<IRemoteModule> again;
  if (FAILED(module->QueryInterface(__uuidof(IRemoteModule), reinterpret_cast<void**>(&again))) ||
      again.Get() != module.Get() || !IsEqualIID(__uuidof(IRemoteModule), IID_IRemoteModule) ||
      !IsEqualIID(__uuidof(IRegisterAccess), IID_IRegisterAccess) ||
      !IsEqualIID(__uuidof(IKeySink), IID_IKeySink)) {
    printf("__uuidof does not name the header's interfaces\n");
    return 1;
  }
  again.Reset();

  IRemoteModule* const started_module = module.Get();
  Ref<Card> card;
  card.Attach(new Card);
  Ref<Sink> sink;
  // With --power-off the sink owns the host's reference to the module.
  sink.Attach(new Sink(power_off ? module.Detach() : nullptr));
  const HRESULT started = started_module->Start(sink.Get(), card.Get());
  // A first OnKey quick enough to let go of the module before Start is done
  // makes Start answer E_UNEXPECTED: the module is on its way out.
  if (started != S_OK && !(power_off && sink->Took())) {
    printf("Start failed: 0x%08lx\n", static_cast<unsigned long>(started));
    // Gives back what a Start without a thread kept; the reference the sink
    // never took is ours to give back, `module` gives back its own.
    started_module->Stop();
    if (power_off) started_module->Release();
    return 1;
  }
  // The module holds its own references to the card and the sink.
  card.Reset();
  sink.Reset();
  if (!power_off) {
    Sleep(1200);  // reported at once, then after KeyFirstDelay
    module->Stop();
    module.Reset();
  }
  for (int waited_ms = 0; InterlockedCompareExchange(&g_live, 0, 0) != 0 && waited_ms < 10000;
       waited_ms += 10) {
    Sleep(10);
  }
  const LONG left = InterlockedCompareExchange(&g_live, 0, 0);
  if (left == 0) {
    printf("all host objects freed\n");
  } else {
    printf("host objects left: %ld\n", left);
  }
  FreeLibrary(library);
  return left == 0 ? 0 : 1;
}
