#include "foundation/collections/slist.h"

#include "foundation/collections/collection_errors.h"

ClSlist::ClSlist() : last_(&head_) {
  head_.next = &tail_;
  tail_.next = &tail_;
}

void ClSlist::LinkAfter(ClSlink* prev, ClSlink* link) {
  link->next = prev->next;
  prev->next = link;
  if (prev == last_) last_ = link;
  ++count_;
}

ClSlink* ClSlist::UnlinkAfter(ClSlink* prev) {
  ClSlink* link = prev->next;
  prev->next = link->next;
  if (link == last_) last_ = prev;
  --count_;
  return link;
}

void ClSlist::ResetLinks() {
  head_.next = &tail_;
  last_ = &head_;
  count_ = 0;
}

// ---- ClSlistCollectables -------------------------------------------------

ClSlistCollectables::ClSlistCollectables(const ClSlistCollectables& other)
    : ClSequenceable(other), ClSlist() {
  AppendAll(other);
}

ClSlistCollectables& ClSlistCollectables::operator=(const ClSlistCollectables& other) {
  if (this != &other) {
    FreeNodes();
    AppendAll(other);
  }
  return *this;
}

ClSlistCollectables::~ClSlistCollectables() { FreeNodes(); }

void ClSlistCollectables::AppendAll(const ClSlistCollectables& other) {
  for (const ClSlink* l = other.HeadLink()->next; !other.IsTail(l); l = l->next) {
    Append(AsNode(l)->item);
  }
}

void ClSlistCollectables::FreeNodes() {
  ClSlink* l = HeadLink()->next;
  while (!IsTail(l)) {
    ClSlink* next = l->next;
    delete AsNode(l);
    l = next;
  }
  ResetLinks();
}

ClCollectable* ClSlistCollectables::NewEmpty() const { return new ClSlistCollectables; }

ClCollectable* ClSlistCollectables::Copy() const { return new ClSlistCollectables(*this); }

std::uint16_t ClSlistCollectables::ClassId() const { return kClSlistCollectablesId; }

bool ClSlistCollectables::IsEqual(const ClCollectable* other) const {
  if (other == this) return true;
  if (other == nullptr || other->ClassId() != kClSlistCollectablesId) return false;
  const auto* that = dynamic_cast<const ClSlistCollectables*>(other);
  if (that == nullptr || that->Entries() != Entries()) return false;
  ClEqualityLevel level(this, that);
  if (const int known = level.Known(); known >= 0) return known == 1;
  const ClSlink* b = that->HeadLink()->next;
  for (const ClSlink* a = HeadLink()->next; !IsTail(a); a = a->next, b = b->next) {
    if (!ClItemsEqual(AsNode(a)->item, AsNode(b)->item)) return level.Decided(false);
  }
  return level.Decided(true);
}

void ClSlistCollectables::Apply(ClApplyFunction function, void* data) const {
  for (const ClSlink* l = HeadLink()->next; !IsTail(l); l = l->next) {
    function(AsNode(l)->item, data);
  }
}

void ClSlistCollectables::Clear() { FreeNodes(); }

ClCollectable* ClSlistCollectables::Find(const ClCollectable* a) const {
  for (const ClSlink* l = HeadLink()->next; !IsTail(l); l = l->next) {
    if (ClItemsEqual(AsNode(l)->item, a)) return AsNode(l)->item;
  }
  return nullptr;
}

ClCollectable* ClSlistCollectables::FindReference(const ClCollectable* a) const {
  for (const ClSlink* l = HeadLink()->next; !IsTail(l); l = l->next) {
    if (AsNode(l)->item == a) return AsNode(l)->item;
  }
  return nullptr;
}

ClCollectable* ClSlistCollectables::Insert(ClCollectable* a) { return Append(a); }

std::size_t ClSlistCollectables::OccurrencesOf(const ClCollectable* a) const {
  std::size_t n = 0;
  for (const ClSlink* l = HeadLink()->next; !IsTail(l); l = l->next) {
    if (ClItemsEqual(AsNode(l)->item, a)) ++n;
  }
  return n;
}

