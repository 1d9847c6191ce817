// DseIOQueue: the process's message transport below the controller. The root
// queue (one per process, owned by the controller) keeps a peer queue for
// every process this one talks to. Each peer queue owns its connection, keeps
// its output in five lists by class and writes them without blocking, and
// reassembles what arrives; the root files whole messages in five input
// lists, learns through the connect handshake which peers serve which service
// type, gathers the replies of requests sent to several peers, and reads
// shared-memory batches. Segments and messages name a peer by its queue, so
// root and peers are one class. Everything runs on the server thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "framework/messaging/bb_tree.h"
#include "framework/messaging/io_peers.h"
#include "platform/status.h"

class DseController;
class DseIOQueue;
class DseMessage;
class DseMessageIdAllocator;
class DseProcess;
class DseAssemblyList;
class DseSegment;
class XosComputeNode;
class XosConnection;
namespace platform {
class SharedMemory;
struct Readiness;
}  // namespace platform

// A cell of an output list: one segment waiting to be written to one peer.
// Cells come from a process-wide pool and always go back to it.
struct DseSegmentCell {
  DseSegmentCell* next = nullptr;
  DseSegment* segment = nullptr;
  // Of a reply to the peer: counted against its bound until written.
  bool reply = false;
  // Of a message a peer that keeps no pace may miss (lines, run states),
  // and on its first segment the lines it holds.
  bool droppable = false;
  std::uint32_t lines = 0;
  // The shared block this cell's own copy stands for: its use is held
  // until the copy has gone out whole, so that the block has not left
  // before this peer has taken all of it.
  DseSegment* original = nullptr;

  // A cell holding the segment; null without memory.
  static DseSegmentCell* Take(DseSegment* segment);
  static void Give(DseSegmentCell* cell);
  // Frees the cells lying in the pool.
  static void DrainPool();
};

// The peers that serve one service type, in the order they answered.
class DseIOAddressToken : public DseBBTreeLeaf {
 public:
  explicit DseIOAddressToken(std::uint32_t type) : type_(type) {}
  std::uint32_t GetId() const override { return type_; }

  std::vector<DseIOQueue*> peers;

 private:
  std::uint32_t type_;
};

class DseIOQueue final : public DseIOPeers {
 public:
  static constexpr std::uint32_t kClasses = 5;
  // Queuing this many segments of one class for a peer announces a hold.
  static constexpr std::uint32_t kHoldAt = 10;
  // Messages this large never pause the writer.
  static constexpr std::uint32_t kNoPauseFrom = 1000;
  // Progress of flushing and routing.
  static constexpr Status kOutputLeft = 5;
  static constexpr Status kAllWritten = 58;
  static constexpr Status kRouteTimedOut = 60;
  // A peer whose connection is lost.
  static constexpr Status kPeerLost = 0xA0000037u;
  // A child that failed before its connection opened.
  static constexpr Status kChildFailed = 0xA0000035u;
  // Frames of the hold and release notices.
  static constexpr std::uint32_t kNoticeId = 0xFFFF;
  // What one peer may have pinned in messages it has not completed: a tiny
  // frame takes a whole block, so beyond these its segments are refused
  // (its complete messages still go through).
  static constexpr std::uint32_t kMostIncompleteMessages = 64;
  // The blocks one peer's incomplete messages take once complete, in bytes:
  // a quarter of the machine's memory (at least 256 MB), so that the
  // messages a large model or data set needs fit and no peer can take the
  // memory from the rest. A message that would pass it is refused at its
  // first segment: a request gets a reply with kMessageRefused and a line
  // names its peer; the rest of its segments are dropped as they come.
  static std::uint64_t MostHeldBytes();
  static constexpr Status kMessageRefused = status::kBadArguments;
  // What complete messages may wait unread, of one peer and of all peers
  // together, counted in messages and in the blocks (segments) they take.
  // Beyond either bound a peer is not read on: what it sends waits in the
  // connection (the sender waits) until the filed messages are taken. Only
  // a read for work that holds the server thread (ReadAll with a `keep`)
  // reads on, for the message that ends the work: the rest it refuses.
  static constexpr std::uint32_t kMostFiledMessages = 4096;
  static constexpr std::uint32_t kMostFiledSegments = 8192;
  static constexpr std::uint32_t kMostFiledMessagesOfAll = 4 * kMostFiledMessages;
  static constexpr std::uint32_t kMostFiledSegmentsOfAll = 4 * kMostFiledSegments;
  // A refused request is answered while the peer's output holds fewer
  // segments than this: one that reads nothing gets no more.
  static constexpr std::uint32_t kMostRefusalReplies = 1024;
  // Segments of replies queued for one peer, with the segments of its
  // filed requests that will be answered: from this many on, the peer is
  // not read (what it sends waits in the connection, and the peer with it)
  // until it takes its replies. A peer that sends and never reads fills no
  // memory, and nothing it sent is lost. A read for work that holds the
  // server thread reads on as above: it answers nothing meanwhile.
  static constexpr std::uint32_t kMostQueuedReplies = 1024;
  // Segments of lines and run states queued for a peer that keeps no pace:
  // beyond them the oldest are dropped, and one line ahead of the rest tells
  // the peer how many lines it missed.
  static constexpr std::uint32_t kMostQueuedLines = 32;

