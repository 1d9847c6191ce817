// The process manager of a top-level engine process: it reads the machines
// and child processes of its configuration file, starts each child with the
// command line that tells it its number, session, folder and parent, makes
// it a peer of the I/O queue, and stops the children when the controller
// goes. The controller owns the manager; the manager owns its machines, its
// process records and the started processes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/collections/list_elem.h"
#include "framework/processes/compute_node.h"
#include "platform/status.h"

class DseAsyncClient;
class DseIOPeers;
class DseMessage;
class XosProcess;

// One configured child.
class DseProcess : public BvuListElem {
 public:
  enum State : std::uint32_t { kConfigured = 0, kStopped = 1, kStarted = 2 };

  ~DseProcess() override;
  const char* GetNameText(std::int32_t /*arg*/ = 0) override { return name.c_str(); }

  // Reads the child's output channel (499 bytes at a time) onto the
  // collected output until nothing more is there; the channel's failure
  // once the child has gone. 0 for a child not started.
  Status ReadOutput();

  std::uint32_t number = 0;  // the child number, 1 upward in file order
  std::uint32_t state = kConfigured;
  std::string program;
  std::string name;
  DseComputeNode* node = nullptr;  // the manager's
  XosProcess* process = nullptr;   // owned while started
  std::string directory;
  std::string display;
  std::string debugger;
  bool hidden = false;
  std::uint32_t start_flags = 0;  // XosProcess::kVisible, kDebugged
  std::string output;             // what the child's output channel gave
};

class DseProcessManager {
 public:
  // The configuration file read when no name is given.
  static constexpr const char* kDefaultConfiguration = "dse_pm.cfg";
  // Configuration lines are at most this long.
  static constexpr std::size_t kMaxLineLength = 199;
  // Child numbers travel in 16 bits in the peer list.
  static constexpr std::uint32_t kMaxProcesses = 65535;

  // A null node makes a fresh description of this machine (owned here).
  explicit DseProcessManager(DseComputeNode* local_node);
  ~DseProcessManager();
  DseProcessManager(const DseProcessManager&) = delete;
  DseProcessManager& operator=(const DseProcessManager&) = delete;

  // Reads machine and process records; a record in error (or a process
  // beyond the 65,535th) is shown with a caret under the place and "Syntax
  // Error in record <line> at position <column>" on standard output, and
  // skipped. 0x8000000B when the file cannot be opened, or when someone
  // besides this user (or root) could have put or changed it, by the rule
  // of the library loader: then a line on standard error says why.
  Status ReadConfiguration(const char* file_name);

  // Starts every configured child in file order and stops at the first
  // failure; 0x80000040 when none is configured.
  Status StartAll(DseAsyncClient* client, DseIOPeers* queue);
  // Starts one child and makes it a peer of the queue (own number 0,
  // session id = this process's id). A child on another machine started by
  // remote execution without a password asks the client for one (0x80000041
  // without a client). A child already started is refused (0x8000020F); one
  // that the queue refuses as a peer is stopped again (0x8000FFFF). A
  // failure is reported to the client.
  Status StartChild(DseProcess* process, DseAsyncClient* client, DseIOPeers* queue);
  // Stops every started child: state 1.
  void StopAll();

  // The peer list for the children (type 1, subtype 2, class 1): u32
  // count, then per configured process u32 node number, u16 0, u16 process
  // number. Built, not packed; the caller sends it and owns it.
  Status MakePeerListMessage(DseMessage** message);

  // "-ChildNo=n -SessionId=id", then -DefDir="dir" when the child has a
  // folder, then -ParentNode=node:port:host when it runs on another machine,
  // with the port of the listener that waits for that child.
  std::string ChildCommandLine(const DseProcess& process, std::uint16_t listening_port);

  const BvuListHead& Processes() const { return processes_; }
  const BvuListHead& Nodes() const { return nodes_; }
  DseComputeNode* LocalNode() const { return local_; }
  std::uint32_t SessionId() const { return session_id_; }

  // The machine of that name ("local" is this machine); null when unknown.
  DseComputeNode* FindNode(const std::string& name);

 private:
  friend class DseConfigurationReader;

  // The list owns what is appended; the destructor deletes it.
  void Append(BvuListHead* list, std::unique_ptr<BvuListElem> element);

  BvuListHead processes_;
  BvuListHead nodes_;
  DseComputeNode* local_;
  bool owns_local_;
  std::uint32_t session_id_;
};
