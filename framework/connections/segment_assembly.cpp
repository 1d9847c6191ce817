// Reassembly of received segments into whole messages. Segments of one
// message may arrive in any order; they are kept sorted by index in a chain
// whose first segment knows its tail, and the tail carries the count of
// segments received. Chains are listed through their first segment's pool
// link, which is free while a block is out of the pool.
#include "framework/connections/segment.h"

namespace {

// Unlinks the chain headed by first from the list; returns false when absent.
bool Unlink(DseSegment** head, DseSegment* first) {
  for (DseSegment** link = head; *link != nullptr; link = &(*link)->pool_link) {
    if (*link == first) {
      *link = first->pool_link;
      first->pool_link = nullptr;
      return true;
    }
  }
  return false;
}

Status Refuse(DseSegment* segment) {
  segment->next = nullptr;
  DseSegment::ReturnToPool(segment);
  return status::kUnhandled;
}

}  // namespace

Status DseSegment::Assemble(DseSegment* segment, DseAssemblyList* list, DseSegment** complete) {
  *complete = nullptr;
  // An index outside 1..count would make a message complete with holes.
  if (segment->count == 0 || segment->index == 0 || segment->index > segment->count) {
    return Refuse(segment);
  }
  segment->next = nullptr;
  segment->pool_link = nullptr;
  if (segment->count == 1) {
    segment->assembly_tail = segment;
    segment->received = 1;
    *complete = segment;
    return status::kOk;
  }
  const std::uint32_t id = segment->message_id & 0xFFFFu;
  DseSegment* first = list->head_;
  while (first != nullptr && (first->message_id & 0xFFFFu) != id) first = first->pool_link;
  if (first == nullptr) {
    segment->assembly_tail = segment;
    segment->received = 1;
    segment->pool_link = list->head_;
    list->head_ = segment;
    ++list->held_;
    return status::kOk;
  }
  if (first->count != segment->count) return Refuse(segment);

  // The message being extended moves to the head of the list.
  Unlink(&list->head_, first);
  first->pool_link = list->head_;
  list->head_ = first;

  DseSegment* tail = first->assembly_tail;
  if (tail->index < segment->index) {
    tail->next = segment;
    segment->received = tail->received;
    first->assembly_tail = segment;
    tail = segment;
  } else {
    DseSegment* before = nullptr;
    DseSegment* at = first;
    while (at != nullptr && at->index < segment->index) {
      before = at;
      at = at->next;
    }
    if (at == nullptr || at->index == segment->index) return Refuse(segment);
    segment->next = at;
    if (before != nullptr) {
      before->next = segment;
    } else {
      // A new first segment takes over the chain's place and its tail.
      segment->assembly_tail = first->assembly_tail;
      segment->pool_link = first->pool_link;
      list->head_ = segment;
      first->pool_link = nullptr;
      first = segment;
    }
  }
  ++tail->received;
  ++list->held_;
  if (tail->received == first->count) {
    Unlink(&list->head_, first);
    list->held_ -= first->count;
    *complete = first;
  }
  return status::kOk;
}

DseAssemblyList::~DseAssemblyList() { Clear(); }

bool DseAssemblyList::Holds(std::uint32_t message_id) const {
  for (const DseSegment* s = head_; s != nullptr; s = s->pool_link) {
    if ((s->message_id & 0xFFFFu) == (message_id & 0xFFFFu)) return true;
  }
  return false;
}

void DseAssemblyList::Clear() {
  held_ = 0;
  while (head_ != nullptr) {
    DseSegment* first = head_;
    head_ = first->pool_link;
    first->pool_link = nullptr;
    DseSegment::ReturnChain(first);
  }
}

std::uint64_t DseAssemblyList::AnnouncedSegments() const {
  std::uint64_t n = 0;
  for (const DseSegment* s = head_; s != nullptr; s = s->pool_link) n += s->count;
  return n;
}

std::size_t DseAssemblyList::Size() const {
  std::size_t n = 0;
  for (const DseSegment* s = head_; s != nullptr; s = s->pool_link) ++n;
  return n;
}