  // The root. Checks the byte order (0xA000FFFF when wrong) and publishes
  // the process's message ids (prefix own number × 8,192). The controller
  // (may be null) is asked for pending requests and its session id; the
  // parent node is not owned.
  DseIOQueue(DseController* controller, XosComputeNode* parent, std::uint32_t own_number,
             Status* status);
  // Destroys the peers with their connections and queued output, every
  // filed message, and frees the blocks lying in the segment pool.
  ~DseIOQueue();
  DseIOQueue(const DseIOQueue&) = delete;
  DseIOQueue& operator=(const DseIOQueue&) = delete;

  // --- peers ---

  // 1 when added; 0 for the own number or one already present.
  std::int32_t AddPeer(XosComputeNode* node, std::uint32_t own_number, std::uint32_t peer_number,
                       std::uint32_t session_id, DseProcess* process) override;
  // The same over a connection the caller made; the queue owns it from now
  // on, also when the peer is refused (0) or the connection is null (0).
  // A peer that keeps no pace (see KeepsPace) is served as it reads.
  std::int32_t AddPeerOver(XosConnection* connection, std::uint32_t peer_number,
                           DseProcess* process, bool keeps_pace = true);
  std::uint32_t PeerCount() const { return static_cast<std::uint32_t>(peers_.size()); }
  DseIOQueue* PeerAt(std::uint32_t i) const { return peers_[i]; }
  DseIOQueue* FindPeer(std::uint32_t peer_number) const;
  // Every peer's connection is open / every peer answered the handshake
  // (both false without peers).
  bool AllOpen() const;
  bool AllConnected() const;

  // --- moving messages ---

