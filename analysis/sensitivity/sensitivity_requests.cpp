// Service 64: the client sets the lists, switches the manager on and off,
// clears it and fetches the sensitivities.
#include <algorithm>
#include <memory>
#include <vector>

#include "analysis/model/analysis_variable.h"
#include "analysis/sensitivity/sensitivity_mgr.h"
#include "analysis/services/analysis_services.h"
#include "framework/messaging/message.h"

Status SensitivityMgr::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                     DseTemplate** kept) {
  if (request == nullptr || request->subtype != DseMessage::kRequest) {
    return DseServerCB::HandleRequest(type, request, reply, kept);
  }
  DseMessage* made = nullptr;
  const Status result = ServeRequest(*request, &made);
  if (made != nullptr) {
    made->type = type;
    *reply = made;
  }
  return result;
}

Status SensitivityMgr::ServeRequest(BvuBinaryStream& body, DseMessage** reply) {
  std::uint16_t kind = 0;
  const Status read = body.GetUInt16(&kind);
  if (status::IsFailure(read)) return read;
  // The end value of each request means nothing here: read and ignored.
  std::uint16_t end = 0;
  // The run thread stores into the lists' matrices while a step computes.
  if ((kind == kSetLists || kind == kClear) && services_.StepComputing())
    return sens_status::kBusy;
  switch (kind) {
    case kSetLists:
      return SetLists(body);
    case kEnable: {
      const Status s = body.GetUInt16(&end);
      Enable();
      return s;
    }
    case kDisable: {
      const Status s = body.GetUInt16(&end);
      Disable();
      return s;
    }
    case kClear: {
      const Status s = body.GetUInt16(&end);
      if (parameters_.empty() && variables_.empty()) return s;
      if (ListsInTheIntegration()) return ListsHeldByTheRun();
      told_lists_held_ = false;
      Clear(true);
      return s;
    }
    case kValues:
      return Values(body, reply);
    default:
      return read;
  }
}

// Any reference that does not resolve makes the answer 1; the others are
// added all the same. While the run's integration goes on, its
// sensitivities belong to the lists it began with: the same lists again
// change nothing, other lists wait until it starts afresh.
Status SensitivityMgr::SetLists(BvuBinaryStream& body) {
  Status result = status::kOk;
  std::vector<AnalysisVariable*> lists[2];
  // Nothing more can be read once the body has run out.
  bool ran_out = false;
  for (auto& list : lists) {
    std::uint16_t count = 0;
    const Status read = body.GetUInt16(&count);
    if (status::IsFailure(read)) return read;
    for (std::uint16_t i = 0; i < count && !ran_out; ++i) {
      AnalysisVariable* variable = nullptr;
      const Status resolved = services_.ReadVariableReference(body, &variable);
      if (status::IsFailure(resolved) || variable == nullptr) {
        result = 1;
        ran_out = resolved == 0x8000FFFFu;
        continue;
      }
      list.push_back(variable);
    }
    if (ran_out) break;
  }
  std::uint16_t end = 0;
  if (!ran_out) body.GetUInt16(&end);
  if (ListsInTheIntegration()) {
    auto same = [](const std::vector<AnalysisVariable*>& a,
                   const std::vector<AnalysisVariable*>& b) {
      return std::equal(
          a.begin(), a.end(), b.begin(), b.end(),
          [](AnalysisVariable* x, AnalysisVariable* y) { return x->Id() == y->Id(); });
    };
    if (result == 0 && same(lists[0], variables_) && same(lists[1], parameters_)) return result;
    return ListsHeldByTheRun();
  }
  told_lists_held_ = false;
  Clear(true);
  for (AnalysisVariable* variable : lists[0]) AddVariable(variable);
  for (AnalysisVariable* parameter : lists[1]) AddParameter(parameter);
  return result;
}

// Storage made for the lists means a run computed with them; the run's
// integration goes on with them unless it starts afresh.
bool SensitivityMgr::ListsInTheIntegration() {
  return allocation_ != 0 && services_.IntegrationGoesOn();
}

Status SensitivityMgr::ListsHeldByTheRun() {
  // Once until lists are taken again: a client may ask on and on.
  if (!told_lists_held_)
    services_.Print(status::kOk,
                    "The sensitivity lists stay as the dynamic run began with them while it goes "
                    "on from its last step: other lists are taken once it starts afresh "
                    "(re-initialisation, rewind or edit).");
  told_lists_held_ = true;
  return sens_status::kBusy;
}

Status SensitivityMgr::Values(BvuBinaryStream& body, DseMessage** reply) {
  std::uint16_t end = 0;
  body.GetUInt16(&end);
  std::unique_ptr<DseMessage> out(DseMessage::DseMessageDefault());
  if (!out) return DseMessage::kNoMemory;
  for (AnalysisVariable* variable : variables_) {
    for (AnalysisVariable* parameter : parameters_) {
      double value = 0.0;
      const Status got = GetSensitivity(parameter, variable, &value, 0, true, true);
      if (status::IsFailure(got)) return got;
      out->PutDouble(value);
    }
  }
  out->PutUInt16(kReplyEnd);
  *reply = out.release();
  return status::kOk;
}
