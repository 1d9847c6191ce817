// Building segment chains and their frames: fresh segments, values placed
// whole, packing the headers before sending, and unpacking them on receipt.
#include "framework/connections/segment.h"

#include <cstring>

#include "platform/byte_order.h"

namespace {

// Header offsets within the frame.
constexpr std::uint32_t kLengthAt = 1;
constexpr std::uint32_t kComplementAt = 3;
constexpr std::uint32_t kFormatAt = 5;
constexpr std::uint32_t kFlagsAt = 6;
constexpr std::uint32_t kClassAt = 7;
constexpr std::uint32_t kSubtypeAt = 8;
constexpr std::uint32_t kTypeAt = 9;
constexpr std::uint32_t kIdAt = 10;
constexpr std::uint32_t kAuxAt = 12;
constexpr std::uint32_t kSequenceAt = 13;
constexpr std::uint32_t kCountAt = 14;
constexpr std::uint32_t kWideShift = DseSegment::kDataStartWide - DseSegment::kDataStart;

}  // namespace

void DseSegment::Init(DseSegment* previous) {
  next = nullptr;
  source_peer = nullptr;
  cursor = frame + kDataStart;
  window_end = frame + kDataEnd;
  use_count = 0;
  frame_length = 0;
  count = 0;
  received = 1;
  transfer_count = 0;
  transfer_offset = 0;
  read_state = kNothingRead;
  format = kFormatNarrow;
  sequence = 0;
  aux = 0;
  if (previous != nullptr) {
    index = previous->index + 1;
    assembly_tail = previous->assembly_tail;
    message_id = previous->message_id;
    flags = previous->flags;
    previous->next = this;
  } else {
    index = 1;
    assembly_tail = this;
    message_id = 0;
    flags = 0;
  }
}

DseSegment* DseSegment::Make(DseSegment* previous) {
  DseSegment* block = TakeFromPool();
  if (block != nullptr) block->Init(previous);
  return block;
}

unsigned char* DseSegment::ReserveValue(DseSegment** current, std::uint32_t size) {
  DseSegment* segment = *current;
  if (size > kMaxData) return nullptr;
  if (static_cast<std::uint32_t>(segment->window_end - segment->cursor) < size) {
    segment = Make(segment);
    if (segment == nullptr) return nullptr;
    *current = segment;
  }
  unsigned char* place = segment->cursor;
  segment->cursor += size;
  return place;
}

Status DseSegment::PackHeaders(DseSegment* first, std::uint32_t klass, std::uint32_t type,
                               std::uint32_t subtype, DseSegment* last) {
  if (last == nullptr) {
    last = first;
    while (last->next != nullptr) last = last->next;
  }
  const std::uint32_t total = last->index;
  const std::uint8_t new_format = total <= kLargestCountNarrow ? kFormatNarrow : kFormatWide;
  for (DseSegment* s = first;; s = s->next) {
    s->count = total;
    if (new_format == kFormatWide && s->format != kFormatWide) {
      // The data was written behind the short header; make room for the long one.
      const std::uint32_t data = static_cast<std::uint32_t>(s->cursor - (s->frame + kDataStart));
      std::memmove(s->frame + kDataStartWide, s->frame + kDataStart, data);
      s->cursor += kWideShift;
      s->window_end = s->frame + kFrameArea - 1;
    }
    s->format = new_format;
    unsigned char* f = s->frame;
    *s->cursor = kEndByte;
    const std::uint32_t frame_size = static_cast<std::uint32_t>(s->cursor - f) + 1;
    s->frame_length = frame_size - 5;
    f[0] = kStartByte;
    platform::StoreLE16(f + kLengthAt, static_cast<std::uint16_t>(s->frame_length));
    platform::StoreLE16(f + kComplementAt, static_cast<std::uint16_t>(s->frame_length ^ 0xFFFFu));
    f[kFormatAt] = new_format;
    f[kFlagsAt] = first->flags;
    f[kClassAt] = static_cast<std::uint8_t>(klass);
    f[kSubtypeAt] = static_cast<std::uint8_t>(subtype);
    f[kTypeAt] = static_cast<std::uint8_t>(type);
    platform::StoreLE16(f + kIdAt, static_cast<std::uint16_t>(first->message_id));
    f[kAuxAt] = first->aux;
    f[kSequenceAt] = first->sequence;
    if (new_format == kFormatNarrow) {
      platform::StoreLE16(f + kCountAt, static_cast<std::uint16_t>(total));
      platform::StoreLE16(f + kCountAt + 2, static_cast<std::uint16_t>(s->index));
    } else {
      platform::StoreLE32(f + kCountAt, total);
      platform::StoreLE32(f + kCountAt + 4, s->index);
    }
    s->transfer_count = frame_size;
    s->transfer_offset = 0;
    if (s == last) break;
  }
  return status::kOk;
}

Status DseSegment::UnpackHeader(DseSegment* segment, std::uint32_t* klass, std::uint32_t* type,
                                std::uint32_t* subtype) {
  const unsigned char* f = segment->frame;
  const std::uint8_t format = f[kFormatAt];
  if (format != kFormatNarrow && format != kFormatWide) return status::kGeneralFailure;
  const std::uint32_t length = platform::LoadLE16(f + kLengthAt);
  const std::uint32_t least = format == kFormatNarrow ? kMinLengthNarrow : kMinLengthWide;
  if (length < least || length > kMaxLength) return status::kUnhandled;
  segment->frame_length = length;
  segment->format = format;
  segment->flags = f[kFlagsAt];
  segment->message_id = platform::LoadLE16(f + kIdAt);
  segment->aux = f[kAuxAt];
  segment->sequence = f[kSequenceAt];
  std::uint32_t data_at;
  if (format == kFormatNarrow) {
    segment->count = platform::LoadLE16(f + kCountAt);
    segment->index = platform::LoadLE16(f + kCountAt + 2);
    data_at = kDataStart;
  } else {
    segment->count = platform::LoadLE32(f + kCountAt);
    segment->index = platform::LoadLE32(f + kCountAt + 4);
    data_at = kDataStartWide;
  }
  segment->cursor = segment->frame + data_at;
  segment->window_end = segment->frame + length + 4;
  if (klass != nullptr) *klass = f[kClassAt];
  if (type != nullptr) *type = f[kTypeAt];
  if (subtype != nullptr) *subtype = f[kSubtypeAt];
  return status::kOk;
}

Status DseSegment::ParseFrame(DseSegment* segment, const unsigned char** place,
                              const unsigned char* end) {
  const unsigned char* p = *place;
  if (p == nullptr || end < p || end - p < 5) return status::kUnhandled;
  if (p[0] != kStartByte) return status::kUnhandled;
  const std::uint32_t length = platform::LoadLE16(p + kLengthAt);
  if ((length ^ 0xFFFFu) != platform::LoadLE16(p + kComplementAt)) return status::kUnhandled;
  // Too long for a block, too short for a header, or running past the
  // memory given: refused before anything is copied.
  if (length < kMinLengthNarrow || length > kMaxLength) return status::kUnhandled;
  if (static_cast<std::uint32_t>(end - p) - 5 < length) return status::kUnhandled;
  if (p[length + 4] != kEndByte) return status::kUnhandled;
  std::memcpy(segment->frame, p, length + 5);
  segment->read_state = kComplete;
  segment->transfer_count = length + 5;
  segment->transfer_offset = 0;
  if (UnpackHeader(segment, nullptr, nullptr, nullptr) != status::kOk) {
    segment->read_state = kNothingRead;
    return status::kUnhandled;
  }
  *place = p + 5 + length;
  return status::kOk;
}
