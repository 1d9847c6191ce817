// The action framework: creating actions by name, hooking them, running a
// hook point list by list across passes, the follow-on requests, replies,
// and the service-67 requests.
#include "control/actions/action_mgr.h"

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "tests/framework/message_helpers.h"

namespace {

// Answers from a script: each Execute takes the next (status, request).
class ScriptedAction : public NewSimAction {
 public:
  struct Answer {
    Status status;
    std::int32_t request;
  };
  ScriptedAction(SimActionFactory* factory, std::vector<std::string>* log, std::string tag)
      : NewSimAction(tag.c_str(), factory), log_(log), tag_(std::move(tag)) {}
  ~ScriptedAction() override { log_->push_back(tag_ + " deleted"); }

  Status Execute(std::int32_t* request, SimActionControl*, const SimExplicitEvent* event) override {
    log_->push_back(tag_ + (event != nullptr ? " event" : ""));
    if (answers.empty()) return 0;
    const Answer answer = answers.front();
    answers.pop_front();
    *request = answer.request;
    return answer.status;
  }
  Status Reset() override {
    log_->push_back(tag_ + " reset");
    return 0;
  }
  Status HandleReply(std::uint32_t, DseMessage*, void*) override { return reply_result; }

  std::deque<Answer> answers;
  Status reply_result = 0;

 private:
  std::vector<std::string>* log_;
  std::string tag_;
};

// Makes scripted actions hooked where `modes` says.
class ScriptedFactory : public SimActionFactory {
 public:
  ScriptedFactory(const char* name, std::vector<std::string>* log)
      : SimActionFactory(name), log_(log) {}
  Status Create(DseMessage*, DseMessage** reply, NewSimAction** action) override {
    auto* made = new ScriptedAction(this, log_, GetName() + std::to_string(++made_));
    for (auto [point, list] : modes) made->hook_modes[point] = list;
    if (reply != nullptr && make_reply) *reply = new DseMessage(67, 12);
    last = made;
    *action = made;
    return 0;
  }
  std::vector<std::pair<int, std::uint32_t>> modes = {{12, 0}};
  bool make_reply = false;
  ScriptedAction* last = nullptr;

 private:
  std::vector<std::string>* log_;
  int made_ = 0;
};

class Single : public SimSingleAction {
 public:
  Single() : SimSingleAction("Initial Specification Snapshot Action") { hook_modes[0] = 0; }
  Status Execute(std::int32_t* request, SimActionControl*, const SimExplicitEvent*) override {
    *request = 1;
    return 0;
  }
};

// Where the engine-side overload hands the new action.
NewSimAction** Made() {
  static NewSimAction* made = nullptr;
  return &made;
}

class Events : public SimActionEventSource {
 public:
  const SimExplicitEvent* FirstEvent() override { return has_event ? &event : nullptr; }
  double EventTolerance() override { return 0.0001; }
  double CurrentTime() override { return now; }
  bool has_event = false;
  SimExplicitEvent event{1.0, 65};
  double now = 0.0;
};

class ActionTest : public ::testing::Test {
 protected:
  ActionTest() {
    manager = SimActionMgr::Instance();
    manager->RegisterFactory(&monitors);
  }
  ~ActionTest() override { SimActionMgr::Destroy(); }
  ScriptedAction* Make(std::vector<std::pair<int, std::uint32_t>> modes) {
    monitors.modes = std::move(modes);
    EXPECT_EQ(manager->CreateAction("monitor", 0, Made()), 1u);
    return monitors.last;
  }

