// The root and its peers: adding peers, routing messages into the peers'
// output lists, writing them without blocking, and filing what arrives.
#include "framework/messaging/io_queue.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "foundation/messages/su_print.h"
#include "framework/connections/connection.h"
#include "framework/connections/io_status.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_ids.h"
#include "framework/processes/process_manager.h"
#include "framework/runtime/xos_time.h"
#include "framework/servers/controller.h"
#include "framework/servers/server_registry.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/memory_size.h"
#include "platform/shared_memory.h"
#include "platform/socket.h"

namespace {

constexpr std::uint32_t kCellRefill = 20;
constexpr std::uint32_t kAuxAt = 12;
constexpr std::uint32_t kPeerGoneCode = 0x35;
constexpr std::uint32_t kPauseMs = 100;
constexpr std::uint32_t kRetryMs = 10;

DseSegmentCell* free_cells = nullptr;

std::uint32_t OutputList(std::uint32_t klass) { return std::min(klass, DseIOQueue::kClasses - 1); }

// Lost connections read and write as one status, whatever their kind: a
// socket whose peer ended the stream in order is as gone as a broken pipe.
Status PeerLostIfGone(Status result) {
  const bool gone = status::IsFailure(result) &&
                    (status::Code(result) == kPeerGoneCode || result == status::kConnectionClosed);
  return gone ? DseIOQueue::kPeerLost : result;
}

// A hold (class 0, subtype 13) or release (class 4, subtype 14) frame.
DseSegment* MakeNotice(std::uint32_t klass, std::uint32_t subtype) {
  DseSegment* notice = DseSegment::Make(nullptr);
  if (notice == nullptr) return nullptr;
  notice->message_id = DseIOQueue::kNoticeId;
  DseSegment::PackHeaders(notice, klass, DseMessage::kConnectionType, subtype, nullptr);
  return notice;
}

}  // namespace

// --- cells ---

DseSegmentCell* DseSegmentCell::Take(DseSegment* segment) {
  for (std::uint32_t i = 0; free_cells == nullptr && i < kCellRefill; ++i) {
    auto* cell = new (std::nothrow) DseSegmentCell;
    if (cell == nullptr) return nullptr;
    cell->next = free_cells;
    free_cells = cell;
  }
  DseSegmentCell* cell = free_cells;
  free_cells = cell->next;
  cell->next = nullptr;
  cell->segment = segment;
  return cell;
}

void DseSegmentCell::Give(DseSegmentCell* cell) {
  cell->segment = nullptr;
  cell->reply = false;
  cell->droppable = false;
  cell->lines = 0;
  cell->original = nullptr;
  cell->next = free_cells;
  free_cells = cell;
}

void DseSegmentCell::DrainPool() {
  while (free_cells != nullptr) {
    DseSegmentCell* cell = free_cells;
    free_cells = cell->next;
    delete cell;
  }
}

void DseIOQueue::CellList::PushBack(DseSegmentCell* cell) {
  cell->next = nullptr;
  if (tail != nullptr) {
    tail->next = cell;
  } else {
    head = cell;
  }
  tail = cell;
  ++count;
}

void DseIOQueue::CellList::PushFront(DseSegmentCell* cell) {
  cell->next = head;
  head = cell;
  if (tail == nullptr) tail = cell;
  ++count;
}

DseSegmentCell* DseIOQueue::CellList::PopFront() {
  DseSegmentCell* cell = head;
  if (cell == nullptr) return nullptr;
  head = cell->next;
  if (head == nullptr) tail = nullptr;
  cell->next = nullptr;
  --count;
  return cell;
}

void DseIOQueue::MessageList::Append(DseMessage* message) {
  message->list_next = nullptr;
  if (tail != nullptr) {
    tail->list_next = message;
  } else {
    head = message;
  }
  tail = message;
}

DseMessage* DseIOQueue::MessageList::Take() {
  DseMessage* message = head;
  if (message == nullptr) return nullptr;
  head = static_cast<DseMessage*>(message->list_next);
  if (head == nullptr) tail = nullptr;
  message->list_next = nullptr;
  return message;
}

// --- construction ---

DseIOQueue::DseIOQueue(DseController* controller, XosComputeNode* parent, std::uint32_t own_number,
                       Status* status)
    : own_number_(own_number), controller_(controller), parent_(parent) {
  *status = status::kOk;
  DseSegment* probe = DseSegment::Make(nullptr);
  if (probe == nullptr) {
    *status = DseMessage::kNoMemory;
    return;
  }
  // Every layout is little-endian; a machine that reads otherwise cannot run us.
  probe->frame[0] = 0x7B;
  probe->frame[1] = 0x00;
  std::uint16_t value = 0;
  std::memcpy(&value, probe->frame, sizeof value);
  DseSegment::ReturnToPool(probe);
  if (value != 123) {
    *status = status::kGeneralFailure;
    return;
  }
  ids_ = std::make_unique<DseMessageIdAllocator>(static_cast<std::int32_t>(own_number));
  DseMessageIdAllocator::SetCurrent(ids_.get());
}