  // Queues a packed message for its destinations and flushes; takes its
  // segments (the message object stays the caller's). A reply goes to its
  // source peer; types 1 to 3 to every peer; higher types to the peers of
  // the type's token. A type nobody serves is refused with 0xA000FFFF, but
  // while the handshake is not complete it waits and is routed once it is.
  // With a positive time-out and no peer held, flushing is retried every
  // 10 ms. Result: the flush result, 60 when the time-out ran out with
  // output left, or a failure.
  Status Route(DseMessage* message, std::int32_t timeout_ms);
  // Route's queuing alone: nothing is written until the next flush.
  Status Enqueue(DseMessage* message);
  // Reads every peer without blocking: the last failure (a lost peer gives
  // 0xA0000037), else 0. A peer with as much filed and unread as the bounds
  // above allow, or whose replies wait for it (AwaitsItsReader), is left
  // unread; with `keep` it is read on, and a message
  // completed beyond the bounds is filed only when `keep` matches it (and
  // no other beyond the bounds was): the others are refused, with one line
  // until the peer is under its bound again.
  Status ReadAll(const std::function<bool(DseMessage&)>* keep = nullptr);
  // Complete messages filed and not taken (of the root: of every peer).
  std::uint32_t FiledMessages() const { return filed_messages_; }
  std::uint32_t FiledSegments() const { return filed_segments_; }
  // Writes what every peer can take now: 58 when all is out, 5 when output
  // is left, or the last failure (a lost peer gives 0xA0000037). When a
  // peer that keeps pace took nothing it pauses (at most 100 ms) until a
  // peer that took nothing takes bytes or any peer sends some, unless
  // pauses are deferred.
  Status Flush();
  // The flushes of the root that paused so far: tests tell by it a pause
  // once from a pause for every message, whatever the machine's speed.
  std::uint64_t PauseCount() const { return pause_count_; }
  // While deferred (the calls nest), flushes do not pause: for a caller
  // that routes the answers to many messages and pauses once after them.
  void DeferPauses(bool defer) { pauses_deferred_ += defer ? 1 : -1; }
  // Waits up to bound_ms until a peer can move on: bytes or a peer arriving
  // (read), room for a peer with output left (write). False when the time
  // ran out; with nothing to wait on it waits the whole bound. `also`, when
  // not -1, is one more descriptor to wake for (read).
  bool WaitReady(std::uint32_t bound_ms, bool read, bool write, int also = -1);
  // Files a received message by class (5 and above in list 3), gathering the
  // replies of requests that went to several peers.
  void AddReceived(std::uint32_t klass, DseMessage* message);
  // The first filed message of the lowest class, or null; the caller owns it.
  DseMessage* TakeReceived();
  // Whether a filed message satisfies `match`; every one stays filed.
  bool AnyReceived(const std::function<bool(DseMessage&)>& match) const;

  // --- the connect handshake ---

  // The service types announced to peers (the registry's; not owned; null
  // announces none).
  void SetLocalTypes(const DseTokenList* types) { local_types_ = types; }
  // Type 1, class 1, subtype 1: u32 count and the local service types.
  Status MakeConnectMessage(DseMessage** message);
  // The packed answer to a received connect, carrying the local types.
  Status AnswerConnect(DseMessage* request, DseMessage** reply);
  // Learns the answering peer's types and marks it connected; once every
  // peer is, the messages waiting for the handshake are routed.
  Status TakeConnectReply(DseMessage* reply);
  // Adds a peer for every entry {u32 node, u16 0, u16 process number}.
  Status AddPeersFromList(DseMessage* message);
  const DseIOAddressToken* Token(std::uint32_t type) const;

  // --- shared-memory batches ---

  // Reads size bytes of "Fennick.BatchedMessageFile.<first>.<second>" (made
  // by the peer, which may change it afterwards) after checking that it
  // holds them; 0x8000FFFF when it cannot be, or while a batch is open.
  Status OpenBatchedMessageFile(std::uint32_t first, std::uint32_t second, std::uint32_t size);
  // The batch's next message (no source peer), or null; the batch closes at
  // its end mark, and at the first count or frame that does not fit it.
  DseMessage* TakeBatchedMessage();
  bool BatchOpen() const;

  // --- state ---

