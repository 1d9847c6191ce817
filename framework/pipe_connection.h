// Connections between two processes of this machine: a pair of named pipes
// (NT) or of mailslots (9x). Each side creates the one it reads from, named
// for the peer as sender and itself as receiver, and opens the peer's for
// writing; whichever side comes first waits for the other without blocking.
#pragma once

#include <cstdint>
#include <string>

#include "framework/connection.h"
#include "platform/local_socket.h"

class XosPipeConnection : public XosConnection {
 public:
  // Read pipe "\\.\Pipe\XosFrom_<peer>_To_<own>SESSION<session>", write
  // pipe the same with the numbers swapped. The read pipe is created here.
  XosPipeConnection(std::uint32_t own_number, std::uint32_t peer_number, std::uint32_t session_id);
  ~XosPipeConnection() override;

  // Opens the read side when needed (37 while the peer has not opened it).
  // Nothing there now: 0 bytes, 0. A peer that is gone: 0x80000035.
  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override;
  // Opens the write side when needed (0 written, 0 while the peer's pipe is
  // not there). A pipe that takes only part of the bytes now takes the rest
  // later. A peer that is gone: 0x80000035.
  Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override;
  Status Open() override;
  const char* GetReadName() override { return read_name_.c_str(); }
  const char* GetWriteName() override { return write_name_.c_str(); }

 private:
  Status OpenReadSide();
  Status OpenWriteSide();

  std::string read_path_;
  std::string write_path_;
  // Why no socket path could be made (the names cannot work here).
  Status refusal_ = 0;
  int listener_ = -1;
  int read_ = -1;
  int write_ = -1;
  platform::BoundFile bound_;
};

class XosMailConnection : public XosConnection {
 public:
  // Read mailslot "\\.\mailslot\X" + base64(session) + "." +
  // base64(peer * 16 + own); the write mailslot has the numbers swapped.
  XosMailConnection(std::uint32_t own_number, std::uint32_t peer_number, std::uint32_t session_id);
  ~XosMailConnection() override;

  // One whole frame per read; 0 bytes when none has arrived.
  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override;
  // One whole frame per write, or nothing (0 written, 0) while the peer's
  // mailslot is not there or is full.
  Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override;
  std::int32_t StreamKind() override { return kPacketStream; }
  Status Open() override;
  const char* GetReadName() override { return read_name_.c_str(); }
  const char* GetWriteName() override { return write_name_.c_str(); }

 private:
  Status OpenReadSide();
  Status OpenWriteSide();

  std::string read_path_;
  std::string write_path_;
  Status refusal_ = 0;
  int read_ = -1;
  int write_ = -1;
  platform::BoundFile bound_;
};
