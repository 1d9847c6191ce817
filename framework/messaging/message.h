// DseMessage: the unit of communication between the engine and its peers. A
// header (id, type = service id, class, subtype, flags, aux, sequence) and a
// body in a chain of segments, written and read through BvuBinaryStream.
// Built by whoever sends it; once handed to the controller the controller
// owns it. A request sent to several peers also keeps its destinations and,
// while their replies are gathered, one reply chain per destination.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "foundation/persistence/binary_stream.h"
#include "framework/messaging/bb_tree.h"

class DseClientCB;
class DseIOQueue;
class DseSegment;

// The link that puts a message into an input or output list.
class DseListElem {
 public:
  DseListElem* list_next = nullptr;

 protected:
  ~DseListElem() = default;
};

class DseMessage : public DseBBTreeLeaf, public DseListElem, public BvuBinaryStream {
 public:
  // Header flag bits.
  static constexpr std::uint32_t kPeriodicRequest = 0x01;
  static constexpr std::uint32_t kGathered = 0x02;
  static constexpr std::uint32_t kKeepPending = 0x04;
  static constexpr std::uint32_t kStatusOnly = 0x08;
  static constexpr std::uint32_t kPeriodic = 0x10;
  static constexpr std::uint32_t kNoReply = 0x20;
  static constexpr std::uint32_t kTemplateBuilt = 0x40;
  static constexpr std::uint32_t kReply = 0x80;

  // Subtypes.
  static constexpr std::uint32_t kConnect = 1;
  static constexpr std::uint32_t kPeerList = 2;
  static constexpr std::uint32_t kCancel = 3;
  static constexpr std::uint32_t kDropTimer = 4;
  static constexpr std::uint32_t kStartTimer = 5;
  static constexpr std::uint32_t kNotice = 6;
  static constexpr std::uint32_t kIdPathRead = 7;
  static constexpr std::uint32_t kIdPathWrite = 8;
  static constexpr std::uint32_t kBatchAnnouncement = 9;
  static constexpr std::uint32_t kCommand = 11;
  static constexpr std::uint32_t kRequest = 12;
  static constexpr std::uint32_t kRaiseHold = 13;
  static constexpr std::uint32_t kLowerHold = 14;

  // Classes and types.
  static constexpr std::uint32_t kControlClass = 1;
  static constexpr std::uint32_t kOrdinaryClass = 3;
  static constexpr std::uint32_t kConnectionType = 1;
  static constexpr std::uint32_t kEventType = 4;

  // States.
  static constexpr std::uint32_t kBeingBuilt = 0;
  static constexpr std::uint32_t kCommandPrepared = 1;
  static constexpr std::uint32_t kPacked = 5;

  static constexpr std::uint32_t kMaxDestinations = 8;
  static constexpr Status kNoMemory = 0x80000007u;
  static constexpr Status kNoSuchPlace = 0x80000015u;

  // Class 3, flags 0, state 0, id 0, one fresh segment.
  DseMessage(std::uint32_t type, std::uint32_t subtype);
  // Class 3, subtype 12; the caller sets the type.
  static DseMessage* DseMessageDefault();
  // The reply to a request: type, class, aux, subtype, sequence and id (one
  // more holder) copied, flags = request flags | 0x80, and the request's
  // source peer, so that routing sends it back where the request came from.
  // The caller adds 1 to the sequence.
  static DseMessage* DseMessageAsReply(const DseMessage& request);
  // A received message over a chain whose headers are unpacked; takes the
  // chain. Id (one more holder), flags, aux and sequence from the first
  // segment; state 5.
  static DseMessage* DseMessageFromSegments(DseSegment* chain, std::uint32_t klass,
                                            std::uint32_t type, std::uint32_t subtype);
  // An event for the I/O server: type 4, class 3, subtype = code, flags
  // 0x20; body u16 1, u32 value, u16 line count, the lines. Null without
  // memory or for more lines than a u16 counts.
  static DseMessage* MakeEvent(std::uint32_t code, std::uint32_t value, std::uint32_t line_count,
                               const char* const* lines);

