#include "daes/model/variable.h"

#include "daes/problem/problem.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <ostream>

#include "daes/blocks/solver_block.h"
#include "daes/delays/delay_mgr.h"
#include "daes/model/services.h"
#include "daes/problem/equivalence.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/persistence/binary_stream.h"

namespace daes {

double ScaledBound(double bound, double scale) {
  const double size = std::fabs(bound);
  const double factor = std::fabs(scale);
  if (size >= kUnboundedHigh || (factor > 1.0 && size >= kUnboundedHigh / factor))
    return std::copysign(kUnboundedHigh, bound * (scale < 0.0 ? -1.0 : 1.0));
  return bound * scale;
}

double UnscaledBound(double bound, double scale) {
  const double size = std::fabs(bound);
  const double factor = std::fabs(scale);
  if (size >= kUnboundedHigh || (factor < 1.0 && size >= kUnboundedHigh * factor))
    return std::copysign(kUnboundedHigh, bound * (scale < 0.0 ? -1.0 : 1.0));
  return bound / scale;
}

}  // namespace daes

DAESVariable::DAESVariable() {
  value_.SetType(SUValue::kReal);
  value_.SetReal(0.0);
  value_.status = SUValue::kValid;
}

DAESVariable::~DAESVariable() {
  if (DAESProblemManagerServices* manager = daes::ProblemManagerServices()) {
    manager->ForgetVariable(this);
  }
  SetVariableDriver(this, nullptr);
  if (DAESControlDesignServices* cdi = daes::ControlDesignServices()) cdi->ForgetVariable(this);
  // The delay manager must not record a freed variable.
  if (delay_index_ != 0) {
    if (DelayMgr* manager = GetCurrentDelayMgr()) manager->ForgetVariable(this);
  }
}

double DAESVariable::GetScaledValue() const { return GetRealValue() * scale_; }

Status DAESVariable::SetScaledValueAdvised(double value, bool advise) {
  SetAdvised(advise);
  return SetScaledValue(value);
}

Status DAESVariable::SetScaledValue(double value) {
  SetRawValue(value / scale_);
  return 0;
}

Status DAESVariable::SetDerivativeScaledValue(double value) {
  auto* d = static_cast<DAESVariable*>(GetDerivative());
  return d != nullptr ? d->SetScaledValue(value) : daes::kNoDerivative;
}

Status DAESVariable::SetScaledValueChecked(double value, double tolerance) {
  const Status s = ClipToBounds(&value, tolerance);
  SetScaledValue(value);
  return s;
}

Status DAESVariable::ClipToBounds(double* value, double tolerance) {
  double lower = 0.0;
  double upper = 0.0;
  GetStoredBounds(&lower, &upper);
  if (lower >= *value) {
    if (*value < lower - tolerance) {
      *value = lower;
      return daes::kClippedLow;
    }
    return daes::kNearLow;
  }
  if (*value >= upper) {
    if (*value > upper + tolerance) {
      *value = upper;
      return daes::kClippedHigh;
    }
    return daes::kNearHigh;
  }
  return 0;
}

Status DAESVariable::GetStoredBounds(double* lower, double* upper) {
  *lower = lower_;
  *upper = upper_;
  return 0;
}

Status DAESVariable::SetValue(double value) {
  SetRawValue(value);
  return 0;
}

Status DAESVariable::SetDerivativeValue(double value) {
  DAESVarTableEntry* d = GetDerivative();
  return d != nullptr ? d->SetValue(value) : daes::kNoDerivative;
}

Status DAESVariable::SetScale(double scale) {
  double lower = 0.0;
  double upper = 0.0;
  GetBounds(&lower, &upper);
  scale_ = scale;
  if (DAESEquivalence* equivalence = MergedInto()) equivalence->SetScale(scale);
  SetBounds(lower, upper);
  if (auto* d = static_cast<DAESVariable*>(GetDerivative())) d->SetScale(scale);
  return 0;
}

Status DAESVariable::GetBounds(double* lower, double* upper) {
  *lower = daes::UnscaledBound(lower_, scale_);
  *upper = daes::UnscaledBound(upper_, scale_);
  return 0;
}

