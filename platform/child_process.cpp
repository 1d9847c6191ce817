#include "platform/child_process.h"

#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsExecutableFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::string CurrentFolder() {
  std::string folder(4096, '\0');
  if (::getcwd(folder.data(), folder.size()) == nullptr) return ".";
  folder.resize(folder.find('\0'));
  return folder;
}

int ExitCodeOfWait(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// Spawn attributes that undo what the engine changed for itself (its console
// signals are blocked for a listener thread, and SIGPIPE is ignored) and
// give the child a process group of its own, so that stopping it also
// stops what it started (the engine under a debugger).
struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() {
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n && IsBlank(line[i])) ++i;
  if (i == n) return words;

  std::string word;
  bool quoted = false;
  for (; i < n && (quoted || !IsBlank(line[i])); ++i) {
    if (line[i] == '"') {
      quoted = !quoted;
    } else {
      word += line[i];
    }
  }
  words.push_back(std::move(word));

  for (;;) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i == n) break;
    word.clear();
    quoted = false;
    while (i < n && (quoted || !IsBlank(line[i]))) {
      if (line[i] == '\\') {
        std::size_t slashes = 0;
        while (i < n && line[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == '"') {
          word.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            word += '"';
            ++i;
          }
        } else {
          word.append(slashes, '\\');
        }
      } else if (line[i] == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          word += '"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        word += line[i++];
      }
    }
    words.push_back(word);
  }
  return words;
}

std::string LocateProgram(const std::string& program) {
  const char* path = std::getenv("PATH");
  return LocateProgram(program, path != nullptr ? path : "");
}

std::string LocateProgram(const std::string& program, const std::string& path) {
  if (program.empty()) return program;
  if (program.find('/') != std::string::npos) {
    return program.front() == '/' ? program : CurrentFolder() + "/" + program;
  }
  std::string_view rest = path;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    std::string folder(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    // An empty or relative entry is a folder below the current one.
    if (folder.empty() || folder.front() != '/') continue;
    const std::string candidate = folder + "/" + program;
    if (!IsExecutableFile(candidate)) continue;
    return candidate;
  }
  return program;
}

std::string FolderOf(const std::string& path) {
  const std::size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return {};
  return cut == 0 ? "/" : path.substr(0, cut);
}

int SpawnProcess(const std::vector<std::string>& argv, const std::string& folder, int* error) {
  if (argv.empty() || argv.front().empty()) {
    *error = ENOENT;
    return -1;
  }
  // A relative program path is resolved by exec after the change of folder:
  // anchor it to the current folder first.
  std::vector<std::string> words = argv;
  if (words[0].find('/') != std::string::npos && words[0].front() != '/') {
    words[0] = CurrentFolder() + "/" + words[0];
  } else if (words[0].find('/') == std::string::npos) {
    // Not posix_spawnp: it would take an empty PATH entry as the current folder.
    words[0] = LocateProgram(words[0]);
    if (words[0].find('/') == std::string::npos) {
      *error = ENOENT;
      return -1;
    }
  }
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  SpawnAttributes attributes;
  pid_t pid = -1;
  const int result =
      ::posix_spawn(&pid, pointers[0], &actions, &attributes.attributes, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    *error = result;
    return -1;
  }
  return pid;
}

namespace {
std::atomic<int> g_parent_for_testing{0};
}  // namespace

int ParentProcessId() {
  const int stand_in = g_parent_for_testing.load();
  return stand_in != 0 ? stand_in : static_cast<int>(::getppid());
}

void SetParentProcessIdForTesting(int pid) { g_parent_for_testing.store(pid); }

bool ChildHasEnded(int pid, int* exit_code) {
  int wait_status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &wait_status, WNOHANG);
    if (r == pid) {
      *exit_code = ExitCodeOfWait(wait_status);
      return true;
    }
    if (r == 0) return false;
    if (errno != EINTR) {
      *exit_code = -1;  // not our child (any more)
      return true;
    }
  }
}

void KillChild(int pid, int* exit_code) {
  if (::kill(-pid, SIGKILL) != 0) ::kill(pid, SIGKILL);
  int wait_status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &wait_status, 0);
  } while (r < 0 && errno == EINTR);
  *exit_code = r == pid ? ExitCodeOfWait(wait_status) : -1;
}

std::string CurrentUserName() {
  passwd entry;
  passwd* found = nullptr;
  std::string buffer(16384, '\0');
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_name != nullptr) {
    return found->pw_name;
  }
  const char* user = std::getenv("USER");
  return user != nullptr ? user : std::to_string(::getuid());
}

bool SystemVersion(int* major, int* minor) {
  utsname names;
  *major = 0;
  *minor = 0;
  if (::uname(&names) != 0) return false;
  return std::sscanf(names.release, "%d.%d", major, minor) == 2;
}

}  // namespace platform
