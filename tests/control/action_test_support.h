// Shared by the tests of the actions that talk to the client: a sender
// that keeps what the actions send, and the creation request of service 67
// as the client writes it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "control/actions/action_mgr.h"
#include "control/actions/action_sending.h"
#include "framework/messaging/message.h"
#include "tests/framework/message_helpers.h"

namespace testsupport {

class RecordingSender : public SimActionSender {
 public:
  struct Sent {
    MessagePtr message;  // as the client receives it
    DseClientCB* client;
    void* context;
    std::uint32_t id;
  };
  RecordingSender() { SetActionSender(this); }
  ~RecordingSender() { SetActionSender(nullptr); }

  Status Send(DseMessage* message, DseClientCB* client, void* context, std::uint32_t* id) override {
    std::unique_ptr<DseMessage> owned(message);
    if (id != nullptr) *id = 0;
    if (fail) return 0x80000035u;
    const std::uint32_t made = ++last_id;
    if (id != nullptr && client != nullptr) *id = made;
    sent.push_back({Received(*owned), client, context, made});
    return 0;
  }
  void Cancel(std::uint32_t id) override { cancelled.push_back(id); }

  // The client answers the last message: u64 handle, then the words given.
  Status Answer(std::uint64_t handle, const std::vector<std::uint32_t>& words, Status done = 0) {
    const Sent& last = sent.back();
    DseMessage reply(67, DseMessage::kRequest);
    reply.PutUInt64(handle);
    for (std::uint32_t w : words) reply.PutUInt32(w);
    MessagePtr received = Received(reply);
    Status handled = last.client->HandleReply(67, received.get(), last.context);
    if (status::IsFailure(handled)) return handled;
    return last.client->RequestComplete(done, last.context);
  }

  std::vector<Sent> sent;
  std::vector<std::uint32_t> cancelled;
  std::uint32_t last_id = 0;
  bool fail = false;
};

// A service-67 create request: factory name, kind 2, then the caller's body.
inline MessagePtr CreateRequest(const char* factory, const std::vector<std::uint8_t>& body) {
  DseMessage sent(67, DseMessage::kRequest);
  sent.PutString(factory);
  sent.PutUInt32(2);
  for (std::uint8_t b : body) sent.PutUInt8(b);
  return Received(sent);
}

// Creates through the manager as service 67 does: the request is read past
// the factory name and kind first.
inline Status CreateThrough(SimActionMgr* manager, const char* factory,
                            const std::vector<std::uint8_t>& body, Bytes* reply_body = nullptr) {
  MessagePtr request = CreateRequest(factory, body);
  char name[64];
  std::uint32_t kind = 0;
  request->GetStringInto(name, sizeof name);
  request->GetUInt32(&kind);
  DseMessage* reply = nullptr;
  const Status created = manager->CreateAction(name, request.get(), &reply);
  MessagePtr owned(reply);
  if (reply_body != nullptr) *reply_body = reply != nullptr ? BodyOf(*reply) : Bytes{};
  return created;
}

// The body of a received message.
inline Bytes ReceivedBodyOf(const DseMessage& message) {
  Bytes body;
  for (DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) {
    body.insert(body.end(), s->DataStart(), s->window_end);
  }
  return body;
}

}  // namespace testsupport
