/* A host in C: loads PYXRemote, hands it a card and a key sink, lets it run
 * for a moment, and lets go. The card here shows the Power key held down.
 * How to build and run it: the host developer's guide, "Building a host".
 */
#include <stdio.h>
#include <string.h>

/* Before any Windows header, so that the system's IUnknown takes a const
 * table, as the device below has. */
#include "pyxremote.h"

#ifdef _WIN32
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
#include <dlfcn.h>
#include <time.h>
static void SleepMs(unsigned ms) {
  struct timespec t;
  t.tv_sec = ms / 1000;
  t.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&t, NULL);
}
#endif

static int SameIid(REFIID a, const IID* b) { return memcmp(a, b, sizeof(IID)) == 0; }

/* The objects below are static and live as long as the program, so their
 * reference counts need not free anything. */

/* The card's registers: the data register (0x200) shows key code 30 down. */
static HRESULT PYX_CALL RegQueryInterface(IRegisterAccess* self, REFIID iid, void** out) {
  (void)self;
  (void)iid;
  *out = NULL;
  return E_NOINTERFACE;
}
static ULONG PYX_CALL RegAddRef(IRegisterAccess* self) {
  (void)self;
  return 2;
}
static ULONG PYX_CALL RegRelease(IRegisterAccess* self) {
  (void)self;
  return 1;
}
static HRESULT PYX_CALL RegOwn(IRegisterAccess* self) {
  (void)self;
  return S_OK;
}
static HRESULT PYX_CALL RegRead(IRegisterAccess* self, uint32_t offset, uint32_t* value) {
  (void)self;
  *value = offset == 0x200 ? 30u << 8 : 0;
  return S_OK;
}
static HRESULT PYX_CALL RegWrite(IRegisterAccess* self, uint32_t offset, uint32_t value) {
  (void)self;
  (void)offset;
  (void)value;
  return S_OK;
}
static const IRegisterAccessVtbl kRegisterVtbl = {RegQueryInterface, RegAddRef, RegRelease, RegOwn,
                                                  RegRead,           RegWrite};
static IRegisterAccess g_registers = {&kRegisterVtbl};

/* The device: the module asks it for IRegisterAccess. */
static HRESULT PYX_CALL DevQueryInterface(IUnknown* self, REFIID iid, void** out) {
  if (SameIid(iid, &IID_IRegisterAccess)) {
    *out = &g_registers; /* the module will Release it */
    return S_OK;
  }
  if (SameIid(iid, &IID_IUnknown)) {
    *out = self;
    return S_OK;
  }
  *out = NULL;
  return E_NOINTERFACE;
}
static ULONG PYX_CALL DevAddRef(IUnknown* self) {
  (void)self;
  return 2;
}
static ULONG PYX_CALL DevRelease(IUnknown* self) {
  (void)self;
  return 1;
}
static const IUnknownVtbl kDeviceVtbl = {DevQueryInterface, DevAddRef, DevRelease};
static IUnknown g_device = {&kDeviceVtbl};

/* The key sink: called on the module's thread, not this one. */
static HRESULT PYX_CALL SinkQueryInterface(IKeySink* self, REFIID iid, void** out) {
  (void)self;
  (void)iid;
  *out = NULL;
  return E_NOINTERFACE;
}
static ULONG PYX_CALL SinkAddRef(IKeySink* self) {
  (void)self;
  return 2;
}
static ULONG PYX_CALL SinkRelease(IKeySink* self) {
  (void)self;
  return 1;
}
static HRESULT PYX_CALL SinkOnKey(IKeySink* self, const char* name, const char* command) {
  (void)self;
  printf("key %s, command \"%s\"\n", name, command);
  return S_OK;
}
static const IKeySinkVtbl kSinkVtbl = {SinkQueryInterface, SinkAddRef, SinkRelease, SinkOnKey};
static IKeySink g_sink = {&kSinkVtbl};

int main(int argc, char** argv) {
  PFN_GetInterfacePtr create;
  IRemoteModule* module;
  if (argc != 2) {
    printf("usage: host PATH/TO/PYXRemote.dll\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IONBF, 0);
#ifdef _WIN32
  HMODULE library = LoadLibraryA(argv[1]);
  if (library == NULL) return 1;
  create = PYX_GET_FACTORY(library);
#else
  void* library = dlopen(argv[1], RTLD_NOW);
  if (library == NULL) return 1;
  /* dlsym returns an object pointer, which ISO C does not convert to a
   * function pointer; copying its bytes is the POSIX way. */
  void* symbol = dlsym(library, "GetInterfacePtr");
  memcpy(&create, &symbol, sizeof create);
#endif
  if (create == NULL || (module = create()) == NULL) return 1;

  if (module->lpVtbl->Start(module, &g_sink, &g_device) != S_OK) return 1;
  SleepMs(1200); /* reported at once, then after KeyFirstDelay */
  module->lpVtbl->Stop(module);
  module->lpVtbl->Release(module);
#ifdef _WIN32
  FreeLibrary(library);
#else
  dlclose(library);
#endif
  return 0;
}
