// A torn group through the real engine: a user procedure inside an
// algebraic loop, torn by the decomposition and solved by tear iterations,
// with direct substitution and with Wegstein's acceleration, against the
// closed form of the loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/road.h"

namespace torngroup {

using engineroad::CountStarting;
using engineroad::EngineRoad;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using engineroad::Node;
using modelwriter::Writer;
using vantor_client::MakeCommand;

constexpr std::uint32_t kLibraryService = 61;
constexpr std::uint16_t kFixed = 4;
constexpr std::uint16_t kFree = 1;
constexpr std::uint16_t kTearing = 97, kTearUpdate = 55, kPrintLevel = 31,
                        kMaxTearIter = 98;
// The equation flag of a torn (procedure) equation.
constexpr std::uint32_t kTornEquation = 0x8;

// Library item: Half, calling "chalf" of the test library with one real
// input and one real output, through the old interface in C.
std::unique_ptr<vantor_client::Request> HalfDefinition() {
  auto request = std::make_unique<vantor_client::Request>(kLibraryService);
  Writer w(*request);
  w.U16(5);  // set
  w.U16(1);  // a procedure definition
  w.Placement({{1, "Half"}});
  request->PutString("Half");
  request->PutString("chalf");
  request->PutString("");
  request->PutString(VANTOR_TORN_PROCS);
  w.U32(2);  // interface version
  w.U32(2);  // C
  w.U32(0);  // options
  w.U16(1), w.U16(1);
  for (const char* argument : {"x", "y"}) {
    w.U16(4);  // a real scalar
    request->PutCString(argument);
    w.U32(0);
  }
  return request;
}

// A leaf of the compact form: the term code, no flags, the type, its class.
void Leaf(Writer& w, std::uint16_t type, std::uint8_t class_id) {
  w.U8(2), w.U16(0), w.U16(type), w.U8(class_id);
}

// CALL (y) = Half(x): the offsets name the equation's references; the
// definition is found at the library path (1).
void HalfCall(Writer& w, std::uint32_t input, std::uint32_t output) {
  Leaf(w, 0, 129);
  for (std::uint32_t offset : {input, output}) {
    Leaf(w, 0, 128);
    w.U32(1);
    Leaf(w, 4, 124);
    w.U32(offset);
  }
  w.U8(0);
  w.U16(3);
  w.U32(0xFFFFFF), w.U32(1), w.U32(0xFFFFFE);
}

// x - y = k and y = x / 2 by the procedure: a loop the procedure tears,
// solved by x = 2 k, y = k. k fixed (index 3).
void Loop(Writer& w, double k) {
  using modelwriter::Add;
  using modelwriter::Sub;
  using modelwriter::Var;
  w.List(5);
  ModelVariable(w, modelwriter::kRealVariable, 1, ".x", 0.0, kFree);
  ModelVariable(w, modelwriter::kRealVariable, 2, ".y", 0.0, kFree);
  ModelVariable(w, modelwriter::kRealVariable, 3, ".k", k, kFixed);
  w.Item(modelwriter::kInlineEquation);
  w.U32(kTornEquation);
  HalfCall(w, 0, 1);
  w.Placement({Node(), {10, ".half"}});
  w.EquationHead(2);
  w.Reference({2, 1});
  w.Reference({2, 2});
  ModelEquation(w, 11, ".difference", Sub(Sub(Var(0), Var(1)), Var(2)), {{2, 1}, {2, 2}, {2, 3}});
}

class TornGroupRoad : public EngineRoad {
 protected:
  // The steady state solves the loop to its closed form, by tear
  // iterations that converge; the update the lines name; the number of
  // tear iterations.
  std::size_t ExpectSolved(double k, const std::string& update, const std::string& other) {
    const std::size_t from = run_.events.size();
    EXPECT_TRUE(SteadyState()) << Failure() << Events();
    EXPECT_NEAR(Value(1), 2.0 * k, 1e-4 * k);
    EXPECT_NEAR(Value(2), k, 1e-4 * k);
    const std::vector<std::string> lines = LinesSince(from);
    EXPECT_EQ(CountStarting(lines, "Torn variables converged to relative tolerance"), 1u)
        << Events();
    EXPECT_EQ(CountStarting(lines, "Torn group"), 0u) << Events();
    EXPECT_GE(CountStarting(lines, update), 1u) << Events();
    EXPECT_EQ(CountStarting(lines, other), 0u) << Events();
    return CountStarting(lines, "Tear iteration");
  }
};

// Direct substitution at k = 3, then Wegstein's update at k = 6 on the same
// engine: each steady state lands on the loop's solution, the accelerated
// one in fewer tear iterations from a start as far from it.
TEST_F(TornGroupRoad, ALoopTornByAProcedureConvergesByBothUpdates) {
  ASSERT_TRUE(StartEngine(Engine(), "Torn") &&
              road_->Expect(MakeCommand(kResultsService, 32, {}, {1.0}), "command 32", 0) &&
              IntOption(29, 1) && IntOption(kTearing, 1) && IntOption(kPrintLevel, 3) &&
              road_->Expect(HalfDefinition(), "the procedure definition", 0) &&
              Load([](Writer& w) { Loop(w, 3.0); }) && BeginRun())
      << Failure() << Events();
  const std::string direct = "Using direct substitution to update torn output variables";
  const std::string wegstein = "Wegstein: Applying Wegstein acceleration";
  const std::size_t substituted = ExpectSolved(3.0, direct, wegstein);
  ASSERT_TRUE(IntOption(kTearUpdate, 0) && Set("k", 6.0)) << Failure();
  const std::size_t accelerated = ExpectSolved(6.0, wegstein, direct);
  EXPECT_LT(accelerated, substituted);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// MaxTearIter below 0 is stored; the torn group solver goes on with 0, says
// so once over two steady states, and its failure names the 0 it used.
TEST_F(TornGroupRoad, ATearBoundBelowZeroIsToldOnceAndZeroUsed) {
  ASSERT_TRUE(StartEngine(Engine(), "Torn") && IntOption(29, 1) && IntOption(kTearing, 1) &&
              IntOption(kPrintLevel, 2) && IntOption(kMaxTearIter, static_cast<std::uint32_t>(-2)) &&
              road_->Expect(HalfDefinition(), "the procedure definition", 0) &&
              Load([](Writer& w) { Loop(w, 3.0); }) && BeginRun())
      << Failure() << Events();
  for (int solve = 1; solve <= 2; ++solve) (void)SteadyState();
  road_->Collect();
  const std::string told = "The torn group solver refuses MaxTearIter = -2 and goes on with 0";
  EXPECT_EQ(std::count(run_.events.begin(), run_.events.end(), told), 1) << Events();
  EXPECT_NE(Events().find("exceeded maximum of 0 tear iterations"), std::string::npos) << Events();
  EXPECT_EQ(Events().find("exceeded maximum of -2"), std::string::npos) << Events();
  EXPECT_TRUE(EndEngine()) << Failure() << Events();
}

}  // namespace torngroup
