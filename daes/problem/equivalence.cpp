#include "daes/problem/equivalence.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <ostream>

#include "daes/model/services.h"
#include "daes/model/variable.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "framework/messaging/message.h"

namespace {
std::uint32_t g_equivalence_number = 0;
constexpr std::size_t kGrowth = 4;
constexpr std::size_t kLongName = 128;

int MemberRank(std::uint32_t flags, bool with_advised) {
  if ((flags & daes::kRankSpecified) != 0) return 6;
  if ((flags & daes::kRankLow) != 0) return 2;
  if ((flags & daes::kRankMiddle) != 0) return 3;
  if (with_advised && (flags & daes::kAdvised) != 0) return 5;
  return 4;
}

void SetMemberValue(DAESVarTableEntry* member, double internal) { member->SetValue(internal); }

void SetMemberValueAdvised(DAESVarTableEntry* member, double internal, bool changed) {
  member->SetAdvised(changed);
  member->SetValue(internal);
}

// Tells the client a member's new value: kind 11, name, typed value.
Status SendMemberUpdate(DAESVarTableEntry* member) {
  auto* message = new DseMessage(86, DseMessage::kRequest);
  Status s = message->PutUInt16(11);
  if (status::IsSuccess(s)) s = message->PutString(member->GetNameText());
  if (status::IsSuccess(s)) s = member->TypedValue().WriteBinary(*message, true);
  if (status::IsFailure(s)) {
    delete message;
    return s;
  }
  return daes::SendNotice(message);
}

void PrintMemberBounds(DAESEquivalence* equivalence) {
  for (std::int32_t i = 0; i < equivalence->MemberCount(); ++i) {
    DAESVarTableEntry* m = equivalence->Member(i);
    double lower = 0.0;
    double upper = 0.0;
    m->GetBounds(&lower, &upper);
    SuPrint(0, "         %s lower:%g, upper:%g", m->GetNameText(), &lower, &upper);
  }
}
}  // namespace

std::uint32_t daes::NextEquivalenceNumber() { return ++g_equivalence_number; }
void daes::ResetEquivalenceNumbers() { g_equivalence_number = 0; }

DAESEquivalence::DAESEquivalence() : number_(daes::NextEquivalenceNumber()) {
  flags_ = daes::kEquivalenceInitialFlags;
  value_.SetType(SUValue::kReal);
  value_.SetReal(0.0);
  value_.status = SUValue::kValid;
}

DAESEquivalence::~DAESEquivalence() {
  for (std::size_t i = 0; i < members_.size(); ++i) {
    DAESVarTableEntry* m = members_[i];
    if (m->SequenceNumber() != sequence_) continue;
    m->SetSequenceNumber(previous_[i]);
    m->ClearFlags(daes::kMerged);
  }
}

const char* DAESEquivalence::GetNameText(std::int32_t) {
  // Member names may be long: the name is built to its length.
  char number[16];
  std::snprintf(number, sizeof number, "%4.4u", number_);
  text_ = has_name_ ? "EQ_" + std::string(number) + "_" + name_
                    : "QV_Equivalence_" + std::string(number);
  return text_.c_str();
}

void DAESEquivalence::SetNameText(const char* text) {
  has_name_ = text != nullptr;
  name_ = text != nullptr ? text : "";
}

Status DAESEquivalence::AddMember(DAESVarTableEntry* variable) {
  if (members_.size() % kGrowth == 0) {
    members_.reserve(members_.size() + kGrowth);
    previous_.reserve(previous_.size() + kGrowth);
  }
  previous_.push_back(variable->SequenceNumber());
  members_.push_back(variable);
  flags_ |= variable->GetFlags();
  if (derivative_ == nullptr) derivative_ = variable->GetDerivative();
  variable->SetFlags(daes::kMerged);
  variable->SetSequenceNumber(sequence_);
  return 0;
}

Status DAESEquivalence::TakeOverMembers(DAESEquivalence* other) {
  flags_ |= other->GetFlags();
  for (std::size_t i = 0; i < other->members_.size(); ++i) {
    DAESVarTableEntry* m = other->members_[i];
    m->SetSequenceNumber(other->previous_[i]);
    AddMember(m);
  }
  // The other gives nothing back when it goes: its members are ours now.
  other->members_.clear();
  other->previous_.clear();
  return 0;
}

DAESVarTableEntry* DAESEquivalence::Member(std::int32_t i) const {
  return i >= 0 && static_cast<std::size_t>(i) < members_.size() ? members_[i] : nullptr;
}

