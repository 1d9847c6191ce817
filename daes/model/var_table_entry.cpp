#include "daes/model/var_table_entry.h"

#include <atomic>

#include <cmath>
#include <cstring>
#include <vector>

#include "daes/model/services.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/messaging/message.h"

namespace {
std::uint32_t g_sequence = 0;

constexpr double kParameterBound = 1e37;

// The client is told that a torn entry keeps its specification.
void SendTornRefusal(DAESVarTableEntry* entry) {
  auto* message = new DseMessage(86, DseMessage::kRequest);
  message->PutUInt16(11);
  message->PutString(entry->GetNameText());
  message->PutUInt16(7);
  message->PutUInt16(1);
  daes::SendNotice(message);
}
}  // namespace

namespace daes {
Status ReadBoundedText(BvuBinaryStream& stream, char* buffer, std::uint32_t size) {
  const Status s = stream.GetStringInto(buffer, size);
  if (s != status::kGeneralFailure) return s;
  SuPrint(status::kBadArguments, "Text refused: longer than %d bytes", &size);
  return status::kBadArguments;
}

std::uint32_t NextSequenceNumber() { return ++g_sequence; }
std::uint32_t SequenceCounter() { return g_sequence; }
void SetSequenceCounter(std::uint32_t value) { g_sequence = value; }

namespace {
std::atomic<std::uint64_t> g_element_layout{1};
}  // namespace
std::uint64_t ElementLayout() { return g_element_layout.load(std::memory_order_relaxed); }
void ElementLayoutChanged() { g_element_layout.fetch_add(1, std::memory_order_relaxed); }
}  // namespace daes

DAESVarTableEntry::DAESVarTableEntry() : sequence_(daes::NextSequenceNumber()) {
  value_.status = SUValue::kValid;
}

DAESVarTableEntry::~DAESVarTableEntry() {
  while (advise_ != nullptr) {
    Advise* next = advise_->next;
    // Stored entries are told too: a list must never keep a freed entry.
    advise_->sink->RemoveVariable(this);
    delete advise_;
    advise_ = next;
  }
  if (DAESResultsServices* results = daes::ResultsServices()) results->ForgetEntry(this);
  // An equation that referenced the entry must not read it freed.
  const std::vector<DAESEntryReferrer*> referrers = std::move(referrers_);
  referrers_.clear();
  for (DAESEntryReferrer* referrer : referrers) referrer->EntryGone(this);
}

void DAESVarTableEntry::AddReferrer(DAESEntryReferrer* referrer) {
  referrer->referrer_slot_ = referrers_.size();
  referrers_.push_back(referrer);
}

void DAESVarTableEntry::RemoveReferrer(DAESEntryReferrer* referrer) {
  const std::size_t slot = referrer->referrer_slot_;
  if (slot >= referrers_.size() || referrers_[slot] != referrer) return;
  // The last takes the place that comes free.
  referrers_[slot] = referrers_.back();
  referrers_[slot]->referrer_slot_ = slot;
  referrers_.pop_back();
}

Status DAESVarTableEntry::PerturbationStep(double x, double* perturbed, double relative,
                                           double* step, double absolute) {
  double s = absolute;
  if (std::fabs(x) * relative > absolute) s = std::fabs(x) * relative;
  double p = x + s;
  double lower = 0.0;
  double upper = 0.0;
  GetBounds(&lower, &upper);
  if (p < lower || p > upper) {
    s = -s;
    p = x + s;
  }
  if (p < lower || p > upper) {
    if (upper - x >= x - lower) {
      s = upper - x;
      p = upper;
    } else {
      s = x - lower;
      p = lower;
    }
  }
  *perturbed = p;
  *step = s;
  return 0;
}

Status DAESVarTableEntry::SetValue(double) { return daes::kNotImplemented; }

double DAESVarTableEntry::GetRealValue() const {
  if (value_.Kind() == SUValue::kInteger || value_.Kind() == SUValue::kLogical) {
    return static_cast<double>(value_.payload.integer);
  }
  if (value_.Kind() == SUValue::kReal) return value_.payload.real;
  return 0.0;
}

Status DAESVarTableEntry::GetBounds(double* lower, double* upper) {
  *lower = -kParameterBound;
  *upper = kParameterBound;
  return 0;
}

Status DAESVarTableEntry::SetBounds(double, double) { return daes::kNotImplemented; }

const SUValue& DAESVarTableEntry::SetTypedValue(const SUValue& value) {
  if (value_.type != value.type || value_.status != value.status || !value_.IsEqual(value)) {
    value_.Assign(value);
    // A loaded compiled library reads its own copy of the number.
    if (value_.Kind() == SUValue::kReal || value_.Kind() == SUValue::kInteger ||
        value_.Kind() == SUValue::kLogical)
      WriteCompiledValue(GetRealValue());
    NotifyValueChanged();
  }
  return value_;
}