Status DAESVariable::SetBounds(double lower, double upper) {
  lower_ = daes::ScaledBound(lower, scale_);
  upper_ = daes::ScaledBound(upper, scale_);
  if (DAESEquivalence* equivalence = MergedInto()) {
    // The equivalence holds the intersection of its members' bounds; it
    // changes only when the intersection does.
    double merged_lower = -daes::kDerivativeBound;
    double merged_upper = daes::kDerivativeBound;
    for (std::int32_t i = 0; i < equivalence->MemberCount(); ++i) {
      DAESVarTableEntry* m = equivalence->Member(i);
      if (m == nullptr) continue;
      double l = 0.0;
      double u = 0.0;
      m->GetBounds(&l, &u);
      merged_lower = std::max(merged_lower, l);
      merged_upper = std::min(merged_upper, u);
    }
    double current_lower = 0.0;
    double current_upper = 0.0;
    equivalence->GetBounds(&current_lower, &current_upper);
    if (merged_lower != current_lower || merged_upper != current_upper) {
      const double value = equivalence->GetScaledValue();
      equivalence->SetBounds(merged_lower, merged_upper);
      equivalence->SetScaledValueChecked(value, 0.0);
    }
  } else {
    SetScaledValueChecked(GetScaledValue(), 0.0);
    if ((flags_ & daes::kDerivativeFlag) == 0) NotifyBoundsChanged();
  }
  return upper_ >= lower_ ? 0 : daes::kReservedAnswer;
}

DAESEquivalence* DAESVariable::MergedInto() {
  if ((flags_ & daes::kMerged) == 0) return nullptr;
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr) return nullptr;
  DAESVarTableEntry* entry = problem->EntryFor(this);
  return entry != this ? dynamic_cast<DAESEquivalence*>(entry) : nullptr;
}

void DAESVariable::SetFlags(std::uint32_t flags) {
  if (DAESEquivalence* equivalence = MergedInto()) equivalence->SetFlags(flags);
  DAESVarTableEntry::SetFlags(flags);
}

void DAESVariable::ClearFlags(std::uint32_t flags) {
  DAESVarTableEntry::ClearFlags(flags);
  if (DAESEquivalence* equivalence = MergedInto()) equivalence->ClearFlags(flags);
}

Status DAESVariable::ClearSpecAndSetValue(double value) {
  ClearFlags(daes::kFree | daes::kFixed);
  return SetValueKeepSpec(value);
}

Status DAESVariable::FixAndSetValue(double value) {
  ClearFlags(daes::kFree);
  SetFlags(daes::kFixed);
  return SetValueKeepSpec(value);
}

bool DAESVariable::IsFreeVariable() {
  if ((flags_ & daes::kFree) == 0 || (flags_ & daes::kDerivativeFlag) != 0) return false;
  DAESVarTableEntry* d = GetDerivative();
  return d == nullptr || (d->GetFlags() & daes::kFree) != 0;
}

Status DAESVariable::GetDerivativeScaledValue(double* out) {
  *out = 0.0;
  DAESVarTableEntry* d = GetDerivative();
  if (d == nullptr) return daes::kNotImplemented;
  *out = d->GetScaledValue();
  return 0;
}

Status DAESVariable::GetDerivativeRealValue(double* out) {
  *out = 0.0;
  DAESVarTableEntry* d = GetDerivative();
  if (d == nullptr) return daes::kNotImplemented;
  *out = d->GetRealValue();
  return 0;
}

void DAESVariable::PrintFlags(std::ostream& out, bool detail) {
  const std::uint32_t f = flags_;
  out << ((f & 0x2) != 0 ? 'A' : (f & 0x1) != 0 ? 'S' : (f & 0x4) != 0 ? 'D' : '?');
  out << ((f & 0x8) != 0 ? 'T' : '-');
  out << ((f & 0x80) != 0 ? 'F' : (f & 0x10) != 0 ? 'U' : 'I');
  if (detail) {
    out << ((f & 0x20) != 0 ? '-' : 'V');
    out << ((f & 0x40) != 0 ? '-' : 'A');
  }
  out << ' ' << std::setw(16) << GetRealValue() << ' ' << GetNameText();
  if (detail) out << '\n';
}

Status DAESVariable::DelayedValue(double delay, double* value) {
  *value = GetRealValue();
  if (delay < 0.0) return daes::kNegativeDelay;
  DelayMgr* manager = GetCurrentDelayMgr();
  // Without a delay manager there is no history to look in.
  if (manager == nullptr) return daes::kNotImplemented;
  return manager->GetDelayedValue(delay_index_, delay, value);
}