std::uint32_t DAESEquivalence::PreviousSequence(std::int32_t i) const {
  return i >= 0 && static_cast<std::size_t>(i) < previous_.size() ? previous_[i] : 0;
}

DAESVarTableEntry* DAESEquivalence::RepresentativeMember(std::int32_t spec_mask) {
  DAESVarTableEntry* best = nullptr;
  int best_priority = 0;
  for (DAESVarTableEntry* m : members_) {
    if ((m->GetSpec() & spec_mask) == 0) continue;
    const std::uint32_t f = m->GetFlags();
    const int priority = (f & daes::kRankSpecified) != 0 ? 6
                         : (f & daes::kAdvised) != 0     ? 5
                         : (f & daes::kRankMiddle) != 0  ? 3
                         : (f & daes::kRankLow) != 0     ? 2
                                                         : 4;
    if (priority > best_priority) {
      best = m;
      best_priority = priority;
    }
  }
  return best;
}

Status DAESEquivalence::GetBounds(double* lower, double* upper) {
  *lower = daes::UnscaledBound(lower_, scale_);
  *upper = daes::UnscaledBound(upper_, scale_);
  return 0;
}

Status DAESEquivalence::GetStoredBounds(double* lower, double* upper) {
  *lower = lower_;
  *upper = upper_;
  return 0;
}

Status DAESEquivalence::SetBounds(double lower, double upper) {
  lower_ = daes::ScaledBound(lower, scale_);
  upper_ = daes::ScaledBound(upper, scale_);
  NotifyBoundsChanged();
  return 0;
}

Status DAESEquivalence::SetValue(double internal) {
  SetRawValue(internal);
  for (DAESVarTableEntry* m : members_) SetMemberValue(m, internal);
  return 0;
}

Status DAESEquivalence::SetValueAdvised(double internal, bool changed) {
  SetAdvised(changed);
  SetRawValue(internal);
  for (DAESVarTableEntry* m : members_) SetMemberValueAdvised(m, internal, changed);
  return 0;
}

Status DAESEquivalence::SetScaledValue(double value) { return SetValue(value / scale_); }

Status DAESEquivalence::SetScaledValueAdvised(double value, bool changed) {
  return SetValueAdvised(value / scale_, changed);
}

Status DAESEquivalence::ClipToBounds(double* value, double tolerance) {
  if (lower_ >= *value) {
    if (*value < lower_ - tolerance) {
      *value = lower_;
      return daes::kEquivalenceClippedLow;
    }
    return daes::kEquivalenceNearLow;
  }
  if (*value >= upper_) {
    if (*value > upper_ + tolerance) {
      *value = upper_;
      return daes::kEquivalenceClippedHigh;
    }
    return daes::kEquivalenceNearHigh;
  }
  return 0;
}

Status DAESEquivalence::SetScaledValueChecked(double value, double tolerance) {
  const Status s = ClipToBounds(&value, tolerance);
  SetScaledValue(value);
  return s;
}

Status DAESEquivalence::SetScaledValueCheckedAdvised(double value, double tolerance, bool changed) {
  const Status s = ClipToBounds(&value, tolerance);
  SetScaledValueAdvised(value, changed);
  return s;
}

Status DAESEquivalence::RecomputeScale() {
  int ruling = 0;
  double scale = 1.0;
  for (DAESVarTableEntry* m : members_) {
    const int rank = MemberRank(m->GetFlags(), false);
    if (rank > ruling) {
      ruling = rank;
      scale = m->GetScale();
    } else if (rank == ruling) {
      scale = std::min(scale, m->GetScale());
    }
  }
  double lower = 0.0;
  double upper = 0.0;
  GetBounds(&lower, &upper);
  scale_ = scale;
  SetBounds(lower, upper);
  return 0;
}

