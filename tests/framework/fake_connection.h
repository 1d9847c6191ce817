// A connection whose peer is the test: input and output bytes, plans for each call.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>

#include "framework/connections/connection.h"
#include "message_helpers.h"

namespace testsupport {

class FakeConnection : public XosConnection {
 public:
  using Plan = std::function<std::uint32_t(std::uint32_t asked)>;

  explicit FakeConnection(Bytes bytes = {}, std::int32_t stream_kind = kByteStream)
      : input(std::move(bytes)), kind(stream_kind) {}

  Status Open() override {
    if (open_status == 0) flags_ |= kReadOpen | kWriteOpen;
    return open_status;
  }
  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override {
    *read = 0;
    if (read_failure != 0 && Exhausted()) return read_failure;
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(count, input.size() - at));
    if (read_plan) n = std::min(n, read_plan(count));
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
  std::int32_t StreamKind() override { return kind; }

  bool Exhausted() const { return at == input.size(); }
  void Append(const Bytes& more) { input.insert(input.end(), more.begin(), more.end()); }
  // Appends the frames of a message as the peer sends it.
  void Deliver(DseMessage& message, bool new_id = true) {
    message.Pack(new_id);
    Append(WireBytes(message));
  }

  Bytes input;
  std::size_t at = 0;
  std::int32_t kind;
  Bytes output;
  Plan read_plan;
  Plan write_plan;
  Status read_failure = 0;
  Status write_failure = 0;
  Status open_status = 0;
};

}  // namespace testsupport
