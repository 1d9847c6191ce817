#include "codegen/build/build_driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "codegen/build/make_search.h"
#include "codegen/names.h"
#include "codegen/output_folder.h"
#include "foundation/messages/status_and_msg.h"
#include "platform/child_process.h"
#include "platform/dynamic_library.h"
#include "platform/file_trust.h"
#include "platform/loader_environment.h"
#include "platform/posix_file.h"
#include "platform/run_captured.h"
#include "platform/safe_write.h"

namespace codegen {
namespace {
std::int32_t g_warnings = 0;

void Send(const CodegenReport& report, Status status, const std::string& text) {
  if (!report) return;
  // The text is final: "%s" keeps any percent sign in it as it is.
  report(new (std::nothrow) BvuStatusAndMsg(status, "%s", text.empty() ? " " : text.c_str()));
}

const char* Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// A program named by the variable, else the default name, found on the
// build's PATH.
bool HaveProgram(const char* variable, const char* fallback, const std::string& search) {
  const char* named = variable != nullptr ? Variable(variable) : nullptr;
  std::string program = named != nullptr ? named : fallback;
  // A compiler variable may carry flags after the program.
  program = program.substr(0, program.find(' '));
  const std::string path = platform::LocateProgram(program, search);
  return path.find('/') != std::string::npos && access(path.c_str(), X_OK) == 0;
}

// The whole file through its descriptor; false when it cannot be read.
bool ReadHeld(int fd, std::string* text) {
  constexpr std::size_t kMost = std::size_t{64} << 20;
  char buffer[65536];
  for (;;) {
    std::size_t done = 0;
    int error = 0;
    if (!platform::ReadFileAt(fd, buffer, sizeof buffer, text->size(), &done, &error)) return false;
    if (done == 0) return true;
    text->append(buffer, done);
    if (text->size() > kMost) return false;
  }
}

// The PATH value of an environment, empty when it has none.
std::string SearchOf(const std::vector<std::string>& environment) {
  for (const std::string& setting : environment) {
    if (setting.rfind("PATH=", 0) == 0) return setting.substr(5);
  }
  return {};
}

// Make and the compilers take what they find beside the sources (a header
// named in quotes, an object dated ahead, whatever an implicit rule looks
// for), which no list of the build's inputs keeps up with: the build runs
// only where no one else can make names. The line saying why, or empty.
std::string WhyNotBuiltIn(const std::string& folder) {
  std::string shown = folder;
  if (shown.empty() && !platform::CurrentDirectory(&shown)) shown.assign(1, '.');
  std::string resolved;
  const std::string why = platform::WhySearchFolderIsUntrusted(shown, &resolved);
  if (!why.empty()) {
    return "The build does not run in " + shown + ": " + why +
           " (only a folder that no one but its owner can make names in is usable)\n";
  }
  // A default ACL gives what the compiler and linker make there the write
  // it grants, whatever the umask: the library among them.
  if (resolved.empty()) return {};
  const std::string made = platform::WhyWhatIsMadeInIsOpenToOthers(resolved);
  if (made.empty()) return {};
  std::string line = "The build does not run in ";
  line.append(shown).append(": ").append(made).push_back('\n');
  return line;
}

// The build runs where the request wrote its files: a path that leads
// elsewhere by now (one checked by WhyNotBuiltIn, which no one else can
// change from then on) is refused with the line.
std::string WhyNotWhereWritten(const std::string& folder) {
  if (!OutputFolder::IsCurrent(folder)) return {};
  struct stat named {};
  struct stat held {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &named) == 0 &&
      ::fstat(OutputFolder::Current()->fd(), &held) == 0 && named.st_dev == held.st_dev &&
      named.st_ino == held.st_ino) {
    return {};
  }
  return "The build does not run in " + (folder.empty() ? std::string(".") : folder) +
         ": it no longer leads to the folder the files were written in\n";
}

// The script goes only while its name still leads to the file made.
void RemoveScript(const std::string& path, int fd) {
  platform::FileInfo named, made;
  if (platform::GetLinkInfo(path.c_str(), &named, nullptr) &&
      platform::GetOpenFileInfo(fd, &made, nullptr) && named.device == made.device &&
      named.inode == made.inode) {
    platform::RemoveFile(path.c_str());
  }
}
}  // namespace

