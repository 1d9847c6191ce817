#include "solve/options/solver_option_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "foundation/directory/id_path.h"
#include "foundation/interfaces/problem_manager_hooks.h"
#include "solve/options/option_descriptors.h"
#include "tests/solve/options_fakes.h"

namespace {

TEST(SolverOptionTable, FreshTableDefaultsAndGetterNumberSets) {
  SolverOptionTable table;
  const struct {
    std::int32_t number;
    double real;
    std::int32_t integer;
    bool flag;
  } cases[] = {
      {0, 1e-5, 0, false},        // EqnTol: a real only
      {20, 0.0, 0, false},        // SLU.PivotTol has no getter
      {30, 0.0, 3, false},        // Integrator
      {97, 0.0, 0, false},        // Tearing starts off, not at its default text
      {123, 0.0, 0, false},       // SyncSteps: no getter
      {36, 0.0, 0, false},        // ConvCrit: an integer, not a flag
      {168, 0.0, 0, true},        // ListEquivalenceVariables
      {111, 0.0, 0, false},       // Compression starts off
      {155, 0.0, 0, true},        // UseSavedSnapshotOnLoad: 1, not FALSE
      {153, 0.0, 0, true},        // MultipleGroup
      {171, 0.0, 0, true},        // EnableRefineIter: starts at its default text
      {121, 1e-4, 0, false},      // LogLikelihood.SolTol likewise
      {103, 0.0, 100000000, false},  // Integration.MaxSteps
      {122, 0.0, 100, false},    {167, 0.0, 0, false},  // NLASolver holds nothing
      {-1, 0.0, 0, false},       {172, 0.0, 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(table.GetReal(c.number), c.real) << c.number;
    EXPECT_EQ(table.GetInt(c.number), c.integer) << c.number;
    EXPECT_EQ(table.GetBool(c.number), c.flag) << c.number;
  }
  EXPECT_STREQ(table.GetString(151), "Brunvald.UnifiedIntegrator");
  EXPECT_STREQ(table.GetString(152), "Brunvald.Decomposer");
  EXPECT_EQ(table.GetString(125), nullptr);
  EXPECT_EQ(SolverOptions::Instance(), &table) << "installed behind the facade";
}

TEST(SolverOptionTable, ValueSlotsGiveTheAddressAndWireTypeInForce) {
  SolverOptionTable table;
  const struct {
    std::int32_t number;
    std::uint32_t wire;
    Status result;
  } cases[] = {{124, 4, 0},          {86, 4, 0},         {0, 24, 0},  {37, 1, 0},
               {151, 68, 0},         {26, 4, 0},         {167, 4, 0}, {5, 0, 0x8000FFFF},
               {172, 0, 0x8000FFFF}, {-3, 0, 0x8000FFFF}};
  for (const auto& c : cases) {
    std::uint32_t wire = 99;
    void* at = &wire;
    EXPECT_EQ(table.ValueSlot(c.number, &wire, &at), c.result) << c.number;
    EXPECT_EQ(wire, c.wire) << c.number;
    if (c.number == 124 || c.number == 86) {
      EXPECT_EQ(*static_cast<std::int32_t*>(at), c.number == 124 ? 2 : 1);
    } else if (c.number == 151) {
      EXPECT_STREQ(static_cast<char*>(at), "Brunvald.UnifiedIntegrator");
    } else if (c.wire == 0 || c.number == 167) {
      EXPECT_EQ(at, nullptr) << c.number;
    }
  }
  DseServerCB& server = table;  // as the registry reaches it
  std::uint32_t wire = 0;
  void* at = nullptr;
  EXPECT_EQ(server.GetItem(53, BvuIdPath(), 124, 9, &wire, &at), 0u) << "the first selector";
  EXPECT_EQ(*static_cast<std::int32_t*>(at), 2);
  EXPECT_EQ(server.GetItem(53, BvuIdPath(), 0x10000 + 124, 0, &wire, &at), 0x8000FFFFu);
  EXPECT_EQ(at, nullptr);
}

TEST(SolverOptionTable, AWriteNamesItsOptionBySelectorOrByItsOneId) {
  SolverOptionTable table;
  BvuIdPath one;
  one.Append(kIdPathRoot);
  one.Append(31);
  one.Append(kIdPathEnd);
  SUValue three = IntValue(3);
  // Selector 0 with a path of one id: that id's option, not option 0.
  EXPECT_EQ(table.SetItem(53, one, 0, 0, &three), 0u);
  EXPECT_EQ(table.GetInt(31), 3);
  EXPECT_EQ(table.GetReal(0), 1e-5);
  // A selector wins over the path.
  SUValue four = IntValue(4);
  EXPECT_EQ(table.SetItem(53, one, 0, 24, &four), 0u);
  EXPECT_EQ(table.GetInt(24), 4);
  EXPECT_EQ(table.GetInt(31), 3);
  // Selector 0 and a path of two ids, or none: option 0 as before.
  BvuIdPath two;
  two.Append(31);
  two.Append(24);
  SUValue real;
  real.SetType(SUValue::kReal);
  real.SetReal(2e-4);
  EXPECT_EQ(table.SetItem(53, two, 0, 0, &real), 0u);
  EXPECT_EQ(table.GetReal(0), 2e-4);
  EXPECT_EQ(SolverOptionTable::WrittenNumber(BvuIdPath(), 0), 0u);
  // A path naming a number beyond the table is refused like such a selector.
  BvuIdPath far;
  far.Append(400);
  EXPECT_EQ(table.SetItem(53, far, 0, 0, &three), 0xA000FFFFu);
}

TEST(SolverOptionTable, StagedValuesWaitForApplyAndNameWhatChanged) {
  SolverOptionTable table;
  EXPECT_TRUE(table.HasPendingChanges()) << "pending from construction";
  EXPECT_EQ(table.ApplyPendingChanges(), 0u) << "a reset alone changes nothing";
  EXPECT_EQ(table.ApplyPendingChanges(), 0u);

  SUValue five = IntValue(5);
  EXPECT_EQ(table.SetItem(53, BvuIdPath(), 0, 25, &five), 0u) << "the first selector is the number";
  const struct {
    std::int32_t number;
    std::int32_t value;
    std::uint32_t bits;
  } cases[] = {
      {25, 5, 24}, {30, 4, 4},  {97, 2, 16}, {153, 0, 16}, {29, 4, 2},   {26, 0, 24},
      {38, 1, 24}, {55, 0, 24}, {21, 1, 24}, {157, 1, 24}, {111, 1, 48}, {70, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    if (c.number != 25) {
      EXPECT_EQ(table.SetInteger(c.number, c.value), 0u);
    }
    const std::int32_t before = c.number == 157 ? table.GetBool(157) : table.GetInt(c.number);
    EXPECT_TRUE(table.HasPendingChanges());
    EXPECT_EQ(table.ApplyPendingChanges(), c.bits);
    EXPECT_EQ(table.ApplyPendingChanges(), 0u) << "applied once";
    if (c.number == 25 || c.number == 30) {
      EXPECT_NE(before, c.value) << "in force only after apply";
      EXPECT_EQ(table.GetInt(c.number), c.value);
    }
  }
  table.SetInteger(25, 5);  // the value in force again: nothing pending
  EXPECT_FALSE(table.HasPendingChanges());
  table.MarkForcedRestructure();
  table.SetInteger(24, 7);
  EXPECT_EQ(table.ApplyPendingChanges(), 0u) << "only a staged difference raises the flag";
  table.SetInteger(29, 2);
  EXPECT_EQ(table.ApplyPendingChanges(), 2u | 16u) << "the forced mark waits for the next apply";
  table.MarkForcedRestructure();
  table.SetDefaults();
  EXPECT_EQ(table.ApplyPendingChanges(), 0u) << "the reset drops the mark and stages nothing";
  EXPECT_EQ(table.GetInt(25), 4);
  EXPECT_EQ(table.GetInt(24), 100);
}

TEST(SolverOptionTable, SettersStoreByKindAndAlwaysTellTheClients) {
  SolverOptionTable table;
  std::vector<ClientCall> log;
  RecordingClient client(&log);
  for (std::int32_t n : {3, 4, 24, 37, 33, 50, 125, 0, 10}) table.RegisterClient(&client, n);
  log.clear();
  const struct {
    std::int32_t number;
    SUValue value;
    Status result;
  } cases[] = {
      {3, RealValue(0.5), 0},                  // RelTearTol only
      {24, IntValue(7), 0},                    // MaxIter
      {37, LogicalValue(false), 0xA000FFFF},   // a flag by a logical: kept
      {37, IntValue(0), 0},                    // a flag by an integer: stored
      {50, IntValue(9), 0},                    // a flag by an integer: stored as 1
      {33, LogicalValue(true), 0xA000FFFF},    // Dogleg, an integer shown as Boolean
      {158, LogicalValue(false), 0xA000FFFF},  // Homotopy.Bounded: kept
      {125, TextValue("kvs_sqpb"), 0},         // OpenOPTSolver
      {0, IntValue(3), 0xA000FFFF},            // below the integer numbers
      {24, RealValue(1.0), 0xA000FFFF},        // not a real
      {10, TextValue("x"), 0xA000FFFF},        // not a text
      {24, LogicalValue(true), 0xA000FFFF},    // not a Boolean
      {24, SUValue(), 0},                      // no type: ignored, nobody told
      {172, IntValue(1), 0xA000FFFF},
  };
  for (const auto& c : cases) EXPECT_EQ(table.SetValue(c.number, c.value), c.result) << c.number;
  EXPECT_EQ(table.GetReal(3), 0.5);
  EXPECT_EQ(table.GetReal(4), 1e-5) << "AbsTearTol kept";
  EXPECT_EQ(table.GetInt(24), 7);
  EXPECT_FALSE(table.GetBool(37));
  EXPECT_TRUE(table.GetBool(50));
  EXPECT_TRUE(table.GetBool(158));
  EXPECT_STREQ(table.GetString(125), "kvs_sqpb");
  std::int32_t dogleg = 0;
  EXPECT_EQ(table.OptionRequest(3, &dogleg, nullptr, nullptr), 1);
  EXPECT_EQ(dogleg, 0);
  std::vector<std::int32_t> told;
  for (const ClientCall& call : log) told.push_back(call.number);
  EXPECT_EQ(told, (std::vector<std::int32_t>{3, 24, 37, 37, 50, 33, 125, 0, 24, 10, 24}));
  EXPECT_EQ(*static_cast<const double*>(log[0].value), 0.5);
  // A refused logical tells the clients the flag the table keeps.
  EXPECT_EQ(log[2].value, log[3].value);
  EXPECT_EQ(*static_cast<const std::uint8_t*>(log[3].value), 0);
  EXPECT_EQ(*static_cast<const std::uint8_t*>(log[4].value), 1);
  EXPECT_EQ(*static_cast<const std::int32_t*>(log[5].value), 0);
  EXPECT_STREQ(static_cast<const char*>(log[6].value), "kvs_sqpb");
}

TEST(SolverOptionTable, ClientsAreToldInOrderAndGoWithTheirDestructor) {
  SolverOptionTable table;
  std::vector<ClientCall> log;
  RecordingClient first(&log, 0);
  auto* second = new RecordingClient(&log, 0x80001234);
  // The address handed out at registration: requested for 25, in force for
  // 30, none for 24.
  table.SetInteger(25, 5);
  EXPECT_EQ(table.RegisterClient(&first, 25), 0u);
  EXPECT_EQ(*static_cast<const std::int32_t*>(log.back().value), 5);
  EXPECT_EQ(table.RegisterClient(&first, 30), 0u);
  EXPECT_EQ(*static_cast<const std::int32_t*>(log.back().value), 3);
  EXPECT_EQ(table.RegisterClient(&first, 24), 0u);
  EXPECT_EQ(log.back().value, nullptr);
  EXPECT_EQ(table.RegisterClient(&first, 200), 0xA000FFFFu);
  const std::int32_t numbers[] = {30, 24, 31};
  EXPECT_EQ(SolverOptionTable::RegisterClientForNumbers(second, numbers, 3), 0x80001234u);
  EXPECT_EQ(SolverOptionTable::RegisterClientForNumbers(second, numbers, 0), 0u);
  log.clear();
  table.SetInteger(30, 4);
  table.SetReal(30, 1.0);  // refused, told all the same
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].client, &first);
  EXPECT_EQ(log[1].client, second);
  EXPECT_EQ(log[2].client, &first);
  delete second;
  log.clear();
  table.SetInteger(30, 3);
  table.SetInteger(31, 1);
  ASSERT_EQ(log.size(), 1u) << "the destroyed client is off every list";
  EXPECT_EQ(log[0].client, &first);
}

TEST(SolverOptionTable, NamedOptionsReachTheirClientsUnderOneName) {
  SolverOptionTable table;
  std::vector<ClientCall> log;
  RecordingClient client(&log);
  EXPECT_EQ(table.RegisterNamedClient(7, "_KVS_SQPB", "OptTol", IntValue(3), &client), 0u);
  EXPECT_EQ(table.RegisterNamedClient(8, "_KVS_NLA", "Newton.Method", TextValue("Fast"), &client),
            0u);
  EXPECT_EQ(table.RegisterNamedClient(9, "other", "OPTTOL", IntValue(1), &client), 0u);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].text, "3");
  EXPECT_EQ(log[2].text, "1") << "another solver's name is another option";
  EXPECT_EQ(table.RegisterNamedClient(10, "_kvs_sqpb", "opttol", IntValue(99), &client), 0u);
  EXPECT_EQ(log.back().text, "3") << "a known name keeps its value, letter case aside";

  log.clear();
  EXPECT_EQ(table.SetNamedOption("_KVS_NLA", "Newton.Method", TextValue("Plain")), 0u);
  ASSERT_EQ(log.size(), 1u) << "a dotted option name is the full name for the setter too";
  EXPECT_EQ(log[0].id, 8u);
  EXPECT_EQ(log[0].text, "Plain");
  SUValue read;
  EXPECT_EQ(table.GetNamedOption("newton.method", &read), 0u);
  EXPECT_STREQ(read.GetString(), "Plain");
  EXPECT_EQ(table.SetNamedOption("_KVS_SQPB", "OptTol", IntValue(4)), 0u);
  EXPECT_EQ(log.size(), 3u) << "both registrations of the name";
  EXPECT_EQ(table.SetNamedOption("New", "Option", RealValue(2.5)), 0u);
  SUValue fresh;
  EXPECT_EQ(table.GetNamedOption("New.Option", &fresh), 0u);
  EXPECT_EQ(fresh.payload.real, 2.5);
  EXPECT_EQ(table.GetNamedOption("Missing.Option", &fresh), 0xA000FFFFu);
  table.RemoveClient(&client);
  log.clear();
  table.SetNamedOption("_KVS_SQPB", "OptTol", IntValue(5));
  EXPECT_EQ(log.size(), 1u) << "the first entry of the client goes, the second stays";
}

