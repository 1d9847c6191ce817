// Service-62 requests of the instance manager, several to an input: edits
// that build and fill the tree (each item list tried on a stand-in first),
// value requests by id path and by name with a peer that answers, then
// every variable read as a subtype-7 item would, a problem built from what
// stands, and the tree emptied as a detach does.
#include <cstring>

#include "control/managers/instance_mgr.h"
#include "control/managers/library_mgr.h"
#include "daes/events/implicit_event.h"
#include "daes/problem/problem.h"
#include "expr/tree/expression.h"
#include "foundation/directory/id_path.h"
#include "foundation/interfaces/current_objects.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "tools/model_writer/model_writer.h"
#include "tests/framework/message_helpers.h"

namespace {

// Answers every forwarded request with one real value.
class Peer : public SimValuePeer {
 public:
  Status Send(DseMessage* request, DseClientCB* client, bool wait) override {
    delete request;
    if (!wait) return 0;
    DseMessage reply(86, DseMessage::kRequest);
    reply.PutUInt16(144);
    reply.PutUInt16(SUValue::kReal);
    reply.PutDouble(1.0);
    testsupport::ReadAsWritten(reply);
    client->HandleReply(86, &reply, nullptr);
    client->RequestComplete(0, nullptr);
    return 0;
  }
};

constexpr int kMostRequests = 16;

// Reads every value below the node through GetItem, as the framework would.
void ReadItems(SimInstanceMgr& manager, BvuDirectoryNode* node, BvuIdPath& path, int depth) {
  if (depth > 3) return;
  int visited = 0;
  for (std::int32_t i = NextChildIndex(node, node->LowIndex());
       i <= node->HighIndex() && visited < 64; i = NextChildIndex(node, i + 1), ++visited) {
    BvuDirectoryNode* child = node->ChildAt(i);
    if (child == nullptr) continue;
    path.Append(static_cast<std::uint32_t>(i));
    BvuIdPath ended = path;
    ended.Append(kIdPathEnd);
    std::uint32_t code = 0;
    void* address = nullptr;
    if (manager.GetItem(62, ended, 5, 0, &code, &address) == 0 && address != nullptr) {
      double value = 0.0;
      std::memcpy(&value, address, sizeof value);
    }
    ReadItems(manager, child, path, depth + 1);
    path.DropLast();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  SimLibraryMgr library;
  // A library expression at index 1 for IF and transition items.
  {
    vantor_fuzz::ByteStream set;
    set.PutUInt16(SimLibraryMgr::kSet);
    set.PutUInt16(SimLibraryMgr::kExpressionItem);
    modelwriter::Writer w(set);
    w.Placement({{1, "Cond"}});
    w.Expression(modelwriter::Greater(modelwriter::Var(0), modelwriter::Real(0.5)));
    library.ServeRequest(set);
  }
  DAESEventSchedule schedule;
  SetCurrentEventSchedule(&schedule);
  Peer peer;
  {
    SimInstanceMgr manager;
    manager.SetValuePeer(&peer);
    manager.SetExpressionTree(&library);
    manager.AttachProblem("w", "s");
    for (int n = 0; n < kMostRequests && body.Remaining() > 0; ++n) {
      const std::size_t before = body.Remaining();
      DseMessage* reply = nullptr;
      manager.ServeRequest(body, nullptr, &reply);
      delete reply;
      if (body.Remaining() == before) break;
    }
    BvuIdPath path;
    path.Append(kIdPathRoot);
    ReadItems(manager, &manager, path, 0);
    { std::unique_ptr<DAESProblem> problem(DAESCreateProblem(&manager, 0, nullptr)); }
    manager.ProblemEdited();
    manager.DetachProblem("w", "NULL");
  }
  SetCurrentEventSchedule(nullptr);
  return 0;
}
