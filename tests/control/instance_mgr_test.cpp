// The instance manager: the tree the client's edit requests build, the value
// requests by id path and by name, the forwarding of unknown names to the
// peer of service 86, and the problem an edit gives up.
#include "control/managers/instance_mgr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control/problem/problem_manager.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "foundation/directory/id_path.h"
#include "foundation/interfaces/current_objects.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "framework/messaging/template.h"
#include "framework/servers/server_registry.h"
#include "tests/framework/message_helpers.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"
#include "tools/model_writer/model_writer.h"

namespace {

using modelwriter::Step;
using modelwriter::Writer;
using MessagePtr = std::unique_ptr<DseMessage>;

const Step kFirstOrder{2, "FirstOrder"};

// dx/dt = k*(u - x), y = 2*x with u = 2, k = 1: the item list of the
// first real runs.
void FirstOrderItems(Writer& w) {
  using namespace modelwriter;
  w.List(6);
  w.Item(kRealVariable), w.Placement({kFirstOrder, {1, ".u"}});
  w.Value(2.0), w.Spec(4), w.End();
  w.Item(kRealVariable), w.Placement({kFirstOrder, {2, ".k"}});
  w.Value(1.0), w.Spec(4), w.End();
  w.Item(kStateVariable), w.Placement({kFirstOrder, {3, ".x"}});
  w.Value(0.0), w.Spec(32), w.End();
  w.Item(kRealVariable), w.Placement({kFirstOrder, {4, ".y"}});
  w.Spec(1), w.End();
  w.Item(kInlineEquation), w.U32(0);
  w.Expression(Sub(Var(0), Mul(Var(1), Sub(Var(2), Var(3)))));
  w.Placement({kFirstOrder, {10, ".e1"}});
  w.EquationHead(4);
  w.Reference({2, 3, 1}), w.Reference({2, 2}), w.Reference({2, 1}), w.Reference({2, 3});
  w.Item(kInlineEquation), w.U32(0);
  w.Expression(Sub(Var(0), Mul(Real(2.0), Var(1))));
  w.Placement({kFirstOrder, {11, ".e2"}});
  w.EquationHead(2);
  w.Reference({2, 4}), w.Reference({2, 3});
}

// A request body starting with the kind, read back from its start.
MessagePtr Request(std::uint16_t kind) {
  auto message = std::make_unique<DseMessage>(SimInstanceMgr::kService, DseMessage::kRequest);
  message->PutUInt16(kind);
  return message;
}

void Rewind(DseMessage& message) { testsupport::ReadAsWritten(message); }

// Records what goes to service 86 and answers as a peer would.
class FakePeer : public SimValuePeer {
 public:
  Status Send(DseMessage* request, DseClientCB* client, bool wait) override {
    sent.push_back(testsupport::BodyOf(*request));
    waited.push_back(wait);
    delete request;
    if (!wait) return 0;
    if (answer != nullptr) {
      DseMessage reply(86, DseMessage::kRequest);
      reply.PutUInt16(144);
      answer->WriteBinary(reply, true);
      Rewind(reply);
      client->HandleReply(86, &reply, nullptr);
    }
    client->RequestComplete(completion, nullptr);
    return 0;
  }
  std::vector<testsupport::Bytes> sent;
  std::vector<bool> waited;
  const SUValue* answer = nullptr;
  Status completion = 0;
};

class InstanceMgrTest : public ::testing::Test {
 protected:
  void SetUp() override { manager.SetValuePeer(&peer); }

  Status Serve(DseMessage& request, MessagePtr* reply = nullptr) {
    Rewind(request);
    DseMessage* out = nullptr;
    const Status result = manager.HandleRequest(62, &request, &out, nullptr);
    if (reply != nullptr) {
      reply->reset(out);
    } else {
      EXPECT_EQ(out, nullptr);
      delete out;
    }
    return result;
  }

  Status Create(const std::vector<Step>& placement) {
    MessagePtr request = Request(SimInstanceMgr::kCreate);
    Writer w(*request);
    w.U16(SimInstanceMgr::kInstanceTag);
    w.Placement(placement);
    return Serve(*request);
  }

