// The working-folder part of the problem manager: the run folder of the
// simulation (a sub-folder of the working folder named after it), the lock
// file that keeps a second engine out of it, the back-up and restore of the
// result files, the clean-up of temporary and result files, and the look-ups
// of the outside installations that the engine loads libraries from.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/interfaces/working_folder.h"
#include "platform/posix_file.h"
#include "platform/status.h"

namespace SimWorkingFolder {

inline constexpr char kLockFileName[] = "OrvelQVLock.aml";
inline constexpr Status kNoPendingName = 0xA032FFFFu;
inline constexpr Status kCannotCreate = 0x803201FEu;
// Of OpenRunFolder: another engine holds the run folder.
inline constexpr Status kInUse = 0x803201FDu;
// The service and command by which the client hears that the run files were
// restored from their back-ups.
inline constexpr std::uint32_t kRestoredService = 95;
inline constexpr std::uint32_t kRestoredCommand = 136;

// The folder with a trailing separator (the empty text stays empty).
std::string WithSeparator(std::string folder);

// The current directory with a trailing separator; kFailure when it cannot
// be read.
Status GetCurrentFolder(std::string* folder);
Status RemoveFile(const char* path);

// The lock probe of client command 141 on folder/name (name alone without a
// folder): kOk when no engine holds the folder, kFailure when one does,
// kCannotCreate when no lock can be taken there (*why, when given, then
// names what stands at the lock file's name, or why none can be made).
// Leaves no lock file; one that others could open is replaced first, as
// OpenRunFolder replaces it.
Status CheckFolder(const char* folder, const char* name, std::string* why = nullptr);

// In the current folder: makes fresh back-ups of "snapshot.snp" and
// "PlotData.cpd" after a clean end, or restores them from the back-ups the
// last run left behind and then calls `restored`.
Status BackUpOrRestore(const std::function<void()>& restored);

// Deletes "snapshot.snp" and "PlotData.cpd" in the folder open as the
// descriptor (a name, never by a path that could meanwhile lead elsewhere):
// the status of the last deletion tried, kFailure when neither existed.
Status DeleteResultFiles(int folder);
// Deletes every "*.tmp" of the folder open as the descriptor, read-only or
// not; failures are ignored.
void DeleteTempFiles(int folder);

// The folders of the problem manager and the lock it holds on the run folder.
class Folders {
 public:
  Folders() = default;
  ~Folders();
  Folders(const Folders&) = delete;
  Folders& operator=(const Folders&) = delete;

  // Empty while there is none; otherwise ending in a separator.
  const std::string& WorkingFolder() const { return working_; }
  // Takes the folder (a separator is added) and puts it on the library
  // search path in place of the old one, searched after every other added
  // folder; the status of the addition.
  Status SetWorkingFolder(const char* folder);
  // Empty until a run folder was entered ("NULL" where a path needs it).
  const std::string& RunName() const { return run_name_; }
  const char* RunNameOrNull() const { return run_name_.empty() ? "NULL" : run_name_.c_str(); }
  // The run folder entered last, with a separator (the working folder and
  // "NULL" before one was).
  std::string RunFolder() const;
  // The run folder entered last, open (-1 before one was): what the engine
  // deletes there goes through it.
  int RunFolderDescriptor() const { return run_fd_.get(); }
  // The folder the last OpenRunFolder tried to enter, for its messages.
  const std::string& TriedRunFolder() const { return tried_folder_; }

  void SetPendingName(const std::string& name) { pending_name_ = name; }
  void SetPendingSearchPath(const std::string& path) { pending_search_path_ = path; }
  const std::string& ExtraSearchPath() const { return search_path_; }
  // The library search paths the client added (command 4), oldest first.
  void AddClientSearchPath(const std::string& path) { client_paths_.push_back(path); }
  const std::vector<std::string>& ClientSearchPaths() const { return client_paths_; }

  // Enters the working folder, creates the run folder named by the pending
  // name, takes the lock file there and enters it: the status of making the
  // run folder (*why, when given, then says why it failed), kNoPendingName
  // without a pending name. A run folder that cannot be made or entered
  // gets no lock file; one that is a symbolic link of a user other than
  // ours or root is refused, one another engine holds is kInUse, and one
  // whose lock cannot be taken (a link, a folder, a pipe or another user's
  // file at its name) kCannotCreate. The lock file is made 0600; one of
  // ours that others can open is replaced (under a renewal lock beside
  // it), as anyone who can open it could hold it. Only a folder entered
  // becomes the run folder: after a failure the one entered before (if
  // any) stays the run folder, with its lock.
  Status OpenRunFolder(std::string* why = nullptr);
  bool HoldsLock() const { return lock_fd_ >= 0; }
  // Whether the lock held is the lock file of the folder open as `folder`.
  bool HoldsLockIn(int folder) const;
  // Lets go of the lock and deletes the lock file.
  void CloseLock();

 private:
  std::string working_;
  std::string run_name_;
  std::string run_folder_;
  platform::FileDescriptor run_fd_;
  std::string tried_folder_;
  std::string pending_name_;
  std::string pending_search_path_;
  std::string search_path_;
  std::string lock_path_;
  std::vector<std::string> client_paths_;
  int lock_fd_ = -1;
};

// The installation look-ups: 0 when the installation was found (its folder
// is then on the library search path), 1 when not. Messages go to `report`
// with their status.
using LookupReport = std::function<void(Status status, const std::string& text)>;
std::int32_t FindSolverFramework(const LookupReport& report);
std::int32_t FindModellingFramework(const LookupReport& report);
std::int32_t FindPropertiesSystem(const LookupReport& report);

}  // namespace SimWorkingFolder
