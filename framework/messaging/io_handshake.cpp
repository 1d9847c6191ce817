// The connect handshake: each side tells the other which service types it
// serves, and the peer list tells a child about its siblings. Counts come
// from the peer and are checked against the body before anything is read.
#include <algorithm>
#include <memory>
#include <new>

#include "foundation/messages/su_print.h"
#include "framework/connections/segment.h"
#include "framework/messaging/io_queue.h"
#include "framework/messaging/message.h"
#include "framework/processes/process_manager.h"
#include "framework/servers/controller.h"
#include "platform/posix_file.h"

namespace {

constexpr std::uint32_t kTypeSize = 4;
constexpr std::uint32_t kPeerEntrySize = 8;

Status PutTypes(DseMessage& message, const DseTokenList* types) {
  const std::uint32_t count = types != nullptr ? types->Count() : 0;
  Status written = message.PutUInt32(count);
  for (std::uint32_t i = 0; i < count && status::IsSuccess(written); ++i) {
    written = message.PutUInt32(types->At(i));
  }
  return written;
}

// A count read from the body that the rest of the body can hold.
Status ReadCount(DseMessage& message, std::uint32_t entry_size, const char* what,
                 std::uint32_t* count) {
  const Status read = message.GetUInt32(count);
  if (status::IsFailure(read)) return read;
  if (static_cast<std::uint64_t>(*count) * entry_size > message.RemainingBytes()) {
    SuPrint(status::kBadArguments, "%s refused: a count larger than the message", what);
    return status::kBadArguments;
  }
  return status::kOk;
}

}  // namespace

Status DseIOQueue::MakeConnectMessage(DseMessage** message) {
  *message = nullptr;
  std::unique_ptr<DseMessage> connect(
      new (std::nothrow) DseMessage(DseMessage::kConnectionType, DseMessage::kConnect));
  if (connect == nullptr || connect->FirstSegment() == nullptr) return DseMessage::kNoMemory;
  connect->message_class = DseMessage::kControlClass;
  const Status written = PutTypes(*connect, local_types_);
  if (status::IsFailure(written)) return written;
  *message = connect.release();
  return status::kOk;
}

Status DseIOQueue::AnswerConnect(DseMessage* request, DseMessage** reply) {
  *reply = nullptr;
  std::unique_ptr<DseMessage> answer(DseMessage::DseMessageAsReply(*request));
  if (answer == nullptr || answer->FirstSegment() == nullptr) return DseMessage::kNoMemory;
  answer->sequence = request->sequence + 1;
  Status written = PutTypes(*answer, local_types_);
  if (status::IsSuccess(written)) written = answer->Pack(false);
  if (status::IsFailure(written)) return written;
  *reply = answer.release();
  return status::kOk;
}

Status DseIOQueue::TakeConnectReply(DseMessage* reply) {
  DseIOQueue* peer = reply->SourcePeer();
  if (peer == nullptr) return status::kGeneralFailure;
  std::uint32_t count = 0;
  Status read = ReadCount(*reply, kTypeSize, "Connect answer", &count);
  for (std::uint32_t i = 0; i < count && status::IsSuccess(read); ++i) {
    std::uint32_t type = 0;
    read = reply->GetUInt32(&type);
    if (status::IsFailure(read)) break;
    auto* token = static_cast<DseIOAddressToken*>(tokens_.Find(type));
    if (token == nullptr) {
      token = new DseIOAddressToken(type);
      tokens_.Insert(token);
    }
    if (std::find(token->peers.begin(), token->peers.end(), peer) == token->peers.end()) {
      token->peers.push_back(peer);
    }
  }
  if (status::IsFailure(read)) return read;
  peer->connected_ = 1;
  if (AllConnected()) RouteWaiting();
  return status::kOk;
}

void DseIOQueue::RouteWaiting() {
  std::deque<Waiting> waiting;
  waiting.swap(waiting_);
  for (const Waiting& w : waiting) {
    if (const DseIOAddressToken* token = Token(w.type)) {
      Deliver(w.chain, w.klass, w.droppable, token->peers, true, nullptr);
    } else {
      // Nobody announced the type: a requester waiting for an answer hears it.
      std::uint32_t id = w.chain->message_id;
      std::uint32_t type = w.type;
      DseSegment::ReturnChain(w.chain);
      SuPrint(status::kGeneralFailure,
              "Message %u of type %u dropped: no peer serves the type after the handshake", &id,
              &type);
      if (controller_ != nullptr) controller_->FailPending(id, status::kGeneralFailure);
    }
  }
}

Status DseIOQueue::AddPeersFromList(DseMessage* message) {
  std::uint32_t count = 0;
  Status read = ReadCount(*message, kPeerEntrySize, "Peer list", &count);
  // Every peer takes a connection: a list that would use more than half the
  // descriptors left (or name more processes than a configuration can) is
  // no list of siblings.
  if (status::IsSuccess(read) &&
      (count > DseProcessManager::kMaxProcesses || count > platform::DescriptorRoom() / 2)) {
    SuPrint(status::kBadArguments, "Peer list refused: %u peers, more than this process can hold",
            &count);
    return status::kBadArguments;
  }
  const std::uint32_t session = controller_ != nullptr ? controller_->SessionId() : 0;
  for (std::uint32_t i = 0; i < count && status::IsSuccess(read); ++i) {
    std::uint32_t node = 0;
    std::uint16_t reserved = 0;
    std::uint16_t number = 0;
    read = message->GetUInt32(&node);
    if (status::IsSuccess(read)) read = message->GetUInt16(&reserved);
    if (status::IsSuccess(read)) read = message->GetUInt16(&number);
    if (status::IsSuccess(read) && AddPeer(nullptr, own_number_, number, session, nullptr) == 1) {
      // A sibling: nothing here waits on how it reads.
      peers_.back()->keeps_pace_ = false;
    }
  }
  return read;
}
