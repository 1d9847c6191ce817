#include "platform/run_captured.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace platform {

void OutputLines::Feed(std::string_view bytes, const Sink& sink) {
  for (char c : bytes) {
    pending_.push_back(c);
    if (c == '\n' || pending_.size() == kMaxLine) {
      if (sink) sink(pending_);
      pending_.clear();
    }
  }
}

void OutputLines::Finish(const Sink& sink) {
  if (!pending_.empty() && sink) sink(pending_);
  pending_.clear();
}

namespace {

// Closes what it holds on every way out.
struct SpawnParts {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  int pipe_ends[2] = {-1, -1};
  bool have_actions = false, have_attributes = false;
  ~SpawnParts() {
    if (have_actions) posix_spawn_file_actions_destroy(&actions);
    if (have_attributes) posix_spawnattr_destroy(&attributes);
    for (int fd : pipe_ends) {
      if (fd >= 0) close(fd);
    }
  }
};

int Prepare(SpawnParts* parts, const std::string& folder, int input,
            const std::vector<int>& kept) {
  if (input >= 0 && lseek(input, 0, SEEK_SET) != 0) return errno;
  for (int fd : kept) {
    if (fd <= STDERR_FILENO) return EBADF;
  }
  if (pipe2(parts->pipe_ends, O_CLOEXEC) != 0) return errno;
  int rc = posix_spawn_file_actions_init(&parts->actions);
  if (rc != 0) return rc;
  parts->have_actions = true;
  rc = posix_spawn_file_actions_adddup2(&parts->actions, parts->pipe_ends[1], STDOUT_FILENO);
  if (rc == 0 && input >= 0) {
    rc = posix_spawn_file_actions_adddup2(&parts->actions, input, STDIN_FILENO);
  } else if (rc == 0) {
    rc = posix_spawn_file_actions_addopen(&parts->actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  // Onto itself: the child keeps it open across exec.
  for (int fd : kept) {
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&parts->actions, fd, fd);
  }
  if (rc == 0 && !folder.empty()) {
    rc = posix_spawn_file_actions_addchdir_np(&parts->actions, folder.c_str());
  }
  if (rc != 0) return rc;
  rc = posix_spawnattr_init(&parts->attributes);
  if (rc != 0) return rc;
  parts->have_attributes = true;
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE, SIGCHLD}) {
    sigaddset(&defaults, signal);
  }
  rc = posix_spawnattr_setsigmask(&parts->attributes, &empty);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(&parts->attributes, &defaults);
  if (rc == 0) {
    rc = posix_spawnattr_setflags(&parts->attributes,
                                  POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  return rc;
}

}  // namespace

bool RunCaptured(const std::vector<std::string>& argv, const std::string& folder,
                 const OutputLines::Sink& on_line, int* exit_code, int* error, int input,
                 const std::vector<int>& kept, const std::vector<std::string>* environment) {
  *exit_code = -1;
  *error = 0;
  if (argv.empty()) {
    *error = EINVAL;
    return false;
  }
  SpawnParts parts;
  int rc = Prepare(&parts, folder, input, kept);
  if (rc != 0) {
    *error = rc;
    return false;
  }
  std::vector<char*> words;
  for (const auto& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  std::vector<char*> settings;
  if (environment != nullptr) {
    for (const auto& setting : *environment) settings.push_back(const_cast<char*>(setting.c_str()));
    settings.push_back(nullptr);
  }
  pid_t pid = -1;
  rc = posix_spawnp(&pid, words[0], &parts.actions, &parts.attributes, words.data(),
                    environment != nullptr ? settings.data() : environ);
  if (rc != 0) {
    *error = rc;
    return false;
  }
  close(parts.pipe_ends[1]);
  parts.pipe_ends[1] = -1;

  OutputLines lines;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(parts.pipe_ends[0], buffer, sizeof buffer);
    if (got > 0) {
      lines.Feed(std::string_view(buffer, static_cast<std::size_t>(got)), on_line);
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  lines.Finish(on_line);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      *error = errno;
      return false;
    }
  }
  *exit_code = WIFEXITED(status)     ? WEXITSTATUS(status)
               : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                     : -1;
  return true;
}

}  // namespace platform
