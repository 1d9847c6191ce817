// Service 64: the client sets the lists, switches the manager on and off,
// clears it and fetches the sensitivities.
#include <memory>

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
// added all the same.
Status SensitivityMgr::SetLists(BvuBinaryStream& body) {
  Clear(true);
  Status result = status::kOk;
  for (int list = 0; list < 2; ++list) {
    std::uint16_t count = 0;
    const Status read = body.GetUInt16(&count);
    if (status::IsFailure(read)) return read;
    for (std::uint16_t i = 0; i < count; ++i) {
      AnalysisVariable* variable = nullptr;
      const Status resolved = services_.ReadVariableReference(body, &variable);
      if (status::IsFailure(resolved) || variable == nullptr) {
        result = 1;
        // Nothing more can be read once the body has run out.
        if (resolved == 0x8000FFFFu) return result;
        continue;
      }
      if (list == 0) {
        AddVariable(variable);
      } else {
        AddParameter(variable);
      }
    }
  }
  std::uint16_t end = 0;
  body.GetUInt16(&end);
  return result;
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
