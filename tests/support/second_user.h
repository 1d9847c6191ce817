// A second user of the machine, for what another user can do to a folder
// that several users write to: a part run in a child process as "nobody".
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace testsupport {

struct SecondUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string why_not;  // set when this process cannot act as another user
  SecondUser() {
    const passwd* user = ::getpwnam("nobody");
    if (::geteuid() != 0) {
      why_not = "acting as a second user needs root (to switch to nobody)";
    } else if (user == nullptr || user->pw_uid == 0) {
      why_not = "this machine has no user nobody to act as a second user";
    } else {
      uid = user->pw_uid;
      gid = user->pw_gid;
    }
  }
  bool Available() const { return why_not.empty(); }

  // Runs part as the second user in a child process: its exit code (the
  // part's answer, 0 for success), or -1 when it could not run.
  template <typename Part>
  int Run(Part part) const {
    if (!Available()) return -1;
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(120);
      ::_exit(part());
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
  }
};

// A fresh folder that the second user can reach (every folder above it
// lets them pass), removed with its contents when the object goes: under
// the temporary folder when they can reach that, else under /tmp or
// /var/tmp. path() is empty when there is none; why_not then says why.
class ReachableFolder {
 public:
  explicit ReachableFolder(const SecondUser& user) {
    if (!user.Available()) {
      why_not = user.why_not;
      return;
    }
    std::error_code ec;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(ec);
    for (const std::filesystem::path& base :
         {temporary, std::filesystem::path("/tmp"), std::filesystem::path("/var/tmp")}) {
      if (base.empty()) continue;
      std::string made = (base / "vantor-shared-XXXXXX").string();
      if (::mkdtemp(made.data()) == nullptr) continue;
      ::chmod(made.c_str(), 0755);
      const std::string probe = made;
      if (user.Run([&] { return ::access(probe.c_str(), X_OK) == 0 ? 0 : 1; }) == 0) {
        path_ = made;
        return;
      }
      std::filesystem::remove_all(made, ec);
    }
    why_not = "no folder the second user can reach: not under " + temporary.string() +
              ", /tmp or /var/tmp";
  }
  ~ReachableFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ReachableFolder(const ReachableFolder&) = delete;
  ReachableFolder& operator=(const ReachableFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  std::string why_not;

 private:
  std::filesystem::path path_;
};

}  // namespace testsupport
