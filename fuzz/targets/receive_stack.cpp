// The whole receive stack of a child engine: bytes from its parent's
// connection are cut into frames and segments, reassembled into messages
// and dispatched by the controller to the servers registered with it. The
// harness plays the parent's handshake first (peer list, answer to the
// child's connect), so that what follows reaches the servers. The first
// byte of the input bounds how many bytes one read may take (so frames
// arrive split); the rest is what the parent sends then.
#include <algorithm>
#include <cstring>
#include <memory>

#include "framework/connections/connection.h"
#include "framework/connections/segment.h"
#include "framework/messaging/io_queue.h"
#include "framework/messaging/message.h"
#include "framework/servers/controller.h"
#include "framework/servers/server_callback.h"
#include "framework/servers/server_registry.h"
#include "fuzz/fuzz_support.h"

namespace {

class ParentWire : public XosConnection {
 public:
  explicit ParentWire(std::uint32_t chunk) : chunk_(chunk) {}
  Status Open() override {
    flags_ |= kReadOpen | kWriteOpen;
    return 0;
  }
  Status Read(void* buffer, std::uint32_t count, std::uint32_t* read) override {
    const std::size_t n = std::min<std::size_t>({count, chunk_, input_.size() - at_});
    if (n > 0) std::memcpy(buffer, input_.data() + at_, n);
    at_ += n;
    *read = static_cast<std::uint32_t>(n);
    return 0;
  }
  Status Write(const void* buffer, std::uint32_t count, std::uint32_t* written) override {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    output.insert(output.end(), bytes, bytes + count);
    *written = count;
    return 0;
  }
  bool Exhausted() const { return at_ == input_.size(); }
  void Append(const std::uint8_t* data, std::size_t size) {
    input_.insert(input_.end(), data, data + size);
  }
  void Deliver(DseMessage& message, bool new_id) {
    message.Pack(new_id);
    for (DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next)
      Append(s->frame, s->FrameSize());
  }

  std::vector<std::uint8_t> output;

 private:
  std::vector<std::uint8_t> input_;
  std::size_t at_ = 0;
  std::uint32_t chunk_;
};

// Answers every call as a server of the engine would, with a value for
// every item.
class AnyServer : public DseServerCB {
 public:
  Status HandleCommand(std::uint32_t, std::uint32_t, std::uint32_t, const char* const*,
                       std::uint32_t, const std::int32_t*, std::uint32_t, const double*) override {
    return 0;
  }
  Status GetItem(std::uint32_t, const BvuIdPath&, std::uint32_t first, std::uint32_t,
                 std::uint32_t* code, void** address) override {
    static const char kText[] = "text";
    switch (first % 4) {
      case 0:
        *code = 4;
        *address = &integer_;
        break;
      case 1:
        *code = 24;
        *address = &real_;
        break;
      case 2:
        *code = 68;
        *address = const_cast<char*>(kText);
        break;
      default:
        *code = 1;
        *address = &byte_;
        break;
    }
    return 0;
  }
  Status SetItem(std::uint32_t, const BvuIdPath&, std::uint32_t, std::uint32_t, SUValue*) override {
    return 0;
  }
  Status HandleIOServerCommand(std::uint32_t, std::uint32_t, std::uint32_t,
                               const char* const*) override {
    return 0;
  }

 private:
  std::uint32_t integer_ = 7;
  double real_ = 2.5;
  std::uint8_t byte_ = 1;
};

// The first connect message among the frames the child wrote, or null.
std::unique_ptr<DseMessage> ConnectIn(const std::vector<std::uint8_t>& bytes) {
  const unsigned char* place = bytes.data();
  const unsigned char* end = bytes.data() + bytes.size();
  while (place < end) {
    DseSegment* first = nullptr;
    DseSegment* last = nullptr;
    for (;;) {
      DseSegment* s = DseSegment::Make(last);
      const Status parsed = DseSegment::ParseFrame(s, &place, end);
      if (first == nullptr) first = s;
      last = s;
      if (parsed != 0) {
        DseSegment::ReturnChain(first);
        return nullptr;
      }
      if (s->index >= s->count || place >= end) break;
    }
    std::uint32_t klass = 0, type = 0, subtype = 0;
    DseSegment::UnpackHeader(first, &klass, &type, &subtype);
    std::unique_ptr<DseMessage> message(
        DseMessage::DseMessageFromSegments(first, klass, type, subtype));
    if (type == DseMessage::kConnectionType && subtype == DseMessage::kConnect) return message;
  }
  return nullptr;
}

void PollUntilRead(DseController& controller, ParentWire& wire) {
  for (int round = 0; round < 4096 && !wire.Exhausted(); ++round) {
    if (status::IsFailure(controller.Poll())) return;
  }
  controller.Poll();
}

// The parent's side of the handshake: its peer list, then its answer to
// the child's connect naming the event type as its own.
void Handshake(DseController& controller, ParentWire& wire) {
  DseMessage list(DseMessage::kConnectionType, DseMessage::kPeerList);
  list.message_class = DseMessage::kControlClass;
  list.PutUInt32(0);
  wire.Deliver(list, true);
  PollUntilRead(controller, wire);
  std::unique_ptr<DseMessage> connect = ConnectIn(wire.output);
  wire.output.clear();
  if (connect == nullptr) return;
  std::unique_ptr<DseMessage> answer(DseMessage::DseMessageAsReply(*connect));
  answer->PutUInt32(1);
  answer->PutUInt32(DseMessage::kEventType);
  wire.Deliver(*answer, false);
  PollUntilRead(controller, wire);
  wire.output.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  vantor_fuzz::InstallQuietCollector();
  const std::uint32_t chunk = data[0] == 0 ? 65536u : data[0];
  const char* argv[] = {"engine", "-ChildNo=1"};
  Status status = 0;
  auto controller = std::make_unique<DseController>(2, argv, "vantor.cfg", &status);
  if (status != 0) return 0;
  AnyServer server;
  DseServerRegistry registry;
  registry.Register(60, &server);
  auto* wire = new ParentWire(chunk);
  controller->IOQueue()->AddPeerOver(wire, 0, nullptr);
  controller->SetConnectDeadline(0xFFFFFFFFu);
  if (controller->StartWithPeers(&registry, nullptr) == 0) {
    Handshake(*controller, *wire);
    wire->Append(data + 1, size - 1);
    for (int round = 0; round < 4096 && !wire->Exhausted(); ++round) {
      if (status::IsFailure(controller->Poll())) break;
      wire->output.clear();
    }
    controller->Poll();
  }
  DseServerRegistry* lent = &registry;
  controller->ReleaseServerRegistry(&lent);
  controller.reset();
  return 0;
}
