// A connection for the I/O queue and controller tests: the test puts the
// peer's bytes into its input and reads what was written from its output;
// a write plan decides how much each write may take, and a read failure
// comes once the input is used up.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "framework/connection.h"
#include "framework/message.h"
#include "framework/segment.h"
#include "tests/support/golden.h"

namespace testsupport {

class FakeConnection : public XosConnection {
 public:
  Status Open() override {
    if (open_status == 0) flags_ |= kReadOpen | kWriteOpen;
    return open_status;
  }
  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override {
    *read = 0;
    if (read_failure != 0 && at == input.size()) return read_failure;
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(count, input.size() - at));
    if (n > 0) std::memcpy(buffer, input.data() + at, n);
    at += n;
    *read = n;
    return 0;
  }
  Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override {
    *written = 0;
    if (write_failure != 0) return write_failure;
    const std::uint32_t n = write_plan ? std::min(count, write_plan(count)) : count;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    output.insert(output.end(), bytes, bytes + n);
    *written = n;
    return 0;
  }

  // Appends the frames of a message as the peer sends it.
  void Deliver(DseMessage& message, bool new_id = true) {
    message.Pack(new_id);
    for (DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) {
      input.insert(input.end(), s->frame, s->frame + s->FrameSize());
    }
  }

  Bytes input;
  std::size_t at = 0;
  Bytes output;
  std::function<std::uint32_t(std::uint32_t)> write_plan;
  Status read_failure = 0;
  Status write_failure = 0;
  Status open_status = 0;
};

// The frames of a message packed here, end to end.
inline Bytes WireBytes(DseMessage& message) {
  Bytes bytes;
  message.Pack(false);
  for (DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) {
    bytes.insert(bytes.end(), s->frame, s->frame + s->FrameSize());
  }
  return bytes;
}

// The messages in a written byte stream, segments of one message chained
// in the order they came; the stream is emptied.
inline std::vector<std::unique_ptr<DseMessage>> TakeMessages(Bytes* stream) {
  std::vector<std::unique_ptr<DseMessage>> messages;
  const unsigned char* place = stream->data();
  const unsigned char* end = place + stream->size();
  DseSegment* first = nullptr;
  DseSegment* last = nullptr;
  while (place < end) {
    DseSegment* s = DseSegment::Make(nullptr);
    EXPECT_EQ(DseSegment::ParseFrame(s, &place, end), 0u);
    if (first == nullptr) {
      first = s;
    } else {
      last->next = s;
    }
    last = s;
    if (s->index < s->count) continue;
    std::uint32_t klass = 0, type = 0, subtype = 0;
    DseSegment::UnpackHeader(first, &klass, &type, &subtype);
    messages.emplace_back(DseMessage::DseMessageFromSegments(first, klass, type, subtype));
    first = last = nullptr;
  }
  stream->clear();
  return messages;
}

}  // namespace testsupport
