// Building segment chains and looking at their frames in the framing tests.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/connections/segment.h"

namespace testsupport {

using Frame = std::vector<std::uint8_t>;

// A chain holding the data written one byte at a time, with the header
// fields a message would give its first segment.
inline DseSegment* BuildChain(const std::vector<std::uint8_t>& data, std::uint32_t id = 0x1234,
                              std::uint8_t flags = 0x20, std::uint8_t aux = 1,
                              std::uint8_t sequence = 5) {
  DseSegment* first = DseSegment::Make(nullptr);
  first->message_id = id;
  first->flags = flags;
  first->aux = aux;
  first->sequence = sequence;
  DseSegment* current = first;
  for (std::uint8_t byte : data) *DseSegment::ReserveValue(&current, 1) = byte;
  return first;
}

inline Frame FrameOf(const DseSegment* s) { return Frame(s->frame, s->frame + s->FrameSize()); }

inline std::vector<Frame> FramesOf(const DseSegment* first) {
  std::vector<Frame> frames;
  for (const DseSegment* s = first; s != nullptr; s = s->next) frames.push_back(FrameOf(s));
  return frames;
}

// The data of a received (unpacked) chain, in chain order.
inline std::vector<std::uint8_t> DataOf(DseSegment* first) {
  std::vector<std::uint8_t> data;
  for (DseSegment* s = first; s != nullptr; s = s->next)
    data.insert(data.end(), s->cursor, s->window_end);
  return data;
}

inline std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return data;
}

// The frames of a class-3, type-50, subtype-12 message holding the pattern.
inline std::vector<Frame> PackedFrames(std::size_t data_size, std::uint32_t id = 0x1234) {
  DseSegment* chain = BuildChain(Pattern(data_size), id);
  DseSegment::PackHeaders(chain, 3, 50, 12, nullptr);
  auto frames = FramesOf(chain);
  DseSegment::ReturnChain(chain);
  return frames;
}

inline std::vector<std::uint8_t> Join(const std::vector<Frame>& parts) {
  std::vector<std::uint8_t> bytes;
  for (const auto& p : parts) bytes.insert(bytes.end(), p.begin(), p.end());
  return bytes;
}

}  // namespace testsupport