DseIOQueue::DseIOQueue(DseIOQueue* root, std::uint32_t peer_number, XosConnection* connection,
                       DseProcess* process)
    : root_(root), peer_number_(peer_number), assembly_(new DseAssemblyList[kClasses]),
      connection_(connection), process_(process) {}

DseIOQueue::~DseIOQueue() {
  if (root_ != nullptr) {
    for (CellList& list : output_) {
      while (DseSegmentCell* cell = list.PopFront()) {
        DseSegment* segment = cell->segment;
        if (segment->use_count > 0) --segment->use_count;
        DseSegment::ReturnToPool(segment);
        ReleaseOriginal(cell);
        DseSegmentCell::Give(cell);
      }
    }
    DseSegment::ReturnToPool(receive_);
    return;
  }
  CloseBatch();
  for (DseIOQueue* peer : peers_) delete peer;
  for (MessageList& list : input_) {
    while (DseMessage* message = list.Take()) delete message;
  }
  for (DseMessage* message : collecting_) delete message;
  for (const Waiting& waiting : waiting_) DseSegment::ReturnChain(waiting.chain);
  tokens_.Clear();
  if (ids_ != nullptr && &DseMessageIdAllocator::Current() == ids_.get()) {
    DseMessageIdAllocator::SetCurrent(nullptr);
  }
  DseSegment::DrainPool();
  DseSegmentCell::DrainPool();
}

// --- peers ---

std::int32_t DseIOQueue::AddPeer(XosComputeNode* node, std::uint32_t own_number,
                                 std::uint32_t peer_number, std::uint32_t session_id,
                                 DseProcess* process) {
  // Refused before a connection exists, as making one claims its names.
  if (peer_number == own_number || peer_number == own_number_ || FindPeer(peer_number) != nullptr) {
    return 0;
  }
  return AddPeerOver(XosConnection::Create(node, own_number, peer_number, session_id), peer_number,
                     process);
}

std::int32_t DseIOQueue::AddPeerOver(XosConnection* connection, std::uint32_t peer_number,
                                     DseProcess* process, bool keeps_pace) {
  if (connection == nullptr || peer_number == own_number_ || FindPeer(peer_number) != nullptr) {
    delete connection;
    return 0;
  }
  peers_.push_back(new DseIOQueue(this, peer_number, connection, process));
  peers_.back()->keeps_pace_ = keeps_pace;
  return 1;
}

DseIOQueue* DseIOQueue::FindPeer(std::uint32_t peer_number) const {
  for (DseIOQueue* peer : peers_) {
    if (peer->peer_number_ == peer_number) return peer;
  }
  return nullptr;
}

bool DseIOQueue::AllOpen() const {
  return !peers_.empty() && std::all_of(peers_.begin(), peers_.end(), [](const DseIOQueue* peer) {
    return peer->connection_->IsOpen();
  });
}

bool DseIOQueue::AllConnected() const {
  return !peers_.empty() && std::all_of(peers_.begin(), peers_.end(), [](const DseIOQueue* peer) {
    return peer->connected_ != 0;
  });
}

const DseIOAddressToken* DseIOQueue::Token(std::uint32_t type) const {
  return static_cast<const DseIOAddressToken*>(tokens_.Find(type));
}

// --- routing and writing ---

Status DseIOQueue::Route(DseMessage* message, std::int32_t timeout_ms) {
  const Status queued = Enqueue(message);
  if (status::IsFailure(queued)) return queued;
  Status result = Flush();
  // Only output a peer that keeps pace has left is waited for.
  if (held_peers_ == 0 && timeout_ms > 0) {
    while (result == kOutputLeft && OutputWaiting() && timeout_ms > 0) {
      // Retried as soon as a peer takes bytes, within the same time-out.
      const std::uint32_t before = platform::TickCount();
      WaitReady(std::min<std::uint32_t>(kRetryMs, static_cast<std::uint32_t>(timeout_ms)), false,
                true);
      const std::uint32_t waited = std::max<std::uint32_t>(platform::TickCount() - before, 1);
      timeout_ms -= static_cast<std::int32_t>(std::min<std::uint32_t>(waited, kRetryMs));
      result = Flush();
    }
    if (result == kOutputLeft && OutputWaiting()) result = kRouteTimedOut;
  }
  return result;
}

