// The problem manager's client requests: dispatch, the replies they build
// byte for byte, the statuses of their failures (with no reply left behind),
// and the neighbours they reach through their narrow faces.
#include "control/problem/client_requests.h"
#include "control/properties/property_mgr.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/problem/problem_manager.h"
#include "control/problem/problem_services.h"
#include "daes/instance/instance_node.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/values/typed_value.h"
#include "framework/libraries/library_api.h"
#include "framework/messaging/message.h"
#include "framework/servers/server_registry.h"
#include "platform/com_status.h"
#include "solve/groups/decomposition.h"
#include "solve/methods/open_solvers.h"
#include "solve/methods/solver_factories.h"
#include "solve/open/solver_loaders.h"
#include "solve/options/solver_option_table.h"
#include "tests/framework/message_helpers.h"
#include "tests/support/quiet_run_seams.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::Bytes;

class FakeIntegrator : public QuietRunIntegrator {
 public:
  std::int32_t GetIntegratorKind() const override { return 3; }
  Status BeginRun() override {
    mode_seen = GetRunMode();
    ++begun;
    return begin_status;
  }
  Status EndRun() override {
    ++ended;
    return end_status;
  }
  Status ErrorStatus() const override { return error; }
  Status ReleaseSolvers() override {
    ++changed;
    return 0;
  }

  Status begin_status = 618;
  Status end_status = 0;
  Status error = 0;
  std::int32_t mode_seen = -1;
  int begun = 0;
  int ended = 0;
  int changed = 0;
};

class FakeOps : public QuietRunOps {
 public:
  Status PrepareSimulation(std::int32_t, std::int32_t) override {
    ++prepared;
    return prepare_status;
  }
  Status CheckProblem() override { return 0; }
  Status RecordStep() override { return 0; }
  Status ApplyOptionChanges() override {
    ++applied;
    return 0;
  }
  Status TakeQueuedSnapshots() override { return 0; }
  Status Rewind() override { return 0; }
  Status RunStep() override { return 0; }
  void ResetStatistics() override { ++resets; }

  Status prepare_status = 0;
  int prepared = 0;
  int applied = 0;
  int resets = 0;
};

// A decomposition as the statistics request reads it.
class FakeDecomposition : public IQLNDecomposition {
 public:
  FakeDecomposition(std::int32_t groups, std::uint32_t solved) : groups_(groups), solved_(solved) {}
  Status QueryInterface(const platform::IID& iid, void** object) override {
    if (iid != platform::IID_IUnknown && iid != IID_IQLNDecomposition) {
      *object = nullptr;
      return platform::E_NOINTERFACE;
    }
    *object = static_cast<IQLNDecomposition*>(this);
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override { return --refs; }
  Status GetGroupCount(std::int32_t* count) override {
    *count = groups_;
    return 0;
  }
  Status AddGroup(platform::IUnknown*) override { return 0; }
  Status GetGroup(std::int32_t, const platform::IID&, void**) override { return 0; }
  Status GetStatistics(DecompositionStatistics* s, std::uint32_t* largest) override {
    s->count = static_cast<std::uint32_t>(groups_);
    for (std::uint32_t t = 0; t < 7; ++t) s->by_type[t] = t + 1;
    *largest = 9;
    return 0;
  }
  Status IsSolved(std::uint32_t* solved) override {
    *solved = solved_;
    return 0;
  }
  Status SetSolved(std::uint32_t) override { return 0; }
  Status Reserve(std::int32_t) override { return 0; }
  Status SolveGroups(std::int32_t, std::int32_t, std::int32_t, std::int32_t*) override { return 0; }
  Status ForEachGroup20(std::int32_t, std::int32_t*) override { return 0; }

  std::uint32_t refs = 0;

 private:
  std::int32_t groups_;
  std::uint32_t solved_;
};

// A solver object offering the structure view itself, over real blocks:
// group 1 holds one sub-group.
class FakeStructure : public platform::IUnknown, public SimSolverObjectView {
 public:
  FakeStructure() { group.AddRow(new DAESSolverBlock); }
  Status QueryInterface(const platform::IID&, void** object) override {
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }
  std::uint32_t AddRef() override { return ++refs; }
  std::uint32_t Release() override { return --refs; }
  Status WriteGroupList(BvuBinaryStream& s, std::uint32_t level, const std::uint32_t* path,
                        std::uint32_t length) override {
    levels.push_back(level);
    paths.emplace_back(path, path + length);
    if (list_status != 0) return list_status;
    s.PutUInt16(35);
    return s.PutUInt16(0xFFFF);
  }
  DAESSolverBlock* GroupBlock(std::uint32_t g) override { return g == 1 ? &group : nullptr; }
  std::vector<DAESBlock*> Groups() override {
    ++groups_asked;
    return {&group};
  }

