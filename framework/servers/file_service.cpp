#include "framework/servers/file_service.h"

#include <cerrno>
#include <memory>
#include <string>

#include "foundation/directory/name_path.h"
#include "foundation/files/file_utilities.h"
#include "foundation/interfaces/working_folder.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/messaging/message.h"
#include "platform/posix_file.h"

namespace {

constexpr Status kNoMemory = 0x80000007u;
// The drive field of command 11: at most 31 characters and the NUL.
constexpr std::uint32_t kDriveFieldSize = 32;

// A string field (24-bit length form); a null string reads as empty.
Status ReadText(BvuBinaryStream& request, std::string* text) {
  char* read = nullptr;
  const Status s = request.GetStringNew(&read);
  text->assign(read != nullptr ? read : "");
  delete[] read;
  return status::IsFailure(s) ? s : status::kOk;
}

// Two string fields, directory and name, composed into one path.
Status ReadPath(BvuBinaryStream& request, std::string* path) {
  std::string directory;
  std::string name;
  Status s = ReadText(request, &directory);
  if (status::IsSuccess(s)) s = ReadText(request, &name);
  if (status::IsSuccess(s)) MakeFilePath(nullptr, directory.c_str(), name.c_str(), path);
  *path = NativeFilePath(path->c_str());
  return s;
}

bool Exists(const std::string& path) {
  platform::FileInfo info;
  return platform::GetLinkInfo(path.c_str(), &info, nullptr);
}

// Writes a reply field by field and keeps the first failure.
class ReplyWriter {
 public:
  ReplyWriter(const BvuReplyMaker& make_reply, BvuFileCommand command, Status result)
      : out_(make_reply()), status_(out_ != nullptr ? status::kOk : kNoMemory) {
    U16(static_cast<std::uint16_t>(command));
    U32(result);
  }
  void U8(std::uint8_t value) { Keep(out_ != nullptr ? out_->PutUInt8(value) : 0); }
  void U16(std::uint16_t value) { Keep(out_ != nullptr ? out_->PutUInt16(value) : 0); }
  void U32(std::uint32_t value) { Keep(out_ != nullptr ? out_->PutUInt32(value) : 0); }
  void Text(const std::string& text) { Keep(out_ != nullptr ? out_->PutString(text.c_str()) : 0); }
  void Entries(const BvuDirectoryListing& listing) {
    for (std::size_t at = 0; at < listing.names.size(); ++at) {
      Text(listing.names[at]);
      U8(listing.directory_flags[at]);
    }
  }
  Status status() const { return status_; }

