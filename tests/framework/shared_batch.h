// Shared-memory batches as a peer lays them out, for the batch fault tests.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fake_connection.h"
#include "platform/byte_order.h"
#include "platform/shared_memory.h"

namespace testsupport {

// Per message its segment count and frames, then the end mark.
inline Bytes BatchLayout(const std::vector<DseMessage*>& messages) {
  Bytes bytes;
  for (DseMessage* message : messages) {
    const Bytes frames = WireBytes(*message);
    std::uint32_t n = 0;
    for (DseSegment* s = message->FirstSegment(); s != nullptr; s = s->next) ++n;
    unsigned char count[4];
    platform::StoreLE32(count, n);
    bytes.insert(bytes.end(), count, count + 4);
    bytes.insert(bytes.end(), frames.begin(), frames.end());
  }
  bytes.insert(bytes.end(), 4, 0);
  return bytes;
}

// Objects "Fennick.BatchedMessageFile.<pid>.<n>" made here; removed when
// this goes.
class SharedBatches {
 public:
  static std::uint32_t First() { return static_cast<std::uint32_t>(::getpid()); }
  static std::string Name(std::uint32_t second) {
    return "Fennick.BatchedMessageFile." + std::to_string(First()) + "." + std::to_string(second);
  }
  // The second number of the next object Share makes.
  std::uint32_t Next() const { return kFirstSecond + static_cast<std::uint32_t>(made_.size()); }
  // A new object holding the bytes; the second number of its name.
  std::uint32_t Share(const Bytes& bytes) {
    const std::uint32_t second = Next();
    std::string why;
    auto& made = made_.emplace_back(std::make_unique<platform::SharedMemory>());
    EXPECT_TRUE(made->Create(Name(second), bytes.size(), &why)) << why;
    std::copy(bytes.begin(), bytes.end(), made->Data());
    return second;
  }

 private:
  static constexpr std::uint32_t kFirstSecond = 9000;
  std::vector<std::unique_ptr<platform::SharedMemory>> made_;
};

}  // namespace testsupport
