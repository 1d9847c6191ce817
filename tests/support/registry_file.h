// A registry file named by VANTOR_REGISTRY for the lifetime of the object.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/temp_dir.h"

namespace testsupport {

class RegistryFile {
 public:
  explicit RegistryFile(const std::string& text);
  ~RegistryFile();
  RegistryFile(const RegistryFile&) = delete;
  RegistryFile& operator=(const RegistryFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Writes new contents to the same file.
  void Rewrite(const std::string& text) const;

 private:
  TempDir dir_;
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

}  // namespace testsupport
