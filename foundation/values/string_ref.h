// SUStringRef: the handle that string sets keep per element. Handles of
// different sets may point to one shared record {text, use count}, so that
// copying a string set copies no text. The handle is a plain pointer with no
// destructor: the set that holds it releases it explicitly.
#pragma once

#include <cstdint>

class SUStringRef {
 public:
  // A null handle stands for a missing text.
  const char* Text() const;
  // How many handles hold this record; 0 for a null handle.
  std::uint16_t UseCount() const;
  bool IsSameRecord(const SUStringRef& other) const { return record_ == other.record_; }

  // Releases the held record and takes other's (one more use).
  void Share(const SUStringRef& other);
  // Releases the held record and holds a new one with a copy of the text;
  // a null text leaves the handle null.
  void Set(const char* text);

  friend void ReleaseSharedBuffer(SUStringRef& ref);

 private:
  struct Record {
    char* text;
    std::uint16_t count;
  };
  Record* record_ = nullptr;
};

// Lowers the use count of the held record, freeing text and record at 0,
// and leaves the handle null.
void ReleaseSharedBuffer(SUStringRef& ref);

static_assert(sizeof(SUStringRef) == sizeof(void*), "a handle is one pointer");