std::int32_t WarningCount() { return g_warnings; }
void ResetWarningCount() { g_warnings = 0; }

void Warning(const CodegenReport& report, const char* format, const char* text1) {
  ++g_warnings;
  if (report) report(new (std::nothrow) BvuStatusAndMsg(kWarning, format, text1));
}

// In double quotes as designed, unless the shell would expand something
// inside them (the folder comes from the client): then in single quotes.
std::string ShellQuoted(const std::string& text) {
  if (text.find_first_of("\"$`\\") == std::string::npos) return "\"" + text + "\"";
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ShellWord(const std::string& text) {
  if (IsPlainFileToken(text)) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::uint32_t BuildUmask() { return platform::ReadUmask() | 022u; }

std::string SystemPath() {
  std::vector<std::string> dropped;
  return platform::TrustedSearchEntries("/usr/local/bin:/usr/bin:/bin", &dropped, ":");
}

std::string BuildScriptText(const char* environment_file, const char* build_folder,
                            const std::string& make, const std::string& command, std::uint32_t mask,
                            const std::string& system_path,
                            const std::vector<std::string>& judged) {
  std::string text;
  if (environment_file != nullptr) {
    text += ". " + ShellQuoted(environment_file) + "\n";
    // What was judged is what the build runs with: the file may not set,
    // change or unset it after the judgement.
    for (const std::string& entry : judged) {
      const std::size_t equal = entry.find('=');
      const std::string name = entry.substr(0, equal);
      const std::string fail =
          " || { echo " +
          ShellQuoted("The build does not run: the environment file changes " + name +
                      ", which was judged before it (set it before the engine starts)") +
          "; exit 1; }\n";
      if (equal == std::string::npos) {
        text += "[ -z \"${" + name + "+set}\" ]" + fail;
      } else {
        text += "[ \"${" + name + "+set}:${" + name +
                "-}\" = " + ShellWord("set:" + entry.substr(equal + 1)) + " ]" + fail;
      }
    }
  }
  if (build_folder != nullptr) text += "cd " + ShellQuoted(build_folder) + " || exit 1\n";
  // After the environment file, which may set its own.
  char octal[16];
  std::snprintf(octal, sizeof octal, "%04o", mask & 0777u);
  text += std::string("umask ") + octal + "\n";
  // Also after the environment file: an empty or relative entry would find
  // programs in the build folder. So would an empty PATH to the shell, and
  // none at all to make: the system's folders stand in.
  text +=
      "PATH=$(set -f; IFS=:; kept=; for entry in $PATH; do case $entry in /*) "
      "kept=$kept${kept:+:}$entry;; esac; done; printf %s \"$kept\"); "
      "[ -n \"$PATH\" ] || ";
  if (system_path.empty()) {
    text += "{ echo " +
            ShellQuoted("The build has no PATH entry from the root, and no system folder for "
                        "tools (/usr/local/bin, /usr/bin, /bin) is usable") +
            "; exit 1; }; ";
  } else {
    text += "{ PATH=" + ShellWord(system_path) + "; echo " +
            ShellQuoted("The build has no PATH entry from the root: it runs with PATH=" +
                        system_path) +
            "; }; ";
  }
  text += "export PATH\n";
  text += "unset MAKEFLAGS MFLAGS MAKELEVEL MAKEFILES GNUMAKEFLAGS\n";
  text += "exec " + ShellWord(make) + " -f " + command + " 2>&1\n";
  return text;
}

int NextScriptNumber(const std::string& folder) {
  for (int n = 0;; ++n) {
    const std::string name = "domake_" + std::to_string(n) + ".sh";
    // Looked at, not opened: opening a FIFO under the name would wait.
    if (!platform::PathExists(JoinFolderAndName(folder.c_str(), name.c_str()).c_str())) return n;
  }
}

Status RefuseOpenBuildInputs(const CodegenReport& report, const std::vector<std::string>& files) {
  Status result = 0;
  for (const std::string& file : files) {
    if (!platform::PathExists(file.c_str())) continue;
    const std::string why = platform::WhyFileIsUntrusted(file, nullptr, "usable");
    if (why.empty()) continue;
    if (report) Failure(report, "The build does not use %s: %s\n", file.c_str(), why.c_str());
    result = kFailed;
  }
  return result;
}

Status RefuseOpenSourceFolders(const CodegenReport& report, const std::string& build_folder,
                               const std::vector<std::string>& sources) {
  platform::FileInfo built;
  const bool has_built =
      platform::GetFileInfo(build_folder.empty() ? "." : build_folder.c_str(), &built, nullptr);
  Status result = 0;
  for (const std::string& source : sources) {
    if (!platform::PathExists(source.c_str())) continue;
    // The folder as the compiler names it, links and all.
    const std::size_t cut = source.rfind('/');
    const std::string folder =
        cut == std::string::npos ? std::string(".") : cut == 0 ? "/" : source.substr(0, cut);
    platform::FileInfo lies;
    // The build folder has its own check, with its own line.
    if (has_built && platform::GetFileInfo(folder.c_str(), &lies, nullptr) &&
        lies.device == built.device && lies.inode == built.inode) {
      continue;
    }
    const std::string why = platform::WhySearchFolderIsUntrusted(folder, nullptr);
    if (why.empty()) continue;
    if (report) {
      Failure(report,
              "The build does not compile %s where it lies: %s (only a folder that no one but "
              "its owner can make names in is usable)\n",
              source.c_str(), why.c_str());
    }
    result = kFailed;
  }
  return result;
}

Status RefuseOpenSearchFolders(const CodegenReport& report, const std::vector<std::string>& folders,
                               const char* named_by) {
  Status result = 0;
  for (const std::string& folder : folders) {
    // A header or library of anyone's beside ours would be taken as ours.
    const std::string why = platform::WhySearchFolderIsUntrusted(folder, nullptr);
    if (why.empty()) continue;
    if (report) {
      const std::string tail = std::string(named_by != nullptr ? named_by : "") + ")\n";
      Failure(report,
              ("The build does not search %s for headers or libraries: %s (only a folder that "
               "no one but its owner can make names in is usable" +
               tail)
                  .c_str(),
              folder.c_str(), why.c_str());
    }
    result = kFailed;
  }
  return result;
}

Status RefuseOpenMakefileSearch(const CodegenReport& report, const std::string& makefile,
                                const std::string& build_folder,
                                const std::vector<std::string>& environment,
                                std::vector<std::string>* from_environment) {
  std::vector<std::string> settings = environment;
  // Make sets it, whatever the environment says.
  settings.push_back("CURDIR=" + (build_folder.empty() ? std::string(".") : build_folder));
  const MakeSearch search = MakefileSearchFolders(makefile, settings);
  if (from_environment != nullptr) *from_environment = search.environment;
  Status result = 0;
  for (const std::string& line : search.unknown) {
    const auto starts = [&](const char* head) { return line.rfind(head, 0) == 0; };
    const char* why =
        starts("include ") || starts("-include ") || starts("sinclude ") || starts("vpath ") ||
                starts("VPATH ")
            ? "a folder make itself searches, or a makefile it reads, is known only when make "
              "runs (name each as it is, on that line)"
        : line.find("eval") != std::string::npos || line.find(".RECIPEPREFIX") != std::string::npos
            ? "make would read lines only it works out (write them as they are)"
            : "a folder it has the compiler or linker search is known only when make runs (name "
              "each folder as it is, in USERINCLUDEPATHS or USERLIBPATHS)";
    if (report) {
      Failure(report, "The build does not run the makefile's line \"%s\": %s\n", line.c_str(), why);
    }
    result = kFailed;
  }
  // A makefile it includes runs as the user: judged as the makefile is.
  for (const std::string& file : search.files) {
    const std::string path =
        file[0] == '/' || build_folder.empty() ? file : build_folder + "/" + file;
    if (!platform::PathExists(path.c_str())) continue;
    platform::CheckedLibrary checked;
    if (const std::string why = platform::CheckFile(path, "usable", &checked); !why.empty()) {
      if (report) {
        Failure(report, "The build does not read %s, which the makefile includes: %s\n",
                path.c_str(), why.c_str());
      }
      result = kFailed;
    }
  }
  std::vector<std::string> folders, make_folders;
  for (const std::string& folder : search.folders) {
    // Make runs in the build folder.
    const bool by_make = std::find(search.make_folders.begin(), search.make_folders.end(),
                                   folder) != search.make_folders.end();
    (by_make ? make_folders : folders)
        .push_back(folder[0] == '/' || build_folder.empty() ? folder : build_folder + "/" + folder);
  }
  if (RefuseOpenSearchFolders(report, folders,
                              "; the makefile names it: take it out of USERINCLUDEPATHS or "
                              "USERLIBPATHS, or close it") != 0) {
    result = kFailed;
  }
  if (RefuseOpenSearchFolders(report, make_folders,
                              "; make itself searches it for the makefile's VPATH, vpath or "
                              "include line: take it out of that line, or close it") != 0) {
    result = kFailed;
  }
  return result;
}

std::string WhyPathLeadsThroughOthersLink(const std::string& path) {
  std::string start = path;
  std::replace(start.begin(), start.end(), '\\', '/');
  const std::string link = platform::OthersLinkOnWay(start);
  if (link.empty()) return {};
  return "the symbolic link " + link + " on its way belongs to another user";
}

Status CloseBuiltLibrary(const CodegenReport& report, const std::string& path) {
  int error = 0;
  if (platform::CloseToOthersWrites(path.c_str(), &error) || error == ENOENT) return 0;
  if (report) {
    Failure(report, "The library %s that was built cannot be closed to others' writes: %s\n",
            ShownName(path).c_str(), std::strerror(error));
  }
  return kFailed;
}
}  // namespace codegen

Status RunNmakeBuild(const CodegenReport& caller, const char* /*return_folder*/,
                     const char* build_folder, const char* library, bool run, bool delete_makefile,
                     const char* target, bool quiet, bool fortran) {
  using namespace codegen;
  const CodegenReport report = quiet ? CodegenReport() : caller;
  std::string folder;
  if (build_folder != nullptr && *build_folder != '\0') folder = build_folder;
  const std::string makefile = MakefileName(nullptr, library);
  std::string goal;
  if (target != nullptr && *target != '\0') {
    goal += ' ';
    goal += ShellWord(target);
  }
  const std::string command = ShellWord(makefile) + goal;

  // Errors count only when they are reported.
  auto error = [&](const std::string& text) {
    if (report) Failure(report, "%s", text.c_str());
  };
  const char* environment = Variable("VSENVBATFILE");
  // What the build's programs inherit.
  std::vector<std::string> dropped;
  std::vector<std::string> tools = platform::ToolEnvironment(&dropped);
  std::string search = SearchOf(tools);
  const std::string system_path = SystemPath();
  if (run) {
    for (const std::string& line : dropped) {
      Send(report, kProgress, "The build leaves out " + line + "\n");
    }
    // No PATH is the current folder to make: the system's tools instead.
    if (search.empty() && !system_path.empty()) {
      search = system_path;
      tools.push_back("PATH=" + search);
      Send(report, kProgress,
           "The build has no PATH entry from the root: it runs with PATH=" + search + "\n");
    }
  }
  if (environment == nullptr && run) {
    if (fortran && !HaveProgram("FC", "gfortran", search)) {
      error("No suitable FORTRAN compiler was found - compilation aborted\n");
      Send(report, kProgress,
           "INTEL Fortran 2017 or higher version required along with its integration into "
           "Microsoft Visual Studio 2017 or higher\n");
      return kFailureReport;
    }
    if (!HaveProgram("CC", "gcc", search) || !HaveProgram("CXX", "g++", search)) {
      error(
          "No suitable version of Visual Studio was found - compilation aborted.\n"
          "See the online help for details of the supported compilers.\n");
      return kFailureReport;
    }
  }

  const std::string lib = library != nullptr ? library : "";
  if (!run) {
    if (folder.empty()) {
      Send(report, kProgress,
           "To build DLL '" + lib + "', execute the command '" + kMakeCommand + command + "'\n");
    } else {
      Send(report, kProgress,
           "To build DLL '" + lib + "', execute the command '" + kMakeCommand + command +
               "' in directory " + folder + "\n");
    }
    return 0;
  }

  if (const std::string why = WhyNotBuiltIn(folder); !why.empty()) {
    error(why);
    return kFailed;
  }
  if (const std::string why = WhyNotWhereWritten(folder); !why.empty()) {
    error(why);
    return kFailed;
  }
  // The script sources the environment file as this user: checked as the
  // makefile is, and read through the descriptor the check holds.
  platform::CheckedLibrary environment_held;
  std::string environment_read;
  if (environment != nullptr) {
    const std::string named = ResolvePathInFolder(folder.c_str(), environment);
    if (const std::string why = platform::CheckFile(named, "usable", &environment_held);
        !why.empty()) {
      if (report) Failure(report, "The build does not use %s: %s\n", named.c_str(), why.c_str());
      return kFailed;
    }
    environment_read = "/dev/fd/" + std::to_string(environment_held.file.get());
  }
  // Never a make the build folder's shell would find by an empty or
  // relative PATH entry.
  const std::string make = platform::LocateProgram("make", search);
  if (make.empty() || make.front() != '/') {
    error(std::string("Unable to execute ") + kMakeCommand + command + "\nCan't find make\n");
    return kFailed;
  }
  // Make runs what the makefile says, as this user: it reads the file
  // checked, through a descriptor it inherits, whatever the name leads to
  // by then (a missing one too: someone could make it meanwhile).
  const std::string makefile_path = JoinFolderAndName(folder.c_str(), makefile.c_str());
  platform::CheckedLibrary held;
  if (const std::string why = platform::CheckFile(makefile_path, "usable", &held); !why.empty()) {
    if (report)
      Failure(report, "The build does not use %s: %s\n", makefile_path.c_str(), why.c_str());
    return kFailed;
  }
  // The folders its compile and link lines search, read from the bytes
  // make will read.
  std::string makefile_text;
  if (!ReadHeld(held.file.get(), &makefile_text)) {
    error("The build does not use " + makefile_path + ": it cannot be read\n");
    return kFailed;
  }
  std::vector<std::string> from_environment;
  if (RefuseOpenMakefileSearch(report, makefile_text, folder, tools, &from_environment) != 0)
    return kFailed;
  // What the environment file may not change after the judgement.
  std::vector<std::string> judged;
  if (environment != nullptr) {
    std::vector<std::string> names = {"CPATH",
                                      "C_INCLUDE_PATH",
                                      "CPLUS_INCLUDE_PATH",
                                      "OBJC_INCLUDE_PATH",
                                      "LIBRARY_PATH",
                                      "COMPILER_PATH",
                                      "GCC_EXEC_PREFIX",
                                      "LD_PRELOAD",
                                      "LD_AUDIT",
                                      "GCONV_PATH",
                                      "VPATH"};
    for (const std::string& name : from_environment) {
      // The script sets PATH and unsets make's own after the file; CURDIR
      // is make's; a name the shell cannot set is never changed by it.
      const bool shell_name = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0])) &&
                              std::all_of(name.begin(), name.end(), [](char c) {
                                return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
                              });
      if (shell_name && name != "PATH" && name != "CURDIR" && name != "MAKEFLAGS" &&
          name != "MFLAGS" && name != "MAKELEVEL" && name != "MAKEFILES" &&
          name != "GNUMAKEFLAGS" && std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(name);
      }
    }
    for (const std::string& name : names) {
      std::string entry = name;
      for (const std::string& setting : tools) {
        if (setting.size() > name.size() && setting.compare(0, name.size(), name) == 0 &&
            setting[name.size()] == '=') {
          entry = setting;
          break;
        }
      }
      judged.push_back(entry);
    }
  }
  const std::string make_command = "/dev/fd/" + std::to_string(held.file.get()) + goal;
  std::vector<int> kept{held.file.get()};
  if (environment_held.file.valid()) kept.push_back(environment_held.file.get());

  // The number is claimed by making the script: another engine building in
  // the same folder looks for one at the same time, and would run ours. The
  // shell reads the script through the descriptor made here, so a file put
  // in its place under the same name is never run.
  std::string script_name, script;
  platform::FileDescriptor file;
  for (int n = NextScriptNumber(folder);; ++n) {
    script_name = "domake_" + std::to_string(n) + ".sh";
    script = JoinFolderAndName(folder.c_str(), script_name.c_str());
    platform::FileOpenMode mode;
    mode.read = mode.write = mode.exclusive = true;
    int open_error = 0;
    file = platform::OpenOwnedFile(script.c_str(), mode, &open_error);
    if (file.valid() || open_error != EEXIST) break;
  }
  const std::string text =
      BuildScriptText(environment != nullptr ? environment_read.c_str() : nullptr,
                      folder.empty() ? nullptr : folder.c_str(), make, make_command, BuildUmask(),
                      system_path, judged);
  int write_error = 0;
  if (!file.valid() || !platform::WriteAll(file.get(), text.data(), text.size(), &write_error)) {
    if (file.valid()) RemoveScript(script, file.get());
    error("Failed to create " + script_name + " file to execute " + kMakeCommand + command + "\n");
    return kFailed;
  }

  int exit_code = -1, spawn_error = 0;
  const bool started = platform::RunCaptured(
      {"/bin/sh", "-s"}, folder, [&](const std::string& line) { Send(report, kProgress, line); },
      &exit_code, &spawn_error, file.get(), kept, &tools);
  Status result = 0;
  if (!started) {
    error(std::string("Unable to execute ") + kMakeCommand + command + "\n");
    result = kFailed;
  } else if (exit_code != 0) {
    const std::string head = std::string(kMakeCommand) + command + " command failed (return code " +
                             std::to_string(exit_code) + ")\n";
    if (HaveProgram(nullptr, "make", search)) {
      error(head +
            "make ran with errors.\nTo see all errors, invoke the command manually (or see "
            "message window).\n");
    } else {
      error(head + "Can't find make\nTo see all errors, invoke the command manually\n");
    }
    result = kFailed;
  } else {
    Send(report, kProgress, std::string(kMakeCommand) + command + " command succeeded\n");
  }
  RemoveScript(script, file.get());
  if (delete_makefile && result == 0) {
    std::remove(JoinFolderAndName(folder.c_str(), makefile.c_str()).c_str());
  }
  return result;
}

void SummariseBuildOutput(const CodegenReport& report, const char* activity,
                          std::int32_t libraries) {
  using namespace codegen;
  const std::int32_t errors = ErrorCount(), warnings = WarningCount();
  if (errors == 0 && warnings == 0 && libraries == 0) return;
  const std::string what = activity != nullptr ? activity : "";
  std::string text;
  if (errors != 0) {
    text = errors == 1 ? "1 error " : std::to_string(errors) + " errors ";
    text += warnings == 1 ? ", 1 warning" : ", " + std::to_string(warnings) + " warnings";
    text += " " + what;
  } else if (warnings != 0) {
    text = warnings == 1 ? "1 warning " : std::to_string(warnings) + " warnings ";
    text += what;
  }
  if (libraries > 0) {
    const std::string dlls = std::to_string(libraries) + " DLL" + (libraries >= 2 ? "s" : "");
    if (errors == 0 && warnings == 0) {
      text = dlls + " referenced by " + what;
    } else {
      text += " and " + dlls + " referenced";
    }
  }
  Send(report, kProgress, text + ". See above for more details.\n");
}
