// The expression monitor: a logical expression over model variables and
// literals, compiled once into a monitor context and evaluated at each check.
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "control/actions/monitor.h"
#include "control/actions/monitor_context.h"
#include "daes/model/parameter.h"
#include "daes/model/var_table_entry.h"
#include "daes/model/variable.h"
#include "expr/tree/expression.h"
#include "foundation/messages/su_print.h"

// --- monitor variables and their context ---

SimMonitorVariable::SimMonitorVariable(const char* name, DAESVarTableEntry* entry)
    : name_(name != nullptr ? name : ""), entry_(entry) {}

SimMonitorVariable::SimMonitorVariable(const char* name, const SUValue& literal)
    : name_(name != nullptr ? name : ""), owns_value_(true) {
  value_.Assign(literal);
}

SUValue* SimMonitorVariable::ValuePointer() {
  if (owns_value_) return &value_;
  return entry_ != nullptr ? entry_->ValuePointer() : nullptr;
}

std::uint16_t SimMonitorVariable::ValueType() const {
  if (owns_value_) return value_.type;
  return entry_ != nullptr ? entry_->ValueType() : 0;
}

void SimMonitorVariable::SetReal(double value) {
  value_.SetType(SUValue::kReal);
  value_.SetReal(value);
}

SimMonitorContext::SimMonitorContext(Expression* expression, ExpressionVariable** variables,
                                     std::int32_t count)
    : ExprPCContext(expression, variables, count, this), time_(kTimeName, SUValue()),
      variables_(variables), count_(count) {}

ExpressionVariable* SimMonitorContext::FindVariable(const char* name) {
  if (name == nullptr) return nullptr;
  if (strcasecmp(name, kTimeName) == 0) {
    time_.SetReal(MonitorServices().CurrentTime());
    return &time_;
  }
  for (std::int32_t i = 0; i < count_; ++i) {
    const char* own = variables_[i] != nullptr ? variables_[i]->NameText() : nullptr;
    if (own != nullptr && strcasecmp(own, name) == 0) return variables_[i];
  }
  return nullptr;
}

// --- the monitor ---

SimExprMonitor::SimExprMonitor(const char* name, SimActionFactory* factory,
                               std::unique_ptr<DseMessage> request)
    : SimMonitor(name, factory, std::move(request)) {}

SimExprMonitor::~SimExprMonitor() {
  if (!context_owned_) static_cast<void>(context_.release());
  context_.reset();
  Expression::Release(expression_);
}

Status SimExprMonitor::ReadOwn(BvuBinaryStream& body) {
  expression_ = Expression::ReadFromMessage(body);
  if (expression_ == nullptr) return status::kBadArguments;
  std::uint8_t edge = 0;
  Status read = body.GetUInt8(&edge);
  if (status::IsFailure(read)) return read;
  edge_ = edge;
  char* prefix = nullptr;
  if (status::IsFailure(read = body.GetStringNew(&prefix))) return read;
  prefix_ = prefix != nullptr ? prefix : "";
  delete[] prefix;
  std::uint16_t count = 0;
  if (status::IsFailure(read = body.GetUInt16(&count))) return read;
  for (std::uint16_t i = 0; i < count; ++i) {
    Declared v;
    char* name = nullptr;
    if (status::IsFailure(read = body.GetStringNew(&name))) return read;
    v.name = name != nullptr ? name : "";
    delete[] name;
    if (status::IsFailure(read = body.GetUInt8(&v.kind))) return read;
    switch (v.kind) {
      case kModelVariable: {
        BvuIdPath path(body, &read);
        if (status::IsFailure(read)) return read;
        v.path = std::move(path);
        break;
      }
      case kNamed:
        break;
      case kIntegerLiteral:
      case kLogicalLiteral: {
        std::uint32_t word = 0;
        if (status::IsFailure(read = body.GetUInt32(&word))) return read;
        v.literal.SetType(v.kind == kIntegerLiteral ? SUValue::kInteger : SUValue::kLogical);
        v.literal.SetInt(static_cast<std::int32_t>(word));
        break;
      }
      case kRealLiteral: {
        double real = 0.0;
        read = body.TryGet8(&real);
        if (read != 1) return status::IsFailure(read) ? read : status::kUnhandled;
        v.literal.SetType(SUValue::kReal);
        v.literal.SetReal(real);
        break;
      }
      default:
        return status::kBadArguments;
    }
    declared_.push_back(std::move(v));
  }
  return status::kOk;
}

Status SimExprMonitor::BuildContext() {
  variables_.clear();
  SimMonitorServices& services = MonitorServices();
  for (const Declared& v : declared_) {
    if (v.kind >= kIntegerLiteral) {
      variables_.push_back(std::make_unique<SimMonitorVariable>(v.name.c_str(), v.literal));
      continue;
    }
    std::string full = prefix_.empty() ? v.name : prefix_ + "." + v.name;
    if (full.size() >= kPrefixedNameRoom) return status::kBadArguments;
    std::int32_t kind = 0;
    DAESVarTableEntry* entry = services.FindByName(full.c_str(), &kind);
    if (entry == nullptr && v.kind == kModelVariable && v.path.count() > 0) {
      entry = services.FindById(v.path, &kind);
    }
    if (entry == nullptr && kind == 0) return monitor_status::kUnknownName;
    const bool readable = kind == daes::kParameterKind ||
                          (kind >= daes::kRealVariableKind && kind <= daes::kDerivativeKind);
    if (entry == nullptr || !readable) {
      SuPrint(monitor_status::kFailed, kNoVariable);
      return monitor_status::kFailed;
    }
    variables_.push_back(std::make_unique<SimMonitorVariable>(v.name.c_str(), entry));
  }
  pointers_.clear();
  for (auto& v : variables_) pointers_.push_back(v.get());
  context_ = std::make_unique<SimMonitorContext>(expression_, pointers_.data(),
                                                 static_cast<std::int32_t>(pointers_.size()));
  return context_->HasTape() ? status::kOk : monitor_status::kFailed;
}

bool SimExprMonitor::Reads(const DAESVarTableEntry* entry) const {
  return std::any_of(variables_.begin(), variables_.end(),
                     [entry](const auto& v) { return v->BoundTo(entry); });
}

void SimExprMonitor::DropContext() {
  if (!context_owned_) static_cast<void>(context_.release());
  context_.reset();
  context_owned_ = true;
  pointers_.clear();
  variables_.clear();
}

void SimExprMonitor::ForgetEntry(DAESVarTableEntry* entry) {
  SimMonitor::ForgetEntry(entry);
  if (Reads(entry)) DropContext();
}

Status SimExprMonitor::Check(std::int32_t*, SimActionControl*, const SimExplicitEvent*) {
  if (context_ != nullptr) return status::kOk;
  const Status built = BuildContext();
  if (status::IsFailure(built)) context_.reset();
  return built;
}

bool SimExprMonitor::Truth() {
  if (context_ == nullptr || status::IsFailure(context_->Evaluate())) return false;
  const SUValue& result = context_->Result();
  if (result.status != 0) return false;
  if (result.Kind() == SUValue::kReal) return result.payload.real != 0.0;
  return result.payload.integer != 0;
}

Status SimExprMonitor::IsFiring(bool* fired, const SimExplicitEvent*, std::int32_t*) {
  *fired = false;
  // A name that was not found leaves the monitor quiet.
  if (context_ == nullptr) return monitor_status::kQuiet;
  const bool now = Truth();
  if (edge_ != 0) {
    *fired = now && (last_ == kNoValue || last_ == 0);
    last_ = now ? 1 : 0;
  } else {
    *fired = now;
  }
  return status::kOk;
}
