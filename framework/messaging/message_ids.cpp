#include "framework/messaging/message_ids.h"

namespace {

DseMessageIdAllocator* published = nullptr;

}  // namespace

DseMessageIdAllocator::DseMessageIdAllocator(std::int32_t child_number)
    : prefix_(static_cast<std::uint32_t>(child_number) << 13) {}

std::uint32_t DseMessageIdAllocator::Allocate() {
  std::uint32_t value = last_;
  // Every value but the last one handed out.
  for (std::uint32_t tries = 0; tries < kValues - 2; ++tries) {
    value = value + 1 >= kValues ? 1 : value + 1;
    if (counts_[value] == 0) {
      counts_[value] = 1;
      last_ = value;
      return prefix_ | value;
    }
  }
  return 0;
}

void DseMessageIdAllocator::Raise(std::uint32_t id) {
  if (!Owns(id) || (id & kValueMask) == 0) return;
  std::uint8_t& count = counts_[id & kValueMask];
  if (count < 0xFF) ++count;
}

void DseMessageIdAllocator::Lower(std::uint32_t id) {
  if (!Owns(id)) return;
  std::uint8_t& count = counts_[id & kValueMask];
  if (count > 0) --count;
}

std::uint32_t DseMessageIdAllocator::UseCount(std::uint32_t id) const {
  return Owns(id) ? counts_[id & kValueMask] : 0;
}

DseMessageIdAllocator& DseMessageIdAllocator::Current() {
  static DseMessageIdAllocator fallback(0);
  return published != nullptr ? *published : fallback;
}

void DseMessageIdAllocator::SetCurrent(DseMessageIdAllocator* allocator) { published = allocator; }
