// DseClientCB: what a requester implements to hear about the request it
// sent: template replies, replies, and the completion with the combined
// status. The requester owns it and must keep it alive while the request is
// pending in the controller.
#pragma once

#include <cstdint>

#include "platform/status.h"

class DseMessage;

class DseClientCB {
 public:
  virtual ~DseClientCB();
  // A reply built by the server's template (the header reply); 0x80000028
  // unless overridden.
  virtual Status HandleTemplateReply(std::uint32_t type, DseMessage* reply);
  // One reply of one destination; 0x80000028 unless overridden.
  virtual Status HandleReply(std::uint32_t type, DseMessage* reply, void* context);
  // Not called by the framework; 0x80000028 unless overridden.
  virtual Status HandleOther(std::uint32_t type, DseMessage* message, void* context);
  // The request is complete; status is the combined status of its replies.
  virtual Status RequestComplete(Status status, void* context) = 0;
};

// The client that DseSendAndWait puts on its own stack: forwards to the
// caller's client (which may be null) and clears its waiting flag when the
// request completes.
class DseBlockingClientCB : public DseClientCB {
 public:
  explicit DseBlockingClientCB(DseClientCB* caller) : caller_(caller) {}

  Status HandleTemplateReply(std::uint32_t type, DseMessage* reply) override;
  Status HandleReply(std::uint32_t type, DseMessage* reply, void* context) override;
  Status HandleOther(std::uint32_t type, DseMessage* message, void* context) override;
  Status RequestComplete(Status status, void* context) override;

  bool Waiting() const { return waiting_ != 0; }

 private:
  std::uint32_t waiting_ = 1;
  DseClientCB* caller_;
};
