// A file opened as a byte stream, so that framed segments can be written to
// and read from files as from a connection, and so that the block files of
// the results can be read and written at given positions. The owner (a
// snapshot or plot-history store) holds the object; destroying it closes
// the file.
#pragma once

#include <cstdint>
#include <string>

#include "framework/connections/base_io.h"
#include "platform/posix_file.h"

class XosFileIO : public XosBaseIO {
 public:
  // Mode flags; the letters (either case) select the first eight.
  static constexpr std::uint16_t kShared = 0x01;      // "S"
  static constexpr std::uint16_t kBinary = 0x02;      // "B"
  static constexpr std::uint16_t kRead = 0x04;        // "R"
  static constexpr std::uint16_t kWrite = 0x08;       // "W"
  static constexpr std::uint16_t kOpenAlways = 0x10;  // "N": open or create
  static constexpr std::uint16_t kMustExist = 0x20;   // "E"
  static constexpr std::uint16_t kUpdate = 0x40;      // "+"
  static constexpr std::uint16_t kText = 0x80;        // "T"
  static constexpr std::uint16_t kDeleteOnClose = 0x1000;

  // Opens the file (never truncating it). *result: 0; 0x8000FFFF for an
  // unknown mode letter (nothing opened); 0x80000015 when "E" is given and
  // the file does not exist; 0x8000000B for any other failure.
  XosFileIO(const char* name, const char* mode, Status* result);
  // The same; without follow_links a symbolic link under the name is not
  // opened (0x8000000B): for the engine's own files in a folder others may
  // write in.
  XosFileIO(const char* name, const char* mode, Status* result, bool follow_links);
  // Takes over a descriptor this process opened under the name (made with
  // an exclusive create), so that whatever is put under the name since is
  // never opened in its place. The flags are the mode flags above.
  XosFileIO(const char* name, platform::FileDescriptor handle, std::uint16_t mode_flags);
  ~XosFileIO() override;
  XosFileIO(const XosFileIO&) = delete;
  XosFileIO& operator=(const XosFileIO&) = delete;

  // Transfers at *position (the current position when null) and leaves the
  // position after the bytes moved there. The end of the file reads 0 bytes
  // with success. 0x8000000B without an open file, 0x8000FFFF on failures.
  Status ReadAt(void* buffer, std::uint32_t count, std::uint32_t* read, std::uint64_t* position);
  Status WriteAt(const void* buffer, std::uint32_t count, std::uint32_t* written,
                 std::uint64_t* position);

  Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override;
  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override;
  std::int32_t StreamKind() override { return kByteStream; }

  // Asks for the file to be removed when the stream is destroyed.
  void SetDeleteOnClose(bool on);

  bool IsOpen() const { return handle_.valid(); }
  // The descriptor, for the owner's locking; -1 when not open.
  int Handle() const { return handle_.get(); }
  const std::string& Name() const { return name_; }
  std::uint64_t Position() const { return position_; }
  std::uint32_t LastSystemError() const { return last_system_error_; }
  std::uint16_t ModeFlags() const { return mode_flags_; }

 private:
  std::string name_;
  platform::FileDescriptor handle_;
  std::uint64_t position_ = 0;
  std::uint32_t last_system_error_ = 0;
  std::uint16_t mode_flags_ = 0;
};
