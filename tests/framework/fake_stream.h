// A stream for the frame reader and writer tests: it hands out its input in
// pieces chosen by the test and accepts output in pieces chosen by the test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "framework/base_io.h"

namespace testsupport {

class FakeStream : public XosBaseIO {
 public:
  // How many bytes the next call may move given how many were asked for.
  using Plan = std::function<std::uint32_t(std::uint32_t asked)>;

  explicit FakeStream(std::vector<std::uint8_t> input = {}, std::int32_t kind = kByteStream)
      : input_(std::move(input)), kind_(kind) {}

  Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override {
    *written = 0;
    if (write_failure != 0) return write_failure;
    const std::uint32_t n = std::min(count, write_plan ? write_plan(count) : count);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    output.insert(output.end(), bytes, bytes + n);
    *written = n;
    return 0;
  }

  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override {
    *read = 0;
    ++reads;
    if (read_failure != 0) return read_failure;
    std::uint32_t n = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(input_.size() - at_));
    if (read_plan) n = std::min(n, read_plan(count));
    if (n > 0) std::memcpy(buffer, input_.data() + at_, n);
    at_ += n;
    *read = n;
    return 0;
  }

  std::int32_t StreamKind() override { return kind_; }

  void Append(const std::vector<std::uint8_t>& more) {
    input_.insert(input_.end(), more.begin(), more.end());
  }
  bool Exhausted() const { return at_ == input_.size(); }
  std::size_t Consumed() const { return at_; }

  Plan read_plan;
  Plan write_plan;
  Status read_failure = 0;
  Status write_failure = 0;
  std::vector<std::uint8_t> output;
  int reads = 0;

 private:
  std::vector<std::uint8_t> input_;
  std::size_t at_ = 0;
  std::int32_t kind_;
};

}  // namespace testsupport
