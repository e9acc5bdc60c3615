/* A host written in plain C, as a TV application in C would load the module:
 * LoadLibraryA, the export by its decorated name, and a device, registers
 * and sink of its own, all through include/pyxremote.h. It checks what the
 * module promises a host and ends with "N passed, N failed".
 *
 * Usage: dll_host PATH\TO\PYXRemote.dll
 */
/* Our tables are const, as the header's own C view has them. */
#define CONST_VTABLE
#include <stdio.h>
#include <string.h>

#include "pyxremote.h"

static int g_passed, g_failed;

#define CHECK(cond, ...)                               \
  do {                                                 \
    if (cond) {                                        \
      ++g_passed;                                      \
    } else {                                           \
      ++g_failed;                                      \
      printf("FAILED line %d: %s: ", __LINE__, #cond); \
      printf(__VA_ARGS__);                             \
      printf("\n");                                    \
    }                                                  \
  } while (0)

static CRITICAL_SECTION g_lock;
static LARGE_INTEGER g_frequency, g_origin;

static double NowMs(void) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return (double)(now.QuadPart - g_origin.QuadPart) * 1000.0 / (double)g_frequency.QuadPart;
}

static int SameIid(REFIID a, const IID* b) { return memcmp(a, b, sizeof(IID)) == 0; }

/* ---- registers: the card's pins ---------------------------------------- */

#define MAX_ACCESSES 4096
typedef struct Access {
  char op;
  uint32_t offset, value;
} Access;

typedef struct Registers {
  IRegisterAccess iface;
  LONG refs;
  volatile LONG data;
  volatile LONG begun; /* accesses begun */
  LONG block_at;       /* the access, counted from 1, that blocks for 6 s */
  uint32_t enable;
  int wrong_self;
  int count;
  Access log[MAX_ACCESSES];
} Registers;

static Registers g_regs;

static void Record(char op, uint32_t offset, uint32_t value) {
  EnterCriticalSection(&g_lock);
  if (g_regs.count < MAX_ACCESSES) {
    Access a = {op, offset, value};
    g_regs.log[g_regs.count++] = a;
  }
  LeaveCriticalSection(&g_lock);
}

static HRESULT PYX_CALL RegQueryInterface(IRegisterAccess* self, REFIID iid, void** out) {
  (void)self;
  (void)iid;
  *out = NULL;
  return E_NOINTERFACE;
}
static ULONG PYX_CALL RegAddRef(IRegisterAccess* self) {
  return (ULONG)InterlockedIncrement(&((Registers*)self)->refs);
}
static ULONG PYX_CALL RegRelease(IRegisterAccess* self) {
  return (ULONG)InterlockedDecrement(&((Registers*)self)->refs);
}
static HRESULT PYX_CALL RegPlaceholder(IRegisterAccess* self) {
  (void)self;
  ++g_failed;
  printf("FAILED: slot 3 of IRegisterAccess was called\n");
  return E_UNEXPECTED;
}
/* Counts an access as it begins; the one at block_at outlasts Stop's wait. */
static void BeginAccess(void) {
  if (InterlockedIncrement(&g_regs.begun) == g_regs.block_at) Sleep(6000);
}
static HRESULT PYX_CALL RegRead(IRegisterAccess* self, uint32_t offset, uint32_t* value) {
  BeginAccess();
  if (self != &g_regs.iface) g_regs.wrong_self = 1;
  *value = offset == 0x200 ? (uint32_t)g_regs.data : g_regs.enable;
  Record('R', offset, *value);
  return S_OK;
}
static HRESULT PYX_CALL RegWrite(IRegisterAccess* self, uint32_t offset, uint32_t value) {
  BeginAccess();
  if (self != &g_regs.iface) g_regs.wrong_self = 1;
  if (offset == 0x118) g_regs.enable = value;
  Record('W', offset, value);
  return S_OK;
}
static const IRegisterAccessVtbl kRegVtbl = {RegQueryInterface, RegAddRef, RegRelease,
                                             RegPlaceholder,    RegRead,   RegWrite};

/* ---- host objects that call back as they die ---------------------------- */

/* What a device or sink calls on the module from the Release that takes its
 * count to 0. */
enum Callback {
  kNoCallback,
  kCallStop,
  kCallStart,
  kCallRelease,
  kCallAddRef,
  kCallQueryInterface /* result 0: refused, with a null pointer */
};

struct Device;
struct Sink;
typedef struct Dying {
  enum Callback callback;
  IRemoteModule* module;
  IKeySink* fresh_sink; /* for kCallStart */
  IUnknown* fresh_device;
  HRESULT result;
  int called;
  volatile LONG entered; /* 1 as the call begins */
} Dying;

static void LastReleased(Dying* dying) {
  IRemoteModule* module = dying->module;
  if (dying->callback == kNoCallback || dying->called++) return;
  InterlockedExchange(&dying->entered, 1);
  if (dying->callback == kCallStop) dying->result = module->lpVtbl->Stop(module);
  if (dying->callback == kCallStart) {
    dying->result = module->lpVtbl->Start(module, dying->fresh_sink, dying->fresh_device);
  }
  if (dying->callback == kCallRelease) dying->result = (HRESULT)module->lpVtbl->Release(module);
  if (dying->callback == kCallAddRef) dying->result = (HRESULT)module->lpVtbl->AddRef(module);
  if (dying->callback == kCallQueryInterface) {
    void* out = &out;
    HRESULT got = module->lpVtbl->QueryInterface(module, &IID_IRemoteModule, &out);
    dying->result = FAILED(got) && out == NULL ? 0 : 1;
  }
}

/* ---- device ------------------------------------------------------------- */

/* Device and sink note the thread and time of their last Release: the
 * module must give both back on the thread that calls Stop. */
typedef struct Device {
  IUnknown iface;
  LONG refs;
  LONG releases;
  DWORD release_thread;
  double release_ms;
  Dying dying;
} Device;

static Device g_device;

static HRESULT PYX_CALL DevQueryInterface(IUnknown* self, REFIID iid, void** out) {
  (void)self;
  if (SameIid(iid, &IID_IRegisterAccess)) {
    RegAddRef(&g_regs.iface);
    *out = &g_regs.iface;
    return S_OK;
  }
  *out = NULL;
  return E_NOINTERFACE;
}
static ULONG PYX_CALL DevAddRef(IUnknown* self) {
  return (ULONG)InterlockedIncrement(&((Device*)self)->refs);
}
static ULONG PYX_CALL DevRelease(IUnknown* self) {
  Device* device = (Device*)self;
  LONG left;
  device->release_thread = GetCurrentThreadId();
  device->release_ms = NowMs();
  InterlockedIncrement(&device->releases);
  left = InterlockedDecrement(&device->refs);
  if (left == 0) LastReleased(&device->dying);
  return (ULONG)left;
}
static const IUnknownVtbl kDevVtbl = {DevQueryInterface, DevAddRef, DevRelease};

