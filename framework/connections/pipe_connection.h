// Connections between two processes of this machine: a pair of named pipes
// (NT) or of mailslots (9x). Each side creates the one it reads from, named
// for the peer as sender and itself as receiver, and opens the peer's for
// writing; whichever side comes first waits for the other without blocking.
#pragma once

#include <cstdint>
#include <string>

#include "framework/connections/connection.h"
#include "platform/local_socket.h"
#include "platform/socket.h"

// What both pairs share: the socket paths of the two names, the write side
// opened to the peer's, opening, reading and writing. A subclass creates its
// read side, in its constructor already, so that the peer can reach it
// whenever it comes.
class XosLocalPairConnection : public XosConnection {
 public:
  ~XosLocalPairConnection() override;

  // Opens the read side when needed (37 while the peer has not opened it).
  // Nothing there now: 0 bytes, 0. A peer that is gone: 0x80000035. A
  // mailslot read gives one whole frame; a datagram larger than the buffer
  // is a damaged frame (0x8000FFFF).
  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override;
  // Opens the write side when needed (0 written, 0 while the peer's side is
  // not there). A side that takes only part of the bytes now takes the rest
  // later. A peer that is gone: 0x80000035.
  Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override;
  // Opens what is not open yet: 0 once both sides are, 37 while the peer is
  // not there, 0x8000020F for names that cannot be sockets here (said once
  // on standard error), 0x8000FFFF for other failures.
  Status Open() override;
  // The read side (the pipe's listener until the peer has come) and the
  // write side. The peer's read side has no descriptor here until it is
  // opened; the peer arriving at ours says that it is there.
  void AddReadiness(std::vector<platform::Readiness>* items, bool read, bool write) override;
  const char* GetReadName() override { return read_name_.c_str(); }
  const char* GetWriteName() override { return write_name_.c_str(); }

 protected:
  using Connector = int (*)(const std::string& path, int* error);
  using Receiver = platform::Transfer (*)(int fd, void* data, std::size_t count);

  XosLocalPairConnection(std::string read_name, std::string write_name, Connector connect,
                         Receiver receive);

  virtual Status OpenReadSide() = 0;
  // What a reader waits on before the read side is open.
  virtual int ArrivalDescriptor() const { return -1; }
  Status OpenWriteSide();

  std::string read_path_;
  std::string write_path_;
  Status refusal_ = 0;  // why the names cannot become socket paths
  int read_ = -1;
  int write_ = -1;
  platform::BoundFile bound_;

 private:
  Connector connect_;
  Receiver receive_;
};

class XosPipeConnection : public XosLocalPairConnection {
 public:
  // Read pipe "\\.\Pipe\XosFrom_<peer>_To_<own>SESSION<session>", write
  // pipe the same with the numbers swapped.
  XosPipeConnection(std::uint32_t own_number, std::uint32_t peer_number, std::uint32_t session_id);
  ~XosPipeConnection() override;

  // After the peer was killed: the socket it read from, which it could not
  // remove itself, goes (only a socket of this user).
  static void RemoveKilledPeerSocket(std::uint32_t own_number, std::uint32_t peer_number,
                                     std::uint32_t session_id);

 private:
  Status OpenReadSide() override;
  int ArrivalDescriptor() const override { return listener_; }

  int listener_ = -1;
};

class XosMailConnection : public XosLocalPairConnection {
 public:
  // Read mailslot "\\.\mailslot\X" + base64(session) + "." +
  // base64(peer * 16 + own); the write mailslot has the numbers swapped.
  // Every read and write moves one whole frame.
  XosMailConnection(std::uint32_t own_number, std::uint32_t peer_number, std::uint32_t session_id);

  std::int32_t StreamKind() override { return kPacketStream; }

 private:
  Status OpenReadSide() override;
};
