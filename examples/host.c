/* A host in C: loads PYXRemote, hands it a card and a key sink, lets it run
 * for a moment, and lets go. The card here shows the Power key held down.
 *
 * Its objects count their references for real and free themselves at 0, as
 * a host's must, so they can be copied as they are: the counts are atomic,
 * because the module's worker thread takes and gives back references too.
 * How to build and run it: the host developer's guide, "Building a host".
 *
 *   host PYXRemote.dll              Stop and Release after 1.2 s
 *   host PYXRemote.dll --power-off  the sink stops the module and lets go of
 *                                   it from OnKey, as a Power key that
 *                                   closes the application would
 */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Before or after <windows.h>, as you like. */
#include "pyxremote.h"

#ifdef _WIN32
static void SleepMs(unsigned ms) { Sleep(ms); }
typedef LONG Count;
#define CountUp(count) ((ULONG)InterlockedIncrement(count))
#define CountDown(count) ((ULONG)InterlockedDecrement(count))
#define CountRead(count) ((ULONG)InterlockedCompareExchange((count), 0, 0))
#else
#include <dlfcn.h>
#include <time.h>
static void SleepMs(unsigned ms) {
  struct timespec t;
  t.tv_sec = ms / 1000;
  t.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&t, NULL);
}
typedef int32_t Count;
#define CountUp(count) ((ULONG)__atomic_add_fetch((count), 1, __ATOMIC_SEQ_CST))
#define CountDown(count) ((ULONG)__atomic_sub_fetch((count), 1, __ATOMIC_SEQ_CST))
#define CountRead(count) ((ULONG)__atomic_load_n((count), __ATOMIC_SEQ_CST))
#endif

static int SameIid(REFIID a, const IID* b) { return memcmp(a, b, sizeof(IID)) == 0; }

/* Host objects not yet freed. */
static Count g_live;

/* ---- the card: one object that is both the device and its registers ---- */

/* Start is given the card as the device, and the device's QueryInterface
 * hands out the same object as IRegisterAccess, with one count: the
 * module's worker takes a reference through QueryInterface and gives it
 * back through Release. One interface of the header's own, so the card
 * needs nothing of the system's IUnknown table. */
typedef struct Card {
  IRegisterAccess registers;
  Count refs;
} Card;

static HRESULT PYX_CALL RegQueryInterface(IRegisterAccess* self, REFIID iid, void** out) {
  if (!SameIid(iid, &IID_IUnknown) && !SameIid(iid, &IID_IRegisterAccess)) {
    *out = NULL;
    return E_NOINTERFACE;
  }
  *out = self;
  CountUp(&((Card*)self)->refs); /* the caller owns the reference handed out */
  return S_OK;
}
static ULONG PYX_CALL RegAddRef(IRegisterAccess* self) { return CountUp(&((Card*)self)->refs); }
static ULONG PYX_CALL RegRelease(IRegisterAccess* self) {
  ULONG left = CountDown(&((Card*)self)->refs);
  if (left == 0) {
    free(self);
    CountDown(&g_live);
  }
  return left;
}
static HRESULT PYX_CALL RegOwn(IRegisterAccess* self) {
  (void)self;
  return S_OK;
}
/* The data register (0x200) shows key code 30, Power, down. */
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
static const IRegisterAccessVtbl kRegistersVtbl = {RegQueryInterface, RegAddRef, RegRelease, RegOwn,
                                                   RegRead,           RegWrite};

static Card* NewCard(void) {
  Card* card = (Card*)calloc(1, sizeof(Card));
  if (card == NULL) return NULL;
  card->registers.lpVtbl = &kRegistersVtbl;
  card->refs = 1; /* the host's own */
  CountUp(&g_live);
  return card;
}

/* ---- the key sink: called on the module's thread, not this one -------- */

typedef struct Sink {
  IKeySink iface;
  Count refs;
  /* With --power-off: the module, whose reference the sink owns; taken by
   * the first Power report, on the module's thread. */
  IRemoteModule* power_off;
  Count took; /* 1 once the sink has taken the module, before Stop */
} Sink;