Status DseIOQueue::Enqueue(DseMessage* message) {
  DseSegment* chain = message->TakeSegments();
  if (chain == nullptr) return status::kGeneralFailure;
  const std::uint32_t klass = message->message_class;
  const std::uint32_t type = message->type;
  const Droppable droppable = DroppableOf(*message, chain);
  if (chain->source_peer != nullptr) {
    Deliver(chain, klass, droppable, {chain->source_peer}, false, message);
  } else if (type == 0) {
    DseSegment::ReturnChain(chain);
    return status::kGeneralFailure;
  } else if (type <= 3) {
    Deliver(chain, klass, droppable, peers_, true, message);
  } else if (const DseIOAddressToken* token = Token(type)) {
    Deliver(chain, klass, droppable, token->peers, true, message);
  } else if (!AllConnected()) {
    // Nobody has said yet who serves the type; the answer may still come.
    waiting_.push_back({chain, klass, type, droppable});
  } else {
    DseSegment::ReturnChain(chain);
    return status::kGeneralFailure;
  }
  return status::kOk;
}

bool DseIOQueue::HasOutput() const {
  for (const CellList& list : output_) {
    if (list.head != nullptr) return true;
  }
  return false;
}

bool DseIOQueue::OutputWaiting() const {
  return std::any_of(peers_.begin(), peers_.end(),
                     [](const DseIOQueue* peer) { return peer->keeps_pace_ && peer->HasOutput(); });
}

void DseIOQueue::AddReadiness(std::vector<platform::Readiness>* items, bool read,
                              bool write) const {
  if (connection_ == nullptr) return;
  // A peer whose requests wait for it to read moves on when it takes bytes.
  const bool awaits = read && AwaitsItsReader();
  connection_->AddReadiness(items, read && !awaits, (write || awaits) && HasOutput());
}

bool DseIOQueue::WaitReady(std::uint32_t bound_ms, bool read, bool write, int also) {
  std::vector<platform::Readiness> items;
  for (const DseIOQueue* peer : peers_) peer->AddReadiness(&items, read, write);
  if (also >= 0) items.push_back({also, false});
  return platform::WaitForAny(items, bound_ms);
}

namespace {

// The line count of an event: after its u16 1 and u32 value.
constexpr std::uint32_t kEventLinesAt = 6;

}  // namespace

DseIOQueue::Droppable DseIOQueue::DroppableOf(const DseMessage& message, DseSegment* chain) {
  // Lines and run states, which nobody answers: a peer that keeps no pace
  // may miss them. Not a control message about a request (a cancel, a
  // timer), nor a message of the connection.
  Droppable droppable;
  droppable.droppable =
      message.type >= DseMessage::kEventType && (message.flags & DseMessage::kNoReply) != 0 &&
      (message.type == DseMessage::kEventType || message.subtype >= DseMessage::kCommand);
  if (droppable.droppable && message.type == DseMessage::kEventType &&
      chain->DataStart() + kEventLinesAt + 2 <= chain->cursor) {
    droppable.lines = platform::LoadLE16(chain->DataStart() + kEventLinesAt);
  }
  return droppable;
}

void DseIOQueue::Deliver(DseSegment* chain, std::uint32_t klass, Droppable droppable,
                         const std::vector<DseIOQueue*>& peers, bool set_aux, DseMessage* message) {
  // Only what goes to whoever serves a type; a reply waits for its peer.
  droppable.droppable = droppable.droppable && set_aux;
  if (set_aux) {
    const auto aux = static_cast<std::uint8_t>(std::min<std::size_t>(peers.size(), 0xFF));
    for (DseSegment* s = chain; s != nullptr; s = s->next) {
      s->aux = aux;
      s->frame[kAuxAt] = aux;
    }
    if (message != nullptr) message->aux = aux;
  }
  for (DseIOQueue* peer : peers) {
    if (peer->Queue(chain, klass, droppable) && message != nullptr) message->AddDestination(peer);
  }
  for (DseSegment* s = chain; s != nullptr;) {
    DseSegment* after = s->next;
    if (s->use_count == 0) DseSegment::ReturnToPool(s);
    s = after;
  }
}

