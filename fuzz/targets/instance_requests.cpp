// Service-62 requests of the instance manager, several to an input: edits
// that build and fill the tree (each item list tried on a stand-in first),
// value requests by id path and by name with a peer that answers, then
// every variable read as a subtype-7 item would, a problem built from what
// stands, and the tree emptied as a detach does. Between requests the
// results manager holds on to the variables there as a client session
// does (assignments queued, staged, in reply and client lists, and a kept
// result read), and uses them after the last: a later edit may have
// deleted any of them.
#include <cstring>
#include <memory>
#include <vector>

#include "control/managers/instance_mgr.h"
#include "control/managers/library_mgr.h"
#include "control/problem/problem_manager.h"
#include "daes/events/implicit_event.h"
#include "daes/model/var_table_entry.h"
#include "daes/problem/problem.h"
#include "expr/tree/expression.h"
#include "foundation/directory/id_path.h"
#include "foundation/interfaces/current_objects.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "fuzz/received_request.h"
#include "results/manager/run_results.h"
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

// The value entries below the node, each with its id path.
void CollectEntries(BvuDirectoryNode* node, BvuIdPath& path, int depth,
                    std::vector<std::pair<DAESVarTableEntry*, BvuIdPath>>* entries) {
  if (depth > 3) return;
  int visited = 0;
  for (std::int32_t i = NextChildIndex(node, node->LowIndex());
       i <= node->HighIndex() && visited < 64 && entries->size() < 64;
       i = NextChildIndex(node, i + 1), ++visited) {
    BvuDirectoryNode* child = node->ChildAt(i);
    if (child == nullptr) continue;
    path.Append(static_cast<std::uint32_t>(i));
    if (auto* entry = static_cast<DAESVarTableEntry*>(child->AsValueEntry()))
      entries->emplace_back(entry, path);
    CollectEntries(child, path, depth + 1, entries);
    path.DropLast();
  }
}

// What a client session keeps of the variables that stand now.
void HoldVariables(SimRunResultsJoin& join, BvuDirectoryNode* root,
                   std::vector<std::unique_ptr<SimResultResponse>>* kept) {
  BvuIdPath path;
  path.Append(kIdPathRoot);
  std::vector<std::pair<DAESVarTableEntry*, BvuIdPath>> entries;
  CollectEntries(root, path, 0, &entries);
  if (entries.empty()) return;
  SimResultsMgr& results = join.Manager();
  auto item = [&](DAESVarTableEntry* entry, double value) {
    return std::make_unique<SimAssignValue>(24, nullptr, value, 0, join.AssignableOf(entry), 0, 0);
  };
  for (const auto& held : entries) {
    join.AssignValue(held.first, 1.0, 0, 0);
    results.Stage(item(held.first, 2.0), false);
  }
  // Command 21: the staged ones become the client's.
  results.HandleCommand(SimResultsMgr::kService, 21, 0, nullptr, 0, nullptr, 0, nullptr);
  vantor_fuzz::ByteStream items;
  for (const auto& held : entries) {
    results.Stage(item(held.first, 3.0), false);
    results.Stage(item(held.first, 4.0), true);
    BvuIdPath ended = held.second;
    ended.Append(kIdPathEnd);
    ended.Write(items);
    items.PutUInt16(1);
    items.PutUInt16(0);
  }
  DseMessage request(SimResultsMgr::kService, DseMessage::kIdPathRead);
  auto response = std::make_unique<SimResultResponse>(request, &results);
  if (status::IsSuccess(response->ReadItems(items, [&items] { return items.Remaining() > 0; })))
    kept->push_back(std::move(response));
}

// The session uses what it kept: request 25, the client's assignments
// taken (command 23), the queued ones applied and the kept reads filled.
void UseHeld(SimRunResultsJoin& join, std::vector<std::unique_ptr<SimResultResponse>>& kept) {
  SimResultsMgr& results = join.Manager();
  DseMessage request(SimResultsMgr::kService, DseMessage::kRequest);
  request.PutUInt16(25);
  testsupport::ReadAsWritten(request);
  DseMessage* reply = nullptr;
  results.HandleNumberedRequest(&request, &reply, nullptr);
  delete reply;
  results.HandleCommand(SimResultsMgr::kService, 23, 0, nullptr, 0, nullptr, 0, nullptr);
  bool changed = false;
  results.ApplyAssignments(nullptr, &changed, 0.0);
  for (auto& response : kept) {
    vantor_fuzz::ByteStream values;
    response->WriteValues(values);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // As received: a description is tried on a stand-in and read again from
  // where it starts, which only a received message can do.
  const std::unique_ptr<DseMessage> body =
      vantor_fuzz::ReceivedRequest(SimInstanceMgr::kService, data, size);
  if (body == nullptr) return 0;
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
    SimProblemMgr problems(nullptr);
    SimRunResultsJoin join(problems, nullptr, nullptr);
    std::vector<std::unique_ptr<SimResultResponse>> kept;
    SimInstanceMgr& manager = *problems.Instances();
    manager.SetValuePeer(&peer);
    manager.SetExpressionTree(&library);
    manager.AttachProblem("w", "s");
    for (int n = 0; n < kMostRequests && body->RemainingBytes() > 0; ++n) {
      const std::size_t before = body->RemainingBytes();
      DseMessage* reply = nullptr;
      manager.ServeRequest(*body, nullptr, &reply);
      delete reply;
      if (body->RemainingBytes() == before) break;
      HoldVariables(join, &manager, &kept);
    }
    UseHeld(join, kept);
    BvuIdPath path;
    path.Append(kIdPathRoot);
    ReadItems(manager, &manager, path, 0);
    { std::unique_ptr<DAESProblem> problem(DAESCreateProblem(&manager, 0, nullptr)); }
    manager.ProblemEdited();
    manager.DetachProblem("w", "NULL");
    kept.clear();
  }
  SetCurrentEventSchedule(nullptr);
  return 0;
}
