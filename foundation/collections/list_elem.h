// Elements of the engine's intrusive singly linked lists (timers, queued
// messages, server items, block headers). The holder of the list head owns
// the elements unless a subclass says otherwise.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "foundation/collections/bvu_collectable.h"

class BvuListElem : public BvuCollectable {
 public:
  const char* GetNameText(std::int32_t arg = 0) override;
  // Writes "[" address "]".
  virtual void PrintAddress(std::ostream& out);

  BvuListElem* next = nullptr;
};

// Where a list starts and ends.
struct BvuListHead {
  std::int32_t count = 0;
  BvuListElem* first = nullptr;
  BvuListElem* last = nullptr;
};

// An element that only points at another object; it never owns it.
class BvuListPtr : public BvuListElem {
 public:
  explicit BvuListPtr(void* object = nullptr) : object_(object) {}
  void* Object() const { return object_; }
  void SetObject(void* object) { object_ = object; }

 private:
  void* object_;
};

// Base of the timed elements (timers, explicit events).
class BvuTimerListElem : public BvuListElem {};