/* ---- sink --------------------------------------------------------------- */

#define MAX_REPORTS 256
typedef struct Report {
  char name[32], command[32];
  double at_ms;
} Report;

/* What the sink does inside its first OnKey. */
enum OnKeyAction { kNothing, kStopModule, kReleaseModule, kBlock6s };

typedef struct Sink {
  IKeySink iface;
  LONG refs;
  int wrong_self;
  enum OnKeyAction action;
  IRemoteModule* module;     /* for kStopModule and kReleaseModule */
  volatile LONG action_done; /* 1 once the action has returned */
  double action_ms;          /* how long it took */
  volatile LONG count;
  Report reports[MAX_REPORTS];
  DWORD on_key_thread, release_thread;
  double release_ms;
  LONG releases;
  Dying dying;
} Sink;

static Sink g_sink;

static HRESULT PYX_CALL SinkQueryInterface(IKeySink* self, REFIID iid, void** out) {
  (void)self;
  (void)iid;
  *out = NULL;
  return E_NOINTERFACE;
}
static ULONG PYX_CALL SinkAddRef(IKeySink* self) {
  return (ULONG)InterlockedIncrement(&((Sink*)self)->refs);
}
static ULONG PYX_CALL SinkRelease(IKeySink* self) {
  Sink* sink = (Sink*)self;
  LONG left;
  sink->release_thread = GetCurrentThreadId();
  sink->release_ms = NowMs();
  InterlockedIncrement(&sink->releases);
  left = InterlockedDecrement(&sink->refs);
  if (left == 0) LastReleased(&sink->dying);
  return (ULONG)left;
}
static HRESULT PYX_CALL SinkOnKey(IKeySink* self, const char* name, const char* command) {
  if (self != &g_sink.iface) g_sink.wrong_self = 1;
  g_sink.on_key_thread = GetCurrentThreadId();
  EnterCriticalSection(&g_lock);
  if (g_sink.count < MAX_REPORTS) {
    Report* r = &g_sink.reports[g_sink.count];
    strncpy(r->name, name, sizeof r->name - 1);
    strncpy(r->command, command, sizeof r->command - 1);
    r->at_ms = NowMs();
    InterlockedIncrement(&g_sink.count);
  }
  LeaveCriticalSection(&g_lock);
  if (g_sink.action != kNothing && g_sink.count == 1) {
    double began = NowMs();
    switch (g_sink.action) {
      case kStopModule:
        g_sink.module->lpVtbl->Stop(g_sink.module);
        break;
      case kReleaseModule:
        g_sink.module->lpVtbl->Release(g_sink.module);
        break;
      case kBlock6s:
        Sleep(6000);
        break;
      default:
        break;
    }
    g_sink.action_ms = NowMs() - began;
    InterlockedExchange(&g_sink.action_done, 1);
  }
  return S_OK;
}
static const IKeySinkVtbl kSinkVtbl = {SinkQueryInterface, SinkAddRef, SinkRelease, SinkOnKey};

static void ResetHostObjects(void) {
  memset(&g_regs, 0, sizeof g_regs);
  g_regs.iface.lpVtbl = &kRegVtbl;
  g_regs.refs = 1;
  g_regs.data = 0x4000;
  memset(&g_device, 0, sizeof g_device);
  g_device.iface.lpVtbl = &kDevVtbl;
  g_device.refs = 1;
  memset(&g_sink, 0, sizeof g_sink);
  g_sink.iface.lpVtbl = &kSinkVtbl;
  g_sink.refs = 1;
}

/* ---- helpers ------------------------------------------------------------ */

static void WriteText(const char* path, const char* text) {
  FILE* f = fopen(path, "wb");
  if (f) {
    fputs(text, f);
    fclose(f);
  }
}

static size_t ReadText(const char* path, char* buffer, size_t size) {
  FILE* f = fopen(path, "rb");
  size_t n = 0;
  if (f) {
    n = fread(buffer, 1, size - 1, f);
    fclose(f);
  }
  buffer[n] = '\0';
  return n;
}

static int WaitFor(volatile LONG* value, LONG wanted, DWORD timeout_ms) {
  DWORD start = GetTickCount();
  while (*value != wanted) {
    if (GetTickCount() - start > timeout_ms) return 0;
    Sleep(1);
  }
  return 1;
}

/* The remote holds `code` for `held_ms`, lets go (the code lines keep it),
 * and the host waits `after_ms`. */
static void HoldKey(uint32_t code, DWORD held_ms, DWORD after_ms) {
  g_regs.data = (LONG)(code << 8);
  Sleep(held_ms);
  g_regs.data = (LONG)(0x4000 | (code << 8));
  Sleep(after_ms);
}

static IRemoteModule* Create(PFN_GetInterfacePtr factory) {
  IRemoteModule* module = factory();
  CHECK(module != NULL, "factory returned null");
  return module;
}

/* ---- checks ------------------------------------------------------------- */

static void CheckObject(PFN_GetInterfacePtr factory) {
  IRemoteModule* module = Create(factory);
  IRemoteModule* other = Create(factory);
  void* out = &out;
  if (!module || !other) return;
  CHECK(module != other, "each call makes a new object");
  CHECK(module->lpVtbl->AddRef(module) == 2, "count starts at 1");
  CHECK(module->lpVtbl->Release(module) == 1, "release");
  CHECK(module->lpVtbl->QueryInterface(module, &IID_IUnknown, &out) == S_OK, "IUnknown");
  CHECK(out == module, "same pointer for IUnknown");
  CHECK(module->lpVtbl->QueryInterface(module, &IID_IRemoteModule, &out) == S_OK, "IRemoteModule");
  CHECK(out == module, "same pointer for IRemoteModule");
  CHECK(module->lpVtbl->QueryInterface(module, &IID_IRegisterAccess, &out) == E_NOINTERFACE,
        "other IIDs");
  CHECK(out == NULL, "out pointer nulled");
  CHECK(module->lpVtbl->Release(module) == 2, "two queries took two references");
  CHECK(module->lpVtbl->Release(module) == 1, "release");

  ResetHostObjects();
  CHECK(module->lpVtbl->Start(module, &g_sink.iface, NULL) == E_UNEXPECTED, "null device");
  CHECK(g_sink.refs == 1, "null device takes no reference: %ld", g_sink.refs);
  CHECK(module->lpVtbl->Stop(module) == S_OK, "stop on a fresh object");
  module->lpVtbl->Reserved(module);
  CHECK(module->lpVtbl->Release(module) == 0, "last release");
  CHECK(other->lpVtbl->Release(other) == 0, "last release");
}