Status DAESVariable::DelayedValueWeight(double delay, double* weight) {
  *weight = 1.0;
  if (delay < 0.0) return daes::kNegativeDelay;
  DelayMgr* manager = GetCurrentDelayMgr();
  if (manager == nullptr) return daes::kNotImplemented;
  return manager->GetDelayedValueWeight(delay_index_, delay, weight);
}

Status DAESVariable::RegisterDelay() {
  DelayMgr* manager = GetCurrentDelayMgr();
  // A second registration, or no delay manager to keep the history.
  if ((GetFlags() & daes::kDelayed) != 0 || manager == nullptr) return daes::kNotImplemented;
  return manager->AddDelayedVariable(this);
}

Status DAESVariable::SetDelayIndex(std::int32_t index) {
  delay_index_ = index;
  if (index != 0) {
    SetFlags(daes::kDelayed);
  } else {
    ClearFlags(daes::kDelayed);
  }
  return 0;
}

// --- derivative ---

DAESDotVariable::DAESDotVariable(DAESRealVariable* state)
    : BvuDirectoryNode(state, ".Derivative"), state_(state) {
  flags_ = 0x14;
}

Status DAESDotVariable::GetStoredBounds(double* lower, double* upper) {
  *lower = -daes::kDerivativeBound;
  *upper = daes::kDerivativeBound;
  return 0;
}

DAESRealVariable* DAESDotVariable::GetStateVariable() {
  BvuDirectoryNode* parent = Parent();
  if (state_ != nullptr && parent == static_cast<BvuDirectoryNode*>(state_)) return state_;
  return dynamic_cast<DAESRealVariable*>(parent);
}

// --- real variable ---

DAESRealVariable::DAESRealVariable(BvuDirectoryNode* parent, const char* name)
    : BvuDirectoryOneChild(parent, name) {
  flags_ = 0x12;
}

DAESRealVariable::~DAESRealVariable() { SetDerivative(nullptr); }

DAESVarTableEntry* DAESRealVariable::MakeDerivative() {
  if (derivative_ == nullptr) {
    SetDerivative(new DAESDotVariable(this));
    // The derivative is in the state's units.
    if (scale_ != 1.0) derivative_->SetScale(scale_);
  }
  return derivative_;
}

void DAESRealVariable::SetDerivative(DAESDotVariable* d) {
  if (derivative_ != nullptr) {
    DAESDotVariable* old = derivative_;
    derivative_ = nullptr;
    old->SetParent(nullptr);
    delete old;
  }
  derivative_ = d;
  if (d == nullptr) {
    flags_ = (flags_ | daes::kAlgebraic) & ~daes::kState;
  } else {
    d->SetParent(this);
    flags_ = (flags_ | daes::kState) & ~daes::kAlgebraic;
  }
}

BvuDirectoryNode* DAESRealVariable::ChildAt(std::int32_t index) {
  return index == 1 ? derivative_ : nullptr;
}

std::int32_t DAESRealVariable::IndexOfChild(const BvuDirectoryNode* child) {
  return child != nullptr && child == derivative_ ? 1 : -1;
}

Status DAESRealVariable::InsertChildAt(std::int32_t index, BvuDirectoryNode* child) {
  auto* d = dynamic_cast<DAESDotVariable*>(child);
  if (index != 1 || d == nullptr) return 0x8000020Fu;
  if (d != derivative_) SetDerivative(d);
  return 0;
}

Status DAESRealVariable::RemoveChildAt(std::int32_t, BvuDirectoryNode** child) {
  *child = derivative_;
  if (derivative_ == nullptr) return kBvuEmptySlot;
  derivative_->SetParent(nullptr);
  derivative_ = nullptr;
  flags_ = (flags_ | daes::kAlgebraic) & ~daes::kState;
  return 0;
}

Status DAESRealVariable::ApplyToSubtree(void*, void*, std::int32_t, std::int32_t, void* problem) {
  if (problem == nullptr || (flags_ & daes::kMerged) != 0) return 0;
  auto* p = static_cast<DAESProblem*>(problem);
  Status s = p->AddTreeVariable(this);
  if (status::IsSuccess(s) && derivative_ != nullptr) s = p->AddTreeVariable(derivative_);
  return s;
}

Status DAESRealVariable::DeleteChildren() {
  SetDerivative(nullptr);
  return 0;
}

Status DAESRealVariable::NumberLeaves(std::uint32_t* counter) {
  sequence_ = ++*counter;
  if (derivative_ != nullptr) derivative_->SetSequenceNumber(++*counter);
  daes::SetSequenceCounter(*counter);
  return 0;
}