bool DseIOQueue::Queue(DseSegment* chain, std::uint32_t klass, Droppable droppable) {
  droppable.droppable = droppable.droppable && !keeps_pace_;
  std::uint32_t segments = 0;
  for (const DseSegment* s = chain; s != nullptr; s = s->next) ++segments;
  if (droppable.droppable && !RoomForLines(segments, droppable.lines)) return false;
  CellList cells;
  for (DseSegment* s = chain; s != nullptr; s = s->next) {
    DseSegmentCell* cell = DseSegmentCell::Take(s);
    if (cell == nullptr) {
      while (DseSegmentCell* taken = cells.PopFront()) DseSegmentCell::Give(taken);
      return false;
    }
    cells.PushBack(cell);
  }
  CellList& list = output_[OutputList(klass)];
  // Sent back to where its request came from.
  const bool reply = chain->source_peer != nullptr;
  if (droppable.droppable) {
    cells.head->lines = droppable.lines;
    queued_lines_ += segments;
  }
  while (DseSegmentCell* cell = cells.PopFront()) {
    ++cell->segment->use_count;
    cell->reply = reply;
    cell->droppable = droppable.droppable;
    queued_replies_ += reply ? 1 : 0;
    list.PushBack(cell);
  }
  if (list.count >= kHoldAt && held_ == 0) {
    DseSegment* hold = MakeNotice(0, DseMessage::kRaiseHold);
    DseSegment* release = MakeNotice(kClasses - 1, DseMessage::kLowerHold);
    DseSegmentCell* hold_cell = hold != nullptr ? DseSegmentCell::Take(hold) : nullptr;
    DseSegmentCell* release_cell = release != nullptr ? DseSegmentCell::Take(release) : nullptr;
    if (hold_cell != nullptr && release_cell != nullptr) {
      hold->use_count = release->use_count = 1;
      output_[0].PushBack(hold_cell);
      output_[kClasses - 1].PushBack(release_cell);
      held_ = 1;
      ++root_->held_peers_;
    } else {
      // A notice is a hint; without memory for it the data still goes.
      for (DseSegmentCell* cell : {hold_cell, release_cell}) {
        if (cell != nullptr) DseSegmentCell::Give(cell);
      }
      DseSegment::ReturnToPool(hold);
      DseSegment::ReturnToPool(release);
    }
  }
  return true;
}

Status DseIOQueue::Flush() {
  Status result = kAllWritten;
  std::vector<bool> stalled(peers_.size(), false);
  bool any_stalled = false;
  for (std::size_t i = 0; i < peers_.size(); ++i) {
    bool pause = false;
    const Status flushed = peers_[i]->FlushPeer(&pause);
    stalled[i] = pause;
    any_stalled = any_stalled || pause;
    if (status::IsFailure(flushed)) {
      result = flushed;
    } else if (flushed == kOutputLeft && !status::IsFailure(result)) {
      result = kOutputLeft;
    }
  }
  // Once for all the peers that took nothing, not once for each, and not
  // while filed messages are being dispatched (the round pauses after
  // them): until one of them takes bytes again, or bytes arrive from any
  // peer, at most the pause. A command is never kept waiting behind output
  // a peer does not take.
  if (any_stalled && pauses_deferred_ == 0) {
    ++pause_count_;
    std::vector<platform::Readiness> ready;
    for (std::size_t i = 0; i < peers_.size(); ++i) {
      peers_[i]->AddReadiness(&ready, true, stalled[i]);
    }
    platform::WaitForAny(ready, kPauseMs);
  }
  return PeerLostIfGone(result);
}

Status DseIOQueue::FlushPeer(bool* pause) {
  if (connection_ == nullptr) return status::kUnhandled;
  for (;;) {
    std::uint32_t at = 0;
    while (at < kClasses && output_[at].head == nullptr) ++at;
    if (at == kClasses) break;
    CellList& list = output_[at];
    DseSegmentCell* cell = list.PopFront();
    DseSegment* segment = cell->segment;
    if (segment->transfer_offset != 0 && segment != partial_) {
      // Another peer is in the middle of this block's frame.
      list.PushFront(cell);
      return kOutputLeft;
    }
    const Status written = DseSegment::Write(segment, connection_.get());
    if (cell == missed_cell_ && written != status::kNothingWritten) {
      // Begun: lines missed from now on are counted afresh.
      missed_cell_ = nullptr;
      missed_lines_ = 0;
    }
    if (written == status::kNothingWritten) {
      list.PushFront(cell);
      // A peer over its reply bound is read no more until it takes its
      // replies, and one that keeps no pace is served as it reads: waiting
      // on either would only hold back the others.
      if (segment->count < kNoPauseFrom && !AwaitsItsReader() && keeps_pace_) *pause = true;
      return kOutputLeft;
    }
    if (written == status::kPartlyWritten) {
      WriteOnAlone(cell);
      output_[0].PushFront(cell);
      partial_ = cell->segment;
      return kOutputLeft;
    }
    if (status::IsFailure(written)) {
      if (partial_ == segment) {
        // Broken off in the middle of the frame: the peers that share the
        // block must not wait for this one to finish it.
        segment->transfer_count += segment->transfer_offset;
        segment->transfer_offset = 0;
        partial_ = nullptr;
      }
      list.PushFront(cell);
      return written;
    }
    if (partial_ == segment) partial_ = nullptr;
    if (cell->reply) --queued_replies_;
    if (cell->droppable) --queued_lines_;
    ReleaseOriginal(cell);
    DseSegmentCell::Give(cell);
    DseSegment::ReturnToPool(segment);
  }
  ReleaseHold();
  return kAllWritten;
}

