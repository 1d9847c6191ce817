// The process's file creation mask set for the lifetime of the object: an
// engine started meanwhile, and whatever it builds, inherits it.
#pragma once

#include <sys/stat.h>

namespace testsupport {

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t old_;
};

}  // namespace testsupport
