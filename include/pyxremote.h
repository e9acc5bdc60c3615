/*
 * PYXRemote host interface.
 *
 * The one header a host includes to load PYXRemote and talk to it. Usable
 * from C++ (abstract structs) and from C (structs of function pointers, with
 * the object pointer as first argument), in the way COM headers serve both.
 *
 * Every interface operation uses PYX_CALL: __stdcall on 32-bit Windows, the
 * platform's ordinary convention elsewhere. Interfaces declare no destructor
 * and no overloads, so their tables hold exactly the slots listed here.
 *
 * Reference rules are COM's: whoever stores an interface pointer holds one
 * reference to it. GetInterfacePtr returns an object with one reference that
 * the caller owns.
 *
 * Threads. The module calls the host's objects on two threads: the one that
 * calls Start, Stop or Release (AddRef of device and sink in Start, their
 * Release in Stop) and the module's worker thread (the device's
 * QueryInterface, the register accesses, OnKey, the Release of
 * IRegisterAccess, and the late Releases that Stop describes). Count the
 * references of every object you hand the module atomically
 * (InterlockedIncrement, std::atomic): the worker touches the count of
 * IRegisterAccess, which is often the device itself, and of a device or
 * sink that Stop leaves to it.
 */
#ifndef PYXREMOTE_H_
#define PYXREMOTE_H_

#include <stdint.h>

#if defined(_WIN32) && (defined(__i386__) || defined(_M_IX86))
#define PYX_CALL __stdcall
#else
#define PYX_CALL
#endif

#ifdef _WIN32
/* GUID, HRESULT, ULONG and IUnknown come from the system's own headers;
 * this header may come before or after <windows.h>. Its own interfaces take
 * a const table in C either way. The system's IUnknown takes one only where
 * CONST_VTABLE is defined before the first Windows header, which this header
 * does when it comes first. */
#ifndef CONST_VTABLE
#define CONST_VTABLE
#endif
#include <unknwn.h>
#include <windows.h>
#else
typedef int32_t HRESULT;
typedef uint32_t ULONG;

typedef struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;

#ifdef __cplusplus
typedef const IID& REFIID;
#else
typedef const IID* REFIID;
#endif

#define S_OK ((HRESULT)0)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

/* {00000000-0000-0000-C000-000000000046} */
static const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

#ifdef __cplusplus
struct IUnknown {
  virtual HRESULT PYX_CALL QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG PYX_CALL AddRef() = 0;
  virtual ULONG PYX_CALL Release() = 0;
};
#else
typedef struct IUnknown IUnknown;
typedef struct IUnknownVtbl {
  HRESULT(PYX_CALL* QueryInterface)(IUnknown* self, REFIID iid, void** object);
  ULONG(PYX_CALL* AddRef)(IUnknown* self);
  ULONG(PYX_CALL* Release)(IUnknown* self);
} IUnknownVtbl;
struct IUnknown {
  const IUnknownVtbl* lpVtbl;
};
#endif
#endif /* _WIN32 */

/* {F4660300-7706-11D3-B64E-00105ACB7FD0}: the module object. */
static const IID IID_IRemoteModule = {
    0xF4660300, 0x7706, 0x11D3, {0xB6, 0x4E, 0x00, 0x10, 0x5A, 0xCB, 0x7F, 0xD0}};

/* {F4660006-7706-11D3-B64E-00105ACB7FD0}: the card's registers, asked of the
 * device object given to Start. */
static const IID IID_IRegisterAccess = {
    0xF4660006, 0x7706, 0x11D3, {0xB6, 0x4E, 0x00, 0x10, 0x5A, 0xCB, 0x7F, 0xD0}};

/* {F1FAAA60-4BBD-42D2-883A-0AEB662AE777}: the host's key sink. The module
 * never asks for it; it is here for hosts that name their interfaces by IID
 * or with __uuidof. */
static const IID IID_IKeySink = {
    0xF1FAAA60, 0x4BBD, 0x42D2, {0x88, 0x3A, 0x0A, 0xEB, 0x66, 0x2A, 0xE7, 0x77}};

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__cplusplus) && !defined(CINTERFACE)

#ifdef _MSC_VER
/* __uuidof(IRemoteModule), __uuidof(IRegisterAccess), __uuidof(IKeySink). */
struct __declspec(uuid("F4660300-7706-11D3-B64E-00105ACB7FD0")) IRemoteModule;
struct __declspec(uuid("F4660006-7706-11D3-B64E-00105ACB7FD0")) IRegisterAccess;
struct __declspec(uuid("F1FAAA60-4BBD-42D2-883A-0AEB662AE777")) IKeySink;
#endif

