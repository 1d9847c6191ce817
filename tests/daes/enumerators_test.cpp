#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "daes/blocks/solver_block.h"
#include "daes/equations/equation_node.h"
#include "daes/model/variable.h"
#include "daes/problem/enumerators.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/solver_options.h"
#include "platform/com.h"
#include "platform/com_status.h"
#include "tests/support/integrator_stand_in.h"
#include "tests/support/numbered_options.h"

namespace {

struct Group {
  Group() {
    x = Make("x", 0x1 | 0x10, 2.0);
    dx = static_cast<DAESVariable*>(x->MakeDerivative());
    dx->ClearFlags(~0u);
    dx->SetFlags(0x4 | 0x10);
    y = Make("y", 0x2 | 0x80, 3.0);
    z = Make("z", 0x2 | 0x10 | 0x8 | 0x800, 4.0);
    z->SetScale(2.0);
    z->SetBounds(-1.0, 5.0);
    for (DAESVarTableEntry* v :
         {static_cast<DAESVarTableEntry*>(x), static_cast<DAESVarTableEntry*>(dx),
          static_cast<DAESVarTableEntry*>(y), static_cast<DAESVarTableEntry*>(z)}) {
      block.AppendVariable(v);
    }
  }
  DAESRealVariable* Make(const char* name, std::uint32_t flags, double value) {
    all.push_back(std::make_unique<DAESRealVariable>(nullptr, name));
    all.back()->ClearFlags(~0u);
    all.back()->SetFlags(flags);
    all.back()->SetValue(value);
    return all.back().get();
  }
  std::vector<std::unique_ptr<DAESRealVariable>> all;
  DAESRealVariable *x, *y, *z;
  DAESVariable* dx;
  DAESSolverBlock block;
};

TEST(VariableEnumerators, RecordsDescribeKindsLinksValuesAndBounds) {
  Group g;
  DAESBlockEnumSource source(&g.block);
  auto* e = new DAESVarDataEnum(&source, 0);
  e->AddRef();
  QLNVariableRecord* records = nullptr;
  std::uint32_t fetched = 0;
  EXPECT_EQ(e->Next(10, &records, &fetched), 1u);  // the rest, and the end
  ASSERT_EQ(fetched, 4u);
  struct Want {
    DAESVarTableEntry* v;
    std::uint32_t kind;
    std::int32_t linked;
    double value, lower, upper;
  };
  const Want want[] = {{g.x, 16 + 1, 1, 2.0, -1.5e308, 1.5e308},
                       {g.dx, 16 + 4, 0, 0.0, -1e37, 1e37},
                       {g.y, 32 + 96 + 2, -1, 3.0, -1.5e308, 1.5e308},
                       {g.z, 16 + 2 + 8 + 0x800, -1, 8.0, -2.0, 10.0}};
  for (std::uint32_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(records[i].variable, static_cast<QLNVariable*>(want[i].v));
    EXPECT_EQ(records[i].index, static_cast<std::int32_t>(i));
    EXPECT_EQ(records[i].kind, want[i].kind);
    EXPECT_EQ(records[i].linked, want[i].linked);
    EXPECT_EQ(records[i].value, want[i].value);
    EXPECT_EQ(records[i].lower, want[i].lower);
    EXPECT_EQ(records[i].upper, want[i].upper);
  }
  platform::CoTaskMemFree(records);
  EXPECT_EQ(e->Next(1, nullptr, &fetched), platform::E_INVALIDARG);
  EXPECT_EQ(e->Skip(1), platform::E_NOTIMPL);
  EXPECT_EQ(e->Release(), 0u);
}

TEST(VariableEnumerators, ExcludedVariablesStillAdvanceThePosition) {
  Group g;
  DAESBlockEnumSource source(&g.block);
  DAESVarData13Enum e(&source, daes::kEnumExcludeFixed);
  QLNVariableRecord records[4];
  std::uint32_t fetched = 0;
  EXPECT_EQ(e.Next(3, records, &fetched), 1u);
  ASSERT_EQ(fetched, 3u);  // x, dx, (y passed), z: the end
  EXPECT_EQ(records[2].variable, static_cast<QLNVariable*>(g.z));
  EXPECT_EQ(records[2].index, 3);
  EXPECT_EQ(e.Next(3, records, &fetched), 1u);
  EXPECT_EQ(fetched, 0u);

  // A state whose derivative is not in the source is reported as kind 2.
  DAESSolverBlock alone;
  alone.AppendVariable(g.x);
  DAESBlockEnumSource only(&alone);
  DAESVarData13Enum e13(&only, 0);
  EXPECT_EQ(e13.Next(1, records, &fetched), 1u);
  EXPECT_EQ(records[0].kind, 16u + 2u);
  EXPECT_EQ(records[0].linked, -1);
}

TEST(Enumerators, QueryInterfaceAndReferences) {
  Group g;
  DAESBlockEnumSource source(&g.block);
  auto* e = new DAESEqnDataEnum(&source);
  EXPECT_EQ(e->AddRef(), 1u);
  void* object = nullptr;
  EXPECT_EQ(e->QueryInterface(platform::IID_IUnknown, &object), 0u);
  EXPECT_EQ(object, static_cast<platform::IUnknown*>(e));
  EXPECT_EQ(e->QueryInterface(daes::IID_IEnumQLNEquationData, &object), 0u);
  EXPECT_EQ(e->QueryInterface(daes::IID_IEnumQLNVariableData, &object), platform::E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(e->QueryInterface(platform::IID_IUnknown, nullptr), platform::E_INVALIDARG);
  EXPECT_EQ(e->Release(), 2u);
  EXPECT_EQ(e->Release(), 1u);
  QLNEquationRecord records[2];
  std::uint32_t fetched = 7;
  EXPECT_EQ(e->Next(2, records, &fetched), 1u);  // no rows
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Release(), 0u);
}

// Rows handed out as they are; tearing on and an integrator that takes the
// detail while the object lives.
class TornRows final : public DAESEnumSource,
                       testsupport::NumberedOptions,
                       testsupport::IntegratorStandIn {
 public:
  TornRows() : previous_(SolverOptions::Install(this)) { SetCurrentIntegrator(this); }
  ~TornRows() {
    SetCurrentIntegrator(nullptr);
    SolverOptions::Install(previous_);
  }
  std::int32_t ActiveVariableCount() override { return 0; }
  DAESVarTableEntry* GetVariable(std::int32_t) override { return nullptr; }
  std::int32_t GroupColumnOf(DAESVarTableEntry*) override { return 0; }
  std::int32_t GroupRowCount() override { return static_cast<std::int32_t>(rows.size()); }
  QLNEquation* GroupRow(std::int32_t i) override { return rows[static_cast<std::size_t>(i)]; }
  std::int32_t GetInt(std::int32_t number) override { return number == 97 ? 1 : 0; }
  double GetReal(std::int32_t) override { return 0.0; }
  bool GetBool(std::int32_t) override { return false; }
  Status SetInt(std::int32_t, std::int32_t) override { return status::kNotSupported; }
  std::uint32_t GetCapabilityBit2() override { return 1; }

  std::vector<QLNEquation*> rows;

 private:
  SolverOptions* previous_;
};

TEST(EquationEnumerator, TornRowsOfAMultiOutputModelNameTheirModel) {
  DAESSimpleEquation call(nullptr), plain(nullptr);
  call.SetRowCount(2);
  DAESSolverEquation first(&call), second(&call), single(&plain), untorn(&call);
  for (DAESSolverEquation* row : {&first, &second, &single}) row->SetFlags(daes::kTorn);
  DAESDecompEquation wrapped(&second);
  TornRows source;
  source.rows = {&first, &wrapped, &single, &untorn};
  DAESEqnDataEnum e(&source);
  ASSERT_TRUE(e.Detailed());
  QLNEquationRecord records[4];
  std::uint32_t fetched = 0;
  EXPECT_EQ(e.Next(4, records, &fetched), 1u);
  ASSERT_EQ(fetched, 4u);
  const auto model = static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(&call));
  const std::uint32_t flags[] = {8, 8, 8, 0};
  const std::int64_t models[] = {model, model, -1, -1};
  for (std::uint32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(records[i].flags, flags[i]) << i;
    EXPECT_EQ(records[i].model, models[i]) << i;
  }
}

}  // namespace
