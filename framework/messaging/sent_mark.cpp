#include "framework/messaging/sent_mark.h"

#include <utility>

#include "framework/connections/segment.h"

DseSentMark::DseSentMark(DseSentMark&& other) noexcept
    : segment_(std::exchange(other.segment_, nullptr)) {}

DseSentMark& DseSentMark::operator=(DseSentMark&& other) noexcept {
  if (this != &other) {
    Release();
    segment_ = std::exchange(other.segment_, nullptr);
  }
  return *this;
}

void DseSentMark::Set(DseSegment* chain) {
  Release();
  if (chain == nullptr) return;
  while (chain->next != nullptr) chain = chain->next;
  segment_ = chain;
  ++segment_->use_count;
}

bool DseSentMark::Left() const { return segment_ == nullptr || segment_->use_count <= 1; }

void DseSentMark::Release() {
  if (segment_ == nullptr) return;
  --segment_->use_count;
  DseSegment::ReturnToPool(segment_);
  segment_ = nullptr;
}
