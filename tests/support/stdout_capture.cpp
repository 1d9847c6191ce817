#include "tests/support/stdout_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace testsupport {

StdoutCapture::StdoutCapture() {
  char name[] = "/tmp/vantor-stdout-XXXXXX";
  file_fd_ = mkstemp(name);
  if (file_fd_ < 0) return;
  unlink(name);
  std::fflush(stdout);
  saved_fd_ = dup(STDOUT_FILENO);
  dup2(file_fd_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { Take(); }

std::string StdoutCapture::Take() {
  std::string text;
  if (saved_fd_ < 0) return text;
  std::fflush(stdout);
  dup2(saved_fd_, STDOUT_FILENO);
  close(saved_fd_);
  saved_fd_ = -1;
  char block[4096];
  lseek(file_fd_, 0, SEEK_SET);
  for (ssize_t n; (n = read(file_fd_, block, sizeof block)) > 0;) text.append(block, n);
  close(file_fd_);
  file_fd_ = -1;
  return text;
}

}  // namespace testsupport
