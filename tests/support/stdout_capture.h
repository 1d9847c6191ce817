// Captures what the process writes to standard output (through stdio or the
// descriptor) between construction and Take(), for code that prints there.
#pragma once

#include <string>

namespace testsupport {

class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Stops capturing and returns everything written meanwhile.
  std::string Take();

 private:
  int saved_fd_ = -1;
  int file_fd_ = -1;
};

}  // namespace testsupport
