#include "tests/support/registry_file.h"

#include <cstdlib>

namespace testsupport {

RegistryFile::RegistryFile(const std::string& text) {
  if (const char* old = std::getenv("VANTOR_REGISTRY"); old != nullptr) previous_ = old;
  path_ = dir_.WriteFile("registry.ini", text);
  setenv("VANTOR_REGISTRY", path_.c_str(), 1);
}

RegistryFile::~RegistryFile() {
  if (previous_) {
    setenv("VANTOR_REGISTRY", previous_->c_str(), 1);
  } else {
    unsetenv("VANTOR_REGISTRY");
  }
}

void RegistryFile::Rewrite(const std::string& text) const { dir_.WriteFile("registry.ini", text); }

}  // namespace testsupport