std::int32_t DAESVarTableEntry::GetStateSpec() {
  if ((flags_ & daes::kDerivativeFlag) == 0 && (flags_ & daes::kState) != 0) {
    DAESVarTableEntry* d = GetDerivative();
    if (d != nullptr && (d->GetFlags() & daes::kFree) == 0) return daes::kSpecStateInitial;
  }
  return GetSpec();
}

std::int32_t DAESVarTableEntry::GetSpec() {
  if ((flags_ & daes::kDerivativeFlag) != 0) {
    return (flags_ & daes::kFree) != 0 ? daes::kSpecFree : daes::kSpecNotFree;
  }
  if ((flags_ & daes::kRateInitial) != 0) return daes::kSpecRateInitial;
  if ((flags_ & daes::kInitial) != 0) return daes::kSpecInitial;
  if ((flags_ & daes::kFixed) != 0) return daes::kSpecFixed;
  if ((flags_ & daes::kFree) != 0) return daes::kSpecFree;
  return daes::kSpecNotFree;
}

std::int32_t DAESVarTableEntry::SetSpec(std::int32_t code) {
  if ((flags_ & daes::kTorn) != 0 && code != daes::kSpecFree &&
      SolverOptions::Instance()->GetInt(kOptTearing) != 0) {
    BvuNameable* self = this;
    SuPrint(0, "@Ns is torn and must be FREE", &self);
    SendTornRefusal(this);
    return 0;
  }
  const bool was_fixed = (flags_ & daes::kFixed) != 0;
  std::uint32_t entry_bits = 0;
  std::uint32_t derivative_bits = daes::kFree;
  std::int32_t result = 0;
  switch (code) {
    case daes::kSpecFree:
      entry_bits = daes::kFree;
      result = was_fixed ? 1 : 0;
      break;
    case daes::kSpecNotFree:
      result = was_fixed || (flags_ & daes::kFree) != 0 ? 1 : 0;
      break;
    case daes::kSpecFixed:
      entry_bits = daes::kFixed;
      result = was_fixed ? 0 : 1;
      break;
    case daes::kSpecStateInitial: {
      DAESVarTableEntry* d = GetDerivative();
      if (d == nullptr) d = MakeDerivative();
      entry_bits = daes::kFree;
      derivative_bits = 0;
      result = (flags_ & daes::kMerged) != 0 && d != nullptr && (d->GetFlags() & daes::kFree) != 0
                   ? 1
                   : 0;
      break;
    }
    case daes::kSpecRateInitial:
      entry_bits = daes::kRateInitial | daes::kFree;
      break;
    case daes::kSpecInitial:
      entry_bits = daes::kInitial | daes::kFixed;
      break;
    default:
      // No such specification: nothing changes.
      return 0;
  }
  if ((flags_ & daes::kDerivativeFlag) != 0) {
    ClearFlags(daes::kSpecMask);
    SetFlags(derivative_bits);
    return result;
  }
  ClearFlags(daes::kSpecMask);
  SetFlags(entry_bits);
  if ((flags_ & daes::kState) != 0) {
    if (DAESVarTableEntry* d = GetDerivative()) {
      d->ClearFlags(daes::kSpecMask);
      d->SetFlags(derivative_bits);
    }
    // Initial states are fixed for initialisation by design; only a plain
    // fixed state deserves the warning.
    if (code == daes::kSpecFixed) {
      BvuNameable* self = this;
      SuPrint(0,
              "Warning: State variable @ns should not be Fixed for initialization or dynamic "
              "simulations",
              &self);
    }
  }
  return result;
}

void DAESVarTableEntry::SetSpecBits(std::uint32_t bits) {
  ClearFlags(daes::kSpecBitsMask);
  SetFlags(bits & daes::kSpecBitsMask);
}

void DAESVarTableEntry::SetEliminationMark(bool on) {
  if (on) {
    SetFlags(daes::kEliminationMark);
  } else {
    ClearFlags(daes::kEliminationMark);
  }
}

void DAESVarTableEntry::SetAdvised(bool on) {
  if (on) {
    SetFlags(daes::kAdvised);
  } else {
    ClearFlags(daes::kAdvised);
  }
}

void DAESVarTableEntry::SetDescription(const char* text) {
  description_ = text != nullptr ? text : "";
}

Status DAESVarTableEntry::AddAdvise(QLNVariableAdviseList* sink, std::int32_t cookie) {
  advise_ = new Advise{sink, cookie, advise_};
  return 0;
}

Status DAESVarTableEntry::RemoveAdvise(QLNVariableAdviseList* sink, std::int32_t cookie) {
  for (Advise** at = &advise_; *at != nullptr; at = &(*at)->next) {
    if ((*at)->sink == sink && (*at)->cookie == cookie) {
      Advise* gone = *at;
      *at = gone->next;
      delete gone;
      break;
    }
  }
  return 0;
}

void DAESVarTableEntry::NotifyValueChanged() {
  for (Advise* a = advise_; a != nullptr; a = a->next) a->sink->MarkValueChanged(a->cookie);
}

void DAESVarTableEntry::NotifyBoundsChanged() {
  for (Advise* a = advise_; a != nullptr; a = a->next) a->sink->MarkBoundsChanged(a->cookie);
}