// Readers that keep what they read compare the generation: every way a
// value changes moves it on, and a table made later never repeats one.
TEST(SolverOptionTable, EveryChangeMovesTheGenerationOn) {
  auto table = std::make_unique<SolverOptionTable>();
  const std::uint64_t first = table->Generation();
  std::uint64_t seen = first;
  auto moved = [&] {
    const std::uint64_t now = table->Generation();
    const bool on = now != seen;
    seen = now;
    return on;
  };
  EXPECT_NE(seen, 0u);
  EXPECT_FALSE(moved()) << "reading changes nothing";
  table->GetReal(0);
  table->GetInt(24);
  EXPECT_FALSE(moved());
  table->SetReal(0, 1e-7);
  EXPECT_TRUE(moved()) << "real";
  table->SetInteger(24, 7);
  EXPECT_TRUE(moved()) << "integer";
  table->SetInteger(143, 0);
  EXPECT_TRUE(moved()) << "boolean integer";
  table->SetFlag(143, true);
  EXPECT_FALSE(moved()) << "a refused logical stores nothing";
  table->SetText(151, "Other.Integrator");
  EXPECT_TRUE(moved()) << "text";
  table->SetNamedOption("MFL", "PrintLevel", IntValue(3));
  EXPECT_TRUE(moved()) << "named";
  table->ApplyPendingChanges();  // what the reset left pending
  moved();
  EXPECT_EQ(table->ApplyPendingChanges(), 0u);
  EXPECT_FALSE(moved()) << "nothing pending";
  table->SetInteger(38, 1);
  moved();
  EXPECT_NE(table->ApplyPendingChanges(), 0u);
  EXPECT_TRUE(moved()) << "staged values into force";
  table->SetDefaults();
  EXPECT_TRUE(moved()) << "reset";

  // Made where the first one was, as a fresh table it is all the same new.
  table.reset();
  SolverOptionTable later;
  EXPECT_NE(later.Generation(), first);
  EXPECT_NE(later.Generation(), seen);
}

class NestedManager : public ProblemManagerHooks {
 public:
  bool IsNestedMode() override { return nested; }
  bool nested = false;
};

TEST(SolverOptionTable, VerboseFollowsPrintLevelAndNestedMode) {
  SolverOptionTable table;
  NestedManager manager;
  SetProblemManagerHooks(&manager);
  const struct {
    std::int32_t level;
    bool nested;
    bool verbose;
  } cases[] = {{0, false, false}, {1, false, true}, {2, true, false}, {3, true, true}};
  for (const auto& c : cases) {
    table.SetInteger(31, c.level);
    manager.nested = c.nested;
    EXPECT_EQ(table.IsVerbose(), c.verbose) << c.level << " " << c.nested;
  }
  SetProblemManagerHooks(nullptr);
}

}  // namespace