void DseIOQueue::WriteOnAlone(DseSegmentCell* cell) {
  DseSegment* shared = cell->segment;
  if (shared->use_count <= 1) return;
  DseSegment* own = DseSegment::Make(nullptr);
  // Without memory for the copy the others wait, as they always did.
  if (own == nullptr) return;
  std::memcpy(own->frame, shared->frame, shared->FrameSize());
  own->frame_length = shared->frame_length;
  own->count = shared->count;
  own->index = shared->index;
  own->message_id = shared->message_id;
  own->flags = shared->flags;
  own->format = shared->format;
  own->transfer_offset = shared->transfer_offset;
  own->transfer_count = shared->transfer_count;
  own->use_count = 1;
  shared->transfer_count += shared->transfer_offset;
  shared->transfer_offset = 0;
  cell->original = shared;
  cell->segment = own;
}

void DseIOQueue::ReleaseOriginal(DseSegmentCell* cell) {
  DseSegment* original = std::exchange(cell->original, nullptr);
  if (original == nullptr) return;
  if (original->use_count > 0) --original->use_count;
  DseSegment::ReturnToPool(original);
}

bool DseIOQueue::RoomForLines(std::uint32_t segments, std::uint32_t lines) {
  // A message alone may pass the room: its lines come from one report.
  while (queued_lines_ > 0 && queued_lines_ + segments > kMostQueuedLines) {
    if (!DropOldestLines()) break;
  }
  if (queued_lines_ == 0 || queued_lines_ + segments <= kMostQueuedLines) return true;
  if (lines > 0) {
    missed_lines_ += lines;
    TellMissedLines();
  }
  return false;
}

bool DseIOQueue::DropOldestLines() {
  for (CellList& list : output_) {
    DseSegmentCell* before = nullptr;
    for (DseSegmentCell* cell = list.head; cell != nullptr; before = cell, cell = cell->next) {
      // Only a message none of whose frames has gone out in part or whole.
      if (!cell->droppable || cell->segment->index != 1 || cell->segment == partial_) continue;
      const std::uint32_t lines = cell->lines;
      const std::uint32_t id = cell->segment->message_id;
      DseSegmentCell* after = cell;
      do {
        DseSegmentCell* dropped = after;
        after = after->next;
        DseSegment* segment = dropped->segment;
        if (segment->use_count > 0) --segment->use_count;
        DseSegment::ReturnToPool(segment);
        ReleaseOriginal(dropped);
        DseSegmentCell::Give(dropped);
        --list.count;
        --queued_lines_;
      } while (after != nullptr && after->droppable && after->segment->index != 1 &&
               after->segment->message_id == id);
      (before != nullptr ? before->next : list.head) = after;
      if (after == nullptr) list.tail = before;
      if (lines > 0) {
        missed_lines_ += lines;
        TellMissedLines();
      }
      return true;
    }
  }
  return false;
}

void DseIOQueue::TellMissedLines() {
  const std::string text = std::to_string(missed_lines_) +
                           " message lines were dropped: they came faster than this peer took them";
  const char* const line[] = {text.c_str()};
  std::unique_ptr<DseMessage> event(
      DseMessage::MakeEvent(DseController::kLogEventCode, 0, 1, line));
  if (event == nullptr || status::IsFailure(event->Pack(true))) return;
  DseSegment* told = event->TakeSegments();
  if (told == nullptr) return;
  if (told->next != nullptr) {
    DseSegment::ReturnChain(told);
    return;
  }
  ++told->use_count;
  // The lines missed are older than those still queued: told ahead of them,
  // by one line that a later count replaces until it goes out.
  CellList& list = output_[OutputList(event->message_class)];
  if (missed_cell_ != nullptr) {
    DseSegment* before = missed_cell_->segment;
    missed_cell_->segment = told;
    --before->use_count;
    DseSegment::ReturnToPool(before);
    return;
  }
  missed_cell_ = DseSegmentCell::Take(told);
  if (missed_cell_ == nullptr) {
    --told->use_count;
    DseSegment::ReturnToPool(told);
    return;
  }
  list.PushFront(missed_cell_);
}

void DseIOQueue::ReleaseHold() {
  if (held_ == 0) return;
  held_ = 0;
  if (root_->held_peers_ > 0) --root_->held_peers_;
}