template <typename Match>
ClCollectable* ClSlistCollectables::RemoveFirst(Match match) {
  for (ClSlink* prev = HeadLink(); !IsTail(prev->next); prev = prev->next) {
    if (match(AsNode(prev->next)->item)) {
      Node* node = AsNode(UnlinkAfter(prev));
      ClCollectable* item = node->item;
      delete node;
      return item;
    }
  }
  return nullptr;
}

ClCollectable* ClSlistCollectables::Remove(const ClCollectable* a) {
  return RemoveFirst([a](const ClCollectable* item) { return ClItemsEqual(item, a); });
}

ClCollectable* ClSlistCollectables::RemoveReference(const ClCollectable* a) {
  return RemoveFirst([a](const ClCollectable* item) { return item == a; });
}

ClCollectable* ClSlistCollectables::Append(ClCollectable* a) { return InsertAt(Entries(), a); }

ClSlistCollectables::Node* ClSlistCollectables::NodeAt(std::size_t i) const {
  if (i >= Entries()) {
    ClRaiseError(ClErrorClass::kBounds, kClIndexErr, static_cast<unsigned>(i),
                 static_cast<unsigned>(Entries()));
  }
  const ClSlink* l = HeadLink()->next;
  for (std::size_t k = 0; k < i; ++k) l = l->next;
  return const_cast<Node*>(AsNode(l));
}

ClCollectable* ClSlistCollectables::ItemAt(std::size_t i) const { return NodeAt(i)->item; }

ClCollectable*& ClSlistCollectables::ItemRefAt(std::size_t i) { return NodeAt(i)->item; }

ClCollectable* ClSlistCollectables::First() const {
  return Entries() == 0 ? nullptr : AsNode(HeadLink()->next)->item;
}

ClCollectable* ClSlistCollectables::Last() const {
  return Entries() == 0 ? nullptr : AsNode(LastLink())->item;
}

std::size_t ClSlistCollectables::Index(const ClCollectable* a) const {
  std::size_t i = 0;
  for (const ClSlink* l = HeadLink()->next; !IsTail(l); l = l->next, ++i) {
    if (ClItemsEqual(AsNode(l)->item, a)) return i;
  }
  return kClNoIndex;
}

ClCollectable* ClSlistCollectables::InsertAt(std::size_t i, ClCollectable* a) {
  if (i > Entries()) {
    ClRaiseError(ClErrorClass::kBounds, kClIndexErr, static_cast<unsigned>(i),
                 static_cast<unsigned>(Entries()));
  }
  ClSlink* prev = i == Entries() ? LastLink() : HeadLink();
  if (i != Entries()) {
    for (std::size_t k = 0; k < i; ++k) prev = prev->next;
  }
  Node* node = new Node;
  node->item = a;
  LinkAfter(prev, node);
  return a;
}

ClCollectable* ClSlistCollectables::Prepend(ClCollectable* a) { return InsertAt(0, a); }

// ---- iterator --------------------------------------------------------------

ClSlistCollectablesIterator::ClSlistCollectablesIterator(const ClSlistCollectables& list)
    : list_(&list), head_(list.HeadLink()), current_(head_) {}

ClCollectable* ClSlistCollectablesIterator::Next() {
  current_ = current_->next;
  if (list_->IsTail(current_)) return nullptr;
  return ClSlistCollectables::AsNode(current_)->item;
}

ClCollectable* ClSlistCollectablesIterator::FindNext(const ClCollectable* a) {
  for (ClCollectable* item = Next(); item != nullptr; item = Next()) {
    if (item->IsEqual(a)) return item;
  }
  return nullptr;
}

ClCollectable* ClSlistCollectablesIterator::Key() const {
  if (current_ == head_ || list_->IsTail(current_)) return nullptr;
  return ClSlistCollectables::AsNode(current_)->item;
}

void ClSlistCollectablesIterator::Reset() { current_ = head_; }