  // Gives the segments and reply chains back to the pool and lets go of the id.
  ~DseMessage() override;
  DseMessage(const DseMessage&) = delete;
  DseMessage& operator=(const DseMessage&) = delete;

  std::uint32_t GetId() const override { return id_; }
  // Replaces the id, keeping the holder counts right.
  void SetId(std::uint32_t id);
  virtual void SetTimeout(std::int32_t ms);
  // Null means 0.
  virtual void SetInterval(const double* interval);
  // Remembers time-out, interval, client and context; a positive interval
  // makes the request periodic (flags 0x11); then packs with a new id.
  virtual Status PrepareSend(DseClientCB* client, void* context, const double* interval,
                             std::int32_t timeout_ms);
  // Control messages about this request, of its type and class, whose body
  // is its id as u16; null without memory.
  virtual DseMessage* MakeCancel() const;      // subtype 3, flags 0x20
  virtual DseMessage* MakeNotice6() const;     // subtype 6
  virtual DseMessage* MakeDrop() const;        // subtype 4
  virtual DseMessage* MakeStartTimer() const;  // subtype 5
  // The reply (or the gathered replies) to this request: each reply goes to
  // the client, the combined status to its RequestComplete. A follow-up
  // message, when one is made, is for the controller to send.
  virtual Status OnReply(DseMessage* reply, DseMessage** follow_up);
  // A header reply built by the server's template.
  virtual Status OnTemplateReply(DseMessage* reply);

  // Packs the header into the segments (nothing when already packed): a
  // message that is not a reply takes a new id when asked. State 5.
  Status Pack(bool new_id);

  // --- BvuBinaryStream ---
  Status PutUInt8(std::uint8_t value) override;
  Status PutInt8(std::int8_t value) override;
  Status PutChar(char value) override;
  Status PatchUInt16(std::uint8_t* place, std::uint16_t value) override;
  Status PutUInt16(std::uint16_t value) override;
  std::uint8_t* ReserveUInt16() override;
  Status PatchUInt24(std::uint8_t* place, std::uint32_t value) override;
  Status PutUInt24(std::uint32_t value) override;
  std::uint8_t* ReserveUInt24() override;
  Status PutUInt32(std::uint32_t value) override;
  Status PutUInt64(std::uint64_t value) override;
  Status PutFloat(float value) override;
  Status PutDouble(double value) override;
  Status PutString(const char* text) override;
  Status PutCString(const char* text) override;
  Status GetUInt8(std::uint8_t* value) override;
  Status GetByteAsUInt32(std::uint32_t* value) override;
  Status GetUInt16(std::uint16_t* value) override;
  Status GetUInt24(std::uint32_t* value) override;
  Status GetUInt32(std::uint32_t* value) override;
  Status GetUInt64(std::uint64_t* value) override;
  Status GetFloatAsDouble(double* value) override;
  Status TryGet4(void* target) override;
  Status TryGet8(void* target) override;
  Status GetStringInto(char* buffer, std::uint32_t size) override;
  Status GetStringNew(char** text) override;
  Status GetShortStringInto(char* buffer, std::uint32_t size) override;
  Status GetShortStringNew(char** text) override;
  Status Seek(std::uint8_t* place) override;
  std::uint8_t* Tell() override;
  // Reading goes back to a place Tell gave, keeping every segment: what was
  // read after it is read again. (Seek cuts the message there, for writers.)
  Status RereadFrom(std::uint8_t* place);

  // Body bytes not read yet (of a received message).
  std::uint32_t RemainingBytes() const;

  // --- segments, destinations and gathered replies (for routing) ---

  DseSegment* FirstSegment() const { return first_; }
  // Hands the body's chain to the caller; the message keeps no segment.
  DseSegment* TakeSegments();
  // The peer a received message came from (null when built here).
  DseIOQueue* SourcePeer() const;
  // Records a peer the request went to; false when 8 are recorded already.
  bool AddDestination(DseIOQueue* peer);
  void CopyDestinations(const DseMessage& request);
  std::uint32_t DestinationCount() const { return destination_count_; }
  DseIOQueue* Destination(std::uint32_t i) const { return destinations_[i]; }
  // Files one destination's reply chain (its source peer says which) and
  // ORs its flags into this message's. 0x8000FFFF when the chain is not from
  // a destination or that destination has replied already; the chain then
  // stays with the caller.
  Status CollectReply(DseSegment* chain);
  // Every destination has its reply.
  bool HasAllReplies() const;
  DseSegment* ReplyChain(std::uint32_t i) const { return replies_[i]; }

