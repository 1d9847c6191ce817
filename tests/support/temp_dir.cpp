#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace testsupport {

namespace {

// A socket address holds 107 characters: below a long temporary folder the
// tests' pipe folders would not fit, so they go below /tmp then.
std::filesystem::path ShortEnoughBase() {
  constexpr std::size_t kMostBase = 40;
  std::filesystem::path base = std::filesystem::temp_directory_path();
  std::error_code ec;
  if (base.native().size() > kMostBase && std::filesystem::is_directory("/tmp", ec)) base = "/tmp";
  return base;
}

}  // namespace

TempDir::TempDir() : TempDir(ShortEnoughBase()) {}

TempDir::TempDir(const std::filesystem::path& base) {
  std::string templ = (base / "vantor-test-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::WriteFile(const std::string& name, const std::string& bytes) const {
  const auto file = path_ / name;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}

std::string ReadFileBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
