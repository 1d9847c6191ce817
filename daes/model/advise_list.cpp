#include "daes/model/advise_list.h"

#include <algorithm>

DAESVariableAdviseList::DAESVariableAdviseList(DAESAdviseSink* sink, std::int32_t capacity)
    : capacity_(std::max(capacity, 0)), entries_(static_cast<std::size_t>(capacity_)),
      bound_cookies_(entries_.size()), value_cookies_(entries_.size()), values_(entries_.size()),
      lower_(entries_.size()), upper_(entries_.size()), sink_(sink) {
  if (sink_ != nullptr) sink_->AddRef();
}

DAESVariableAdviseList::~DAESVariableAdviseList() {
  for (std::int32_t i = 0; i < count_; ++i) {
    if (entries_[i].variable != nullptr) entries_[i].variable->RemoveAdvise(this, i);
  }
  if (sink_ != nullptr) sink_->Release();
}

Status DAESVariableAdviseList::Add(DAESVarTableEntry* variable, std::int32_t cookie) {
  std::int32_t at = 0;
  while (at < count_ && entries_[at].variable != nullptr) ++at;
  if (at >= capacity_) return daes::kListFull;
  const Status s = variable->AddAdvise(this, at);
  if (status::IsFailure(s)) return s;
  entries_[at] = Entry{0, cookie, variable};
  if (at == count_) ++count_;
  return 0;
}

Status DAESVariableAdviseList::RemoveAt(std::int32_t index, DAESVarTableEntry* variable) {
  if (index < 0 || index >= count_) return daes::kNothingPending;
  Entry& e = entries_[index];
  if (e.variable != nullptr) {
    DAESVarTableEntry* held = variable != nullptr ? variable : e.variable;
    held->RemoveAdvise(this, index);
  }
  e = Entry{};
  while (count_ > 0 && entries_[count_ - 1].variable == nullptr) --count_;
  return 0;
}

Status DAESVariableAdviseList::RemoveVariable(DAESVarTableEntry* variable) {
  for (std::int32_t i = 0; i < count_; ++i) {
    if (entries_[i].variable == variable) {
      entries_[i] = Entry{};
      return 0;
    }
  }
  return daes::kNothingPending;
}

void DAESVariableAdviseList::MarkValueChanged(std::int32_t index) {
  if (index < 0 || index >= count_ || (entries_[index].marks & 0x1) != 0) return;
  entries_[index].marks |= 0x1;
  ++pending_values_;
}

void DAESVariableAdviseList::MarkBoundsChanged(std::int32_t index) {
  if (index < 0 || index >= count_ || (entries_[index].marks & 0x2) != 0) return;
  entries_[index].marks |= 0x2;
  ++pending_bounds_;
}

Status DAESVariableAdviseList::Flush() {
  if (pending_bounds_ == 0 && pending_values_ == 0) return daes::kNothingPending;
  std::int32_t n_values = 0;
  std::int32_t n_bounds = 0;
  for (std::int32_t i = 0; i < count_; ++i) {
    Entry& e = entries_[i];
    if (e.variable == nullptr) {
      e.marks = 0;
      continue;
    }
    if ((e.marks & 0x1) != 0) {
      value_cookies_[n_values] = e.cookie;
      values_[n_values++] = e.variable->GetScaledValue();
    }
    if ((e.marks & 0x2) != 0) {
      bound_cookies_[n_bounds] = e.cookie;
      e.variable->GetStoredBounds(&lower_[n_bounds], &upper_[n_bounds]);
      ++n_bounds;
    }
    e.marks = 0;
  }
  if (pending_bounds_ != 0) {
    pending_bounds_ = 0;
    if (n_bounds > 0 && sink_ != nullptr) {
      sink_->BoundsChanged(n_bounds, bound_cookies_.data(), lower_.data(), upper_.data());
    }
  }
  if (pending_values_ != 0) {
    pending_values_ = 0;
    if (n_values > 0 && sink_ != nullptr) {
      sink_->ValuesChanged(n_values, value_cookies_.data(), values_.data());
    }
  }
  return 0;
}