static void CheckRun(PFN_GetInterfacePtr factory) {
  char log[4096];
  const char* expected_tail =
      "> KeyFirstDelay=200, KeyRepeatDelay=100\r\n"
      "Tarvikon: Break event received. Bye!\r\n";
  char expected_head[MAX_PATH + 160], ini_path[MAX_PATH];
  IRemoteModule* module;
  double pressed_ms;
  LONG n;
  int i, cycles_ok = 1;

  GetFullPathNameA("pyx.ini", sizeof ini_path, ini_path, NULL);
  sprintf(expected_head,
          "> Initializing Tarvikon remote module.\r\n"
          "> PYXRemote %s (%d-bit), settings from %s [PYXRemote]\r\n",
          PYX_VERSION, (int)(sizeof(void*) * 8), ini_path);
  DeleteFileA("PYXRemote.log");
  WriteText("pyx.ini", "[PYXRemote]\r\nKeyFirstDelay=200\r\nKeyRepeatDelay=100\r\n");
  ResetHostObjects();
  module = Create(factory);
  if (!module) return;
  CHECK(module->lpVtbl->Start(module, &g_sink.iface, &g_device.iface) == S_OK, "start");
  CHECK(g_device.refs == 2 && g_sink.refs == 2, "start holds device %ld and sink %ld",
        g_device.refs, g_sink.refs);

  Sleep(100);
  pressed_ms = NowMs();
  HoldKey(30, 650, 100); /* Key_Power */
  CHECK(module->lpVtbl->Stop(module) == S_OK, "stop");
  CHECK(g_device.refs == 1 && g_sink.refs == 1 && g_regs.refs == 1,
        "stop gives back device %ld, sink %ld, registers %ld", g_device.refs, g_sink.refs,
        g_regs.refs);

  n = g_sink.count;
  CHECK(n == 6, "650 ms hold at 200/100 ms gives 6 reports, got %ld", n);
  for (i = 0; i < n; ++i) {
    CHECK(strcmp(g_sink.reports[i].name, "Key_Power") == 0 &&
              strcmp(g_sink.reports[i].command, "Power") == 0,
          "report %d is %s/%s", i, g_sink.reports[i].name, g_sink.reports[i].command);
  }
  if (n >= 3) {
    double first = g_sink.reports[0].at_ms - pressed_ms;
    double second = g_sink.reports[1].at_ms - g_sink.reports[0].at_ms;
    double third = g_sink.reports[2].at_ms - g_sink.reports[1].at_ms;
    CHECK(first >= 0 && first < 60, "first report %.1f ms after the press", first);
    CHECK(second >= 195 && second < 260, "second report %.1f ms after the first", second);
    CHECK(third >= 95 && third < 160, "repeat after %.1f ms", third);
  }
  CHECK(!g_sink.wrong_self && !g_regs.wrong_self, "object pointer travels first");

  /* Every cycle: read 0x118, write it back with pins 8-14 in and 15 out, read 0x200. */
  CHECK(g_regs.count >= 30 && g_regs.count % 3 == 0, "%d register accesses", g_regs.count);
  for (i = 0; i + 2 < g_regs.count; i += 3) {
    const Access* a = &g_regs.log[i];
    if (!(a[0].op == 'R' && a[0].offset == 0x118 && a[1].op == 'W' && a[1].offset == 0x118 &&
          a[1].value == ((a[0].value & 0x00FF00FF) | 0x8000) && a[2].op == 'R' &&
          a[2].offset == 0x200)) {
      cycles_ok = 0;
    }
  }
  CHECK(cycles_ok, "each cycle is R 0x118, W 0x118, R 0x200");
  CHECK(g_regs.log[1].value == 0x8000, "an enable register of 0 is written as 0x8000");

  CHECK(module->lpVtbl->Release(module) == 0, "last release");
  ReadText("PYXRemote.log", log, sizeof log);
  CHECK(strncmp(log, expected_head, strlen(expected_head)) == 0, "log starts: %s", log);
  CHECK(strlen(log) > strlen(expected_tail) &&
            strcmp(log + strlen(log) - strlen(expected_tail), expected_tail) == 0,
        "log ends with the settings and the farewell, CR LF: %s", log);
  CHECK(strstr(log, "\r\r") == NULL, "one CR a line");
}

static void CheckIniAndNoSink(PFN_GetInterfacePtr factory) {
  char log[4096];
  IRemoteModule* module;

  /* Only KeyRepeatDelay in the section, names in another case: the first
   * delay keeps what the last object loaded. */
  DeleteFileA("PYXRemote.log");
  WriteText("pyx.ini", "[pyxremote]\r\n keyrepeatdelay = 250 ; slower\r\n");
  module = Create(factory);
  if (!module) return;
  ReadText("PYXRemote.log", log, sizeof log);
  CHECK(strstr(log, "> KeyFirstDelay=200, KeyRepeatDelay=250\r\n") != NULL,
        "settings kept and reloaded: %s", log);

  /* A null sink is accepted: the card is polled, nothing is reported. */
  ResetHostObjects();
  g_regs.data = 30 << 8;
  CHECK(module->lpVtbl->Start(module, NULL, &g_device.iface) == S_OK, "start with no sink");
  Sleep(100);
  CHECK(module->lpVtbl->Stop(module) == S_OK, "stop");
  CHECK(g_regs.count > 0 && g_sink.count == 0, "polled (%d accesses), nothing reported",
        g_regs.count);
  CHECK(module->lpVtbl->Release(module) == 0, "last release");
}

static HRESULT PYX_CALL RefuseQueryInterface(IUnknown* self, REFIID iid, void** out) {
  (void)self;
  (void)iid;
  *out = NULL;
  return E_NOINTERFACE;
}

/* Points the DLL's imported `name` at `replacement`; the address the slot
 * held, or 0 when the DLL imports no function of that name. */
static ULONG_PTR PatchImport(HMODULE library, const char* name, ULONG_PTR replacement) {
  BYTE* base = (BYTE*)library;
  const IMAGE_NT_HEADERS* nt =
      (const IMAGE_NT_HEADERS*)(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
  const IMAGE_IMPORT_DESCRIPTOR* dll =
      (const IMAGE_IMPORT_DESCRIPTOR*)(base + nt->OptionalHeader
                                                  .DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT]
                                                  .VirtualAddress);
  for (; dll->Name != 0; ++dll) {
    const IMAGE_THUNK_DATA* names = (const IMAGE_THUNK_DATA*)(base + dll->OriginalFirstThunk);
    IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + dll->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      const IMAGE_IMPORT_BY_NAME* import;
      ULONG_PTR was;
      DWORD protect;
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      import = (const IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
      if (strcmp((const char*)import->Name, name) != 0) continue;
      was = (ULONG_PTR)slots->u1.Function;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protect);
      slots->u1.Function = replacement;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protect, &protect);
      return was;
    }
  }
  return 0;
}

