// Named pipes and mailslots of one machine as Unix-domain sockets: the pipe
// "\\.\Pipe\NAME" is a stream socket at FOLDER/NAME, the mailslot
// "\\.\mailslot\NAME" a datagram socket at FOLDER/mailslot.NAME, where FOLDER
// is $VANTOR_PIPE_DIR or /tmp/vantor-<uid> (made with mode 0700). The side
// that binds a name removes a stale socket file first and its own file when
// it is done. Every descriptor from here is non-blocking; the caller owns it.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The folder of the socket files, made when missing; false with *error
// saying why when it cannot be used.
bool LocalEndpointFolder(std::string* folder, std::string* error);

// The socket path of an engine pipe or mailslot name (the prefixes are
// matched ignoring case). False with *error saying why for a name of another
// form, or when the path would not fit a socket address.
bool LocalEndpointPath(const std::string& name, std::string* path, std::string* error);

// What a bound socket file is, so that only that file is ever removed (an
// inode number alone may come back for the next file made there).
struct BoundFile {
  std::string path;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t changed_ns = 0;
};

// A stream socket bound to the path and listening with the largest backlog;
// -1 with *error set on failure.
int ListenLocal(const std::string& path, BoundFile* bound, int* error);
// One pending connection, or -1 with *error EAGAIN when none is waiting.
int AcceptLocal(int listener, int* error);
// A stream socket connected to the path; -1 with *error set (ENOENT or
// ECONNREFUSED while nobody listens there, EAGAIN while the backlog is full).
int ConnectLocal(const std::string& path, int* error);

// A datagram socket bound to the path; -1 with *error set on failure.
int BindDatagram(const std::string& path, BoundFile* bound, int* error);
// A datagram socket whose sends go to the path; -1 with *error set (ENOENT
// or ECONNREFUSED while nobody is bound there).
int ConnectDatagram(const std::string& path, int* error);

// Removes the bound file unless it has been replaced by another one since.
void RemoveBoundFile(const BoundFile& bound);

}  // namespace platform