/* Implemented by the host. The module calls these on its worker thread. */
struct IRegisterAccess : public IUnknown {
  /* Slot 3 is the host's own; the module never calls it. */
  virtual HRESULT PYX_CALL Placeholder() = 0;
  /* Reads the 32-bit register at byte offset `offset` into *value. */
  virtual HRESULT PYX_CALL ReadRegister(uint32_t offset, uint32_t* value) = 0;
  /* Writes `value` to the 32-bit register at byte offset `offset`. */
  virtual HRESULT PYX_CALL WriteRegister(uint32_t offset, uint32_t value) = 0;
};

/* Implemented by the host. OnKey runs on the module's worker thread; both
 * strings point into the module's static key table, stay valid while the
 * library is loaded, and are never null. `name` is never empty. One worker
 * makes one call at a time; see Stop for two workers of one object. */
struct IKeySink : public IUnknown {
  virtual HRESULT PYX_CALL OnKey(const char* name, const char* command) = 0;
};

/* Implemented by the module. Call its operations from one thread at a time.
 * QueryInterface answers IUnknown and IID_IRemoteModule, each with a new
 * reference. Once the final Release has begun, AddRef and Release answer 0
 * and change nothing, and QueryInterface fails (E_UNEXPECTED) with a null
 * pointer: the object is on its way out. */
struct IRemoteModule : public IUnknown {
  /* Takes a reference to `sink` (may be null) and `device` (must not be)
   * and starts a worker; on a started object, stops it first, as Stop does
   * (but a null device changes nothing). Returns:
   *   S_OK          a worker was started and the object still had a
   *                 reference when Start was done. The worker may have
   *                 been stopped since, from its first OnKey, say.
   *   E_UNEXPECTED  and nothing is kept: with a null device or no memory,
   *                 or when the object's last reference went before Start
   *                 was done (a host object's Release made by Start's own
   *                 stopping, or the new worker's first OnKey, let go of
   *                 it). A worker Start had started is stopped as Stop
   *                 stops one, so the reference of a call it is making
   *                 when the wait gives up is released as that call
   *                 returns.
   *   E_UNEXPECTED  and the references are kept until Stop: with no event
   *                 or no thread to be had. Stop, or the final Release,
   *                 gives them back. Until then a sink of yours that owns
   *                 the object's reference and the object, which keeps
   *                 the sink, keep each other alive: after E_UNEXPECTED,
   *                 call Stop through whatever reference is still held
   *                 (on an object that keeps nothing it changes nothing),
   *                 but not once the last one has gone.
   * Called from a host object's Release that the module's Stop makes, Start
   * starts normally and a later Stop stops it; called from one that Start's
   * own stopping makes, it starts normally, then that outer Start stops it
   * again and starts its own; called from one that the final Release makes,
   * it fails with E_UNEXPECTED and keeps nothing. */
  virtual HRESULT PYX_CALL Start(IKeySink* sink, IUnknown* device) = 0;
  /* Tells the worker to end, waits for it, cuts it off from the host's
   * objects, and releases the device and the sink; always S_OK. The wait
   * lasts until the worker has ended, or 5000 ms, plus the time the system
   * takes to wake the caller. From inside OnKey, Stop does not wait for the
   * worker that is making that call; it waits as usual for any other worker
   * (one started by a Start made from a Release inside that OnKey, say).
   *
   * Stop releases the device and the sink on the calling thread before it
   * returns, except the object of the call the worker is making when Stop
   * cuts it off without having seen it end (the wait gave up, or Stop was
   * called from inside OnKey): the sink for OnKey, the device for its
   * QueryInterface. That reference is then the worker's, and it releases it
   * on its own thread as the call returns. So a Stop from inside OnKey
   * leaves the sink's Release to the moment that OnKey returns.
   *
   * When the wait gives up (a call of the host's that blocks, a delay of
   * 5000 ms or more), the worker goes on alone, on its own thread, and can
   * still bring: the return of the one call it is making; or, when it had
   * decided on a call and was held up before making it (a suspended
   * process, a debugger, heavy load), that one call, begun after Stop has
   * returned; the Release of that call's sink or device; and, as it ends,
   * the Release of IRegisterAccess. It begins no other call. It ends as soon
   * as that call returns, or as its sleep ends when Stop gave up during a
   * delay. From inside OnKey, the worker ends as that OnKey returns.
   *
   * A later Start starts a new worker at once: after a Stop that gave up
   * during an OnKey, the new worker may call OnKey on the same sink while
   * the old call is still running. Give the next Start another sink, or one
   * whose OnKey allows that.
   *
   * The module settles its own state before it releases a host object, so
   * that object's Release may call Start, Stop or Release on the module,
   * including the Release of the module's last reference. One that comes
   * late, on the worker thread as above, may release what it holds, the
   * module included; it should not call Start or Stop, which would then run
   * beside your own thread's calls. The module stays sound if it does, each
   * worker is stopped once and each object is released once, but which of
   * two calls wins is then a matter of timing. The final Release does all
   * that Stop does. */
  virtual HRESULT PYX_CALL Stop() = 0;
  virtual void PYX_CALL Reserved() = 0;
};

