#include "results/manager/result_items.h"

#include <cmath>
#include <limits>

#include "foundation/directory/id_path.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/messaging/message.h"
#include "results/manager/results_mgr.h"

namespace {

constexpr std::uint16_t kObjectAttribute = 1;
constexpr std::uint16_t kCompanionAttribute = 10;
// A variable's flag bit that keeps attribute 10 on the variable itself.
constexpr std::uint32_t kOwnValueFlag = 0x4;
constexpr std::uint32_t kAliasFlag = 0x4000;
constexpr std::uint32_t kStructuralFlag = 1u << 28;
constexpr std::uint32_t kClientSetFlag = 0x2000000u;
constexpr Status kNoSuchItem = 0x8000FFFFu;
constexpr Status kUnresolved = 0x80000015u;
constexpr std::uint16_t kUndefinedMask = 0xFF08;

bool Undefined(const SUValue& value) { return (value.type & kUndefinedMask) == 8; }

}  // namespace

SimResultResponse::SimResultResponse(DseMessage& request, SimResultsMgr* manager)
    : DseTemplate(request), manager_(manager) {
  if (manager_ != nullptr) manager_->AddResponse(this);
}

SimResultResponse::~SimResultResponse() {
  if (manager_ != nullptr) manager_->RemoveResponse(this);
}

void SimResultResponse::Forget(const ResultObject* object) {
  // The item keeps its place and kind: the client reads values by position.
  for (SimResultResponseItem& item : items_)
    if (item.object == object) item.object = nullptr;
}

std::uint16_t SimResultResponse::KindOf(std::uint16_t type_code) {
  switch (type_code) {
    case SUValue::kInteger:
    case SUValue::kLogical:
      return kWord;
    case SUValue::kReal:
      return kRealAndFlags;
    case SUValue::kString:
      return kText;
    case 8:
    case SUValue::kIntSet:
    case 13:
      return kTyped;
    default:
      return 0;
  }
}

Status SimResultResponse::ReadItems(DseMessage& body) {
  return ReadItems(body, [&body] { return body.RemainingBytes() > 0; });
}

Status SimResultResponse::ReadItems(BvuBinaryStream& body, const std::function<bool()>& more) {
  while (more()) {
    Status s = status::kOk;
    const BvuIdPath path(body, &s);
    std::uint16_t attribute = 0;
    std::uint16_t unused = 0;
    if (status::IsSuccess(s)) s = body.GetUInt16(&attribute);
    if (status::IsSuccess(s)) s = body.GetUInt16(&unused);
    if (status::IsFailure(s)) return s;
    SimResultResponseItem item;
    item.attribute = attribute;
    ResultObject* object = manager_->Problem()->ResolveObject(path);
    if (object != nullptr) {
      item.name = object->Name();
      if (attribute == kCompanionAttribute && object->IsVariable()) {
        item.object = object;
        ResultObject* companion = object->Companion();
        item.kind = companion != nullptr ? KindOf(companion->TypeCode()) : 0;
      } else if (attribute == kObjectAttribute) {
        item.object = object;
        item.kind = KindOf(object->TypeCode());
      }
      // A variable's value goes out as a real only.
      if (object->IsVariable() && item.kind != kReal && item.kind != kRealAndFlags) item.kind = 0;
    }
    if (item.kind == 0) {
      // Its place is kept: the client reads values by position.
      item.object = nullptr;
      item.kind = kReal;
      if (item.name.empty()) item.name = "(unresolved)";
    }
    items_.push_back(std::move(item));
  }
  told_.assign(items_.size(), false);
  return status::kOk;
}

Status SimResultResponse::WriteKinds(BvuBinaryStream& out) const {
  for (const SimResultResponseItem& item : items_) {
    const Status s = out.PutUInt16(item.kind);
    if (status::IsFailure(s)) return s;
  }
  return status::kOk;
}

Status SimResultResponse::BuildHeader(DseMessage** reply) {
  // Header replies travel in the control class whatever the request's class,
  // as every other service's id-path reads answer.
  *reply = MakeReply(subtype, DseMessage::kControlClass,
                     DseMessage::kReply | DseMessage::kTemplateBuilt);
  if (*reply == nullptr) return DseMessage::kNoMemory;
  const Status s = WriteKinds(**reply);
  if (status::IsFailure(s)) {
    delete *reply;
    *reply = nullptr;
  }
  return s;
}

void SimResultResponse::TellOnce(std::size_t at, const std::string& text) {
  if (manager_ == nullptr || at >= told_.size() || told_[at]) return;
  told_[at] = true;
  manager_->Problem()->Print(status::kOk, text);
}

