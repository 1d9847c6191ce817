// One fixed-size block that carries a piece of a message: its bookkeeping and,
// in the same block, the bytes of its frame as they travel over a connection,
// so that sending copies nothing. Blocks come from a process-wide pool owned
// by the server thread (no lock); a message owns the chain of its segments,
// a peer's reassembly list the chains of incomplete messages.
//
// Frame: 0x02, u16 L (bytes from offset 5 through the end byte), u16 ~L, a
// 13-byte (format 16) or 17-byte (format 17) header, the data, 0x03.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/status.h"

class DseAssemblyList;
class DseIOQueue;
class XosBaseIO;

class DseSegment {
 public:
  static constexpr std::uint32_t kFrameArea = 4003;
  static constexpr std::uint32_t kDataStart = 18;                   // format 16
  static constexpr std::uint32_t kDataStartWide = 22;               // format 17
  static constexpr std::uint32_t kDataEnd = 3998;                   // end of the data window
  static constexpr std::uint32_t kMaxData = kDataEnd - kDataStart;  // 3,980
  static constexpr std::uint32_t kLargestCountNarrow = 65534;
  static constexpr std::uint8_t kFormatNarrow = 16;
  static constexpr std::uint8_t kFormatWide = 17;
  static constexpr std::uint8_t kStartByte = 0x02;
  static constexpr std::uint8_t kEndByte = 0x03;
  // L counts the header, the data and the end byte; the smallest frame has no data.
  static constexpr std::uint32_t kMinLengthNarrow = 14;
  static constexpr std::uint32_t kMinLengthWide = 18;
  static constexpr std::uint32_t kMaxLength = kFrameArea - 5;

  enum ReadState : std::uint32_t {
    kNothingRead = 0,
    kStartFound = 1,
    kBodyPartlyRead = 2,
    kComplete = 3,
  };

  // Bookkeeping.
  DseSegment* pool_link;       // next free block while in the pool; next chain
                               // in a reassembly list while in one
  DseSegment* next;            // next segment of the same message
  DseSegment* assembly_tail;   // first segment of a chain being reassembled: its tail
  std::uint32_t received;      // segments received so far, kept in the tail
  DseIOQueue* source_peer;     // null for a segment built here
  std::uint8_t poolable;       // 1: always goes back to the pool
  unsigned char* cursor;       // where the next byte is written or read
  unsigned char* window_end;   // the cursor may not pass it
  std::uint32_t use_count;     // outstanding writes (one per destination)
  std::uint32_t frame_length;  // L
  std::uint32_t count;         // segments of the message
  std::uint32_t index;         // 1-based place in the message
  std::uint32_t message_id;    // only the low 16 bits travel
  std::uint8_t flags;
  std::uint8_t sequence;
  std::uint8_t aux;
  std::uint32_t transfer_count;   // bytes still to write, or already read
  std::uint32_t transfer_offset;  // bytes already written, or the scan position
  std::uint32_t read_state;
  std::uint8_t format;
  unsigned char frame[kFrameArea];

  // Pool. TakeFromPool returns an uninitialised block (see Init), or null
  // when memory is exhausted. ReturnToPool does nothing while the block's
  // use count is 1 or more.
  static DseSegment* TakeFromPool();
  static void ReturnToPool(DseSegment* block);
  // Gives back every segment of a chain.
  static void ReturnChain(DseSegment* first);
  // Frees every block lying in the pool (when the I/O layer goes away).
  static void DrainPool();
  static std::uint32_t PoolFreeCount();
  static std::uint32_t PoolMadeCount();

  // Makes the block a fresh segment; chained after previous when given
  // (index + 1, previous's assembly tail, id and flags; previous->next set).
  void Init(DseSegment* previous);
  // A block from the pool made a fresh segment; null without memory.
  static DseSegment* Make(DseSegment* previous);

  // The place for a value of fixed size in the chain whose current segment
  // is *current: a value is never split, so when it does not fit the rest of
  // the window a new segment is chained and made current, and the bytes left
  // in the old one stay out of its frame. Advances the cursor past the value.
  // Null without memory, or for a value larger than one segment's data.
  static unsigned char* ReserveValue(DseSegment** current, std::uint32_t size);

  // Writes start, length, complement, header and end byte into every segment
  // of the chain (up to last, or to its end). Format 17 once the count
  // passes 65,534; its data moves 4 bytes up behind the longer header.
  static Status PackHeaders(DseSegment* first, std::uint32_t klass, std::uint32_t type,
                            std::uint32_t subtype, DseSegment* last);
  // Reads the header of a received frame into the fields and the outputs
  // (any may be null); leaves the cursor at the first data byte and the
  // window end at the end byte. 0xA000FFFF for a format other than 16 or
  // 17, 0x8000FFFF for a length too short for its header.
  static Status UnpackHeader(DseSegment* segment, std::uint32_t* klass, std::uint32_t* type,
                             std::uint32_t* subtype);
  // Takes one frame from memory at *place (not past end) and advances the
  // place past it; 0x8000FFFF for a damaged frame (the place stays).
  static Status ParseFrame(DseSegment* segment, const unsigned char** place,
                           const unsigned char* end);

  // Reads one frame from a stream into the segment. 0 means a complete frame
  // (read state 3, header unpacked); otherwise a failure of the stream, 34
  // while the frame is not complete yet (call again with the same segment;
  // byte streams resume where they stopped and skip damaged bytes), and for
  // packet streams 5 when nothing arrived and 0x8000FFFF for a damaged frame.
  static Status Read(DseSegment* segment, XosBaseIO* stream);

  // Writes the frame's unsent bytes: 0 when all are out (the use count is
  // lowered), 30 when partly written (call again), 33 when nothing could be
  // written now, or the stream's failure (0x80000035 when the peer is gone).
  static Status Write(DseSegment* segment, XosBaseIO* stream);

  // Files a received segment into a reassembly list. A complete message
  // comes back through *complete as the first segment of its chain in index
  // order (null while incomplete). 0x8000FFFF for a duplicate, or for an
  // index or count that cannot belong to the message; the refused segment
  // goes back to the pool and the message's other segments stay listed.
  static Status Assemble(DseSegment* segment, DseAssemblyList* list, DseSegment** complete);

  unsigned char* DataStart() {
    return frame + (format == kFormatWide ? kDataStartWide : kDataStart);
  }
  // Bytes from the start byte through the end byte of a packed frame.
  std::uint32_t FrameSize() const { return frame_length + 5; }
};

// The incomplete messages received from one peer in one class: the first
// segments of their chains, most recently extended first. Segments filed
// here belong to the list until their message completes.
class DseAssemblyList {
 public:
  DseAssemblyList() = default;
  ~DseAssemblyList();
  DseAssemblyList(const DseAssemblyList&) = delete;
  DseAssemblyList& operator=(const DseAssemblyList&) = delete;

  // Gives every incomplete chain back to the pool.
  void Clear();
  std::size_t Size() const;
  const DseSegment* Head() const { return head_; }
  // Whether a message with this id is being reassembled here.
  bool Holds(std::uint32_t message_id) const;
  // Segments held in the incomplete chains.
  std::uint32_t HeldSegments() const { return held_; }
  // Segments the incomplete messages hold once complete (their counts).
  std::uint64_t AnnouncedSegments() const;

 private:
  friend class DseSegment;
  DseSegment* head_ = nullptr;
  std::uint32_t held_ = 0;
};