 private:
  void Keep(Status s) {
    if (status::IsSuccess(status_) && status::IsFailure(s)) status_ = s;
  }
  BvuBinaryStream* out_;
  Status status_;
};

Status CurrentDirectory(const BvuReplyMaker& make_reply) {
  std::string path;
  const Status result = platform::CurrentDirectory(&path) ? status::kOk : status::kUnhandled;
  if (path.empty() || path.back() != '/') path += kDirectorySeparator;
  std::string drive;
  std::string directory;
  std::string name;
  SplitFilePath(path.c_str(), &drive, &directory, &name);
  ReplyWriter reply(make_reply, BvuFileCommand::kCurrentDirectory, result);
  reply.Text(drive);
  reply.Text(directory);
  reply.Text(name);
  reply.Text(path);
  return reply.status();
}

Status ChangeDirectory(BvuBinaryStream& request) {
  std::string directory;
  Status s = ReadText(request, &directory);
  if (status::IsFailure(s)) return s;
  // The drive is read and checked; there are no drives to change to.
  char drive[kDriveFieldSize] = {};
  s = request.GetStringInto(drive, kDriveFieldSize);
  if (s == status::kGeneralFailure) {
    SuPrint(status::kBadArguments,
            "Change of directory refused: the drive is longer than 31 characters");
    return status::kBadArguments;
  }
  if (status::IsFailure(s)) return s;
  s = SimWorkingFolder::SetCurrentFolder(directory.c_str());
  return status::IsSuccess(s) ? kFolderChanged : s;
}

Status CreateDirectory(BvuBinaryStream& request) {
  std::string directory;
  const Status s = ReadText(request, &directory);
  if (status::IsFailure(s)) return s;
  const std::string native = NativeFilePath(directory.c_str());
  int error = 0;
  if (platform::MakeDirectory(native.c_str(), &error)) return status::kOk;
  platform::FileInfo info;
  const bool existed =
      error == EEXIST && platform::GetFileInfo(native.c_str(), &info, nullptr) && info.is_directory;
  return existed ? status::kOk : status::kUnhandled;
}

Status RemoveDirectory(BvuBinaryStream& request) {
  std::string directory;
  const Status s = ReadText(request, &directory);
  if (status::IsFailure(s)) return s;
  return platform::RemoveDirectory(NativeFilePath(directory.c_str()).c_str()) ? status::kOk
                                                                              : status::kUnhandled;
}

Status ListDirectoryCommand(BvuBinaryStream& request, const BvuReplyMaker& make_reply) {
  std::string directory;
  std::string pattern;
  Status s = ReadText(request, &directory);
  if (status::IsSuccess(s)) s = ReadText(request, &pattern);
  if (status::IsFailure(s)) return s;
  BvuDirectoryListing drives;
  BvuDirectoryListing files;
  BvuDirectoryListing folders;
  std::string files_pattern;
  std::string folders_pattern;
  MakeFilePath(nullptr, directory.c_str(), pattern.c_str(), &files_pattern);
  MakeFilePath(nullptr, directory.c_str(), "*", &folders_pattern);
  // A listing that fails counts as empty; the reply carries its status.
  Status listed = ListDirectory(nullptr, &drives, kListDrives);
  for (const Status part : {ListDirectory(files_pattern.c_str(), &files, kListFiles),
                            ListDirectory(folders_pattern.c_str(), &folders, kListDirectories)}) {
    if (status::IsSuccess(listed)) listed = part;
  }
  ReplyWriter reply(make_reply, BvuFileCommand::kListDirectory, listed);
  reply.U32(
      static_cast<std::uint32_t>(drives.names.size() + files.names.size() + folders.names.size()));
  reply.Entries(drives);
  reply.Entries(files);
  reply.Entries(folders);
  reply.Text(kDriveSeparator);
  reply.Text(kDirectorySeparator);
  return reply.status();
}

Status FindEntries(BvuBinaryStream& request, const BvuReplyMaker& make_reply) {
  std::string pattern;
  const Status s = ReadText(request, &pattern);
  if (status::IsFailure(s)) return s;
  BvuDirectoryListing all;
  const Status listed = ListDirectory("*", &all, 0);
  BvuDirectoryListing kept;
  for (std::size_t at = 0; at < all.names.size(); ++at) {
    if (all.directory_flags[at] != 0 ||
        MatchNamePattern(all.names[at].c_str(), pattern.c_str(), false) != kNameNoMatch) {
      kept.names.push_back(all.names[at]);
      kept.directory_flags.push_back(all.directory_flags[at]);
    }
  }
  ReplyWriter reply(make_reply, BvuFileCommand::kFindEntries, listed);
  reply.U32(static_cast<std::uint32_t>(kept.names.size()));
  reply.Entries(kept);
  return reply.status();
}

Status DeleteFile(BvuBinaryStream& request) {
  std::string path;
  const Status s = ReadPath(request, &path);
  if (status::IsFailure(s)) return s;
  return platform::RemoveFile(path.c_str()) ? status::kOk : status::kUnhandled;
}

// Source and target (directory and name each) and a mode byte.
Status ReadTransfer(BvuBinaryStream& request, std::string* source, std::string* target,
                    std::uint8_t* mode) {
  Status s = ReadPath(request, source);
  if (status::IsSuccess(s)) s = ReadPath(request, target);
  if (status::IsSuccess(s)) s = request.GetUInt8(mode);
  return s;
}

Status CopyFileCommand(BvuBinaryStream& request) {
  std::string source;
  std::string target;
  std::uint8_t mode = 0;
  const Status s = ReadTransfer(request, &source, &target, &mode);
  if (status::IsFailure(s)) return s;
  int error = 0;
  if (status::IsSuccess(CopyFileWithMode(source.c_str(), target.c_str(), mode, &error)))
    return status::kOk;
  CheckDiskFull(source.c_str(), target.c_str(), error);
  return status::kUnhandled;
}

Status MoveFile(BvuBinaryStream& request) {
  std::string source;
  std::string target;
  std::uint8_t overwrite = 0;
  const Status s = ReadTransfer(request, &source, &target, &overwrite);
  if (status::IsFailure(s)) return s;
  if (!Exists(source)) return status::kUnhandled;
  if (Exists(target) && overwrite == 0) return status::kUnhandled;
  // rename replaces the target in one step, so a failed move loses nothing.
  int error = 0;
  if (platform::RenameFile(source.c_str(), target.c_str(), &error)) return status::kOk;
  if (error != EXDEV) return status::kUnhandled;
  if (status::IsFailure(
          CopyFileWithMode(source.c_str(), target.c_str(), overwrite != 0 ? kCopyOverwrite : 0))) {
    return status::kUnhandled;
  }
  return platform::RemoveFile(source.c_str()) ? status::kOk : status::kUnhandled;
}

Status DeleteFiles(BvuBinaryStream& request) {
  std::uint16_t count = 0;
  Status s = request.GetUInt16(&count);
  for (std::uint16_t at = 0; at < count && status::IsSuccess(s); ++at) {
    std::string path;
    s = ReadPath(request, &path);
    if (status::IsSuccess(s) && !platform::RemoveFile(path.c_str())) s = status::kUnhandled;
  }
  return status::IsFailure(s) ? s : status::kOk;
}

Status QueryPathCommand(BvuBinaryStream& request, const BvuReplyMaker& make_reply) {
  std::string path;
  const Status s = ReadText(request, &path);
  if (status::IsFailure(s)) return s;
  std::uint32_t flags = 0;
  const Status found = SimWorkingFolder::QueryPath(path.c_str(), &flags);
  ReplyWriter reply(make_reply, BvuFileCommand::kQueryPath, found);
  reply.U32(flags);
  return reply.status();
}

Status ChangeDriveCommand(BvuBinaryStream& request, const BvuReplyMaker& make_reply) {
  std::uint16_t asked = 0;
  const Status s = request.GetUInt16(&asked);
  if (status::IsFailure(s)) return s;
  std::int32_t drive = asked;
  const Status changed = ChangeDrive(&drive);
  ReplyWriter reply(make_reply, BvuFileCommand::kChangeDrive, changed);
  reply.U16(static_cast<std::uint16_t>(drive));
  return s;
}

}  // namespace

