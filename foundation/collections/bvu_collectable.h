// The collectable base of the utility library: adds a kind code, a safe
// destroy, a printable name and a print operation to ClCollectable. Most
// engine objects derive from it.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "foundation/collections/collectable.h"

class BvuCollectable : public ClCollectable {
 public:
  // The kind code (3 directory nodes; model objects their own); 0 here.
  virtual std::int32_t GetKind() { return 0; }
  // Deletes this object; a reference-counted subclass releases instead.
  virtual void Destroy() { delete this; }
  // The printable name.
  virtual const char* GetNameText(std::int32_t arg = 0) = 0;
  // Writes the name text and ends the line.
  virtual void Print(std::ostream& out);

  // The one way this library deletes a collectable it holds by pointer;
  // null is allowed.
  static void Destroy(BvuCollectable* object) {
    if (object != nullptr) object->Destroy();
  }
};