void DAESEquivalence::MergeMembers(bool value_only) {
  ClearFlags(daes::kMerged);
  std::size_t shortest = kLongName;
  std::size_t name_index = 0;
  double lower_acc = -1e37;
  double upper_acc = 1e37;
  double scale = 1.0;
  int ruling = 0;
  double sum = 0.0;
  std::int32_t ruling_count = 0;
  bool bounds_differ = false;
  for (std::size_t i = 0; i < members_.size(); ++i) {
    DAESVarTableEntry* m = members_[i];
    const std::size_t length = std::strlen(m->GetNameText());
    if (length < shortest) {
      shortest = length;
      name_index = i;
    }
    const std::uint32_t f = m->GetFlags();
    if ((f & daes::kTorn) != 0) flags_ |= daes::kTorn;
    if ((f & daes::kDelayed) != 0) {
      flags_ |= daes::kDelayed;
      if (auto* v = dynamic_cast<DAESVariable*>(m)) delay_index_ = v->DelayIndex();
    }
    const double v = m->GetRealValue();
    const double s = m->GetScale();
    double l = 0.0;
    double u = 0.0;
    m->GetStoredBounds(&l, &u);
    const int rank = MemberRank(f, true);
    if (rank > ruling) {
      ruling = rank;
      sum = v;
      scale = s;
      ruling_count = 1;
    } else if (rank == ruling) {
      sum += v;
      scale = std::min(scale, s);
      ++ruling_count;
    }
    l = daes::UnscaledBound(l, s);
    u = daes::UnscaledBound(u, s);
    if (l > lower_acc) {
      lower_acc = l;
      if (i != 0) bounds_differ = true;
    }
    if (u < upper_acc) {
      upper_acc = u;
      if (i != 0) bounds_differ = true;
    }
  }
  if (bounds_differ) {
    if (upper_acc >= lower_acc) {
      if (SolverOptions::Instance()->GetInt(kOptPrintLevel) > 2) {
        const double common_lower = daes::ScaledBound(lower_acc, scale);
        const double common_upper = daes::ScaledBound(upper_acc, scale);
        SuPrint(0,
                "Warning: Equivalenced variables have inconsistent bounds. Using common (scaled) "
                "bounds lower:%g, upper:%g",
                &common_lower, &common_upper);
        PrintMemberBounds(this);
      }
    } else {
      SuPrint(0, "Error: Infeasible bounds for equivalenced variables.The variables are:");
      PrintMemberBounds(this);
    }
  }
  const double average = ruling_count > 0 ? sum / ruling_count : 0.0;
  if (value_only) {
    SetRawValue(average * scale_);
    return;
  }
  lower_ = daes::ScaledBound(lower_acc, scale);
  upper_ = daes::ScaledBound(upper_acc, scale);
  scale_ = scale;
  const double common = std::min(upper_acc, std::max(lower_acc, average));
  SetRawValue(common);
  for (DAESVarTableEntry* m : members_) {
    if (m->GetRealValue() == common) continue;
    if ((m->GetFlags() & (daes::kRankSpecified | daes::kRankLow | daes::kRankMiddle)) == 0) {
      m->SetFlags(daes::kAdvised);
    }
    m->SetValue(common);
    SendMemberUpdate(m);
  }
  if (!members_.empty()) SetNameText(members_[name_index]->GetNameText());
}

Status DAESEquivalence::SetDerivativeValue(double value) {
  return derivative_ != nullptr ? derivative_->SetValue(value) : daes::kNotImplemented;
}

Status DAESEquivalence::SetDerivativeScaledValue(double value) {
  if (derivative_ == nullptr) return daes::kNotImplemented;
  return derivative_->SetValue(value / derivative_->GetScale());
}

Status DAESEquivalence::GetDerivativeScaledValue(double* out) {
  *out = 0.0;
  if (derivative_ == nullptr) return daes::kNotImplemented;
  *out = derivative_->GetScaledValue();
  return 0;
}

Status DAESEquivalence::GetDerivativeRealValue(double* out) {
  *out = 0.0;
  if (derivative_ == nullptr) return daes::kNotImplemented;
  *out = derivative_->GetRealValue();
  return 0;
}

void DAESEquivalence::PrintMemberLine(std::ostream& out, DAESVarTableEntry* member, bool detail) {
  if (auto* v = dynamic_cast<DAESVariable*>(member)) {
    v->PrintFlags(out, detail);
    if (!detail) out << '\n';
  } else {
    out << std::setw(16) << member->GetRealValue() << ' ' << member->GetNameText() << '\n';
  }
}

void DAESEquivalence::PrintFlags(std::ostream& out, bool detail) {
  const std::uint32_t f = flags_;
  out << ((f & 0x2) != 0 ? 'A' : (f & 0x1) != 0 ? 'S' : (f & 0x4) != 0 ? 'D' : '?');
  out << ((f & 0x8) != 0 ? 'T' : '-');
  out << ((f & 0x80) != 0 ? 'F' : (f & 0x10) != 0 ? 'U' : 'I');
  if (detail) {
    out << ((f & 0x20) != 0 ? '-' : 'V');
    out << ((f & 0x40) != 0 ? '-' : 'A');
  }
  out << ' ' << std::setw(16) << GetRealValue() << ' ' << GetNameText() << '\n';
  for (std::size_t i = 0; i < members_.size(); ++i) {
    out << "    #" << std::setw(3) << (i + 1) << ' ';
    PrintMemberLine(out, members_[i], detail);
  }
}