typedef DWORD(WINAPI* ResumeThreadFunction)(HANDLE thread);
static ResumeThreadFunction g_resume_thread;
static volatile LONG g_let_go, g_queries_before_let_go, g_queries;

/* The DLL's ResumeThread while the check runs: a worker that Start did not
 * create suspended has 50 ms to call the device before it is let go. */
static DWORD WINAPI LateResumeThread(HANDLE thread) {
  Sleep(50);
  InterlockedExchange(&g_let_go, 1);
  return g_resume_thread(thread);
}

static HRESULT PYX_CALL RecordingRefuseQueryInterface(IUnknown* self, REFIID iid, void** out) {
  if (!g_let_go) InterlockedIncrement(&g_queries_before_let_go);
  InterlockedIncrement(&g_queries);
  return RefuseQueryInterface(self, iid, out);
}

/* The worker is created suspended and let go as Start's last step: it makes
 * no call on the device before then. */
static void CheckSuspendedStart(HMODULE library, PFN_GetInterfacePtr factory) {
  static const IUnknownVtbl kRecordingVtbl = {RecordingRefuseQueryInterface, DevAddRef, DevRelease};
  IRemoteModule* module = Create(factory);
  int i;
  if (!module) return;
  g_resume_thread =
      (ResumeThreadFunction)PatchImport(library, "ResumeThread", (ULONG_PTR)&LateResumeThread);
  CHECK(g_resume_thread != NULL, "the DLL imports ResumeThread");
  if (g_resume_thread == NULL) {
    module->lpVtbl->Release(module);
    return;
  }
  g_queries = g_queries_before_let_go = 0;
  for (i = 0; i < 20; ++i) {
    ResetHostObjects();
    g_device.iface.lpVtbl = &kRecordingVtbl;
    g_let_go = 0;
    module->lpVtbl->Start(module, &g_sink.iface, &g_device.iface);
    WaitFor(&g_queries, i + 1, 1000);
    module->lpVtbl->Stop(module);
  }
  PatchImport(library, "ResumeThread", (ULONG_PTR)g_resume_thread);
  CHECK(g_queries == 20 && g_queries_before_let_go == 0,
        "%ld of %ld device queries came before Start let the worker go", g_queries_before_let_go,
        g_queries);
  module->lpVtbl->Release(module);
}

static void CheckRefusingDevice(PFN_GetInterfacePtr factory) {
  static const IUnknownVtbl kRefusingVtbl = {RefuseQueryInterface, DevAddRef, DevRelease};
  char log[4096];
  IRemoteModule* module;

  DeleteFileA("PYXRemote.log");
  ResetHostObjects();
  g_device.iface.lpVtbl = &kRefusingVtbl;
  g_regs.data = 30 << 8;
  module = Create(factory);
  if (!module) return;
  CHECK(module->lpVtbl->Start(module, &g_sink.iface, &g_device.iface) == S_OK, "start");
  Sleep(100);
  CHECK(module->lpVtbl->Release(module) == 0, "last release of a started object");
  CHECK(g_sink.count == 0 && g_regs.count == 0, "no polling without register access");
  CHECK(g_device.refs == 1 && g_sink.refs == 1, "references given back");
  ReadText("PYXRemote.log", log, sizeof log);
  CHECK(strstr(log, "Bye") == NULL, "no farewell without register access");
}

/* KeyPollDuringDelay=1: quick presses during a delay are reported at once, a
 * held key keeps its timing, and Stop in a delay returns within a poll. */
static void CheckPollDuringDelay(PFN_GetInterfacePtr factory) {
  IRemoteModule* module;
  double began, took, held_at;
  LONG n;
  WriteText("pyx.ini",
            "[PYXRemote]\r\nKeyFirstDelay=1000\r\nKeyRepeatDelay=500\r\nKeyPollDuringDelay=1\r\n");
  ResetHostObjects();
  module = Create(factory);
  if (!module) return;
  CHECK(module->lpVtbl->Start(module, &g_sink.iface, &g_device.iface) == S_OK, "start");
  Sleep(50);
  HoldKey(1, 150, 100);  /* Key_1 */
  HoldKey(11, 150, 100); /* Key_2 */
  held_at = NowMs();
  HoldKey(30, 1600, 100); /* Key_Power */
  n = g_sink.count;
  CHECK(n == 5, "two quick presses and a 1600 ms hold give 5 reports, got %ld", n);
  if (n == 5) {
    CHECK(strcmp(g_sink.reports[0].name, "Key_1") == 0 &&
              strcmp(g_sink.reports[1].name, "Key_2") == 0 &&
              strcmp(g_sink.reports[2].name, "Key_Power") == 0,
          "reports %s, %s, %s", g_sink.reports[0].name, g_sink.reports[1].name,
          g_sink.reports[2].name);
    CHECK(g_sink.reports[2].at_ms - held_at < 60, "hold reported %.0f ms after the press",
          g_sink.reports[2].at_ms - held_at);
    CHECK(g_sink.reports[3].at_ms - g_sink.reports[2].at_ms >= 995 &&
              g_sink.reports[3].at_ms - g_sink.reports[2].at_ms < 1060,
          "second report %.0f ms after the first",
          g_sink.reports[3].at_ms - g_sink.reports[2].at_ms);
    CHECK(g_sink.reports[4].at_ms - g_sink.reports[3].at_ms >= 495 &&
              g_sink.reports[4].at_ms - g_sink.reports[3].at_ms < 560,
          "repeat %.0f ms after the second", g_sink.reports[4].at_ms - g_sink.reports[3].at_ms);
  }
  /* Stop inside a 1000 ms delay. The farewell it brings reloads pyx.ini,
   * and with it the option, off, for the checks after this one. */
  g_regs.data = 1 << 8;
  CHECK(WaitFor(&g_sink.count, n + 1, 1000), "another press");
  WriteText("pyx.ini", "[PYXRemote]\r\nKeyPollDuringDelay=0\r\n");
  began = NowMs();
  CHECK(module->lpVtbl->Stop(module) == S_OK, "stop");
  took = NowMs() - began;
  CHECK(took < 100, "Stop in a delay took %.0f ms", took);
  CHECK(module->lpVtbl->Release(module) == 0, "last release");
}