  DseClientCB* Client() const { return client_; }
  void* Context() const { return context_; }
  std::uint32_t State() const { return state_; }

  // Header fields; those that travel do so in one byte each.
  std::uint32_t type = 0;
  std::uint32_t message_class = kOrdinaryClass;
  std::uint32_t aux = 0;
  std::uint32_t subtype = 0;
  std::uint32_t flags = 0;
  std::uint32_t sequence = 0;
  double timeout = 0.0;   // ms, for flushing the output when sent
  double interval = 0.0;  // positive: periodic request

 protected:
  // A message with no segment yet.
  struct NoSegment {};
  DseMessage(std::uint32_t type, std::uint32_t subtype, NoSegment);

  // Calls visit for each reply held by reply: each gathered reply chain in
  // turn, or reply itself when nothing was gathered.
  void ForEachReply(DseMessage* reply, const std::function<void(DseMessage&)>& visit);

  void SetState(std::uint32_t state) { state_ = state; }

 private:
  DseMessage* MakeControl(std::uint32_t subtype, std::uint32_t flags) const;
  // The place for a fixed-size value, in a new segment when it does not fit.
  std::uint8_t* PlaceFor(std::uint32_t size);
  // The next size bytes to read, from the next segment when they are not
  // all in the current one; null past the end.
  const std::uint8_t* ReadPlace(std::uint32_t size);
  // Moves count bytes across segment boundaries into out (skips them when
  // out is null); the caller has made sure they are there.
  void ReadRun(char* out, std::uint32_t count);
  // 1 when size bytes were read into target; 0 (target zeroed, the short
  // rest used up) when fewer remain; 0x8000FFFF when none remain.
  Status TryGet(void* target, std::uint32_t size);
  // Makes segment (at or after the current one) the current one for reading.
  void ReadOn(DseSegment* segment);
  void ForgetRemaining() { counted_from_ = nullptr; }
  // Reads the length of a 24-bit-length string and checks that its bytes
  // are there.
  Status ReadLongLength(std::uint32_t* length);
  void ReleaseId();

  DseClientCB* client_ = nullptr;
  void* context_ = nullptr;
  std::uint32_t id_ = 0;
  std::uint32_t state_ = kBeingBuilt;
  DseSegment* first_ = nullptr;
  DseSegment* current_ = nullptr;
  // The unread bytes of the segments after counted_from_ (the current one
  // when valid), kept up as reading moves on, so that loops over
  // RemainingBytes stay linear in the message's size. Anything that changes
  // the chain or its cursors otherwise forgets it.
  mutable const DseSegment* counted_from_ = nullptr;
  mutable std::uint64_t counted_after_ = 0;
  std::uint32_t destination_count_ = 0;
  std::array<DseIOQueue*, kMaxDestinations> destinations_{};
  std::array<DseSegment*, kMaxDestinations> replies_{};
};

// The message form of a client command (subtype 11). Body: u32 command
// number; u32 n and n u32 integers; u32 n and n 4-byte floats; u32 n and n
// strings in the 24-bit-length form. Its replies carry statuses only.
class DseCommand : public DseMessage {
 public:
  // Reals are narrowed to 4-byte floats on the wire. A failed write (no
  // memory) is kept and reported by PrepareSend.
  DseCommand(std::uint32_t type, std::uint32_t command, std::uint32_t string_count,
             const char* const* strings, std::uint32_t integer_count, const std::int32_t* integers,
             std::uint32_t real_count, const double* reals);

  // Class 3 and state 1 first, so that packing always happens.
  Status PrepareSend(DseClientCB* client, void* context, const double* interval,
                     std::int32_t timeout_ms) override;
  // The status of each reply: the greatest success while no failure came,
  // else the smallest failure (as a signed number).
  Status OnReply(DseMessage* reply, DseMessage** follow_up) override;

 private:
  Status build_status_ = status::kOk;
};
