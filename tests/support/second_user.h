// A second user of the machine, for what another user can do to a folder
// that several users write to: a part run in a child process as "nobody".
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

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

}  // namespace testsupport