/* The log of one object's construction, with pyx.ini holding `ini` (none
 * when null), read into `log`. */
static void ConstructWith(PFN_GetInterfacePtr factory, const char* ini, char* log, size_t size) {
  IRemoteModule* module;
  DeleteFileA("PYXRemote.log");
  DeleteFileA("pyx.ini");
  if (ini != NULL) WriteText("pyx.ini", ini);
  module = Create(factory);
  if (module) module->lpVtbl->Release(module);
  ReadText("PYXRemote.log", log, size);
}

/* pyx.ini beyond the two delays: line 2 for a missing file and a missing
 * section, moved keys, a shadowed code, ignored lines named in the log, a
 * key that does not repeat, and KeyTrace's lines for a press, a hold and an
 * unknown code; and with only the two delays, the three lines of before. */
static void CheckPyxIniOptions(PFN_GetInterfacePtr factory) {
  static const char kOptions[] =
      "[PYXRemote]\r\nKeyFirstDelay=300\r\nKeyRepeatDelay=50\r\n"
      "KeyPollDuringDelay=1\r\nKeyTrace=1\r\n"
      "[PYXRemote Keys]\r\nKey_AutoScan=14\r\nKey_Play=37\r\nKey_Nothing=5\r\n"
      "[PYXRemote NoRepeat]\r\nKey_Power=1\r\n";
  char log[8192], ini_path[MAX_PATH], line[MAX_PATH + 160];
  IRemoteModule* module;
  int lines = 0;
  const char* p;
  GetFullPathNameA("pyx.ini", sizeof ini_path, ini_path, NULL);

  ConstructWith(factory, NULL, log, sizeof log);
  sprintf(line, "settings from %s: not found, ", ini_path);
  CHECK(strstr(log, line) != NULL, "line 2 without pyx.ini: %s", log);
  ConstructWith(factory, "[Other]\r\nKeyFirstDelay=5\r\n", log, sizeof log);
  sprintf(line, "settings from %s: no [PYXRemote] section\r\n", ini_path);
  CHECK(strstr(log, line) != NULL, "line 2 without the section: %s", log);
  DeleteFileA("pyx.ini");
  CreateDirectoryA("pyx.ini", NULL);
  ConstructWith(factory, NULL, log, sizeof log);
  RemoveDirectoryA("pyx.ini");
  sprintf(line, "settings from %s: a folder, not a file; ", ini_path);
  CHECK(strstr(log, line) != NULL, "line 2 for a folder: %s", log);
  ConstructWith(factory, "[PYXRemote]\r\nKeyRepeatDeley=100\r\nKeyFirstDelay=6000\r\n", log,
                sizeof log);
  CHECK(strstr(log,
               "> [PYXRemote] KeyRepeatDeley=100: no such setting (KeyRepeatDelay?), "
               "ignored\r\n") != NULL &&
            strstr(log, "> [PYXRemote] KeyFirstDelay is 6000 ms, 5000 or more: ") != NULL,
        "lines that do not take effect, and a delay past Stop's wait: %s", log);
  ConstructWith(factory, "[PYXRemote]\r\nKeyFirstDelay=1000\r\nKeyRepeatDelay=500\r\n", log,
                sizeof log);
  for (p = log; (p = strstr(p, "\r\n")) != NULL; p += 2) ++lines;
  CHECK(lines == 3 && strstr(log, "> KeyFirstDelay=1000, KeyRepeatDelay=500\r\n") != NULL,
        "only the delays: three lines: %s", log);

  ConstructWith(factory, kOptions, log, sizeof log);
  CHECK(
      strstr(log, "> Keys moved: Key_AutoScan=14, Key_Play=37\r\n") != NULL &&
          strstr(log, "> Keys that do not repeat: Key_Power\r\n") != NULL &&
          strstr(log, "> [PYXRemote Keys] Key_Nothing=5: no key of that name, ignored\r\n") != NULL,
      "options and ignored lines named: %s", log);

  DeleteFileA("PYXRemote.log");
  ResetHostObjects();
  module = Create(factory);
  if (!module) return;
  CHECK(module->lpVtbl->Start(module, &g_sink.iface, &g_device.iface) == S_OK, "start");
  Sleep(50);
  HoldKey(14, 60, 60);  /* Key_Audio's code, moved to Key_AutoScan */
  HoldKey(37, 60, 60);  /* Key_Play */
  HoldKey(30, 700, 60); /* Key_Power, held well past its delays */
  HoldKey(4, 60, 60);   /* no row */
  CHECK(module->lpVtbl->Release(module) == 0, "last release");
  CHECK(g_sink.count == 3 && strcmp(g_sink.reports[0].name, "Key_AutoScan") == 0 &&
            strcmp(g_sink.reports[1].name, "Key_Play") == 0 &&
            strcmp(g_sink.reports[2].name, "Key_Power") == 0,
        "moved keys reported, Power once: %ld reports", g_sink.count);
  ReadText("PYXRemote.log", log, sizeof log);
  CHECK(strstr(log, "code 14, Key_AutoScan: first press, reported\r\n") != NULL &&
            strstr(log, "code 14, Key_AutoScan: released\r\n") != NULL &&
            strstr(log, "code 30, Key_Power: held, not reported: the key does not repeat\r\n") !=
                NULL &&
            strstr(log, "code 30, Key_Power: released\r\n") != NULL &&
            strstr(log, "code 4, no row: first press, nothing to report\r\n") != NULL,
        "trace lines: %s", log);
  DeleteFileA("pyx.ini");
  ConstructWith(factory,
                "[PYXRemote]\r\nKeyFirstDelay=1000\r\nKeyRepeatDelay=500\r\n"
                "KeyPollDuringDelay=0\r\nKeyTrace=0\r\n",
                log, sizeof log);
}

