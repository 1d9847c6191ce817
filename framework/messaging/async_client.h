// The object through which the framework asks the user something or tells
// of a failure that no caller waits for (a child that could not be started
// or has died). The server thread hands one to the controller; it may be
// absent, and then nothing is asked or reported.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

class DseAsyncClient {
 public:
  // Asks for the user name and password to use on a machine; a failure
  // when the user gives none.
  virtual Status AskPassword(const char* prompt, std::string* user, std::string* password) = 0;
  // A failure with its text, a detail text and a code (9 a child has
  // failed, 10 a child could not be started).
  virtual Status ReportFailure(const char* text, const char* detail, std::uint32_t code) = 0;

 protected:
  ~DseAsyncClient() = default;
};