void DAESVarTableEntry::Use(bool acquire) {
  if (acquire) {
    if (use_count_ == 0) SetFlags(daes::kInUse);
    if (use_count_ < 0xFFFF) ++use_count_;
  } else if (use_count_ > 0) {
    if (--use_count_ == 0) ClearFlags(daes::kInUse);
  }
}

const SUValue& DAESVarTableEntry::SetStringValue(const char* text) {
  const char* current = value_.GetString();
  if (current == nullptr || text == nullptr || std::strcmp(current, text) != 0) {
    value_.SetString(text);
    ValueChanged();
  }
  return value_;
}

const SUValue& DAESVarTableEntry::SetValueFromInteger(std::int32_t value) {
  value_.SetInt(value);
  ValueChanged();
  return value_;
}

const SUValue& DAESVarTableEntry::SetRawValue(double value) {
  if (daes::CurrentCompiledLibrary().IsLoaded()) WriteCompiledValue(value);
  if (value_.Kind() == SUValue::kInteger || value_.Kind() == SUValue::kLogical) {
    if (static_cast<double>(value_.payload.integer) == value) return value_;
    value_.SetInt(static_cast<std::int32_t>(value));
  } else {
    if (value_.Kind() == SUValue::kReal && value_.payload.real == value) return value_;
    if (value_.Kind() != SUValue::kReal) value_.SetType(SUValue::kReal);
    value_.SetReal(value);
  }
  value_.status = SUValue::kValid;
  NotifyValueChanged();
  return value_;
}

void DAESVarTableEntry::WriteCompiledValue(double value) {
  const daes::CompiledLibrary& library = daes::CurrentCompiledLibrary();
  if (!library.IsLoaded() || library.getx_address == nullptr) return;
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr) return;
  double* x = library.getx_address();
  const std::int32_t column = problem->ColumnOf(this);
  // The array has one slot per column of the problem it was built for.
  if (x != nullptr && column >= 1 && column <= problem->VariableCount()) x[column - 1] = value;
}

Status DAESVarTableEntry::SetRealAttribute(std::int32_t code, double v) {
  switch (code) {
    case 2:
      if (EntryKind() == 12) return SetValue(v);
      if (DAESResultsServices* results = daes::ResultsServices()) {
        return results->AssignValue(this, v, 24, daes::kAdvised);
      }
      SetRawValue(v);
      return 0;
    case 3:
    case 4: {
      double lower = 0.0;
      double upper = 0.0;
      GetBounds(&lower, &upper);
      if (code == 3 ? v > upper : v < lower) return daes::kNotImplemented;
      const Status s = code == 3 ? SetBounds(v, upper) : SetBounds(lower, v);
      const double x = GetRealValue();
      if (code == 3 ? x < v : x > v) SetRealAttribute(2, v);
      return s;
    }
    default:
      return daes::kNotImplemented;
  }
}

Status DAESVarTableEntry::GetIntegerAttribute(std::int32_t code, std::int32_t* out) {
  *out = 0;
  switch (code) {
    case 2:
      if (value_.Kind() == SUValue::kInteger) {
        *out = value_.payload.integer;
        return 0;
      }
      *out = static_cast<std::int32_t>(GetRealValue());
      return daes::kNotImplemented;
    case 5:
      switch (value_.Kind()) {
        case SUValue::kInteger:
        case SUValue::kLogical:
          *out = 1;
          return 0;
        case SUValue::kReal:
          *out = 2;
          return 0;
        case SUValue::kString:
          *out = 4;
          return 0;
        default:
          return daes::kNotImplemented;
      }
    case 7:
      *out = GetSpec();
      return 0;
    case 11:
      *out = AttributeEleven();
      return 0;
    default:
      return daes::kNotImplemented;
  }
}

Status DAESVarTableEntry::GetRealAttribute(std::int32_t code, double* out) {
  *out = 0.0;
  double lower = 0.0;
  double upper = 0.0;
  switch (code) {
    case 2:
      *out = GetRealValue();
      return 0;
    case 3:
    case 4:
      GetBounds(&lower, &upper);
      *out = code == 3 ? lower : upper;
      return 0;
    case 8:
    case 9: {
      DAESOptimisationServices* opt = daes::OptimisationServices();
      if (opt == nullptr) return daes::kNotImplemented;
      double first = 0.0;
      double second = 0.0;
      const Status s = opt->GetVariableReals(this, &first, &second);
      *out = code == 8 ? first : second;
      return s;
    }
    case 10:
      *out = GetScale();
      return 0;
    default:
      return daes::kNotImplemented;
  }
}

Status DAESVarTableEntry::GetTextAttribute(std::int32_t code, const char** out) {
  *out = nullptr;
  switch (code) {
    case 1:
      *out = GetNameText();
      return 0;
    case 2:
      if (value_.Kind() == SUValue::kString || value_.Kind() == SUValue::kName) {
        *out = value_.GetString();
      }
      return 0;
    case 6:
      if (!description_.empty()) *out = description_.c_str();
      return 0;
    default:
      return daes::kNotImplemented;
  }
}
