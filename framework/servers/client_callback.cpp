#include "framework/servers/client_callback.h"

DseClientCB::~DseClientCB() = default;

Status DseClientCB::HandleTemplateReply(std::uint32_t, DseMessage*) {
  return status::kNotSupported;
}

Status DseClientCB::HandleReply(std::uint32_t, DseMessage*, void*) { return status::kNotSupported; }

Status DseClientCB::HandleOther(std::uint32_t, DseMessage*, void*) { return status::kNotSupported; }

Status DseBlockingClientCB::HandleTemplateReply(std::uint32_t, DseMessage*) {
  return status::kGeneralFailure;
}

Status DseBlockingClientCB::HandleReply(std::uint32_t type, DseMessage* reply, void* context) {
  return caller_ != nullptr ? caller_->HandleReply(type, reply, context) : status::kGeneralFailure;
}

Status DseBlockingClientCB::HandleOther(std::uint32_t type, DseMessage* message, void* context) {
  return caller_ != nullptr ? caller_->HandleOther(type, message, context) : status::kOk;
}

Status DseBlockingClientCB::RequestComplete(Status result, void* context) {
  const Status answer =
      caller_ != nullptr ? caller_->RequestComplete(result, context) : status::kOk;
  waiting_ = 0;
  return answer;
}
