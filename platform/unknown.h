// The base of every COM-style interface that crosses a library boundary, and
// the class factory that an in-process server hands out. Abstract classes
// with the operations in their fixed slot order, 32-bit results and no
// virtual destructor (g++ would give it two slots): an object ends itself in
// Release.
#pragma once

#include <cstdint>

#include "platform/guid.h"
#include "platform/status.h"

namespace platform {

inline constexpr IID IID_IUnknown = MakeGuid("{00000000-0000-0000-C000-000000000046}");
inline constexpr IID IID_IClassFactory = MakeGuid("{00000001-0000-0000-C000-000000000046}");

class IUnknown {
 public:
  // On success *object holds the interface with one more reference; on
  // failure it is null.
  virtual Status QueryInterface(const IID& iid, void** object) = 0;
  // Both give the new reference count.
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
 public:
  virtual Status CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
  // Non-zero keeps the server loaded, zero lets it go.
  virtual Status LockServer(std::int32_t lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// What an in-process server library exports as "DllGetClassObject".
using DllGetClassObjectFunction = Status (*)(const CLSID& clsid, const IID& iid, void** object);

}  // namespace platform
