// DseController: the one message controller of a process. It reads the
// command line, sets up the I/O queue and, in the top-level process, the
// process manager; connects the process to its peers; sends messages and
// keeps the requests that wait for replies; and in each polling round reads
// every peer and dispatches what arrived: requests to the servers of the
// registry it borrows, replies to their pending requests. It re-runs the
// templates of periodic requests on the rounds with timers. The server
// thread owns it; it publishes itself as the process's controller and runs
// on that thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/collections/list_elem.h"
#include "framework/messaging/bb_tree.h"
#include "framework/messaging/message_controller.h"
#include "platform/status.h"

class DseAsyncClient;
class DseComputeNode;
class DseIOQueue;
class DseProcess;
class DseProcessManager;
class DseServerRegistry;
class DseTemplate;
class XosComputeNode;
class XosSocketLayer;

// The timer of a kept template: every active timer fills its template once
// per round with timers. The controller's timer list owns it, not the
// template.
class DseTemplateTimer : public BvuTimerListElem {
 public:
  explicit DseTemplateTimer(DseTemplate* kept) : timer_id(kept), kept_template(kept) {}

  double time = 0.0;
  std::uint32_t active = 1;
  const void* timer_id;
  DseTemplate* kept_template;
};

class DseController : public DseMessageController {
 public:
  static constexpr Status kNoConfiguration = 0x800001FBu;
  static constexpr Status kNotPending = 21;
  // The deferred line of a working folder that could not be entered.
  static constexpr std::uint32_t kLogEventCode = 16;
  static constexpr Status kBadWorkingFolder = 0x80000044u;
  // Connection states.
  static constexpr std::uint32_t kConnecting = 0;
  static constexpr std::uint32_t kAllOpen = 2;
  static constexpr std::uint32_t kAllConnected = 4;
  static constexpr std::int32_t kConnectRounds = 10;
  // A process whose handshake has not completed this long after it started
  // is an orphan: once a poll has dispatched what it read, it says so and
  // reports the peer lost, so that the process ends.
  static constexpr std::uint32_t kDefaultConnectDeadlineMs = 60000;
  // Longest value of a command line item other than the working folder.
  static constexpr std::size_t kMaxArgument = 99;
  static constexpr std::size_t kMaxHostName = 39;

  // Reads the command line items "-ChildNo", "-ParentNode", "-DefDir" and
  // "-SessionId" ("name=value"; others are ignored). A top-level process (no
  // child number) reads the process manager's configuration file. status:
  // 0, 0x800001FB without a configuration name, 0xA000FFFF for a bad item,
  // or the failure of the I/O queue or of the configuration file.
  DseController(std::int32_t argc, const char* const* argv, const char* configuration,
                Status* status);
  // Stops the children, then lets go of the tables, the I/O queue with its
  // connections and the socket layer.
  ~DseController();
  DseController(const DseController&) = delete;
  DseController& operator=(const DseController&) = delete;

  // Borrows the registry until ReleaseServerRegistry. A child adds its
  // parent as a peer; the top-level process keeps the client and starts its
  // configured children. Then connects as StartWithPeers does.
  Status Start(DseServerRegistry* registry, DseAsyncClient* client);
  // Start for an owner that has added the peers itself (through IOQueue()):
  // waits for the connections (a severe failure is returned), announces the
  // registry's types, and in the top-level process sends the peer list and
  // the connect message.
  Status StartWithPeers(DseServerRegistry* registry, DseAsyncClient* client);
  // One round: posts the deferred lines, reads every peer (a failure, such
  // as 0xA0000037 for a lost peer, is returned at once), dispatches what
  // arrived and flushes. 0x8000FFFF before set-up.
  Status Poll() override;
  // A round that fills every active timer's template first and sends its
  // values; deferred lines wait for Poll.
  Status PollWithTimers();
  // For work that holds the polling thread: reads every peer without
  // dispatching (what arrived waits for the next round, in order) and
  // answers whether the work should end: a peer is lost, or a message
  // arrived that `ends` matches. False before set-up.
  bool EndRequested(const std::function<bool(DseMessage&)>& ends);
  Status Send(DseMessage* message, std::uint32_t options, DseClientCB* client, void* context,
              const double* interval, std::int32_t timeout_ms) override;
  // 0, 21 without such a pending request, 0xA000FFFF before set-up.
  Status CancelRequest(std::uint32_t id) override;
  Status PostEvents(std::uint32_t code, std::int32_t count, const std::uint32_t* values,
                    const std::uint32_t* line_counts, const char* const* const* lines,
                    DseSentMark* mark) override;
  bool OutputWaiting() override;
  // Hands the registry back and forgets it (also after a failed set-up).
  void ReleaseServerRegistry(DseServerRegistry** registry);
  // One received message; takes it. 0xA000FFFF before set-up.
  Status Dispatch(DseMessage* message);
  // Opens every peer's connection, up to rounds rounds 1 s apart: 0 when
  // all are open, 0xA0000035 when a child failed meanwhile, else the last
  // failure; 0x8000FFFF for rounds below 1, 0xA000FFFF before set-up.
  Status WaitForConnections(std::int32_t rounds);