  Status Fill(void (*items)(Writer&)) {
    MessagePtr request = Request(SimInstanceMgr::kReplace);
    Writer w(*request);
    w.U16(SimInstanceMgr::kDescriptionTag);
    w.IdPath({2});
    items(w);
    return Serve(*request);
  }

  void LoadFirstOrder() {
    ASSERT_EQ(Create({kFirstOrder}), 0u);
    ASSERT_EQ(Fill(FirstOrderItems), 0u);
  }

  DAESVarTableEntry* Variable(std::int32_t index) {
    BvuDirectoryNode* instance = manager.ChildAt(2);
    BvuDirectoryNode* node = instance != nullptr ? instance->ChildAt(index) : nullptr;
    return node != nullptr ? static_cast<DAESVarTableEntry*>(node->AsValueEntry()) : nullptr;
  }

  // 144 or 145 with the three names; the value follows for 145.
  MessagePtr ByName(std::uint16_t kind, const char* a, const char* b = "", const char* c = "") {
    MessagePtr request = Request(kind);
    request->PutString(a);
    request->PutString(b);
    request->PutString(c);
    return request;
  }

  SimInstanceMgr manager;
  FakePeer peer;
};

TEST_F(InstanceMgrTest, AttachMakesGlobalOnceAndDetachEmptiesTheTree) {
  ASSERT_EQ(Create({kFirstOrder}), 0u);
  EXPECT_EQ(manager.DetachProblem("w", "NULL"), 0u);
  EXPECT_EQ(manager.ChildAt(2), nullptr);
  EXPECT_GT(NextChildIndex(&manager, manager.LowIndex()), manager.HighIndex());

  EXPECT_EQ(manager.AttachProblem("w", "s"), 0u);
  BvuDirectoryNode* global = manager.ChildAt(SimInstanceMgr::kGlobalIndex);
  ASSERT_NE(global, nullptr);
  EXPECT_STREQ(global->Name(), "Global");
  EXPECT_EQ(global->GetKind(), daes::kInstanceKind);
  EXPECT_EQ(manager.AttachProblem("w", "s"), 0u);
  EXPECT_EQ(manager.ChildAt(SimInstanceMgr::kGlobalIndex), global);
  EXPECT_EQ(manager.GetKind(), daes::kInstanceKind);
}

TEST_F(InstanceMgrTest, CreateReplaceAndDelete) {
  // Create and replace answer the status of their last step, not 0xA000FFFF.
  ASSERT_EQ(Create({kFirstOrder}), 0u);
  BvuDirectoryNode* made = manager.ChildAt(2);
  ASSERT_NE(dynamic_cast<DAESInstanceNode*>(made), nullptr);
  EXPECT_STREQ(made->Name(), "FirstOrder");

  // A replace by an instance of the same kind leaves the node as it was.
  MessagePtr same = Request(SimInstanceMgr::kReplace);
  Writer(*same).U16(SimInstanceMgr::kInstanceTag);
  Writer(*same).Placement({{2, "Other"}});
  EXPECT_EQ(Serve(*same), 0u);
  EXPECT_EQ(manager.ChildAt(2), made);
  EXPECT_STREQ(made->Name(), "FirstOrder");

  // A node of another kind hands its children to the instance and goes.
  auto* plain = new BvuDirectoryProper(&manager, "Plain");
  ASSERT_EQ(manager.InsertChildAt(3, plain), 0u);
  ASSERT_EQ(plain->InsertChildAt(4, new BvuDirectoryProper(plain, ".inner")), 0u);
  MessagePtr other = Request(SimInstanceMgr::kReplace);
  Writer(*other).U16(SimInstanceMgr::kInstanceTag);
  Writer(*other).Placement({{3, ""}});
  EXPECT_EQ(Serve(*other), 0u);
  BvuDirectoryNode* replaced = manager.ChildAt(3);
  ASSERT_NE(dynamic_cast<DAESInstanceNode*>(replaced), nullptr);
  EXPECT_STREQ(replaced->Name(), "Plain");
  ASSERT_NE(replaced->ChildAt(4), nullptr);
  EXPECT_EQ(replaced->ChildAt(4)->Parent(), replaced);

  MessagePtr gone = Request(SimInstanceMgr::kDelete);
  Writer(*gone).U16(SimInstanceMgr::kInstanceTag);
  Writer(*gone).IdPath({7, 1});
  EXPECT_EQ(Serve(*gone), SimInstanceMgr::kNoSuchPath);
  MessagePtr empty = Request(SimInstanceMgr::kDelete);
  Writer(*empty).U16(SimInstanceMgr::kInstanceTag);
  Writer(*empty).IdPath({9});
  EXPECT_EQ(Serve(*empty), SimInstanceMgr::kNoSuchPath);
  MessagePtr away = Request(SimInstanceMgr::kDelete);
  Writer(*away).U16(SimInstanceMgr::kInstanceTag);
  Writer(*away).IdPath({3});
  EXPECT_EQ(Serve(*away), 0u);
  EXPECT_EQ(manager.ChildAt(3), nullptr);

  EXPECT_EQ(Serve(*Request(7)), SimInstanceMgr::kUnknownRequest);
  MessagePtr odd_tag = Request(SimInstanceMgr::kCreate);
  Writer(*odd_tag).U16(99);
  Writer(*odd_tag).Placement({{5, "Odd"}});
  EXPECT_EQ(Serve(*odd_tag), SimInstanceMgr::kUnknownRequest);
}

TEST_F(InstanceMgrTest, ItemListFillsTheInstanceAndReadsAnItemAgain) {
  LoadFirstOrder();
  DAESVarTableEntry* u = Variable(1);
  ASSERT_NE(u, nullptr);
  EXPECT_DOUBLE_EQ(u->GetRealValue(), 2.0);
  ASSERT_NE(Variable(3), nullptr);
  EXPECT_EQ(manager.ChildAt(2)->ChildAt(3)->GetKind(), daes::kStateVariableKind);
  EXPECT_NE(manager.ChildAt(2)->ChildAt(10), nullptr);
  EXPECT_NE(manager.ChildAt(2)->ChildAt(11), nullptr);

  // The same item again re-reads the same variable.
  ASSERT_EQ(Fill([](Writer& w) {
              w.List(1);
              w.Item(modelwriter::kRealVariable), w.Placement({kFirstOrder, {1, ".u"}});
              w.Value(5.0), w.End();
            }),
            0u);
  EXPECT_EQ(Variable(1), u);
  EXPECT_DOUBLE_EQ(u->GetRealValue(), 5.0);
  // The whole list again: the trial on the stand-in takes the equations
  // sent again as the tree does.
  BvuDirectoryNode* e1 = manager.ChildAt(2)->ChildAt(10);
  ASSERT_EQ(Fill(FirstOrderItems), 0u);
  EXPECT_EQ(Variable(1), u);
  EXPECT_NE(manager.ChildAt(2)->ChildAt(10), nullptr);
  EXPECT_NE(manager.ChildAt(2)->ChildAt(10), e1);

  // Kind 3 with tag 28 fills "Global", made when missing.
  MessagePtr global = Request(SimInstanceMgr::kReplace);
  Writer g(*global);
  g.U16(SimInstanceMgr::kGlobalDescriptionTag);
  g.List(1);
  g.Item(modelwriter::kRealVariable), g.Placement({{1, "Global"}, {1, ".g"}});
  g.Value(9.81), g.End();
  EXPECT_EQ(Serve(*global), 0u);
  ASSERT_NE(manager.FindByName("Global.g"), nullptr);
}

TEST_F(InstanceMgrTest, MalformedDescriptionLeavesTheTreeAsItWas) {
  LoadFirstOrder();
  // A good item, then one that stops in the middle of its path.
  MessagePtr request = Request(SimInstanceMgr::kReplace);
  Writer w(*request);
  w.U16(SimInstanceMgr::kDescriptionTag);
  w.IdPath({2});
  w.List(3);
  w.Item(modelwriter::kRealVariable), w.Placement({kFirstOrder, {1, ".u"}});
  w.Value(7.0), w.End();
  w.Item(modelwriter::kRealVariable), w.Placement({kFirstOrder, {5, ".z"}});
  w.Value(1.0), w.End();
  w.Item(modelwriter::kRealVariable);
  w.U8(1), w.U16(3);
  const Status refused = Serve(*request);
  EXPECT_TRUE(status::IsFailure(refused)) << std::hex << refused;
  EXPECT_DOUBLE_EQ(Variable(1)->GetRealValue(), 2.0);
  EXPECT_EQ(manager.ChildAt(2)->ChildAt(5), nullptr);

  // An item the reader refuses but reads past does not stop the list.
  MessagePtr refused_item = Request(SimInstanceMgr::kReplace);
  Writer r(*refused_item);
  r.U16(SimInstanceMgr::kDescriptionTag);
  r.IdPath({2});
  r.List(2);
  r.Item(modelwriter::kRealVariable), r.Placement({kFirstOrder});
  r.Value(1.0), r.End();
  r.Item(modelwriter::kRealVariable), r.Placement({kFirstOrder, {1, ".u"}});
  r.Value(6.0), r.End();
  EXPECT_EQ(Serve(*refused_item), daes::kItemRefused);
  EXPECT_DOUBLE_EQ(Variable(1)->GetRealValue(), 6.0);
  EXPECT_EQ(manager.ChildAt(2)->GetKind(), daes::kInstanceKind);
}

TEST_F(InstanceMgrTest, ValueByIdPathReplyLayout) {
  LoadFirstOrder();
  MessagePtr request = Request(SimInstanceMgr::kValueById);
  Writer w(*request);
  w.IdPath({2, 2});
  w.U16(0);
  MessagePtr reply;
  ASSERT_EQ(Serve(*request, &reply), 0u);
  ASSERT_NE(reply, nullptr);
  // u16 143 (8F 00), then 1.0 as a little-endian double.
  const testsupport::Bytes expected = {0x8F, 0x00, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
  EXPECT_EQ(testsupport::BodyOf(*reply), expected);

  MessagePtr instance = Request(SimInstanceMgr::kValueById);
  Writer(*instance).IdPath({2});
  Writer(*instance).U16(0);
  EXPECT_EQ(Serve(*instance), SimInstanceMgr::kUnknownRequest);
}

TEST_F(InstanceMgrTest, SetByNameThenGetItBack) {
  LoadFirstOrder();
  MessagePtr set = ByName(SimInstanceMgr::kSetValue, "firstorder.u");
  set->PutUInt16(SUValue::kReal);
  set->PutDouble(5.0);
  EXPECT_EQ(Serve(*set), 0u);
  EXPECT_DOUBLE_EQ(Variable(1)->GetRealValue(), 5.0);
  EXPECT_NE(Variable(1)->GetFlags() & SimInstanceMgr::kSetterFlags, 0u);
  EXPECT_TRUE(peer.sent.empty());

  MessagePtr get = ByName(SimInstanceMgr::kGetValue, "FirstOrder.u");
  MessagePtr reply;
  ASSERT_EQ(Serve(*get, &reply), 0u);
  ASSERT_NE(reply, nullptr);
  // u16 144, u16 type 4 (a real), 5.0.
  const testsupport::Bytes expected = {0x90, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0x14, 0x40};
  EXPECT_EQ(testsupport::BodyOf(*reply), expected);

  // The first name's instance with the second name as member.
  MessagePtr retry = ByName(SimInstanceMgr::kSetValue, "FirstOrder.nothing", "k");
  retry->PutUInt16(24);
  retry->PutDouble(3.0);
  EXPECT_EQ(Serve(*retry), 0u);
  EXPECT_DOUBLE_EQ(Variable(2)->GetRealValue(), 3.0);
  EXPECT_TRUE(peer.sent.empty());
}

TEST_F(InstanceMgrTest, EquationsFindTheirVariablesAgainByFullName) {
  LoadFirstOrder();
  DAESVarTableEntry* found = nullptr;
  ASSERT_EQ(manager.FindVariable("FirstOrder.x", &found), 0u);
  EXPECT_EQ(found, Variable(3));
  // The derivative is found under its own full name too.
  DAESVarTableEntry* derivative = Variable(3)->GetDerivative();
  ASSERT_NE(derivative, nullptr);
  ASSERT_EQ(manager.FindVariable(derivative->GetNameText(), &found), 0u);
  EXPECT_EQ(found, derivative);
  EXPECT_EQ(manager.FindVariable("FirstOrder.nothing", &found), SimInstanceMgr::kNoSuchVariable);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(manager.FindVariable("FirstOrder", &found), SimInstanceMgr::kNoSuchVariable);
}

TEST_F(InstanceMgrTest, UnknownNamesGoToThePeer) {
  LoadFirstOrder();
  MessagePtr set = ByName(SimInstanceMgr::kSetValue, "Plant.F", "F", "m");
  set->PutUInt16(SUValue::kReal);
  set->PutDouble(1.5);
  set->PutUInt16(7);
  set->PutUInt16(8);
  EXPECT_EQ(Serve(*set), 0u);
  ASSERT_EQ(peer.sent.size(), 1u);
  EXPECT_FALSE(peer.waited[0]);
  DseMessage expected(86, DseMessage::kRequest);
  expected.PutUInt16(145);
  for (const char* text : {"Plant.F", "F", "m"}) expected.PutString(text);
  expected.PutUInt16(7);
  expected.PutUInt16(8);
  expected.PutUInt16(SUValue::kReal);
  expected.PutDouble(1.5);
  EXPECT_EQ(peer.sent[0], testsupport::BodyOf(expected));

  SUValue answer;
  answer.SetType(SUValue::kReal);
  answer.SetReal(42.0);
  peer.answer = &answer;
  MessagePtr get = ByName(SimInstanceMgr::kGetValue, "Plant.F", "F", "m");
  get->PutUInt16(3);
  MessagePtr reply;
  ASSERT_EQ(Serve(*get, &reply), 0u);
  ASSERT_EQ(peer.sent.size(), 2u);
  EXPECT_TRUE(peer.waited[1]);
  DseMessage forwarded(86, DseMessage::kRequest);
  forwarded.PutUInt16(144);
  for (const char* text : {"Plant.F", "F", "m"}) forwarded.PutString(text);
  forwarded.PutUInt16(3);
  EXPECT_EQ(peer.sent[1], testsupport::BodyOf(forwarded));
  EXPECT_DOUBLE_EQ(manager.PendingValue().payload.real, 42.0);
  ASSERT_NE(reply, nullptr);
  const testsupport::Bytes value = {0x90, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0x45, 0x40};
  EXPECT_EQ(testsupport::BodyOf(*reply), value);

  // The peer's failure is the request's, with no reply.
  peer.answer = nullptr;
  peer.completion = 0x80000015u;
  MessagePtr failing = ByName(SimInstanceMgr::kGetValue, "Plant.G");
  EXPECT_EQ(Serve(*failing, &reply), 0x80000015u);
  EXPECT_EQ(reply, nullptr);
}

TEST_F(InstanceMgrTest, GetItemHandsOutTheValueAddress) {
  LoadFirstOrder();
  BvuIdPath path;
  path.Append(kIdPathRoot), path.Append(2), path.Append(3), path.Append(kIdPathEnd);
  std::uint32_t code = 0;
  void* address = nullptr;
  EXPECT_EQ(manager.GetItem(62, path, 6, 0, &code, &address), SimInstanceMgr::kItemNotServed);
  ASSERT_EQ(manager.GetItem(62, path, 5, 0, &code, &address), 0u);
  EXPECT_EQ(code, 24u);
  ASSERT_NE(address, nullptr);
  Variable(3)->SetValue(2.5);
  double seen = 0.0;
  std::memcpy(&seen, address, sizeof seen);
  EXPECT_DOUBLE_EQ(seen, 2.5);

  // A values reply of a subtype-7 read fills from that address.
  DseMessage read(62, DseMessage::kIdPathRead);
  DseResponse response(read, &manager);
  ASSERT_NE(response.AddItem(path, 5, 0, code, address, true), 0);
  Variable(3)->SetValue(3.5);
  DseMessage* filled = nullptr;
  ASSERT_EQ(response.Fill(&filled), 0u);
  MessagePtr values(filled);
  const testsupport::Bytes expected = {0, 0, 0, 0, 0, 0, 0x0C, 0x40};
  EXPECT_EQ(testsupport::BodyOf(*values), expected);
}

TEST(InstanceMgrProblem, AnEditGivesUpTheBuiltProblem) {
  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  DseServerRegistry registry;
  SimProblemMgr problem_manager(&registry);
  SimInstanceMgr* manager = problem_manager.Instances();
  ASSERT_EQ(registry.FindServer(62), manager);
  ASSERT_NE(manager, nullptr);
  MessagePtr create = Request(SimInstanceMgr::kCreate);
  Writer(*create).U16(SimInstanceMgr::kInstanceTag);
  Writer(*create).Placement({kFirstOrder});
  Rewind(*create);
  DseMessage* reply = nullptr;
  ASSERT_EQ(manager->HandleRequest(62, create.get(), &reply, nullptr), 0u);

  // As if prepared: a problem built from the tree and the stages marked.
  DAESCreateProblem(manager, 0, nullptr);
  ASSERT_NE(GetCurrentProblem(), nullptr);
  problem_manager.SetStatusBits(run_bits::kPrepared);
  MessagePtr fill = Request(SimInstanceMgr::kReplace);
  Writer w(*fill);
  w.U16(SimInstanceMgr::kDescriptionTag);
  w.IdPath({2});
  FirstOrderItems(w);
  Rewind(*fill);
  EXPECT_EQ(manager->HandleRequest(62, fill.get(), &reply, nullptr), 0u);
  EXPECT_EQ(GetCurrentProblem(), nullptr);
  EXPECT_TRUE(problem_manager.CheckProblemMarked());
  EXPECT_EQ(problem_manager.StatusBits() & run_bits::kPrepared, 0u);
}

}  // namespace

namespace {

// A description longer than a segment, as it arrives: the trial read on the
// stand-in and the read into the tree both see every item.
TEST_F(InstanceMgrTest, ADescriptionOverSeveralSegmentsReadsWhole) {
  ASSERT_EQ(Create({kFirstOrder}), 0u);
  MessagePtr request = Request(SimInstanceMgr::kReplace);
  Writer w(*request);
  w.U16(SimInstanceMgr::kDescriptionTag);
  w.IdPath({2});
  constexpr std::uint32_t kItems = 400;
  w.List(kItems);
  for (std::uint32_t i = 1; i <= kItems; ++i) {
    w.Item(modelwriter::kRealVariable);
    w.Placement({kFirstOrder, {i, ".v" + std::to_string(i)}});
    w.Value(i), w.End();
  }
  ASSERT_EQ(w.status(), 0u);
  MessagePtr arrived = testsupport::Received(*request);
  ASSERT_NE(arrived->FirstSegment()->next, nullptr);  // more than one segment
  DseMessage* reply = nullptr;
  EXPECT_EQ(manager.HandleRequest(62, arrived.get(), &reply, nullptr), 0u);
  delete reply;
  for (std::int32_t i : {1, 200, 400}) {
    ASSERT_NE(Variable(i), nullptr) << i;
    EXPECT_DOUBLE_EQ(Variable(i)->GetRealValue(), i);
  }
}

}  // namespace

namespace {

// Names on a wide instance: any letter case, a member's "." left out, the
// first child in index order among equal names, and edits between look-ups.
TEST_F(InstanceMgrTest, NamesOnAWideInstanceFollowEdits) {
  BvuDirectoryNode* global = manager.Global();
  ASSERT_NE(global, nullptr);
  auto add = [global](std::int32_t index, const char* name) {
    auto* node = new DAESInstanceNode(global, name);
    EXPECT_EQ(global->InsertChildAt(index, node), 0u);
    return node;
  };
  for (int i = 0; i < 30; ++i) add(10 + i, (".unit" + std::to_string(i)).c_str());
  EXPECT_EQ(manager.FindByName("global.UNIT4"), global->ChildAt(14));
  EXPECT_EQ(manager.FindByName("Global.unit30"), nullptr);

  // A bare name before the dotted one wins, and loses once removed.
  BvuDirectoryNode* bare = add(5, "Unit4");
  EXPECT_EQ(manager.FindByName("Global.unit4"), bare);
  delete bare;
  EXPECT_EQ(manager.FindByName("Global.unit4"), global->ChildAt(14));

  BvuDirectoryNode* late = add(50, ".unit30");
  EXPECT_EQ(manager.FindByName("Global.Unit30"), late);
  late->SetName(".other");
  EXPECT_EQ(manager.FindByName("Global.unit30"), nullptr);
  EXPECT_EQ(manager.FindByName("Global.OTHER"), late);
  global->ChildAt(14)->SetName(".unit30");
  EXPECT_EQ(manager.FindByName("Global.unit30"), global->ChildAt(14));
  EXPECT_EQ(manager.FindByName("Global.unit4"), nullptr);
}

}  // namespace