  std::uint32_t HeldPeerCount() const { return held_peers_; }
  std::uint32_t HoldCount() const { return hold_count_; }
  std::uint32_t WaitingCount() const { return static_cast<std::uint32_t>(waiting_.size()); }
  // Whether the output lists of a peer that keeps pace still hold segments
  // not yet written.
  bool OutputWaiting() const;
  // Of a peer queue.
  std::uint32_t PeerNumber() const { return peer_number_; }
  bool Connected() const { return connected_ != 0; }
  bool Held() const { return held_ != 0; }
  XosConnection* Connection() const { return connection_.get(); }
  DseProcess* Process() const { return process_; }
  std::uint32_t QueuedSegments(std::uint32_t klass) const { return output_[klass].count; }
  std::uint32_t QueuedReplies() const { return queued_replies_; }
  // Whether the peer's requests wait until it takes its replies.
  bool AwaitsItsReader() const;
  // Whether the process waits on this peer when it takes nothing: the
  // peers it started with (its parent, its children). A sibling from a
  // peer list is served as its reading allows: what it does not take never
  // holds the rest back; lines and run states beyond its room are dropped
  // (the lines counted), the replies to its requests wait for it.
  bool KeepsPace() const { return keeps_pace_; }

 private:
  struct CellList {
    DseSegmentCell* head = nullptr;
    DseSegmentCell* tail = nullptr;
    std::uint32_t count = 0;
    void PushBack(DseSegmentCell* cell);
    void PushFront(DseSegmentCell* cell);
    DseSegmentCell* PopFront();
  };
  struct MessageList {
    DseMessage* head = nullptr;
    DseMessage* tail = nullptr;
    void Append(DseMessage* message);
    DseMessage* Take();
  };
  // What a message is to a peer that keeps no pace: whether it may miss
  // it, and the lines it would miss.
  struct Droppable {
    bool droppable = false;
    std::uint32_t lines = 0;
  };
  // A message for a type nobody has announced yet.
  struct Waiting {
    DseSegment* chain;
    std::uint32_t klass;
    std::uint32_t type;
    Droppable droppable;
  };

  // A peer queue of root.
  DseIOQueue(DseIOQueue* root, std::uint32_t peer_number, XosConnection* connection,
             DseProcess* process);

  // Queues the chain for this peer; false when no cell could be had, or a
  // droppable message found no room.
  bool Queue(DseSegment* chain, std::uint32_t klass, Droppable droppable);
  bool QueueNotice(std::uint32_t klass, std::uint32_t subtype);
  // Sets *pause when the peer took nothing and the caller should wait.
  Status FlushPeer(bool* pause);
  // Gives a block shared with other peers, which this one has written in
  // part, a copy of its own, so that the others need not wait for it.
  void WriteOnAlone(DseSegmentCell* cell);
  // Gives up the use a copy held on the block it stands for.
  static void ReleaseOriginal(DseSegmentCell* cell);
  // Makes room for a message of lines or run states of `segments` (its
  // `lines`) for a peer that keeps no pace, dropping the oldest not begun;
  // false when it still does not fit, and then it is counted as missed.
  bool RoomForLines(std::uint32_t segments, std::uint32_t lines);
  bool DropOldestLines();
  // Tells the peer, ahead of the lines it still has queued, how many it
  // missed.
  void TellMissedLines();
  bool HasOutput() const;
  void AddReadiness(std::vector<platform::Readiness>* items, bool read, bool write) const;
  Status ReadPeer();
  // Files one received frame; a header that cannot be read fails the read.
  Status FileSegment(DseSegment* segment);
  void File(std::uint32_t klass, DseMessage* message);
  // Counts a filed message to its peer and the root (taken: `sign` -1).
  void CountFiled(const DseMessage& message, int sign);
  // Whether this peer, or all peers together, have as much filed and
  // unread as they may.
  bool FiledBeyondBounds() const;
  // Refuses a message completed beyond the bounds: one line while the peer
  // stays beyond them, a reply to a request, and the message destroyed.
  void RefuseFiled(DseMessage* message);
  // Answers a refused request (not a reply, nor a message that wants none)
  // with kMessageRefused.
  void AnswerRefused(const DseMessage& message);
  void ReleaseHold();
  // Whether a received segment may be filed for reassembly (within the
  // bounds above); tells a refusal once.
  bool RoomToAssemble(const DseSegment& segment, std::uint32_t klass);
  // A segment of a message refused earlier: dropped.
  bool OfRefused(const DseSegment& segment, std::uint32_t klass);
  // The segments this peer's incomplete messages announce, with the message
  // the segment starts.
  std::uint64_t AnnouncedWith(const DseSegment& segment) const;
  // Whether a segment starting a message lets this peer's announced
  // messages pass MostHeldBytes.
  bool PassesBound(const DseSegment& segment, std::uint32_t klass) const;
  // Refuses the message the segment starts: tells, answers a request and
  // gives the segment back.
  void RefuseMessage(DseSegment* segment, std::uint32_t klass, std::uint32_t type,
                     std::uint32_t subtype);
  void ReportFailure(const char* format, const char* second, const char* fallback);
  // Queues the chain for the peers of the token (or every peer) and records
  // the destinations; gives the chain back when nobody took it.
  static Droppable DroppableOf(const DseMessage& message, DseSegment* chain);
  void Deliver(DseSegment* chain, std::uint32_t klass, Droppable droppable,
               const std::vector<DseIOQueue*>& peers, bool set_aux, DseMessage* message);
  void RouteWaiting();
  bool Gather(DseMessage* message);
  void CloseBatch();