  DAESSolverBlock group;
  int groups_asked = 0;
  std::uint32_t refs = 0;
  Status list_status = 0;
  std::vector<std::uint32_t> levels;
  std::vector<std::vector<std::uint32_t>> paths;
};

class FakeOptimisation : public QLNSubSystemManager, public SimOpenNLPSelection {
 public:
  std::int32_t OpenNLPRunType() override { return kRunOptimisation; }
  Status SelectOpenNLPSolver(const char* library, std::int32_t, DseMessage*) override {
    selected.push_back(library);
    return 0x80270001u;
  }
  Status SetOpenNLPSolverOption(const char* solver, const char* option, DseMessage*,
                                DseMessage*) override {
    options.push_back(std::string(solver) + "." + option);
    return 0;
  }
  std::vector<std::string> selected;
  std::vector<std::string> options;
};

class FakeProperties : public QLNSubSystemManager, public SimPropertyValues {
 public:
  Status SetNamedValue(const char* object, const char* name, const SUValue& value) override {
    seen = std::string(object) + "." + name;
    real = value.type == SUValue::kReal ? value.payload.real : -1.0;
    return refuse ? 0x80660001u : 0u;
  }
  std::string seen;
  double real = 0.0;
  bool refuse = false;
};

struct Answer {
  Status status = 0;
  bool replied = false;
  Bytes body;
};

Bytes Le16(std::uint16_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}
Bytes Le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}
Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class ClientRequestsTest : public ::testing::Test {
 protected:
  ClientRequestsTest() { manager.SetRunOps(&ops); }
  ~ClientRequestsTest() override {
    manager.Executive().ReleaseAll();
    problem.reset();
    ReplaceGroupMethod(kGroupNonlinear, nullptr);
    ClearOpenSolvers();
  }

  Answer Ask(std::uint32_t service, const std::function<void(DseMessage&)>& write) {
    DseMessage request(service, DseMessage::kRequest);
    write(request);
    testsupport::MessagePtr received = testsupport::Received(request);
    DseMessage* reply = nullptr;
    Answer answer;
    answer.status = manager.HandleRequest(service, received.get(), &reply, nullptr);
    answer.replied = reply != nullptr;
    if (reply != nullptr) answer.body = testsupport::BodyOf(*reply);
    delete reply;
    return answer;
  }
  Answer Ask(std::uint16_t code, std::vector<std::uint32_t> indices) {
    return Ask(50, [&](DseMessage& m) {
      m.PutUInt16(code);
      m.PutUInt16(static_cast<std::uint16_t>(indices.size()));
      for (std::uint32_t i : indices) m.PutUInt32(i);
    });
  }
  Answer Ask(std::uint16_t code) {
    return Ask(50, [&](DseMessage& m) { m.PutUInt16(code); });
  }
  FakeIntegrator* GiveIntegrator() {
    auto made = std::make_unique<FakeIntegrator>();
    FakeIntegrator* raw = made.get();
    manager.SetIntegrator(std::move(made));
    return raw;
  }
  // An empty problem whose solvers are set up.
  void MakeProblem() {
    problem.reset(DAESCreateProblem(root.get(), 0, nullptr));
    ASSERT_NE(GetCurrentProblem(), nullptr);
    manager.SetStatusBits(run_bits::kSolvers);
  }

  // Fakes outlive the manager, which releases its solver objects last.
  FakeDecomposition first{3, 2};
  FakeDecomposition second{0, 0};
  FakeStructure structure;
  FakeOps ops;
  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here{folder.path()};
  DseServerRegistry registry;
  SimProblemMgr manager{&registry};
  std::unique_ptr<DAESInstanceNode> root{new DAESInstanceNode(nullptr, nullptr)};
  std::unique_ptr<DAESProblem> problem;
};