// --- reading and filing ---

Status DseIOQueue::ReadAll(const std::function<bool(DseMessage&)>* keep) {
  keep_ = keep;
  Status result = status::kOk;
  for (DseIOQueue* peer : peers_) {
    const Status read = peer->ReadPeer();
    if (status::IsFailure(read)) result = read;
  }
  keep_ = nullptr;
  return PeerLostIfGone(result);
}

namespace {

// How long a child whose connection went away may take to show its end.
constexpr int kChildEndWaitMs = 200;

bool PeerWentAway(Status read) {
  return read == status::kPeerGone || read == status::kConnectionClosed ||
         read == status::kClosedConnection;
}

}  // namespace

Status DseIOQueue::ReadPeer() {
  if (status::IsFailure(status_)) return status::kGeneralFailure;
  Status result = status::kOk;
  for (;;) {
    // Beyond the bounds what the peer sends waits in the connection, unless
    // the reader looks for the message that ends its work and has not had
    // it yet.
    if (FiledBeyondBounds() && (root_->keep_ == nullptr || root_->kept_beyond_)) break;
    if (root_->keep_ == nullptr && AwaitsItsReader()) break;
    if (receive_ == nullptr) receive_ = DseSegment::Make(nullptr);
    if (receive_ == nullptr) {
      result = DseMessage::kNoMemory;
      break;
    }
    result = DseSegment::Read(receive_, connection_.get());
    if (result != status::kOk || receive_->read_state != DseSegment::kComplete) break;
    DseSegment* segment = receive_;
    receive_ = nullptr;
    result = FileSegment(segment);
    if (status::IsFailure(result)) break;
  }
  if (status::IsFailure(result)) ReleaseHold();
  if ((status::IsFailure(result) || !connection_->IsOpen()) && process_ != nullptr) {
    // The child's own channel says whether it is still there.
    Status output = process_->ReadOutput();
    if (status::IsSuccess(output) && PeerWentAway(result)) {
      // A dying child's connection closes a moment before its end can be
      // collected; wait that moment out (bounded) so its failure is told now.
      for (int waited = 0; waited < kChildEndWaitMs && status::IsSuccess(output); waited += 5) {
        XosSleep(5);
        output = process_->ReadOutput();
      }
    }
    const bool unix_child =
        process_->node != nullptr && process_->node->os_kind == XosComputeNode::kUnix;
    if (status::IsFailure(output) || (status::IsFailure(result) && unix_child)) {
      status_ = status::IsFailure(result) ? result : output;
      ReportFailure("Process '%s' has failed.", nullptr, "Unknown");
    }
  }
  return result;
}

Status DseIOQueue::FileSegment(DseSegment* segment) {
  std::uint32_t klass = 0;
  std::uint32_t type = 0;
  std::uint32_t subtype = 0;
  const Status unpacked = DseSegment::UnpackHeader(segment, &klass, &type, &subtype);
  if (status::IsFailure(unpacked)) {
    DseSegment::ReturnToPool(segment);
    return unpacked;
  }
  klass = std::min(klass, kClasses - 1);
  if (type == DseMessage::kConnectionType &&
      (subtype == DseMessage::kRaiseHold || subtype == DseMessage::kLowerHold)) {
    if (subtype == DseMessage::kRaiseHold) {
      ++root_->hold_count_;
    } else if (root_->hold_count_ > 0) {
      --root_->hold_count_;
    }
    DseSegment::ReturnToPool(segment);
    return status::kOk;
  }
  segment->source_peer = this;
  if (OfRefused(*segment, klass) || !RoomToAssemble(*segment, klass)) {
    DseSegment::ReturnToPool(segment);
    return status::kOk;
  }
  if (PassesBound(*segment, klass)) {
    RefuseMessage(segment, klass, type, subtype);
    return status::kOk;
  }
  DseSegment* complete = nullptr;
  if (status::IsFailure(DseSegment::Assemble(segment, &assembly_[klass], &complete)) ||
      complete == nullptr) {
    return status::kOk;
  }
  refusing_ = false;
  DseMessage* message = DseMessage::DseMessageFromSegments(complete, klass, type, subtype);
  if (message == nullptr) {
    DseSegment::ReturnChain(complete);
    return DseMessage::kNoMemory;
  }
  if (root_->keep_ != nullptr && FiledBeyondBounds()) {
    if (root_->kept_beyond_ || !(*root_->keep_)(*message)) {
      RefuseFiled(message);
      return status::kOk;
    }
    root_->kept_beyond_ = true;
  }
  root_->AddReceived(klass, message);
  return status::kOk;
}

