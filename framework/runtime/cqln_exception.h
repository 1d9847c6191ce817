// The exception that library code throws to hand a status and a message to
// the engine code that called it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

class CQLNException {
 public:
  // A null text is kept as an empty one.
  CQLNException(Status code, const char* text);

  Status Code() const { return code_; }
  const char* Text() const { return text_.c_str(); }

 private:
  Status code_;
  std::string text_;
};

[[noreturn]] void ThrowCQLNException(Status code, const char* text);