TEST_F(ClientRequestsTest, DispatchByServiceAndCode) {
  const Answer five = Ask(5);
  EXPECT_EQ(five.status, 0x00320027u);
  EXPECT_FALSE(five.replied);
  for (std::uint16_t code : {4, 150, 130}) EXPECT_EQ(Ask(code).status, 0x8032FFFFu) << code;
  EXPECT_EQ(Ask(51, [](DseMessage& m) { m.PutUInt16(5); }).status, 0x8032FFFFu);
  // A body too short for its code is a read failure.
  EXPECT_EQ(Ask(50, [](DseMessage&) {}).status, 0x8000FFFFu);
}

TEST_F(ClientRequestsTest, FileServiceChangesAdoptAWorkingFolderOnlyWhenNoneIsSet) {
  const std::string base = manager.Folders().WorkingFolder();
  std::filesystem::create_directory(std::filesystem::path(folder.path()) / "sub");
  auto change = [&](std::uint32_t service, const char* to) {
    return Ask(service, [&](DseMessage& m) {
      m.PutUInt16(11);
      m.PutString(to);
      m.PutString("");
    });
  };
  const Answer changed = change(58, "sub");
  EXPECT_EQ(changed.status, 0u);
  EXPECT_FALSE(changed.replied);
  EXPECT_EQ(manager.Folders().WorkingFolder(), base);
  manager.Folders().SetWorkingFolder("");
  EXPECT_EQ(change(68, "..").status, 0u);
  EXPECT_EQ(manager.Folders().WorkingFolder(), base);
  // Other file commands answer their own status.
  EXPECT_EQ(Ask(58, [](DseMessage& m) { m.PutUInt16(99); }).status, 0x8000020Fu);
}