namespace {
constexpr std::uint32_t kDescriptionSize = 256;

bool KnownTag(std::uint8_t tag) {
  switch (tag) {
    case 1:
    case 6:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 15:
    case 18:
    case 19:
    case 20:
      return true;
    default:
      return false;
  }
}
}  // namespace

Status DAESRealVariable::ReadItemBody(BvuBinaryStream& stream, void*) {
  double lower = 0.0;
  double upper = 0.0;
  GetBounds(&lower, &upper);
  bool bounds_read = false;
  double scale = 0.0;
  bool scale_read = false;
  Status result = 0;
  for (;;) {
    std::uint8_t tag = 0;
    Status s = stream.GetUInt8(&tag);
    if (status::IsFailure(s)) return s;
    if (tag == 0) break;
    double real = 0.0;
    std::uint32_t word = 0;
    std::uint16_t half = 0;
    switch (tag) {
      case 1:
        s = stream.TryGet8(&real);
        if (s == 1) SetValueKeepSpec(real);
        break;
      case 6:
        s = stream.GetUInt32(&word);
        if (status::IsSuccess(s)) SetFlags(word);
        break;
      case 7:
      case 8:
        s = stream.TryGet8(&real);
        if (s == 1) {
          (tag == 7 ? lower : upper) = real;
          bounds_read = true;
        }
        break;
      case 9:
        s = stream.TryGet8(&real);
        // A zero or non-finite reciprocal would make the scale unusable.
        if (s == 1 && real != 0.0 && std::isfinite(1.0 / real)) {
          scale = 1.0 / real;
          scale_read = true;
        } else if (s == 1) {
          s = daes::kReservedAnswer;
        }
        break;
      case 10:
        s = stream.TryGet8(&real);
        if (s == 1) MakeDerivative()->SetValue(real);
        break;
      case 11:
        s = stream.GetUInt16(&half);
        if (status::IsSuccess(s)) SetSpec(half);
        break;
      case 15:
        s = stream.GetUInt16(&half);
        if (status::IsSuccess(s)) {
          if (DAESResultsServices* results = daes::ResultsServices()) {
            if (half != 0) {
              results->AddVariable(this);
            } else {
              results->RemoveVariable(this);
            }
          }
        }
        break;
      case 18: {
        char text[kDescriptionSize];
        s = daes::ReadBoundedText(stream, text, kDescriptionSize);
        if (status::IsSuccess(s) && text[0] != 0) SetDescription(text);
        break;
      }
      case 19:
        s = stream.GetUInt32(&word);
        if (status::IsSuccess(s)) MakeDerivative()->SetFlags(word);
        break;
      case 20:
        s = stream.GetUInt16(&half);
        if (status::IsSuccess(s) && derivative_ != nullptr) derivative_->ClearFlags(daes::kFree);
        break;
      default:
        s = daes::kReservedAnswer;
        break;
    }
    // TryGet8 answers 0 when fewer than 8 bytes were left.
    if (s == 0 && (tag == 1 || (tag >= 7 && tag <= 10))) s = 0x8000FFFFu;
    if (s == daes::kReservedAnswer && (tag == 9 || !KnownTag(tag))) {
      // An unknown attribute or a zero scale: noted, and reading goes on.
      if (status::IsSuccess(result)) result = s;
      continue;
    }
    // A short body or an oversized text leaves the stream out of step.
    if (status::IsFailure(s)) return s;
  }
  if (bounds_read) {
    const Status s = SetBounds(lower, upper);
    if (status::IsFailure(s) && status::IsSuccess(result)) result = s;
  }
  if (scale_read) SetScale(scale);
  return result;
}

Status DAESVariable::RegisterIn(DAESEqnRow* target, QLNRow* source) {
  if (target == nullptr || source == nullptr) return daes::kNotImplemented;
  std::int32_t position = 0;
  if (source->InsertVariable(this, &position) < 0 || position < 0) return daes::kBlockOutOfMemory;
  DAESVarTableEntry* entry = source->GetVariable(position);
  if (entry == nullptr) return daes::kNotImplemented;
  std::int32_t at = 0;
  if (target->InsertVariable(entry, &at) < 0) return daes::kBlockOutOfMemory;
  if ((target->GetFlags() & daes::kTorn) != 0) {
    DAESVarTableEntry* output = target->OutputElement();
    if (output != nullptr && output->SequenceNumber() == SequenceNumber()) SetFlags(daes::kTorn);
  }
  return 0;
}
