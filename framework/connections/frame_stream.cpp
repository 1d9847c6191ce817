// Moving frames through a stream. A byte stream may cut a frame anywhere and
// may carry damaged bytes, so its reader keeps its progress in the segment,
// asks only for the bytes the current frame still needs (the next frame's
// bytes stay in the stream), and resynchronises on the next start byte.
#include <cstring>

#include "framework/connections/base_io.h"
#include "framework/connections/io_status.h"
#include "framework/connections/segment.h"
#include "platform/byte_order.h"

namespace {

constexpr std::uint32_t kStartSize = 5;

// A start byte followed by a length that matches its complement and fits a block.
bool IsFrameStart(const unsigned char* p) {
  if (p[0] != DseSegment::kStartByte) return false;
  const std::uint32_t length = platform::LoadLE16(p + 1);
  if ((length ^ 0xFFFFu) != platform::LoadLE16(p + 3)) return false;
  return length >= DseSegment::kMinLengthNarrow && length <= DseSegment::kMaxLength;
}

// The complete frame's end byte and header agree with its length.
bool IsSoundFrame(const DseSegment* s) {
  const std::uint32_t length = s->frame_length;
  if (s->frame[length + 4] != DseSegment::kEndByte) return false;
  switch (s->frame[5]) {
    case DseSegment::kFormatNarrow:
      return length >= DseSegment::kMinLengthNarrow;
    case DseSegment::kFormatWide:
      return length >= DseSegment::kMinLengthWide;
    default:
      return false;
  }
}

void Forget(DseSegment* s) {
  s->transfer_count = 0;
  s->transfer_offset = 0;
  s->read_state = DseSegment::kNothingRead;
}

// Looks for a frame start; 0 with read state 1 when found (the start then
// lies at the beginning of the frame area), 0 with state 0 when the stream
// has no more bytes now, or the stream's failure.
Status FindStart(DseSegment* s, XosBaseIO* stream) {
  for (;;) {
    std::uint32_t have = s->transfer_count;
    std::uint32_t scan = s->transfer_offset;
    if (have - scan < kStartSize) {
      if (scan > 0) {
        std::memmove(s->frame, s->frame + scan, have - scan);
        have -= scan;
        scan = 0;
      }
      std::uint32_t got = 0;
      const Status result = stream->Read(s->frame + have, kStartSize - have, &got);
      if (status::IsFailure(result)) {
        s->transfer_count = have;
        s->transfer_offset = 0;
        return result;
      }
      if (got > kStartSize - have) got = kStartSize - have;  // a stream that overstates
      have += got;
      s->transfer_count = have;
      s->transfer_offset = 0;
      if (have < kStartSize) return status::kOk;
    }
    if (IsFrameStart(s->frame + scan)) {
      if (scan > 0) {
        std::memmove(s->frame, s->frame + scan, have - scan);
        have -= scan;
      }
      s->transfer_count = have;
      s->transfer_offset = 0;
      s->frame_length = platform::LoadLE16(s->frame + 1);
      s->read_state = DseSegment::kStartFound;
      return status::kOk;
    }
    // Skip to the next start byte among the buffered bytes, if any.
    const void* next = std::memchr(s->frame + scan + 1, DseSegment::kStartByte, have - scan - 1);
    if (next != nullptr) {
      s->transfer_count = have;
      s->transfer_offset =
          static_cast<std::uint32_t>(static_cast<const unsigned char*>(next) - s->frame);
    } else {
      Forget(s);
    }
  }
}

Status ReadByteStream(DseSegment* s, XosBaseIO* stream) {
  for (;;) {
    if (s->read_state == DseSegment::kNothingRead) {
      const Status result = FindStart(s, stream);
      if (status::IsFailure(result)) return result;
      if (s->read_state != DseSegment::kStartFound) return status::kIncompleteFrame;
    }
    if (s->read_state != DseSegment::kStartFound && s->read_state != DseSegment::kBodyPartlyRead) {
      return status::kIncompleteFrame;
    }
    const std::uint32_t total = s->frame_length + 5;
    if (s->transfer_count < total) {
      std::uint32_t got = 0;
      const std::uint32_t missing = total - s->transfer_count;
      const Status result = stream->Read(s->frame + s->transfer_count, missing, &got);
      if (status::IsFailure(result)) return result;
      s->transfer_count += got < missing ? got : missing;
      if (s->transfer_count < total) {
        s->read_state = DseSegment::kBodyPartlyRead;
        return status::kIncompleteFrame;
      }
    }
    if (!IsSoundFrame(s)) {
      // Damaged: drop what was taken for a frame and look for the next one.
      Forget(s);
      continue;
    }
    s->read_state = DseSegment::kComplete;
    return DseSegment::UnpackHeader(s, nullptr, nullptr, nullptr);
  }
}

// A packet stream hands over one whole frame per read.
Status ReadPacketStream(DseSegment* s, XosBaseIO* stream) {
  std::uint32_t got = 0;
  const Status result = stream->Read(s->frame, DseSegment::kFrameArea, &got);
  if (status::IsFailure(result)) return result;
  if (got == 0) return status::kNothingRead;
  if (got < kStartSize || got > DseSegment::kFrameArea || !IsFrameStart(s->frame)) {
    return status::kUnhandled;
  }
  s->frame_length = platform::LoadLE16(s->frame + 1);
  // The length must describe exactly the bytes that arrived.
  if (s->frame_length + 5 != got || !IsSoundFrame(s)) return status::kUnhandled;
  s->transfer_count = got;
  s->transfer_offset = 0;
  s->read_state = DseSegment::kComplete;
  return DseSegment::UnpackHeader(s, nullptr, nullptr, nullptr);
}

}  // namespace

Status DseSegment::Read(DseSegment* segment, XosBaseIO* stream) {
  if (stream->StreamKind() == XosBaseIO::kByteStream) return ReadByteStream(segment, stream);
  return ReadPacketStream(segment, stream);
}

Status DseSegment::Write(DseSegment* segment, XosBaseIO* stream) {
  if (segment->transfer_count == 0) {
    if (segment->use_count > 0) --segment->use_count;
    return status::kOk;
  }
  std::uint32_t written = 0;
  const Status result =
      stream->Write(segment->frame + segment->transfer_offset, segment->transfer_count, &written);
  // Every failure is reported as it is: a stream that cannot be written must
  // not look like one that is merely busy.
  if (status::IsFailure(result)) return result;
  if (written == 0) return status::kNothingWritten;
  if (written < segment->transfer_count) {
    segment->transfer_offset += written;
    segment->transfer_count -= written;
    return status::kPartlyWritten;
  }
  if (segment->use_count > 0) --segment->use_count;
  if (segment->use_count > 0) {
    // Further destinations share this block: each gets the whole frame.
    segment->transfer_count = segment->transfer_offset + segment->transfer_count;
    segment->transfer_offset = 0;
  } else {
    segment->transfer_offset += segment->transfer_count;
    segment->transfer_count = 0;
  }
  return result;
}
