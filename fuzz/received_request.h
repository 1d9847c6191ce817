// The message a server receives for a request with this body: built, packed
// into frames and read back as the receive side does, so that a target
// meets the bytes as they arrive. Null when the frames do not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "framework/connections/segment.h"
#include "framework/messaging/message.h"

namespace vantor_fuzz {

inline std::unique_ptr<DseMessage> ReceivedRequest(std::uint32_t service, const std::uint8_t* body,
                                                   std::size_t size) {
  DseMessage sent(service, DseMessage::kRequest);
  for (std::size_t i = 0; i < size; ++i) sent.PutUInt8(body[i]);
  sent.Pack(false);
  std::vector<std::uint8_t> wire;
  for (DseSegment* s = sent.FirstSegment(); s != nullptr; s = s->next) {
    wire.insert(wire.end(), s->frame, s->frame + s->FrameSize());
  }
  const unsigned char* place = wire.data();
  const unsigned char* end = wire.data() + wire.size();
  DseSegment* first = nullptr;
  DseSegment* last = nullptr;
  while (place < end) {
    DseSegment* s = DseSegment::Make(last);
    const Status parsed = DseSegment::ParseFrame(s, &place, end);
    if (first == nullptr) first = s;
    last = s;
    if (parsed != 0) {
      DseSegment::ReturnChain(first);
      return nullptr;
    }
    if (s->index >= s->count) break;
  }
  if (first == nullptr) return nullptr;
  std::uint32_t klass = 0, type = 0, subtype = 0;
  DseSegment::UnpackHeader(first, &klass, &type, &subtype);
  return std::unique_ptr<DseMessage>(
      DseMessage::DseMessageFromSegments(first, klass, type, subtype));
}

}  // namespace vantor_fuzz
