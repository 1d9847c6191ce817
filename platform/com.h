// Our own in-process COM: per-thread joining, class lookup by ProgID, and
// object creation from in-process server libraries registered in the registry
// file (platform/registry.h):
//   [HKEY_CLASSES_ROOT\<ProgID>\CLSID]                 @ = {class id}
//   [HKEY_CLASSES_ROOT\CLSID\{class id}\InprocServer32]  @ = /path/to/server.so
// A server library exports DllGetClassObject (platform/unknown.h). Loaded
// servers stay loaded until the process ends: their objects may be held that
// long, and the engine never asks to unload them. Local and remote servers do
// not exist here; a request that also allows an in-process server gets it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/bstr.h"
#include "platform/com_status.h"
#include "platform/guid.h"
#include "platform/unknown.h"

namespace platform {

inline constexpr std::uint32_t COINIT_MULTITHREADED = 0x0;
inline constexpr std::uint32_t COINIT_APARTMENTTHREADED = 0x2;
inline constexpr std::uint32_t COINIT_DISABLE_OLE1DDE = 0x4;
inline constexpr std::uint32_t COINIT_SPEED_OVER_MEMORY = 0x8;

inline constexpr std::uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr std::uint32_t CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr std::uint32_t CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr std::uint32_t CLSCTX_REMOTE_SERVER = 0x10;
inline constexpr std::uint32_t CLSCTX_ALL = 0x17;

// Joins the calling thread: S_OK the first time, S_FALSE for each further
// join with the same model (each needs its CoUninitialize), RPC_E_CHANGED_MODE
// for another model (not counted). reserved must be null.
Status CoInitializeEx(void* reserved, std::uint32_t flags);
// Undoes one counted join of the calling thread; nothing when there is none.
void CoUninitialize();

// S_OK with the class of the ProgID; CO_E_CLASSSTRING when it is not
// registered or its class id is not a braced GUID text.
Status CLSIDFromProgID(const OLECHAR* prog_id, CLSID* clsid);

// Needs a joined thread (CO_E_NOTINITIALIZED). REGDB_E_CLASSNOTREG when the
// class has no in-process server or the context excludes one,
// CO_E_DLLNOTFOUND when its library does not load (the loader's reason goes to
// standard error), CO_E_ERRORINDLL when it has no DllGetClassObject; otherwise
// what the server's factory answers. *object is null on failure.
Status CoCreateInstance(const CLSID& clsid, IUnknown* outer, std::uint32_t context, const IID& iid,
                        void** object);

// Memory that crosses COM calls; malloc and free underneath.
void* CoTaskMemAlloc(std::size_t size);
void CoTaskMemFree(void* memory);

}  // namespace platform
