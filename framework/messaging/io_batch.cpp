// Shared-memory batches: the peer lays messages end to end in a named
// mapping and announces it; they are taken from there before the input
// lists. The mapping is the peer's memory, so it is read whole when opened,
// every count and frame is checked against what was read, and the first
// that does not fit ends the batch.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "foundation/messages/su_print.h"
#include "framework/connections/segment.h"
#include "framework/messaging/io_queue.h"
#include "framework/messaging/message.h"
#include "platform/byte_order.h"
#include "platform/shared_memory.h"

namespace {

constexpr std::uint32_t kCountSize = 4;
constexpr std::uint32_t kSmallestFrame = 19;

}  // namespace

Status DseIOQueue::OpenBatchedMessageFile(std::uint32_t first, std::uint32_t second,
                                          std::uint32_t size) {
  if (BatchOpen()) {
    // Opening another would throw away what is left of this one.
    SuPrint(status::kUnhandled, "Batched messages refused: %s", "a batch is still open");
    return status::kUnhandled;
  }
  char name[80];
  std::snprintf(name, sizeof name, "%s.%d.%d", "Fennick.BatchedMessageFile",
                static_cast<std::int32_t>(first), static_cast<std::int32_t>(second));
  auto batch = std::make_unique<platform::SharedMemory>();
  std::string why = "a batch too small for its end mark";
  if (size < kCountSize || !batch->Open(name, size, &why)) {
    SuPrint(status::kUnhandled, "Batched messages refused: %s", why.c_str());
    return status::kUnhandled;
  }
  batch_ = std::move(batch);
  batch_at_ = 0;
  return status::kOk;
}

bool DseIOQueue::BatchOpen() const { return batch_ != nullptr && batch_->IsOpen(); }

void DseIOQueue::CloseBatch() {
  batch_.reset();
  batch_at_ = 0;
}

DseMessage* DseIOQueue::TakeBatchedMessage() {
  if (!BatchOpen()) return nullptr;
  const unsigned char* const end = batch_->Data() + batch_->Size();
  const unsigned char* at = batch_->Data() + batch_at_;
  if (end - at < static_cast<std::ptrdiff_t>(kCountSize)) {
    SuPrint(status::kUnhandled, "Batched messages refused: %s", "no end mark");
    CloseBatch();
    return nullptr;
  }
  const std::uint32_t count = platform::LoadLE32(at);
  at += kCountSize;
  if (count == 0) {
    CloseBatch();
    return nullptr;
  }
  DseSegment* first = nullptr;
  DseSegment* last = nullptr;
  bool sound = count <= static_cast<std::uint64_t>(end - at) / kSmallestFrame;
  for (std::uint32_t index = 1; sound && index <= count; ++index) {
    DseSegment* segment = DseSegment::Make(nullptr);
    sound = segment != nullptr && DseSegment::ParseFrame(segment, &at, end) == status::kOk &&
            segment->count == count && segment->index == index;
    if (!sound) {
      DseSegment::ReturnToPool(segment);
      break;
    }
    if (last != nullptr) {
      last->next = segment;
    } else {
      first = segment;
    }
    last = segment;
  }
  std::uint32_t klass = 0;
  std::uint32_t type = 0;
  std::uint32_t subtype = 0;
  DseMessage* message = nullptr;
  if (sound && DseSegment::UnpackHeader(first, &klass, &type, &subtype) == status::kOk) {
    message =
        DseMessage::DseMessageFromSegments(first, std::min(klass, kClasses - 1), type, subtype);
  }
  if (message == nullptr) {
    DseSegment::ReturnChain(first);
    if (!sound) SuPrint(status::kUnhandled, "Batched messages refused: %s", "a damaged frame");
    CloseBatch();
    return nullptr;
  }
  batch_at_ = static_cast<std::size_t>(at - batch_->Data());
  return message;
}
