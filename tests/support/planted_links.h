// A run folder others could write in: links planted under the names of the
// engine's own files, each leading to a file (or a missing name) in a folder
// outside it, and what that folder held, to compare after the engine ran.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

namespace testsupport {

class PlantedLinks {
 public:
  // Each (name, target) plants run/name -> outside/target; a target with
  // bytes is made first with the given permission bits, one without
  // (empty bytes and mode 0) is left missing.
  struct Plant {
    std::string name;
    std::string target;
    std::string bytes;
    unsigned mode = 0;
  };

  PlantedLinks(const std::filesystem::path& run, const std::vector<Plant>& plants) {
    std::filesystem::create_directories(run);
    for (const Plant& p : plants) {
      const std::filesystem::path target = outside_.path() / p.target;
      if (p.mode != 0) {
        outside_.WriteFile(p.target, p.bytes);
        ::chmod(target.c_str(), p.mode);
      }
      std::filesystem::create_symlink(target, run / p.name);
    }
    before_ = State();
  }

  const std::filesystem::path& Outside() const { return outside_.path(); }

  // Every file of the outside folder: its bytes and permission bits.
  std::map<std::string, std::pair<std::string, unsigned>> State() const {
    std::map<std::string, std::pair<std::string, unsigned>> state;
    for (const auto& entry : std::filesystem::directory_iterator(outside_.path())) {
      struct stat info {};
      ::lstat(entry.path().c_str(), &info);
      state[entry.path().filename().string()] = {ReadFileBytes(entry.path()),
                                                 static_cast<unsigned>(info.st_mode & 07777)};
    }
    return state;
  }
  const std::map<std::string, std::pair<std::string, unsigned>>& Before() const { return before_; }

 private:
  TempDir outside_;
  std::map<std::string, std::pair<std::string, unsigned>> before_;
};

}  // namespace testsupport