namespace {

std::uint32_t SegmentsOf(const DseMessage& message) {
  const DseSegment* first = message.FirstSegment();
  return first != nullptr && first->count > 1 ? first->count : 1;
}

}  // namespace

void DseIOQueue::CountFiled(const DseMessage& message, int sign) {
  DseIOQueue* peer = message.SourcePeer();
  if (peer == nullptr) return;
  const std::uint32_t segments = SegmentsOf(message);
  const bool answered = (message.flags & (DseMessage::kReply | DseMessage::kNoReply)) == 0;
  const std::uint32_t requests = answered ? segments : 0;
  for (DseIOQueue* counted : {peer, this}) {
    if (sign > 0) {
      ++counted->filed_messages_;
      counted->filed_segments_ += segments;
      counted->filed_requests_ += requests;
    } else {
      counted->filed_messages_ -= std::min(counted->filed_messages_, 1u);
      counted->filed_segments_ -= std::min(counted->filed_segments_, segments);
      counted->filed_requests_ -= std::min(counted->filed_requests_, requests);
    }
  }
  if (sign > 0) return;
  // Messages move again: the one kept beyond the bounds holds no reading
  // back, and a peer back under the bounds is told when it passes them anew.
  kept_beyond_ = false;
  for (DseIOQueue* p : peers_) {
    if (p->refusing_filed_ && !p->FiledBeyondBounds()) p->refusing_filed_ = false;
  }
}

bool DseIOQueue::AwaitsItsReader() const {
  return queued_replies_ + filed_requests_ >= kMostQueuedReplies;
}

bool DseIOQueue::FiledBeyondBounds() const {
  return filed_messages_ >= kMostFiledMessages || filed_segments_ >= kMostFiledSegments ||
         root_->filed_messages_ >= kMostFiledMessagesOfAll ||
         root_->filed_segments_ >= kMostFiledSegmentsOfAll;
}

void DseIOQueue::RefuseFiled(DseMessage* message) {
  if (!refusing_filed_) {
    refusing_filed_ = true;
    const auto peer = static_cast<std::int32_t>(peer_number_);
    const std::uint32_t counts[] = {filed_messages_, root_->filed_messages_};
    const auto megabytes = [](std::uint32_t segments) {
      return static_cast<std::uint32_t>((std::uint64_t{segments} * sizeof(DseSegment)) >> 20);
    };
    const std::uint32_t sizes[] = {megabytes(filed_segments_), megabytes(root_->filed_segments_)};
    SuPrint(kMessageRefused,
            "Messages from peer %d refused while the engine is busy: %u of its messages (%u MB) "
            "and %u of all peers (%u MB) wait to be read, as many as may wait",
            &peer, &counts[0], &sizes[0], &counts[1], &sizes[1]);
  }
  std::uint32_t queued = 0;
  for (const CellList& list : output_) queued += list.count;
  // The sender of a request is not left waiting, as long as it reads.
  if (queued < kMostRefusalReplies) AnswerRefused(*message);
  delete message;
}

void DseIOQueue::AnswerRefused(const DseMessage& message) {
  if ((message.flags & (DseMessage::kReply | DseMessage::kNoReply)) != 0) return;
  DseMessage* reply = nullptr;
  if (status::IsSuccess(DseServerRegistry::MakeStatusReplyTo(kMessageRefused, message, &reply))) {
    root_->Route(reply, -1);
    delete reply;
  }
}

bool DseIOQueue::RoomToAssemble(const DseSegment& segment, std::uint32_t klass) {
  if (segment.count <= 1 || assembly_[klass].Holds(segment.message_id)) return true;
  std::size_t incomplete = 0;
  for (std::uint32_t k = 0; k < kClasses; ++k) incomplete += assembly_[k].Size();
  if (incomplete < kMostIncompleteMessages) return true;
  if (!refusing_) {
    const auto id = static_cast<std::int32_t>(segment.message_id & 0xFFFFu);
    const auto peer = static_cast<std::int32_t>(peer_number_);
    SuPrint(status::kBadArguments, "Segments of message %d from peer %d refused: %s", &id, &peer,
            "too many incomplete messages");
    refusing_ = true;
  }
  return false;
}

std::uint64_t DseIOQueue::MostHeldBytes() {
  static const std::uint64_t most = [] {
    constexpr std::uint64_t kLeast = std::uint64_t{256} << 20;
    return std::max(platform::PhysicalMemoryBytes() / 4, kLeast);
  }();
  return most;
}

std::uint64_t DseIOQueue::AnnouncedWith(const DseSegment& segment) const {
  std::uint64_t announced = segment.count;
  for (std::uint32_t k = 0; k < kClasses; ++k) announced += assembly_[k].AnnouncedSegments();
  return announced;
}

