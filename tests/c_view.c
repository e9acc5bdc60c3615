/* The host header seen from C: calls a module's operations and implements a
 * sink and registers through the C tables. Linked with C++ tests that check
 * the two views agree on slot order and calling convention. */
#include <string.h>

#include "pyxremote.h"

/* Calls every operation of `module` once, in slot order; 0 when each gave
 * the answer a module must. */
int CViewCallEverySlot(IRemoteModule* module, IKeySink* sink, IUnknown* device) {
  void* same = 0;
  int faults = 0;
  if (module->lpVtbl->QueryInterface(module, &IID_IRemoteModule, &same) != S_OK) faults |= 1;
  if (same != module) faults |= 2;
  if (module->lpVtbl->AddRef(module) != 3) faults |= 4;
  if (module->lpVtbl->Release(module) != 2) faults |= 8;
  if (module->lpVtbl->Release(module) != 1) faults |= 16;
  if (module->lpVtbl->Start(module, sink, device) != S_OK) faults |= 32;
  if (module->lpVtbl->Stop(module) != S_OK) faults |= 64;
  module->lpVtbl->Reserved(module);
  return faults;
}

typedef struct CSink {
  IKeySink iface;
  int refs;
  char last_name[32];
  char last_command[32];
} CSink;

static HRESULT PYX_CALL SinkQueryInterface(IKeySink* self, REFIID iid, void** object) {
  (void)self;
  (void)iid;
  *object = 0;
  return E_NOINTERFACE;
}
static ULONG PYX_CALL SinkAddRef(IKeySink* self) { return (ULONG)++((CSink*)self)->refs; }
static ULONG PYX_CALL SinkRelease(IKeySink* self) { return (ULONG)--((CSink*)self)->refs; }
static HRESULT PYX_CALL SinkOnKey(IKeySink* self, const char* name, const char* command) {
  CSink* sink = (CSink*)self;
  strncpy(sink->last_name, name, sizeof sink->last_name - 1);
  strncpy(sink->last_command, command, sizeof sink->last_command - 1);
  return S_OK;
}
static const IKeySinkVtbl kSinkVtbl = {SinkQueryInterface, SinkAddRef, SinkRelease, SinkOnKey};

static CSink g_sink = {{&kSinkVtbl}, 1, "", ""};

IKeySink* CViewSink(void) { return &g_sink.iface; }
int CViewSinkRefs(void) { return g_sink.refs; }
const char* CViewSinkLastName(void) { return g_sink.last_name; }
const char* CViewSinkLastCommand(void) { return g_sink.last_command; }

typedef struct CRegisters {
  IRegisterAccess iface;
  uint32_t last_offset;
  uint32_t last_value;
} CRegisters;

static HRESULT PYX_CALL RegQueryInterface(IRegisterAccess* self, REFIID iid, void** object) {
  (void)self;
  (void)iid;
  *object = 0;
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
static HRESULT PYX_CALL RegPlaceholder(IRegisterAccess* self) {
  (void)self;
  return E_UNEXPECTED;
}
static HRESULT PYX_CALL RegRead(IRegisterAccess* self, uint32_t offset, uint32_t* value) {
  ((CRegisters*)self)->last_offset = offset;
  *value = offset + 1;
  return S_OK;
}
static HRESULT PYX_CALL RegWrite(IRegisterAccess* self, uint32_t offset, uint32_t value) {
  ((CRegisters*)self)->last_offset = offset;
  ((CRegisters*)self)->last_value = value;
  return S_OK;
}
static const IRegisterAccessVtbl kRegVtbl = {RegQueryInterface, RegAddRef, RegRelease,
                                             RegPlaceholder,    RegRead,   RegWrite};
static CRegisters g_registers = {{&kRegVtbl}, 0, 0};

IRegisterAccess* CViewRegisters(void) { return &g_registers.iface; }
uint32_t CViewRegistersLastOffset(void) { return g_registers.last_offset; }
uint32_t CViewRegistersLastValue(void) { return g_registers.last_value; }
