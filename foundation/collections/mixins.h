// Small interface mix-ins of the utility library, used by the model and solver
// objects: a printable name, a filter flag word and an error status.
#pragma once

#include <cstdint>

#include "platform/status.h"

// Something the message printer can print by name ("@ns" and friends).
class BvuNameable {
 public:
  virtual ~BvuNameable() = default;
  // The kind code of the entry (0 equation row, 12 parameter, 18 switch
  // equation, 22 equivalence); 0 here.
  virtual std::int32_t EntryKind() { return 0; }
  // The printable name; may point into a buffer that the next call reuses.
  virtual const char* GetNameText(std::int32_t /*arg*/ = 0) { return ""; }
};

class BvuFilterable {
 public:
  virtual ~BvuFilterable() = default;
  virtual void SetFlags(std::uint32_t flags) { flags_ |= flags; }
  virtual void ClearFlags(std::uint32_t flags) { flags_ &= ~flags; }
  virtual std::uint32_t GetFlags() { return flags_; }

 protected:
  std::uint32_t flags_ = 0;
};

class BvuError {
 public:
  virtual Status GetStatus() { return status_; }
  virtual Status SetStatus(Status s) {
    status_ = s;
    return status_;
  }
  virtual ~BvuError() = default;

 protected:
  explicit BvuError(Status initial = 0) : status_(initial) {}
  Status status_;
};