/* The version resource, as Explorer's Properties reads it. */
static void CheckVersionResource(const char* path) {
  static const char* const kStrings[][2] = {
      {"ProductName", "PYXRemote"},
      {"OriginalFilename", "PYXRemote.dll"},
      {"FileVersion", PYX_VERSION},
      {"ProductVersion", PYX_VERSION},
      {"InternalName", "PYXRemote"},
      {"CompanyName", "PYXRemote contributors"},
      {"LegalCopyright", "Copyright (c) 2026 PYXRemote contributors. MIT License."},
  };
  static char data[4096];
  DWORD ignored, size = GetFileVersionInfoSizeA(path, &ignored);
  VS_FIXEDFILEINFO* fixed = NULL;
  char query[96];
  char* text;
  UINT length = 0;
  size_t i;
  CHECK(size > 0 && size <= sizeof data && GetFileVersionInfoA(path, 0, size, data),
        "version resource of %lu bytes", size);
  if (size == 0 || size > sizeof data) return;
  CHECK(VerQueryValueA(data, "\\", (void**)&fixed, &length) && fixed != NULL &&
            fixed->dwFileVersionMS == (DWORD)MAKELONG(PYX_VERSION_MINOR, PYX_VERSION_MAJOR) &&
            fixed->dwFileVersionLS == (DWORD)MAKELONG(0, PYX_VERSION_PATCH) &&
            fixed->dwProductVersionMS == fixed->dwFileVersionMS && fixed->dwFileType == VFT_DLL,
        "fixed version %s", PYX_VERSION);
  for (i = 0; i < sizeof kStrings / sizeof kStrings[0]; ++i) {
    sprintf(query, "\\StringFileInfo\\040904B0\\%s", kStrings[i][0]);
    text = NULL;
    CHECK(VerQueryValueA(data, query, (void**)&text, &length) && text != NULL &&
              strcmp(text, kStrings[i][1]) == 0,
          "%s is %s", kStrings[i][0], text ? text : "(none)");
  }
  text = NULL;
  CHECK(
      VerQueryValueA(data, "\\StringFileInfo\\040904B0\\FileDescription", (void**)&text, &length) &&
          text != NULL && strstr(text, "PYXRemote") != NULL,
      "FileDescription %s", text ? text : "(none)");
}

/* The host stops, or lets go of, the module from inside OnKey, on the
 * module's own thread: neither may wait for that thread. */
static void CheckShutdownFromOnKey(PFN_GetInterfacePtr factory) {
  enum OnKeyAction actions[2] = {kStopModule, kReleaseModule};
  int i;
  WriteText("pyx.ini", "[PYXRemote]\r\nKeyFirstDelay=50\r\nKeyRepeatDelay=50\r\n");
  for (i = 0; i < 2; ++i) {
    IRemoteModule* module;
    ResetHostObjects();
    g_regs.data = 30 << 8;
    module = Create(factory);
    if (!module) return;
    g_sink.action = actions[i];
    g_sink.module = module;
    CHECK(module->lpVtbl->Start(module, &g_sink.iface, &g_device.iface) == S_OK, "start");
    CHECK(WaitFor(&g_sink.action_done, 1, 3000), "OnKey returned");
    CHECK(g_sink.action_ms < 1000, "%s from OnKey took %.0f ms", i == 0 ? "Stop" : "Release",
          g_sink.action_ms);
    CHECK(WaitFor(&g_device.refs, 1, 3000) && WaitFor(&g_sink.refs, 1, 3000) &&
              WaitFor(&g_regs.refs, 1, 3000),
          "references given back: device %ld, sink %ld, registers %ld", g_device.refs, g_sink.refs,
          g_regs.refs);
    Sleep(150);
    CHECK(g_sink.count == 1, "no report after the shutdown: %ld", g_sink.count);
    if (i == 0) CHECK(module->lpVtbl->Release(module) == 0, "last release");
  }
}

/* A module started with the host objects, Power held, and a sink whose
 * first OnKey blocks for 6 s; null when there is none. */
static IRemoteModule* StartWithBlockingSink(PFN_GetInterfacePtr factory) {
  IRemoteModule* module;
  WriteText("pyx.ini", "[PYXRemote]\r\nKeyFirstDelay=50\r\nKeyRepeatDelay=50\r\n");
  ResetHostObjects();
  g_regs.data = 30 << 8;
  g_sink.action = kBlock6s;
  module = Create(factory);
  if (!module) return NULL;
  CHECK(module->lpVtbl->Start(module, &g_sink.iface, &g_device.iface) == S_OK, "start");
  CHECK(WaitFor(&g_sink.count, 1, 2000), "first report");
  return module;
}

/* A sink that blocks for 6 s: Stop gives up after its 5 s and gives back the
 * device on its own thread; the sink, inside OnKey at that moment, is given
 * back by the worker as the call returns, and never called again. */
static void CheckBlockingSink(PFN_GetInterfacePtr factory) {
  IRemoteModule* module = StartWithBlockingSink(factory);
  double began, took;
  if (!module) return;
  began = NowMs();
  CHECK(module->lpVtbl->Stop(module) == S_OK, "stop");
  took = NowMs() - began;
  CHECK(took >= 4900 && took < 5600, "stop gave up after %.0f ms", took);
  CHECK(g_sink.action_done == 0, "OnKey still blocked when Stop returned");
  CHECK(g_device.refs == 1 && g_device.release_thread == GetCurrentThreadId(),
        "device given back by Stop's thread: %ld", g_device.refs);
  CHECK(g_sink.refs == 2, "sink still held while OnKey blocks: %ld", g_sink.refs);
  CHECK(module->lpVtbl->Release(module) == 0, "last release while OnKey blocks");
  CHECK(WaitFor(&g_sink.action_done, 1, 3000), "OnKey returned");
  CHECK(WaitFor(&g_sink.refs, 1, 3000) && WaitFor(&g_regs.refs, 1, 3000),
        "sink %ld and registers %ld given back after the blocked call", g_sink.refs, g_regs.refs);
  CHECK(g_sink.release_thread == g_sink.on_key_thread, "the worker gave back the sink");
  printf(
      "blocked OnKey: Stop returned after %.0f ms; device released then on the host's thread, "
      "sink %.0f ms after Stop began, on the worker's\n",
      took, g_sink.release_ms - began);
  Sleep(150);
  CHECK(g_sink.count == 1, "no report after Stop returned: %ld", g_sink.count);
}

/* A key delay past Stop's 5 s wait: Stop gives up, gives back device and sink
 * on its own thread, the host unloads the library, and the late worker still
 * ends cleanly, giving back its registers. */