TEST_F(ClientRequestsTest, StopAnswersWithTheEndMarkOnly) {
  const Answer idle = Ask(14);
  EXPECT_EQ(idle.status, 0x0032000Au);
  EXPECT_EQ(idle.body, (Bytes{0xFF, 0xFF}));
  manager.SetStatusBits(run_bits::kReady | run_bits::kRunning);
  const std::uint16_t stops = manager.Record().stops;
  const Answer stopped = Ask(14);
  EXPECT_EQ(stopped.status, 0u);
  EXPECT_EQ(stopped.body, (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(manager.Record().stops, stops + 1);
}

TEST_F(ClientRequestsTest, BeginAndEndRunGoThroughTheIntegrator) {
  // Without a problem one is prepared first; without an integrator nothing runs.
  EXPECT_EQ(Ask(31).status, 0x00320049u);
  EXPECT_EQ(ops.prepared, 1);
  EXPECT_EQ(ops.applied, 1);
  EXPECT_EQ(manager.PreparationNeeded(), 2);
  EXPECT_EQ(Ask(134).status, 0x00320049u);

  ops.prepare_status = 0x80320384u;
  EXPECT_EQ(Ask(31).status, 0x80320384u);
  EXPECT_EQ(ops.applied, 1);
  ops.prepare_status = 0;

  FakeIntegrator* integrator = GiveIntegrator();
  SetRunMode(7);
  const Answer begun = Ask(31);
  EXPECT_EQ(begun.status, 618u);
  EXPECT_FALSE(begun.replied);
  EXPECT_EQ(integrator->mode_seen, SolverOptions::Instance()->GetInt(29));
  EXPECT_EQ(GetRunMode(), 7);
  EXPECT_EQ(Ask(134).status, 0x00320049u);
  integrator->end_status = 620;
  EXPECT_EQ(Ask(134).status, 620u);
  EXPECT_EQ(integrator->ended, 2);
}

TEST_F(ClientRequestsTest, StatisticsOfTwoSolverObjects) {
  Answer none = Ask(34);
  EXPECT_EQ(none.status, 0x80320268u);
  EXPECT_FALSE(none.replied);
  MakeProblem();
  EXPECT_EQ(Ask(34).status, 0x8032025Bu);
  FakeIntegrator* integrator = GiveIntegrator();
  integrator->error = 0x8032025Bu;  // the code part counts, not the facility
  EXPECT_EQ(Ask(34).status, 0x8032025Bu);
  integrator->error = 0;

  ASSERT_EQ(manager.Executive().AttachSolverObject(&first, 1), 0u);
  ASSERT_EQ(manager.Executive().AttachSolverObject(&second, 4), 0u);
  const Answer answer = Ask(34);
  ASSERT_EQ(answer.status, 0u);
  auto object = [](std::uint8_t index, std::uint32_t groups, std::uint8_t solved) {
    // Types 1..7 count 1..7: type 1, 2+3, 5+6, 4, 7, then the largest size.
    return Join({{index},
                 Le32(0),
                 Le32(groups),
                 Le32(1),
                 Le32(5),
                 Le32(11),
                 Le32(4),
                 Le32(7),
                 Le32(9),
                 {solved}});
  };
  EXPECT_TRUE(testsupport::SameBytes(
      Join({Le16(34), {0xFF}, Le16(2), object(1, 3, 2), object(4, 0, 0), Le16(0xFFFF)}),
      answer.body));
  EXPECT_EQ(first.refs, 1u);  // the slot's reference only
}

TEST_F(ClientRequestsTest, StructureRepliesEndWithTheirMarks) {
  ASSERT_EQ(manager.Executive().AttachSolverObject(&structure, 0), 0u);
  const Bytes empty24 = {0, 0, 0};
  const Bytes end = Le16(0xFFFF);
  // Group 1 lists its one row, an unnamed sub-group; three indices name
  // that sub-group, which has no rows.
  const Bytes unnamed = {1, 0, 0, 0};
  EXPECT_EQ(Ask(36, {0, 1}).body,
            Join({Le16(36), {1, 0, 0}, unnamed, {1, 0, 0}, Le16(0), Le16(0), unnamed, end, end}));
  EXPECT_EQ(Ask(36, {0, 1, 1}).body, Join({Le16(36), empty24, end, end}));
  // The lists can name the earlier groups that compute a variable.
  EXPECT_EQ(structure.groups_asked, 2);
  EXPECT_EQ(Ask(133, {0, 1}).body, Join({Le16(133), {1, 0, 0}, {1, 0, 0}, Bytes(8, 0), end, end}));
  EXPECT_EQ(Ask(133, {0, 1, 1}).body, Join({Le16(133), empty24, end, end}));
  EXPECT_EQ(Ask(132, {0, 1}).body, Join({Le16(132), empty24, end}));
  EXPECT_EQ(Ask(131, {0, 1, 1}).body, Join({Le16(131), empty24, end}));
  const Answer described = Ask(37, {0, 1});
  ASSERT_EQ(described.status, 0u);
  const std::string text(described.body.begin() + 5, described.body.end() - 3);
  EXPECT_EQ(Bytes(described.body.begin(), described.body.begin() + 2), Le16(37));
  EXPECT_EQ(text.rfind(" Block type : ", 0), 0u);
  EXPECT_EQ(Bytes(described.body.end() - 2, described.body.end()), end);

  // The group list takes the whole index list as its path.
  EXPECT_EQ(Ask(35, {0, 1}).body, Join({Le16(35), end}));
  EXPECT_EQ(structure.levels.back(), 2u);
  EXPECT_EQ(structure.paths.back(), (std::vector<std::uint32_t>{0, 1}));
  structure.list_status = 0xA031FFFFu;
  const Answer failed = Ask(35, {0, 1});
  EXPECT_EQ(failed.status, 0xA031FFFFu);
  EXPECT_FALSE(failed.replied);
}

TEST_F(ClientRequestsTest, MissingSolverObjectsAndRowsGiveNoReply) {
  for (std::uint16_t code : {35, 36, 37}) {
    for (const auto& path : std::vector<std::vector<std::uint32_t>>{{}, {5}, {9}, {0xFFFFFFFF}}) {
      const Answer a = Ask(code, path);
      EXPECT_EQ(a.status, 0xA032FFFFu) << code;
      EXPECT_FALSE(a.replied);
    }
  }
  for (std::uint16_t code : {131, 132, 133}) {
    const Answer a = Ask(code, {5});
    EXPECT_EQ(a.status, 0x0032000Au) << code;
    EXPECT_FALSE(a.replied);
  }
  // An engine decomposition without groups: its list is empty and any
  // group it is asked for is missing.
  platform::IUnknown* decomposition = nullptr;
  ASSERT_EQ(CreateDecompositionObject(&decomposition), 0u);
  ASSERT_EQ(manager.Executive().AttachSolverObject(decomposition, 2), 0u);
  decomposition->Release();
  EXPECT_EQ(Ask(35, {2}).body, (Bytes{35, 0, 0, 0, 0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(Ask(35, {2, 4}).status, 0xA000FFFFu) << "a group without a block";
  EXPECT_EQ(Ask(36, {2, 1, 7}).status, 0xA032FFFFu);
  EXPECT_EQ(Ask(133, {2, 0}).status, 0x0032000Au);
  // A path cut short reads as a failure.
  EXPECT_EQ(Ask(50,
                [](DseMessage& m) {
                  m.PutUInt16(36);
                  m.PutUInt16(3);
                  m.PutUInt32(0);
                })
                .status,
            0x8000FFFFu);
}

TEST_F(ClientRequestsTest, EquationsAndAnalysisNeedAProblem) {
  const Answer none = Ask(129);
  EXPECT_EQ(none.status, 0x80320268u);
  EXPECT_FALSE(none.replied);
  const Answer unprepared = Ask(50, [](DseMessage& m) { m.PutUInt16(75); });
  EXPECT_EQ(unprepared.status, 0x80320268u);
  EXPECT_FALSE(unprepared.replied);
  EXPECT_EQ(ops.prepared, 1);

  MakeProblem();
  EXPECT_EQ(Ask(129).body, Join({Le16(129), Le16(0), Le16(0xFFFF)}));
  const Answer analysed = Ask(50, [](DseMessage& m) {
    m.PutUInt16(75);
    for (int i = 0; i < 4; ++i) m.PutUInt16(0);
  });
  EXPECT_FALSE(status::IsFailure(analysed.status));
  ASSERT_TRUE(analysed.replied);
  EXPECT_EQ(Bytes(analysed.body.begin(), analysed.body.begin() + 2), Le16(75));
  EXPECT_EQ(ops.resets, 1);
  // A request the analysis cannot read is refused without a reply.
  const Answer refused = Ask(50, [](DseMessage& m) { m.PutUInt16(75); });
  EXPECT_EQ(refused.status, 0x8000020Fu);
  EXPECT_FALSE(refused.replied);
}

TEST_F(ClientRequestsTest, NamedOptionsAreStoredByType) {
  auto set = [&](const char* option, std::uint16_t type,
                 const std::function<void(DseMessage&)>& value) {
    return Ask(50, [&](DseMessage& m) {
      m.PutUInt16(149);
      m.PutString("component");
      m.PutString(option);
      m.PutUInt16(type);
      value(m);
    });
  };
  const Answer integer = set("count", 4, [](DseMessage& m) { m.PutUInt32(7); });
  EXPECT_EQ(integer.status, 0u);
  EXPECT_EQ(integer.body, Le32(0));
  EXPECT_EQ(set("tolerance", 24, [](DseMessage& m) { m.PutDouble(2.5); }).status, 0u);
  EXPECT_EQ(set("method", 68, [](DseMessage& m) { m.PutString("newton"); }).status, 0u);
  // Read back into fresh values: an assignment converts to the target's type.
  SolverOptionTable* table = SolverOptionTable::Instance();
  SUValue count, tolerance, method;
  ASSERT_EQ(table->GetNamedOption("component.count", &count), 0u);
  EXPECT_EQ(count.type, SUValue::kInteger);
  EXPECT_EQ(count.payload.integer, 7);
  ASSERT_EQ(table->GetNamedOption("component.tolerance", &tolerance), 0u);
  EXPECT_EQ(tolerance.payload.real, 2.5);
  ASSERT_EQ(table->GetNamedOption("component.method", &method), 0u);
  EXPECT_STREQ(method.GetString(), "newton");

  const Answer unknown = set("x", 9, [](DseMessage& m) { m.PutUInt32(1); });
  EXPECT_EQ(unknown.status, 0x8000020Fu);
  EXPECT_FALSE(unknown.replied);
  const Answer short_real = set("y", 24, [](DseMessage& m) { m.PutUInt32(1); });
  EXPECT_TRUE(status::IsFailure(short_real.status));
  EXPECT_FALSE(short_real.replied);
}

TEST_F(ClientRequestsTest, NlaSolverSelectionRenewsTheNonlinearMethod) {
  auto select = [&](const char* name, std::uint16_t flag) {
    return Ask(50, [&](DseMessage& m) {
      m.PutUInt16(111);
      m.PutString(name);
      m.PutUInt16(flag);
    });
  };
  // An empty name with the flag: an empty string and a 32-bit 0; the slot
  // holds 0.
  const Answer listed = select("", 1);
  EXPECT_EQ(listed.status, 0u);
  EXPECT_EQ(listed.body, Join({Le32(0), {1, 0, 0, 0}, Le32(0)}));
  QLNGroupMethod* renewed = GetGroupMethod(kGroupNonlinear);
  EXPECT_NE(renewed, nullptr);
  // Without the flag the slot says 0xA032FFFF, low byte first; the request
  // itself succeeded.
  const Answer refused = select("", 0);
  EXPECT_EQ(refused.status, 0u);
  EXPECT_EQ(refused.body, (Bytes{0xFF, 0xFF, 0x32, 0xA0}));
  EXPECT_NE(GetGroupMethod(kGroupNonlinear), nullptr);
  EXPECT_EQ(select("", 0).status, 0u);
  EXPECT_EQ(Ask(50,
                [](DseMessage& m) {
                  m.PutUInt16(111);
                  m.PutString("x");
                })
                .status,
            0x8000FFFFu);
}

TEST_F(ClientRequestsTest, AnalysisAndPropertyRequestsNeedTheirManagers) {
  auto two = [&](std::uint16_t code, const char* a, const char* b) {
    return Ask(50, [&](DseMessage& m) {
      m.PutUInt16(code);
      m.PutString(a);
      m.PutString(b);
      m.PutUInt16(4);
      m.PutUInt32(50);
    });
  };
  auto one = [&](std::uint16_t code, const char* name) {
    return Ask(50, [&](DseMessage& m) {
      m.PutUInt16(code);
      m.PutString(name);
    });
  };
  for (std::uint16_t code : {118, 123}) EXPECT_EQ(one(code, "lib").status, 0x8032FFFFu);
  for (std::uint16_t code : {122, 127}) EXPECT_EQ(two(code, "lib", "x").status, 0x8032FFFFu);
  EXPECT_EQ(two(115, "obj", "x").status, 0x8032FFFFu);

  FakeOptimisation optimisation;
  const Answer chosen = one(118, "mysolver.dll");
  EXPECT_EQ(chosen.status, 0u);
  EXPECT_EQ(chosen.body, Le32(0x80270001u));
  // The built-in optimiser's name in any case never reaches the manager:
  // its library loads and its option list follows the slot.
#ifdef VANTOR_KVS_DIR
  AddDLLSearchPath(VANTOR_KVS_DIR);
  const Answer sqpb = one(118, "KVS_SQPB.DLL");
  EXPECT_EQ(sqpb.status, 0u);
  ASSERT_GT(sqpb.body.size(), 4u);
  EXPECT_EQ(Bytes(sqpb.body.begin(), sqpb.body.begin() + 4), Le32(0));
  ClearOpenSolvers();
#endif
  EXPECT_EQ(optimisation.selected, (std::vector<std::string>{"mysolver.dll"}));
  EXPECT_EQ(two(122, "_KVS_SQPB", "MaxIter").body, Le32(0));
  SUValue value;
  ASSERT_EQ(SolverOptionTable::Instance()->GetNamedOption("_KVS_SQPB.MaxIter", &value), 0u);
  EXPECT_EQ(value.payload.integer, 50);
  EXPECT_EQ(two(122, "other", "Tol").status, 0u);
  EXPECT_EQ(optimisation.options, (std::vector<std::string>{"other.Tol"}));
  // Estimation has its own manager, still missing.
  EXPECT_EQ(one(123, "kvs_sqpb").status, 0x8032FFFFu);

  // The fake stands in for the engine's own property manager.
  manager.Unregister(manager.Properties());
  FakeProperties properties;
  const Answer set = Ask(50, [](DseMessage& m) {
    m.PutUInt16(115);
    m.PutString("Water");
    m.PutString("Density");
    m.PutUInt16(24);
    m.PutDouble(998.0);
  });
  EXPECT_EQ(set.status, 0u);
  EXPECT_EQ(set.body, Le32(0));
  EXPECT_EQ(properties.seen, "Water.Density");
  EXPECT_EQ(properties.real, 998.0);
  properties.refuse = true;
  const Answer refused = two(115, "Water", "Density");
  EXPECT_EQ(refused.status, 0x8032FFFFu);
  EXPECT_FALSE(refused.replied);
}

TEST_F(ClientRequestsTest, MethodDescriptionFillsTheSlot) {
  const Answer a = Ask(50, [](DseMessage& m) {
    m.PutUInt16(148);
    m.PutString("linear");
    m.PutUInt16(1);
  });
  EXPECT_EQ(a.status, 0u);
  ASSERT_TRUE(a.replied);
#ifdef VANTOR_KVS_DIR
  AddDLLSearchPath(VANTOR_KVS_DIR);
  const Answer described = Ask(50, [](DseMessage& m) {
    m.PutUInt16(148);
    m.PutString("linear");
    m.PutUInt16(1);
  });
  ASSERT_TRUE(described.replied);
  ASSERT_GT(described.body.size(), 4u);
  EXPECT_EQ(Bytes(described.body.begin(), described.body.begin() + 4), Le32(0));
#endif
  const std::string long_name(300, 'x');
  const Answer too_long = Ask(50, [&](DseMessage& m) {
    m.PutUInt16(148);
    m.PutString(long_name.c_str());
    m.PutUInt16(1);
  });
  EXPECT_TRUE(status::IsFailure(too_long.status));
  EXPECT_FALSE(too_long.replied);
}

}  // namespace
