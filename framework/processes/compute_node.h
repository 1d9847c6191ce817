// Machines the engine's processes run on. An XosComputeNode describes one
// machine: how to reach it and how to start processes there. The process
// manager keeps its machines as DseComputeNodes (its list owns them); the
// controller owns the node of its own machine and of its parent. The socket
// layer holds the process-wide description of the local machine, which
// decides what connects processes of this machine.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/collections/list_elem.h"
#include "platform/socket.h"
#include "platform/status.h"

class XosComputeNode {
 public:
  enum OsKind : std::uint32_t {
    kOtherSystem = 0,
    kVms = 1,
    kWindows9x = 2,
    kWindowsNT = 3,
    kUnix = 4,
  };
  enum StartMethod : std::uint32_t {
    kNoMethod = 0,
    kRemoteExecution = 2,
    kRemoteShell = 3,
    kDcom = 4,
  };

  XosComputeNode() = default;
  virtual ~XosComputeNode() = default;

  // A null or empty host describes this machine: its name, the current user
  // (unless one is given), the system version, and kind NT, whose processes
  // talk through pipe pairs. Another host keeps the kind and the method; a
  // node of another host without a method gets remote execution when its
  // kind is a Windows kind, else the remote shell. The host's address is
  // looked up; a host that cannot be found is no failure here (it has no
  // address, which a remote start reports).
  Status Initialize(const char* host, std::uint32_t kind, std::uint32_t method, const char* user,
                    const char* password);

  // True for this machine: no host name, or a name that is gethostname()'s
  // name when either of them is cut at its first "." (ignoring case), so
  // that "box" and "box.example.com" are the same machine. "localhost" and
  // "127.0.0.1" are not local, so that processes of one machine can use TCP.
  bool IsLocal() const;

  std::uint32_t number = 0;
  std::uint32_t os_kind = kOtherSystem;
  std::uint32_t method = kNoMethod;
  // Where the machine's processes accept TCP connections; 0 when unknown.
  std::uint16_t listening_port = 0;
  platform::HostAddress address;
  std::string user;
  std::string password;
  std::string system_version;  // "%d.%d"
  std::string host_name;
};

// A machine of the process manager's configuration, by its name, with the
// folder its children work in.
class DseComputeNode : public XosComputeNode, public BvuListElem {
 public:
  explicit DseComputeNode(std::string name = {}) : name_(std::move(name)) {}
  const char* GetNameText(std::int32_t arg = 0) override;
  const std::string& Name() const { return name_; }

  std::string directory;

 private:
  std::string name_;
};

// The process's socket layer, made by the controller. Layers may overlap
// and end in any order: while any exists, SIGPIPE is ignored and the one
// process-wide description of the local machine is at hand; when the last
// one ends, the listening sockets are closed and the description dropped.
class XosSocketLayer {
 public:
  XosSocketLayer();
  ~XosSocketLayer();
  XosSocketLayer(const XosSocketLayer&) = delete;
  XosSocketLayer& operator=(const XosSocketLayer&) = delete;

  // The process-wide description of the local machine.
  XosComputeNode& LocalNode();

  // The system kind of the local machine: the socket layer's description,
  // or NT when no socket layer exists.
  static std::uint32_t LocalKind();
};