  // While set, nothing is sent.
  void SetClosing(bool closing) { closing_ = closing ? 1 : 0; }
  void SetConnectDeadline(std::uint32_t ms) { connect_deadline_ms_ = ms; }
  // Tells the asynchronous client that a child failed: the format with the
  // child's name and second, its collected output (or fallback), code 9.
  void ReportProcessFailure(const char* format, DseProcess& process, const char* second,
                            const char* fallback);

  DseMessage* PendingRequest(std::uint32_t id) const;
  // Completes the pending request with this id, if there is one, with the
  // status: its client hears it and the request is destroyed.
  void FailPending(std::uint32_t id, Status result);
  DseIOQueue* IOQueue() const { return io_.get(); }
  const XosComputeNode* ParentNode() const;
  const std::string& ProgramFolder() const { return program_folder_; }
  std::int32_t ChildNumber() const { return child_number_; }
  std::uint32_t SessionId() const { return session_id_; }
  bool Ready() const { return ready_ != 0; }
  std::uint32_t ConnectionState() const { return connection_state_; }
  std::uint32_t PendingCount() const { return pending_.Count(); }
  std::uint32_t TemplateCount() const { return templates_.Count(); }
  std::uint32_t TimerCount() const { return static_cast<std::uint32_t>(timers_.size()); }
  std::size_t DeferredLineCount() const { return deferred_.size(); }

 private:
  struct DeferredLine {
    std::string text;
    std::uint32_t value;
  };

  Status ReadArgument(const std::string& name, const std::string& value);
  void EnterWorkingFolder(std::string folder);
  Status Round(bool with_timers);
  void PostDeferredLines();
  void RunTimers();
  void DispatchRequest(DseMessage& request);
  void DispatchReply(DseMessage& reply);
  void ExecuteRequest(DseMessage& request);
  void KeepTemplate(DseTemplate* kept);
  // A status-only reply to the request, unless it wants none.
  void Answer(const DseMessage& request, Status result);
  // Packs (a request with a new id), routes with time-out -1 and destroys.
  Status RouteOwn(DseMessage* message);
  DseTemplateTimer* TimerOf(const DseTemplate* kept) const;
  void AddTimer(DseTemplate* kept);
  void RemoveTimer(const DseTemplate* kept);
  void UpdateConnectionState();
  bool PastConnectDeadline() const;
  bool ParentGone() const;
  // Says once which peers never completed the handshake.
  void ReportMissedHandshake();

  std::deque<DeferredLine> deferred_;
  std::unique_ptr<DseComputeNode> local_node_;
  std::unique_ptr<DseComputeNode> parent_node_;
  DseServerRegistry* registry_ = nullptr;
  std::unique_ptr<DseIOQueue> io_;
  // A child's parent when it started: the client that waits for it.
  int parent_pid_ = 0;
  std::unique_ptr<XosSocketLayer> socket_layer_;
  DseAsyncClient* async_client_ = nullptr;
  std::string program_folder_;
  std::int32_t child_number_ = 0;
  std::uint32_t ready_ = 0;
  std::uint32_t session_id_ = 0;
  std::uint32_t connection_state_ = kConnecting;
  std::vector<std::unique_ptr<DseTemplateTimer>> timers_;
  DseBBTree pending_;
  DseBBTree templates_;
  std::unique_ptr<DseProcessManager> process_manager_;
  std::uint32_t closing_ = 0;
  bool started_ = false;
  std::uint32_t start_tick_ = 0;
  std::uint32_t connect_deadline_ms_ = kDefaultConnectDeadlineMs;
  bool missed_handshake_told_ = false;
};