#if defined(__MINGW32__) && defined(__CRT_UUID_DECL)
/* __uuidof with mingw-w64, which emulates it with templates. */
__CRT_UUID_DECL(IRemoteModule, 0xF4660300, 0x7706, 0x11D3, 0xB6, 0x4E, 0x00, 0x10, 0x5A, 0xCB, 0x7F,
                0xD0)
__CRT_UUID_DECL(IRegisterAccess, 0xF4660006, 0x7706, 0x11D3, 0xB6, 0x4E, 0x00, 0x10, 0x5A, 0xCB,
                0x7F, 0xD0)
__CRT_UUID_DECL(IKeySink, 0xF1FAAA60, 0x4BBD, 0x42D2, 0x88, 0x3A, 0x0A, 0xEB, 0x66, 0x2A, 0xE7,
                0x77)
#endif

#else /* C */

typedef struct IRegisterAccess IRegisterAccess;
typedef struct IRegisterAccessVtbl {
  HRESULT(PYX_CALL* QueryInterface)(IRegisterAccess* self, REFIID iid, void** object);
  ULONG(PYX_CALL* AddRef)(IRegisterAccess* self);
  ULONG(PYX_CALL* Release)(IRegisterAccess* self);
  HRESULT(PYX_CALL* Placeholder)(IRegisterAccess* self);
  HRESULT(PYX_CALL* ReadRegister)(IRegisterAccess* self, uint32_t offset, uint32_t* value);
  HRESULT(PYX_CALL* WriteRegister)(IRegisterAccess* self, uint32_t offset, uint32_t value);
} IRegisterAccessVtbl;
struct IRegisterAccess {
  const IRegisterAccessVtbl* lpVtbl;
};

typedef struct IKeySink IKeySink;
typedef struct IKeySinkVtbl {
  HRESULT(PYX_CALL* QueryInterface)(IKeySink* self, REFIID iid, void** object);
  ULONG(PYX_CALL* AddRef)(IKeySink* self);
  ULONG(PYX_CALL* Release)(IKeySink* self);
  HRESULT(PYX_CALL* OnKey)(IKeySink* self, const char* name, const char* command);
} IKeySinkVtbl;
struct IKeySink {
  const IKeySinkVtbl* lpVtbl;
};

typedef struct IRemoteModule IRemoteModule;
typedef struct IRemoteModuleVtbl {
  HRESULT(PYX_CALL* QueryInterface)(IRemoteModule* self, REFIID iid, void** object);
  ULONG(PYX_CALL* AddRef)(IRemoteModule* self);
  ULONG(PYX_CALL* Release)(IRemoteModule* self);
  HRESULT(PYX_CALL* Start)(IRemoteModule* self, IKeySink* sink, IUnknown* device);
  HRESULT(PYX_CALL* Stop)(IRemoteModule* self);
  void(PYX_CALL* Reserved)(IRemoteModule* self);
} IRemoteModuleVtbl;
struct IRemoteModule {
  const IRemoteModuleVtbl* lpVtbl;
};

#endif

/* The library's factory, exported as "_GetInterfacePtr@0"
 * (PYX_FACTORY_NAME), and by the 64-bit PYXRemote.dll as "GetInterfacePtr"
 * too. Returns a new object with one reference, or null when it cannot be
 * allocated. */
typedef IRemoteModule*(PYX_CALL* PFN_GetInterfacePtr)(void);

#ifdef _WIN32
/* The name to look up in PYXRemote.dll, 32- or 64-bit (the 64-bit DLL also
 * exports "GetInterfacePtr"). */
#define PYX_FACTORY_NAME "_GetInterfacePtr@0"
/* The factory of a loaded PYXRemote.dll, or null. GetProcAddress returns
 * FARPROC; the cast through void (*)(void) says that the change of function
 * type is meant (gcc's -Wextra warns about a direct one). */
#define PYX_GET_FACTORY(library) \
  ((PFN_GetInterfacePtr)(void (*)(void))GetProcAddress((library), PYX_FACTORY_NAME))
#endif

#ifdef __cplusplus
}
#endif

#endif /* PYXREMOTE_H_ */