static void CheckLateWorker(HMODULE library, PFN_GetInterfacePtr factory, const char* path) {
  char log[4096];
  IRemoteModule* module;
  double stop_began, stop_returned;
  LONG reports_at_stop;
  int unloaded = 0, i;

  DeleteFileA("PYXRemote.log");
  WriteText("pyx.ini", "[PYXRemote]\r\nKeyFirstDelay=6000\r\n");
  ResetHostObjects();
  g_regs.data = 30 << 8;
  module = Create(factory);
  if (!module) return;
  CHECK(module->lpVtbl->Start(module, &g_sink.iface, &g_device.iface) == S_OK, "start");
  CHECK(WaitFor(&g_sink.count, 1, 2000), "first report");
  Sleep(100);

  stop_began = NowMs();
  CHECK(module->lpVtbl->Stop(module) == S_OK, "stop");
  stop_returned = NowMs();
  reports_at_stop = g_sink.count;
  CHECK(stop_returned - stop_began >= 4900 && stop_returned - stop_began < 5400,
        "stop waited %.0f ms", stop_returned - stop_began);
  CHECK(g_device.refs == 1 && g_sink.refs == 1, "Stop gave back device %ld and sink %ld",
        g_device.refs, g_sink.refs);
  CHECK(g_device.release_thread == GetCurrentThreadId() &&
            g_sink.release_thread == GetCurrentThreadId(),
        "both on Stop's thread");
  printf(
      "worker asleep in a 6000 ms delay: Stop returned after %.0f ms; device released at "
      "%.0f ms and sink at %.0f ms, on the host's thread\n",
      stop_returned - stop_began, g_device.release_ms - stop_began, g_sink.release_ms - stop_began);
  CHECK(module->lpVtbl->Release(module) == 0, "last release");
  CHECK(FreeLibrary(library), "FreeLibrary");
  CHECK(GetModuleHandleA(path) != NULL || GetModuleHandleA("PYXRemote.dll") != NULL,
        "the late worker keeps the library loaded");

  CHECK(WaitFor(&g_regs.refs, 1, 3000), "registers given back: %ld", g_regs.refs);
  for (i = 0; i < 300 && !unloaded; ++i) {
    unloaded = GetModuleHandleA("PYXRemote.dll") == NULL;
    if (!unloaded) Sleep(10);
  }
  CHECK(unloaded, "the library unloads once the worker has ended");
  CHECK(g_device.refs == 1 && g_sink.refs == 1, "the worker touched neither again");
  CHECK(g_sink.count == reports_at_stop && reports_at_stop == 1,
        "no report after Stop returned (%ld, then %ld)", reports_at_stop, g_sink.count);
  ReadText("PYXRemote.log", log, sizeof log);
  CHECK(strstr(log, "Tarvikon: Break event received. Bye!\r\n") != NULL, "late farewell: %s", log);
}

/* A sink or a device that calls Stop, Start with fresh objects, Release (it
 * holds the module's last reference), AddRef or QueryInterface on the module
 * from its own last Release, inside the module's Stop, final Release, or a
 * Start that stops it first. Each object must be released once, no worker
 * may be left that nothing can stop, and a module on its way out takes no
 * reference. */
static void CheckCallBackFromRelease(PFN_GetInterfacePtr factory) {
  enum Trigger { kByStop, kByFinalRelease, kByStart };
  static const struct {
    const char* what;
    int device_dies;
    enum Callback callback;
    enum Trigger trigger;
    HRESULT nested;
    HRESULT start; /* what the triggering Start returns */
  } kRows[] = {
      {"sink stops", 0, kCallStop, kByStop, S_OK, S_OK},
      {"device stops", 1, kCallStop, kByStop, S_OK, S_OK},
      {"sink starts again", 0, kCallStart, kByStop, S_OK, S_OK},
      {"device starts again", 1, kCallStart, kByStop, S_OK, S_OK},
      {"sink owns the module's last reference", 0, kCallRelease, kByStop, 0, S_OK},
      {"device owns the module's last reference", 1, kCallRelease, kByStop, 0, S_OK},
      {"sink starts in the final Release", 0, kCallStart, kByFinalRelease, E_UNEXPECTED, S_OK},
      {"sink lets go of the module's last reference inside Start", 0, kCallRelease, kByStart, 0,
       E_UNEXPECTED},
      {"sink releases the module in the final Release", 0, kCallRelease, kByFinalRelease, 0, S_OK},
      {"device adds a reference in the final Release", 1, kCallAddRef, kByFinalRelease, 0, S_OK},
      {"sink asks for the module in the final Release", 0, kCallQueryInterface, kByFinalRelease, 0,
       S_OK},
  };
  static Device fresh_device, later_device;
  static Sink fresh_sink, later_sink;
  size_t i;
  WriteText("pyx.ini", "[PYXRemote]\r\nKeyFirstDelay=50\r\nKeyRepeatDelay=50\r\n");
  for (i = 0; i < sizeof kRows / sizeof kRows[0]; ++i) {
    IRemoteModule* module;
    Dying* dying;
    int started_again = kRows[i].callback == kCallStart && kRows[i].trigger == kByStop;
    int freed = kRows[i].callback == kCallRelease || kRows[i].trigger == kByFinalRelease;
    ResetHostObjects();
    fresh_device = later_device = g_device;
    fresh_sink = later_sink = g_sink;
    module = Create(factory);
    if (!module) return;
    dying = kRows[i].device_dies ? &g_device.dying : &g_sink.dying;
    dying->callback = kRows[i].callback;
    dying->module = module;
    dying->fresh_sink = &fresh_sink.iface;
    dying->fresh_device = &fresh_device.iface;
    CHECK(module->lpVtbl->Start(module, &g_sink.iface, &g_device.iface) == S_OK, "start");
    Sleep(30);
    /* The host lets go of its own reference: the module holds the last. */
    if (kRows[i].device_dies) {
      DevRelease(&g_device.iface);
    } else {
      SinkRelease(&g_sink.iface);
    }
    if (kRows[i].trigger == kByFinalRelease) {
      CHECK(module->lpVtbl->Release(module) == 0, "%s: final release", kRows[i].what);
    } else if (kRows[i].trigger == kByStart) {
      CHECK(module->lpVtbl->Start(module, &later_sink.iface, &later_device.iface) == kRows[i].start,
            "%s: start", kRows[i].what);
    } else {
      CHECK(module->lpVtbl->Stop(module) == S_OK, "%s: stop", kRows[i].what);
    }
    CHECK(dying->called == 1 && dying->result == kRows[i].nested, "%s: called %d, result 0x%lx",
          kRows[i].what, dying->called, (unsigned long)dying->result);
    CHECK(g_device.releases == 1 + kRows[i].device_dies &&
              g_sink.releases == 2 - kRows[i].device_dies,
          "%s: device released %ld times, sink %ld", kRows[i].what, g_device.releases,
          g_sink.releases);
    CHECK(fresh_device.refs == 1 + started_again && fresh_sink.refs == 1 + started_again,
          "%s: fresh device %ld, fresh sink %ld", kRows[i].what, fresh_device.refs,
          fresh_sink.refs);
    if (started_again) {
      CHECK(WaitFor(&g_regs.refs, 2, 1000), "%s: the new worker polls", kRows[i].what);
    }
    if (!freed) CHECK(module->lpVtbl->Release(module) == 0, "%s: last release", kRows[i].what);
    CHECK(fresh_device.refs == 1 && fresh_sink.refs == 1 &&
              fresh_device.releases == started_again && WaitFor(&g_regs.refs, 1, 1000),
          "%s: fresh objects given back once (device %ld, sink %ld), registers %ld", kRows[i].what,
          fresh_device.releases, fresh_sink.releases, g_regs.refs);
    CHECK(later_device.refs == 1 && later_sink.refs == 1 &&
              later_device.releases == (kRows[i].trigger == kByStart),
          "%s: later objects given back once (device %ld, sink %ld)", kRows[i].what,
          later_device.releases, later_sink.releases);
    printf(
        "from the last Release, %s: nested call 0x%lx; the module released the device %ldx, "
        "the sink %ldx, the fresh device %ldx, the fresh sink %ldx\n",
        kRows[i].what, (unsigned long)dying->result, g_device.releases - kRows[i].device_dies,
        g_sink.releases - !kRows[i].device_dies, fresh_device.releases, fresh_sink.releases);
  }
}

