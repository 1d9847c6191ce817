// Long node names through the real engine: a model whose top node has a
// name as long as the instance reader takes is solved, its snapshot file
// saved, and a later engine opens that file (request 30), lists its
// snapshots and compares them with its own problem (request 20).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/result_replies.h"
#include "tools/road.h"
#include "tools/road_steps.h"

namespace treenames {

using engineroad::EngineRoad;
using engineroad::kPreparedBits;
using engineroad::kProblemService;
using engineroad::kResultsService;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint16_t kFixed = 4;
constexpr std::uint16_t kFree = 1;

class TreeNamesRoad : public EngineRoad {
 protected:
  // y = 2 u under a top node named `top`, prepared; u fixed at `u`.
  bool LoadNamed(const std::string& top, double u) {
    using modelwriter::Mul;
    using modelwriter::Real;
    using modelwriter::Sub;
    using modelwriter::Var;
    const modelwriter::Step node{2, top};
    auto create = vantor_scenario::InstanceEdit(5, 5);
    Writer(*create).Placement({node});
    if (!road_->Expect(std::move(create), "creating the node", 0)) return false;
    auto fill = vantor_scenario::InstanceEdit(3, 10);
    Writer w(*fill);
    w.IdPath({2});
    w.List(3);
    const auto variable = [&](std::uint32_t index, const char* name, double value,
                              std::uint16_t spec) {
      w.Item(modelwriter::kRealVariable);
      w.Placement({node, {index, name}});
      w.Value(value), w.Spec(spec), w.End();
    };
    variable(1, ".u", u, kFixed);
    variable(2, ".y", 0.0, kFree);
    w.Item(modelwriter::kInlineEquation);
    w.U32(0);
    w.Expression(Sub(Var(0), Mul(Real(2.0), Var(1))));
    w.Placement({node, {10, ".e"}});
    w.EquationHead(2);
    w.Reference({2, 2});
    w.Reference({2, 1});
    if (w.status() != 0) return Fail("the model does not fit its message");
    if (!road_->Expect(std::move(fill), "filling the node", 0) ||
        !road_->Expect(MakeCommand(kProblemService, 6, {0, 0}), "command 6", 0))
      return false;
    return road_->WaitNotice(
        [](const vantor_scenario::Notification& n) {
          return (n.bits & kPreparedBits) == kPreparedBits;
        },
        "the four stages");
  }
  bool Start(const std::string& simulation, const std::string& top, double u) {
    return StartEngine(Engine(), simulation) &&
           road_->Expect(MakeCommand(kResultsService, 32, {}, {1.0}), "command 32", 0) &&
           IntOption(29, 1) && LoadNamed(top, u) && BeginRun() && SteadyState();
  }
};

// At 254 bytes (the old reader's limit) and 255 (the longest the instance
// reader takes): the file the first engine saved is read by the second,
// its snapshot listed and compared with the problem.
TEST_F(TreeNamesRoad, ASnapshotOfALongNamedModelOpensInALaterEngine) {
  for (std::size_t length : {254u, 255u}) {
    SCOPED_TRACE(length);
    const std::string top(length, 'T');
    const std::string simulation = "Long" + std::to_string(length);
    ASSERT_TRUE(Start(simulation, top, 3.0)) << Failure() << Events();
    ASSERT_NEAR(Value(2), 6.0, 1e-9);
    ASSERT_TRUE(
        road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Named"}), "command 15", 0));
    const std::string folder = work_.path().string() + "/";
    ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 5, {}, {}, {simulation, folder}),
                              "command 5", 0x00320000u));
    ASSERT_TRUE(FinishRun()) << Failure();
    // The saved copy the engine's end leaves.
    const std::filesystem::path file = work_.path() / simulation / "snapshot.bak";
    ASSERT_TRUE(std::filesystem::exists(file)) << file;

    // A later engine, the same model at u = 5: the file opens and its
    // snapshot differs from the problem in u.
    ASSERT_TRUE(Start("Reader" + std::to_string(length), top, 5.0)) << Failure() << Events();
    ASSERT_NEAR(Value(2), 10.0, 1e-9);
    Status s = 1;
    const vantor_client::Bytes listed = Ask(
        [&](vantor_client::Request& r) {
          r.PutUInt16(30);
          r.PutString("x");
          r.PutString(file.c_str());
        },
        &s);
    ASSERT_EQ(s, 0u) << vantor_scenario::Hex(s) << Events();
    std::vector<vantor_client::SnapshotEntry> snapshots;
    ASSERT_TRUE(vantor_client::DecodeSnapshotList(listed, 30, &snapshots));
    std::uint32_t named = 0;
    for (const auto& entry : snapshots)
      if (entry.name == "Named") named = entry.id;
    ASSERT_NE(named, 0u);
    const vantor_client::Bytes compared = Ask(
        [&](vantor_client::Request& r) {
          r.PutUInt16(20);
          r.PutUInt32(named);
          r.PutUInt16(0x33);
          for (int i = 0; i < 3; ++i) r.PutString("");
        },
        &s);
    vantor_client::UseReply use;
    ASSERT_TRUE(s == 0 && vantor_client::DecodeUseReply(compared, 20, &use)) << Events();
    EXPECT_GE(use.staged, 1u) << "u differs";
    EXPECT_TRUE(FinishRun()) << Failure();
  }
}

}  // namespace treenames