  std::vector<std::string> log;
  ScriptedFactory monitors{"Monitor", &log};
  SimActionMgr* manager = nullptr;
};

TEST_F(ActionTest, ListsRunInPriorityOrderAcrossPasses) {
  ScriptedAction* first = Make({{12, 0}});
  ScriptedAction* second = Make({{12, 0}});
  Make({{12, 1}});
  Make({{12, 2}});
  first->answers = {{0x00320025u, 0}, {0x00320025u, 0}, {0, 0}};
  manager->SetHookPoint(12, 13);
  std::int32_t request = 0;
  EXPECT_EQ(manager->Dispatch(&request), kCallAgain);
  EXPECT_EQ(manager->Dispatch(&request), kCallAgain);
  // The second action of list 0 finished on the first pass: not called again.
  EXPECT_EQ(log, (std::vector<std::string>{"Monitor1", "Monitor2", "Monitor1"}));
  EXPECT_EQ(manager->ListStatus(12, 1), kCallAgain);
  log.clear();
  EXPECT_EQ(manager->Dispatch(&request), 0u);
  EXPECT_EQ(log, (std::vector<std::string>{"Monitor1", "Monitor3", "Monitor4", "Monitor1 reset",
                                           "Monitor2 reset", "Monitor3 reset", "Monitor4 reset"}));
  for (int list = 0; list < kHookListCount; ++list) {
    EXPECT_EQ(manager->ListStatus(12, list), kCallAgain);
  }
  (void)second;
}

TEST_F(ActionTest, TheLargestFollowOnWinsAndRepliesCount) {
  ScriptedAction* a = Make({{5, 0}});
  ScriptedAction* b = Make({{5, 0}});
  a->answers = {{0, 3}};
  b->answers = {{0, 5}};
  manager->SetHookPoint(5, 19);
  std::int32_t request = 1;
  EXPECT_EQ(manager->Dispatch(&request), 0u);
  EXPECT_EQ(request, 5);

  // A reply's follow-on raises the request at the next completed dispatch.
  DseMessage reply(67, 12);
  reply.PutUInt64(a->Handle());
  reply.Seek(reply.Tell() - 8);
  a->reply_result = 4;
  EXPECT_EQ(manager->HandleReply(67, &reply, nullptr), 0u);
  request = 0;
  EXPECT_EQ(manager->Dispatch(&request), 0u);
  EXPECT_EQ(request, 4);

  // A failing reply becomes the next dispatch's result, once.
  DseMessage failing(67, 12);
  failing.PutUInt64(b->Handle());
  failing.Seek(failing.Tell() - 8);
  b->reply_result = 0x80001234u;
  EXPECT_EQ(manager->HandleReply(67, &failing, nullptr), 0x80001234u);
  request = 0;
  EXPECT_EQ(manager->Dispatch(&request), 0x80001234u);
  EXPECT_EQ(manager->Dispatch(&request), 0u);
}

TEST_F(ActionTest, CreatingByNameAndSingleInstances) {
  EXPECT_EQ(manager->CreateAction("Nothing", 0, Made()), kActionRefused);
  EXPECT_EQ(manager->RegisterFactory(&monitors), kActionRefused);
  // The name compares in any case; the handle goes into the reply.
  monitors.make_reply = true;
  DseMessage* reply = nullptr;
  EXPECT_EQ(manager->CreateAction("MONITOR", nullptr, &reply), 1u);
  ASSERT_NE(reply, nullptr);
  std::uint64_t handle = 0;
  reply->Seek(reply->Tell() - 8);
  ASSERT_EQ(reply->GetUInt64(&handle), 0u);
  EXPECT_EQ(handle, monitors.last->Handle());
  EXPECT_EQ(manager->FindAction(handle), monitors.last);
  delete reply;

  // Hooked nowhere: counted, unhooked, and the handle is still written.
  monitors.modes = {};
  reply = nullptr;
  EXPECT_EQ(manager->CreateAction("Monitor", nullptr, &reply), 0x8000FFFFu);
  EXPECT_EQ(monitors.InstanceCount(), 2);
  ASSERT_NE(reply, nullptr);
  delete reply;

  Single single;
  EXPECT_EQ(manager->RegisterFactory(&single), 0u);
  EXPECT_EQ(manager->CreateAction("initial specification snapshot action", 0, Made()), 1u);
  EXPECT_EQ(manager->CreateAction("Initial Specification Snapshot Action", 0, Made()),
            kActionRefused);
  EXPECT_EQ(manager->RemoveAction(&single), 0u);
  EXPECT_EQ(single.InstanceCount(), 0);
  EXPECT_EQ(manager->CreateAction("Initial Specification Snapshot Action", 0, Made()), 1u);
  manager->UnregisterFactory(&single);
}

TEST_F(ActionTest, ServiceRequestsCreateAndRemove) {
  auto request = [](const char* name, std::uint32_t kind) {
    auto* message = new DseMessage(67, 12);
    message->PutString(name);
    message->PutUInt32(kind);
    return message;
  };
  auto read_back = [](DseMessage* message) { testsupport::ReadAsWritten(*message); };
  std::unique_ptr<DseMessage> create(request("Monitor", SimActionMgr::kCreate));
  read_back(create.get());
  DseMessage* reply = nullptr;
  EXPECT_EQ(manager->HandleRequest(67, create.get(), &reply, nullptr), 1u);
  const std::uint64_t first = monitors.last->Handle();
  EXPECT_EQ(manager->CreateAction("Monitor", 0, Made()), 1u);
  const std::uint64_t second = monitors.last->Handle();

  // Without "now" the removals wait for the end of the hook point, in order.
  std::unique_ptr<DseMessage> later(request("Monitor", SimActionMgr::kRemove));
  later->PutUInt8(0);
  later->PutUInt16(2);
  later->PutUInt64(second);
  later->PutUInt64(first);
  read_back(later.get());
  EXPECT_EQ(manager->HandleRequest(67, later.get(), &reply, nullptr), 0u);
  EXPECT_EQ(manager->PendingRemovalCount(), 2u);
  EXPECT_NE(manager->FindAction(first), nullptr);
  log.clear();
  EXPECT_EQ(manager->FlushPendingRemovals(), 0u);
  EXPECT_EQ(log, (std::vector<std::string>{"Monitor2 deleted", "Monitor1 deleted"}));

  std::unique_ptr<DseMessage> now(request("Monitor", SimActionMgr::kRemove));
  now->PutUInt8(1);
  now->PutUInt16(1);
  now->PutUInt64(first);
  read_back(now.get());
  EXPECT_EQ(manager->HandleRequest(67, now.get(), &reply, nullptr), kActionRefused);

  std::unique_ptr<DseMessage> other(request("Monitor", 7));
  read_back(other.get());
  EXPECT_EQ(manager->HandleRequest(67, other.get(), &reply, nullptr), 0u);
}

TEST_F(ActionTest, TheEventGoesToActionsOnlyWhenItIsDue) {
  Events events;
  manager->SetEventSource(&events);
  Make({{11, 0}});
  manager->SetHookPoint(11, 11);
  std::int32_t request = 0;
  events.has_event = true;
  events.now = 0.99;
  manager->Dispatch(&request);
  events.now = 0.99995;
  manager->Dispatch(&request);
  EXPECT_EQ(log, (std::vector<std::string>{"Monitor1", "Monitor1 reset", "Monitor1 event",
                                           "Monitor1 reset"}));
  manager->SetEventSource(nullptr);
}

TEST_F(ActionTest, ClearingFreesEveryActionOnce) {
  Make({{3, 1}});
  Make({{4, 2}, {6, 0}});
  Single single;
  manager->RegisterFactory(&single);
  EXPECT_EQ(manager->CreateAction("Initial Specification Snapshot Action", 0, Made()), 1u);
  log.clear();
  EXPECT_EQ(manager->DetachProblem("w", "NULL"), 0u);
  EXPECT_EQ(log, (std::vector<std::string>{"Monitor1 deleted", "Monitor2 deleted"}));
  EXPECT_EQ(monitors.InstanceCount(), 0);
  EXPECT_EQ(single.InstanceCount(), 0);
  EXPECT_EQ(manager->ListSize(6, 0), 0u);
  manager->UnregisterFactory(&single);
}

TEST_F(ActionTest, AFactoryThatGoesLeavesTheTable) {
  {
    Single single;
    EXPECT_EQ(manager->RegisterFactory(&single), 0u);
    EXPECT_EQ(manager->CreateAction("Initial Specification Snapshot Action", 0, Made()), 1u);
    EXPECT_EQ(manager->FactoryCount(), 2);
  }
  EXPECT_EQ(manager->FactoryCount(), 1);
  EXPECT_EQ(manager->ListSize(0, 0), 0u);
  EXPECT_EQ(manager->ClearAll(true), 0u);  // nothing left to call into
}

}  // namespace