bool DseIOQueue::PassesBound(const DseSegment& segment, std::uint32_t klass) const {
  if (segment.count <= 1 || assembly_[klass].Holds(segment.message_id)) return false;
  return AnnouncedWith(segment) > MostHeldBytes() / sizeof(DseSegment);
}

bool DseIOQueue::OfRefused(const DseSegment& segment, std::uint32_t klass) {
  const std::uint32_t id = segment.message_id & 0xFFFFu;
  for (auto at = refused_.begin(); at != refused_.end(); ++at) {
    if (at->first != klass || at->second != id) continue;
    // A peer sends a message's segments in order: a first one is a new
    // message with the id, and the last one ends the refused message.
    const bool later = segment.index > 1;
    if (!later || segment.index == segment.count) refused_.erase(at);
    return later;
  }
  return false;
}

void DseIOQueue::RefuseMessage(DseSegment* segment, std::uint32_t klass, std::uint32_t type,
                               std::uint32_t subtype) {
  constexpr std::size_t kMostRemembered = 16;
  const std::uint32_t id = segment->message_id & 0xFFFFu;
  if (segment->index < segment->count) {
    if (refused_.size() == kMostRemembered) refused_.erase(refused_.begin());
    refused_.emplace_back(klass, id);
  }
  const auto shown_id = static_cast<std::int32_t>(id);
  const auto peer = static_cast<std::int32_t>(peer_number_);
  const std::uint64_t megabytes = AnnouncedWith(*segment) * sizeof(DseSegment) >> 20;
  const auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(megabytes, UINT32_MAX));
  const auto bound = static_cast<std::uint32_t>(MostHeldBytes() >> 20);
  SuPrint(kMessageRefused,
          "Message %d from peer %d refused: with it the peer would have %u MB in messages being "
          "received, more than the %u MB it may have",
          &shown_id, &peer, &size, &bound);
  // The sender of a request is not left waiting for an answer.
  DseMessage* request = DseMessage::DseMessageFromSegments(segment, klass, type, subtype);
  if (request == nullptr) {
    DseSegment::ReturnToPool(segment);
    return;
  }
  AnswerRefused(*request);
  delete request;
}

void DseIOQueue::ReportFailure(const char* format, const char* second, const char* fallback) {
  DseController* controller = root_->controller_;
  if (controller == nullptr || process_ == nullptr) return;
  controller->ReportProcessFailure(format, *process_, second, fallback);
}

void DseIOQueue::AddReceived(std::uint32_t klass, DseMessage* message) {
  if (!Gather(message)) File(klass, message);
}

void DseIOQueue::File(std::uint32_t klass, DseMessage* message) {
  input_[klass >= kClasses ? 3 : klass].Append(message);
  CountFiled(*message, +1);
}

bool DseIOQueue::Gather(DseMessage* message) {
  if ((message->flags & DseMessage::kReply) == 0 || message->type < 10 || message->aux <= 1) {
    return false;
  }
  for (auto at = collecting_.begin(); at != collecting_.end(); ++at) {
    DseMessage* gathering = *at;
    if (gathering->GetId() != message->GetId() || gathering->sequence != message->sequence)
      continue;
    DseSegment* chain = message->TakeSegments();
    if (status::IsFailure(gathering->CollectReply(chain))) DseSegment::ReturnChain(chain);
    delete message;
    if (gathering->HasAllReplies()) {
      collecting_.erase(at);
      File(gathering->message_class, gathering);
    }
    return true;
  }
  DseMessage* request =
      controller_ != nullptr ? controller_->PendingRequest(message->GetId()) : nullptr;
  if (request == nullptr) return false;
  bool destination = false;
  for (std::uint32_t i = 0; i < request->DestinationCount(); ++i) {
    destination = destination || request->Destination(i) == message->SourcePeer();
  }
  if (!destination) return false;
  message->flags |= DseMessage::kGathered;
  message->CopyDestinations(*request);
  message->CollectReply(message->TakeSegments());
  if (message->HasAllReplies()) return false;
  collecting_.push_back(message);
  return true;
}

bool DseIOQueue::AnyReceived(const std::function<bool(DseMessage&)>& match) const {
  for (const MessageList& list : input_) {
    for (DseMessage* m = list.head; m != nullptr; m = static_cast<DseMessage*>(m->list_next)) {
      if (match(*m)) return true;
    }
  }
  return false;
}

DseMessage* DseIOQueue::TakeReceived() {
  for (MessageList& list : input_) {
    if (DseMessage* message = list.Take()) {
      CountFiled(*message, -1);
      return message;
    }
  }
  return nullptr;
}