static HRESULT PYX_CALL SinkQueryInterface(IKeySink* self, REFIID iid, void** out) {
  if (SameIid(iid, &IID_IUnknown) || SameIid(iid, &IID_IKeySink)) {
    *out = self;
    CountUp(&((Sink*)self)->refs);
    return S_OK;
  }
  *out = NULL;
  return E_NOINTERFACE;
}
static ULONG PYX_CALL SinkAddRef(IKeySink* self) { return CountUp(&((Sink*)self)->refs); }
static ULONG PYX_CALL SinkRelease(IKeySink* self) {
  ULONG left = CountDown(&((Sink*)self)->refs);
  if (left == 0) {
    free(self);
    CountDown(&g_live);
  }
  return left;
}
static HRESULT PYX_CALL SinkOnKey(IKeySink* self, const char* name, const char* command) {
  Sink* sink = (Sink*)self;
  printf("key %s, command \"%s\"\n", name, command);
  if (sink->power_off != NULL && strcmp(name, "Key_Power") == 0) {
    IRemoteModule* module = sink->power_off;
    sink->power_off = NULL;
    CountUp(&sink->took);
    /* From OnKey neither waits for the module's thread, which this is. */
    module->lpVtbl->Stop(module);
    module->lpVtbl->Release(module);
    printf("the sink stopped the module and let go of it\n");
  }
  return S_OK;
}
static const IKeySinkVtbl kSinkVtbl = {SinkQueryInterface, SinkAddRef, SinkRelease, SinkOnKey};

static Sink* NewSink(void) {
  Sink* sink = (Sink*)calloc(1, sizeof(Sink));
  if (sink == NULL) return NULL;
  sink->iface.lpVtbl = &kSinkVtbl;
  sink->refs = 1; /* the host's own */
  CountUp(&g_live);
  return sink;
}

/* ---- the host ----------------------------------------------------------- */

int main(int argc, char** argv) {
  PFN_GetInterfacePtr create;
  IRemoteModule* module;
  Card* card;
  Sink* sink;
  HRESULT started;
  int power_off = argc == 3 && strcmp(argv[2], "--power-off") == 0;
  int waited_ms = 0;
  if (argc != 2 && !power_off) {
    printf("usage: host PATH/TO/PYXRemote.dll [--power-off]\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IONBF, 0);
#ifdef _WIN32
  HMODULE library = LoadLibraryA(argv[1]);
  if (library == NULL) {
    DWORD error = GetLastError();
    printf("cannot load %s: error %lu%s\n", argv[1], (unsigned long)error,
           error == ERROR_BAD_EXE_FORMAT
               ? ": the DLL is of the other bitness (a 32-bit host loads the 32-bit DLL, a "
                 "64-bit host the 64-bit one)"
           : error == ERROR_MOD_NOT_FOUND ? ": no such file"
                                          : "");
    return 1;
  }
  create = PYX_GET_FACTORY(library);
#else
  void* library = dlopen(argv[1], RTLD_NOW);
  if (library == NULL) {
    printf("cannot load %s: %s\n", argv[1], dlerror());
    return 1;
  }
  /* dlsym returns an object pointer, which ISO C does not convert to a
   * function pointer; copying its bytes is the POSIX way. */
  void* symbol = dlsym(library, "GetInterfacePtr");
  memcpy(&create, &symbol, sizeof create);
#endif
  if (create == NULL) {
    printf("%s has no GetInterfacePtr\n", argv[1]);
    return 1;
  }
  module = create();
  card = NewCard();
  sink = NewSink();
  if (module == NULL || card == NULL || sink == NULL) {
    printf("out of memory\n");
    return 1;
  }

  if (power_off) sink->power_off = module; /* the sink owns the host's reference now */
  started = module->lpVtbl->Start(module, &sink->iface, (IUnknown*)&card->registers);
  /* A first OnKey quick enough to let go of the module before Start is done
   * makes Start answer E_UNEXPECTED: the module is on its way out. */
  if (started != S_OK && !(power_off && CountRead(&sink->took) != 0)) {
    printf("Start failed: 0x%08lx\n", (unsigned long)started);
    /* The sink never took the module: its reference is ours to give back,
     * after a Stop that gives back what a Start without a thread kept. */
    module->lpVtbl->Stop(module);
    module->lpVtbl->Release(module);
    return 1;
  }
  /* The module holds its own references to the card and the sink. */
  RegRelease(&card->registers);
  SinkRelease(&sink->iface);
  if (!power_off) {
    SleepMs(1200); /* reported at once, then after KeyFirstDelay */
    module->lpVtbl->Stop(module);
    module->lpVtbl->Release(module);
  }
  /* Each object frees itself as its last reference goes, on whichever
   * thread that is. */
  while (CountRead(&g_live) != 0 && waited_ms < 10000) {
    SleepMs(10);
    waited_ms += 10;
  }
  if (CountRead(&g_live) == 0) {
    printf("all host objects freed\n");
  } else {
    printf("host objects left: %lu\n", (unsigned long)CountRead(&g_live));
  }
#ifdef _WIN32
  FreeLibrary(library);
#else
  dlclose(library);
#endif
  return CountRead(&g_live) == 0 ? 0 : 1;
}
