// A fresh folder under the system's temporary folder (under /tmp when
// that one's path is too long for the sockets the tests make in it),
// removed with its contents when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
 public:
  TempDir();
  // Under `base` instead (for a path short enough where fields are cut).
  explicit TempDir(const std::filesystem::path& base);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  // Writes bytes to a file in the folder and returns its path.
  std::filesystem::path WriteFile(const std::string& name, const std::string& bytes) const;

 private:
  std::filesystem::path path_;
};

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& file);

}  // namespace testsupport