Status SimResultResponse::WriteObject(BvuBinaryStream& out, const SimResultResponseItem& item) {
  ResultObject* object = item.object;
  if (object->IsVariable()) {
    if (item.attribute == kCompanionAttribute && (object->Flags() & kOwnValueFlag) == 0)
      object = object->Companion();
    if (object == nullptr) {
      const Status s = out.PutDouble(kNoValue);
      if (status::IsFailure(s) || item.kind != kRealAndFlags) return s;
      return out.PutUInt32(0xFFFFFFFFu);
    }
    // Read through the variable: the table may lag behind the model.
    double value = object->RealValue();
    if (!std::isfinite(value)) {
      TellOnce(static_cast<std::size_t>(&item - items_.data()),
               "Value of variable " + item.name + " is not finite.");
      value = kNoValue;
    }
    const Status s = out.PutDouble(value);
    if (status::IsFailure(s) || item.kind != kRealAndFlags) return s;
    return out.PutUInt32(object->Flags() & kFlagMask);
  }
  SUValue value;
  object->GetTypedValue(&value);
  const bool undefined = Undefined(value);
  switch (item.kind) {
    case kReal:
      return out.PutDouble(value.type == SUValue::kReal
                               ? value.payload.real
                               : static_cast<double>(value.payload.integer));
    case kByte:
      return out.PutUInt8(static_cast<std::uint8_t>(value.payload.integer));
    case kWord:
      return out.PutUInt32(static_cast<std::uint32_t>(value.payload.integer));
    case kRealAndFlags: {
      const Status s = out.PutDouble(value.type == SUValue::kReal ? value.payload.real : 0.0);
      return status::IsFailure(s) ? s : out.PutUInt32(object->Flags() & kFlagMask);
    }
    case kText: {
      const char* text = !undefined && (value.type == SUValue::kString || value.type == 6)
                             ? value.GetString()
                             : nullptr;
      return out.PutString(text != nullptr ? text : "");
    }
    case kTyped: {
      const Status s = out.PutUInt16(value.type);
      return status::IsFailure(s) ? s : value.WriteBinary(out, false);
    }
    default:
      return kNoSuchItem;
  }
}

Status SimResultResponse::WriteNoValue(BvuBinaryStream& out, std::uint16_t kind) {
  switch (kind) {
    case kByte:
      return out.PutUInt8(0);
    case kWord:
      return out.PutUInt32(0);
    case kRealAndFlags: {
      const Status s = out.PutDouble(kNoValue);
      return status::IsFailure(s) ? s : out.PutUInt32(0xFFFFFFFFu);
    }
    case kText:
      return out.PutString("");
    case kTyped:
      // A set without elements: a type code and nothing after it.
      return out.PutUInt16(SUValue::kEmptySet);
    default:
      return out.PutDouble(kNoValue);
  }
}

Status SimResultResponse::WriteValues(BvuBinaryStream& out) {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const SimResultResponseItem& item = items_[i];
    Status s;
    if (item.object == nullptr) {
      TellOnce(i, "Result item " + item.name + " has no value to send.");
      s = WriteNoValue(out, item.kind);
    } else {
      s = WriteObject(out, item);
    }
    if (status::IsFailure(s)) return s;
  }
  return status::kOk;
}

Status SimResultResponse::Fill(DseMessage** reply) {
  *reply = MakeReply(subtype, message_class, DseMessage::kReply);
  if (*reply == nullptr) return DseMessage::kNoMemory;
  const Status s = WriteValues(**reply);
  if (status::IsFailure(s)) {
    delete *reply;
    *reply = nullptr;
  }
  return s;
}

// --- set-item ---