Status RunFileCommand(BvuBinaryStream& request, const BvuReplyMaker& make_reply) {
  std::uint16_t number = 0;
  const Status s = request.GetUInt16(&number);
  if (status::IsFailure(s)) return s;
  switch (static_cast<BvuFileCommand>(number)) {
    case BvuFileCommand::kCurrentDirectory:
      return CurrentDirectory(make_reply);
    case BvuFileCommand::kChangeDirectory:
      return ChangeDirectory(request);
    case BvuFileCommand::kParentDirectory:
      return status::IsSuccess(SimWorkingFolder::SetCurrentFolder("..")) ? kFolderChanged
                                                                         : status::kUnhandled;
    case BvuFileCommand::kCreateDirectory:
      return CreateDirectory(request);
    case BvuFileCommand::kRemoveDirectory:
      return RemoveDirectory(request);
    case BvuFileCommand::kListDirectory:
      return ListDirectoryCommand(request, make_reply);
    case BvuFileCommand::kFindEntries:
      return FindEntries(request, make_reply);
    case BvuFileCommand::kDeleteFile:
      return DeleteFile(request);
    case BvuFileCommand::kCopyFile:
      return CopyFileCommand(request);
    case BvuFileCommand::kMoveFile:
      return MoveFile(request);
    case BvuFileCommand::kDeleteFiles:
      return DeleteFiles(request);
    case BvuFileCommand::kQueryPath:
      return QueryPathCommand(request, make_reply);
    case BvuFileCommand::kChangeDrive:
      return ChangeDriveCommand(request, make_reply);
  }
  return status::kBadArguments;
}

Status BvuFileService::HandleRequest(std::uint32_t, DseMessage* request, DseMessage** reply,
                                     DseTemplate**) {
  *reply = nullptr;
  std::unique_ptr<DseMessage> made;
  const Status s = RunFileCommand(*request, [&made, request]() -> BvuBinaryStream* {
    made.reset(DseMessage::DseMessageAsReply(*request));
    if (made != nullptr) made->sequence = request->sequence + 1;
    return made.get();
  });
  *reply = made.release();
  return s;
}