  // --- root ---
  std::uint32_t own_number_ = 0;
  std::uint32_t held_peers_ = 0;
  std::uint32_t hold_count_ = 0;
  DseController* controller_ = nullptr;
  XosComputeNode* parent_ = nullptr;
  const DseTokenList* local_types_ = nullptr;
  DseBBTree tokens_;
  std::vector<DseIOQueue*> peers_;
  MessageList input_[kClasses];
  std::vector<DseMessage*> collecting_;
  std::deque<Waiting> waiting_;
  // While ReadAll reads with a `keep`: it, and whether a message it kept
  // was filed beyond the bounds.
  const std::function<bool(DseMessage&)>* keep_ = nullptr;
  bool kept_beyond_ = false;
  std::int32_t pauses_deferred_ = 0;
  std::uint64_t pause_count_ = 0;
  // Filed and not taken: of this peer, or (the root's) of every peer.
  std::uint32_t filed_messages_ = 0;
  std::uint32_t filed_segments_ = 0;
  // Of the filed segments, those of requests that want a reply.
  std::uint32_t filed_requests_ = 0;
  // Refusing complete messages beyond the bounds: told once until the peer
  // is under them again.
  bool refusing_filed_ = false;
  std::unique_ptr<DseMessageIdAllocator> ids_;
  std::unique_ptr<platform::SharedMemory> batch_;
  std::size_t batch_at_ = 0;

  // --- peer ---
  DseIOQueue* root_ = nullptr;
  std::uint32_t connected_ = 0;
  std::uint32_t peer_number_ = 0;
  std::uint32_t held_ = 0;
  Status status_ = 0;
  CellList output_[kClasses];
  std::uint32_t queued_replies_ = 0;
  bool keeps_pace_ = true;
  // Segments of droppable messages queued; the lines dropped since the
  // last count went out, and the cell of the count waiting to go.
  std::uint32_t queued_lines_ = 0;
  std::uint32_t missed_lines_ = 0;
  DseSegmentCell* missed_cell_ = nullptr;
  std::unique_ptr<DseAssemblyList[]> assembly_;
  // Refusing segments beyond the bounds: told once until a message completes.
  bool refusing_ = false;
  // Messages refused by size whose further segments may still come: class
  // and id, the latest last.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> refused_;
  DseSegment* receive_ = nullptr;
  std::unique_ptr<XosConnection> connection_;
  DseProcess* process_ = nullptr;
  // The segment this peer has written in part: no other peer may write it
  // before this one is done, as the write progress lives in the segment.
  DseSegment* partial_ = nullptr;
};