Status SimResultsMgr::SetItem(std::uint32_t, const BvuIdPath& ids, std::uint32_t,
                              std::uint32_t first, SUValue* value) {
  if (value == nullptr) return status::kBadArguments;
  // Every attribute reaches into the problem, which a step computing on the
  // run thread owns.
  if (problem_->RunActive()) return kBusy;
  const BvuIdPath path = ids;
  ResultObject* object = problem_->ResolveObject(path);
  if (object == nullptr) return kUnresolved;
  const bool real = value->type == SUValue::kReal;
  const double number = real ? value->payload.real : static_cast<double>(value->payload.integer);
  // A code or switch from a real: truncated, and held within 32 bits (a
  // real outside them, or not a number, has no integer meaning).
  std::int32_t integer = value->payload.integer;
  if (real) {
    const double r = value->payload.real;
    integer = !(r == r) ? 0
              : r >= 2147483647.0 ? std::numeric_limits<std::int32_t>::max()
              : r <= -2147483648.0 ? std::numeric_limits<std::int32_t>::min()
                                   : static_cast<std::int32_t>(r);
  }
  const std::uint32_t attribute = first;
  if (!object->IsVariable()) {
    switch (attribute) {
      case 1: {
        const Status s = object->SetTypedValue(*value);
        if (status::IsFailure(s)) return s;
        const std::int32_t index = object->Index();
        if (values_ != nullptr && index >= 0 && index < values_->Count() &&
            (object->Flags() & kStructuralFlag) == 0)
          return values_->Record(index).FromValue(*value, values_->Pool());
        return status::kOk;
      }
      case 6:
        object->SetFlagBits(static_cast<std::uint32_t>(integer));
        return status::kOk;
      case 16:
        object->SetFirstSwitch(integer != 0);
        if (integer != 0) object->SetSecondSwitch(false);
        return status::kOk;
      case 18:
        if ((value->type == SUValue::kString || value->type == 6) &&
            value->GetString() != nullptr && value->GetString()[0] != '\0')
          object->SetText(value->GetString());
        return status::kOk;
      case 21:
        object->SetSecondSwitch(integer != 0);
        return status::kOk;
      default:
        return kNoSuchItem;
    }
  }
  ResultObject* companion = object->Companion();
  switch (attribute) {
    case 1:
      return SetVariableValue(object, number);
    case 10:
      if (companion == nullptr) return kNoSuchItem;
      return SetVariableValue(companion, number);
    case 6:
      return status::kOk;
    case 7:
    case 8: {
      double lower = 0;
      double upper = 0;
      object->Bounds(&lower, &upper);
      if (attribute == 7)
        lower = number;
      else
        upper = number;
      object->SetBounds(lower, upper);
      return status::kOk;
    }
    case 9:
      if (number == 0.0) return status::kBadArguments;
      object->SetScale(1.0 / number);
      problem_->SetScalingSwitches();
      return status::kOk;
    case 11: {
      if (object->SetSpecification(static_cast<std::uint32_t>(integer)) != status::kOk)
        problem_->SetStructureChanged();
      else
        problem_->NotifyIntegrator();
      for (ResultObject* o : {object, companion}) {
        if (o == nullptr || values_ == nullptr) continue;
        const std::int32_t index = o->Index();
        if (index >= 0 && index < values_->Count())
          values_->Record(index).attribute = static_cast<std::uint16_t>(o->Specification());
      }
      problem_->SpecificationChanged(0);
      return status::kOk;
    }
    case 12: {
      const Status s = object->SetSecondCode(static_cast<std::uint32_t>(integer));
      problem_->SpecificationChanged(1);
      return s;
    }
    case 15: {
      if (plot_ == nullptr || !plot_->IsOpen()) return status::kOk;
      ResultVariable* plotted = problem_->PlotVariable(object);
      if (plotted == nullptr) return kUnresolved;
      plot_->SetTolerance(1e-5);
      return integer != 0 ? plot_->AddVariable(finder_.Wrap(plotted))
                          : plot_->StopVariable(finder_.Wrap(plotted));
    }
    case 16:
    case 17: {
      ResultObject* target = attribute == 16 ? object : companion;
      if (target == nullptr) return kNoSuchItem;
      target->SetFirstSwitch(integer != 0);
      if (integer != 0) target->SetSecondSwitch(false);
      return status::kOk;
    }
    case 18:
      if ((value->type == SUValue::kString || value->type == 6) && value->GetString() != nullptr &&
          value->GetString()[0] != '\0')
        object->SetText(value->GetString());
      return status::kOk;
    case 21:
    case 22: {
      ResultObject* target = attribute == 21 ? object : companion;
      if (target == nullptr) return kNoSuchItem;
      target->SetSecondSwitch(integer != 0);
      return status::kOk;
    }
    default:
      return kNoSuchItem;
  }
}

Status SimResultsMgr::SetVariableValue(ResultObject* object, double value) {
  const std::int32_t index = object->Index();
  if (!problem_->RunActive() && index >= 0) {
    AssignableVariable* variable = problem_->Assignable(object);
    if (variable == nullptr) return kUnresolved;
    return AssignValue(24, nullptr, value, 0, variable, false, 0, kClientSetFlag);
  }
  if (index < 1) {
    object->SetReal(value);
    return status::kOk;
  }
  ResultObject* target = object;
  if ((object->Flags() & kAliasFlag) != 0)
    if (ResultObject* original = problem_->ObjectAt(index)) target = original;
  target->SetReal(value);
  if (values_ != nullptr && index < values_->Count()) {
    SUPackedValue& record = values_->Record(index);
    record.type = SUValue::kReal;
    record.payload.real = value;
    record.flags &= ~kClientSetFlag;
  }
  return status::kOk;
}

Status SimResultsMgr::StartResultTemplate(DseMessage* request, DseTemplate** kept) {
  *kept = nullptr;
  if (request == nullptr) return status::kBadArguments;
  auto response = std::make_unique<SimResultResponse>(*request, this);
  const Status s = response->ReadItems(*request);
  if (status::IsFailure(s)) return s;
  response->server = this;
  *kept = response.release();
  return status::kOk;
}

Status SimResultsMgr::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                    DseTemplate** kept) {
  if (request == nullptr) return status::kBadArguments;
  if (request->subtype == DseMessage::kIdPathRead) {
    if (kept == nullptr) return status::kBadArguments;
    return StartResultTemplate(request, kept);
  }
  if (request->subtype == DseMessage::kRequest) return HandleNumberedRequest(request, reply, kept);
  (void)type;
  return status::kBadArguments;
}