/* A register access that outlasts Stop's 5 s wait: once Stop has returned,
 * no other access begins; the worker then gives back its registers. */
static void CheckRegistersAfterStop(PFN_GetInterfacePtr factory) {
  IRemoteModule* module;
  LONG begun_at_stop;
  WriteText("pyx.ini", "[PYXRemote]\r\nKeyFirstDelay=50\r\nKeyRepeatDelay=50\r\n");
  ResetHostObjects();
  g_regs.block_at = 4; /* the second cycle's first */
  module = Create(factory);
  if (!module) return;
  CHECK(module->lpVtbl->Start(module, &g_sink.iface, &g_device.iface) == S_OK, "start");
  CHECK(WaitFor(&g_regs.begun, 4, 2000), "the second cycle began");
  CHECK(module->lpVtbl->Stop(module) == S_OK, "stop");
  begun_at_stop = g_regs.begun;
  CHECK(g_device.refs == 1 && g_sink.refs == 1, "Stop gave back device %ld and sink %ld",
        g_device.refs, g_sink.refs);
  CHECK(WaitFor(&g_regs.refs, 1, 3000), "registers given back: %ld", g_regs.refs);
  CHECK(g_regs.begun == begun_at_stop && begun_at_stop == 4,
        "no register access began after Stop returned: %ld at Stop, %ld after", begun_at_stop,
        g_regs.begun);
  CHECK(module->lpVtbl->Release(module) == 0, "last release");
}

/* The sink's OnKey blocks past Stop's wait, so the worker releases it when
 * the call returns; its Release then stops the module, on the worker thread,
 * while the host's thread stops it too and lets go of it. Each Session is
 * ended once and every object released once. */
static void CheckLateReleaseBesideStop(PFN_GetInterfacePtr factory) {
  static Device second_device;
  static Sink second_sink;
  IRemoteModule* module = StartWithBlockingSink(factory);
  if (!module) return;
  second_device = g_device;
  second_sink = g_sink;
  second_device.refs = second_sink.refs = 1;
  second_device.releases = second_sink.releases = 0;
  CHECK(module->lpVtbl->Stop(module) == S_OK, "stop gives up while OnKey blocks");
  CHECK(module->lpVtbl->Start(module, &second_sink.iface, &second_device.iface) == S_OK,
        "start with other objects");
  g_sink.dying.callback = kCallStop;
  g_sink.dying.module = module;
  SinkRelease(&g_sink.iface); /* the worker holds the last reference */
  CHECK(WaitFor(&g_sink.dying.entered, 1, 3000), "the late Release calls Stop");
  CHECK(module->lpVtbl->Stop(module) == S_OK, "the host's Stop beside it");
  CHECK(module->lpVtbl->Release(module) == 0, "last release");
  CHECK(WaitFor(&second_device.refs, 1, 7000) && WaitFor(&second_sink.refs, 1, 1000) &&
            WaitFor(&g_regs.refs, 1, 1000),
        "second device %ld, sink %ld and registers %ld given back", second_device.refs,
        second_sink.refs, g_regs.refs);
  Sleep(100);
  CHECK(second_device.releases == 1 && second_sink.releases == 1 && g_device.releases == 1 &&
            g_sink.releases == 2 && g_sink.dying.called == 1,
        "each released once: second device %ldx, second sink %ldx, first device %ldx, first "
        "sink %ldx",
        second_device.releases, second_sink.releases, g_device.releases, g_sink.releases);
}

int main(int argc, char** argv) {
  char dir[MAX_PATH];
  HMODULE library;
  PFN_GetInterfacePtr factory;

  if (argc != 2) {
    printf("usage: dll_host PATH\\TO\\PYXRemote.dll\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IONBF, 0);
  InitializeCriticalSection(&g_lock);
  QueryPerformanceFrequency(&g_frequency);
  QueryPerformanceCounter(&g_origin);

  /* Run in a folder of our own: the module reads .\pyx.ini and writes
   * .\PYXRemote.log there. */
  GetTempPathA(sizeof dir, dir);
  strncat(dir, "pyxremote-c-host", sizeof dir - strlen(dir) - 1);
  CreateDirectoryA(dir, NULL);
  CHECK(SetCurrentDirectoryA(dir), "enter %s", dir);
  DeleteFileA("pyx.ini");

  library = LoadLibraryA(argv[1]);
  CHECK(library != NULL, "LoadLibraryA(%s): error %lu", argv[1], GetLastError());
  if (!library) goto done;
  factory = (PFN_GetInterfacePtr)(void (*)(void))GetProcAddress(library, "_GetInterfacePtr@0");
  CHECK(factory != NULL, "export _GetInterfacePtr@0");
  /* 64-bit Windows has no decoration: there both names are the one function. */
  if (sizeof(void*) == 8) {
    CHECK((void (*)(void))GetProcAddress(library, "GetInterfacePtr") == (void (*)(void))factory,
          "GetInterfacePtr is _GetInterfacePtr@0");
  } else {
    CHECK(GetProcAddress(library, "GetInterfacePtr") == NULL, "no undecorated export");
  }
  if (!factory) goto done;

  CheckVersionResource(argv[1]);

  CheckObject(factory);
  CheckRun(factory);
  CheckIniAndNoSink(factory);
  CheckRefusingDevice(factory);
  CheckSuspendedStart(library, factory);
  CheckPollDuringDelay(factory);
  CheckPyxIniOptions(factory);
  CheckShutdownFromOnKey(factory);
  CheckCallBackFromRelease(factory);
  CheckRegistersAfterStop(factory);
  CheckBlockingSink(factory);
  CheckLateReleaseBesideStop(factory);
  CheckLateWorker(library, factory, argv[1]);

done:
  printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
