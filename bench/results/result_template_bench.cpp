// Refilling a result template of 10,000 real variables (kind 56: value and
// flags), per item, beside packing the same doubles and flag words into a
// message directly.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/directory/id_path.h"
#include "framework/messaging/message.h"
#include "results/manager/result_items.h"
#include "results/manager/results_mgr.h"
#include "tests/results/quiet_problem_side.h"
#include "tests/results/quiet_result_object.h"

namespace {

constexpr std::int64_t kItems = 10000;

class Real final : public QuietResultObject {
 public:
  explicit Real(double value) : value_(value) {}
  bool IsVariable() const override { return true; }
  std::string Name() const override { return "x"; }
  std::uint16_t TypeCode() const override { return SUValue::kReal; }
  std::uint32_t Flags() const override { return 0x80; }
  double RealValue() const override { return value_; }
  void GetTypedValue(SUValue* value) const override {
    value->SetType(SUValue::kReal);
    value->SetReal(value_);
  }
  void SetReal(double value) override { value_ = value; }

 private:
  double value_;
};

class ManyReals final : public QuietProblemSide {
 public:
  ManyReals() {
    for (std::int64_t i = 0; i < kItems; ++i) objects.emplace_back(static_cast<double>(i) * 0.5);
  }
  double CurrentTime() override { return 0; }
  std::int32_t RunMode() override { return 4; }
  void ResetRunHooks() override {}
  void SetValuesChanged() override {}
  Status RequestSnapshot(const char*, bool) override { return 0; }
  void PostEvent(std::uint32_t, const char*) override {}
  void Send(DseMessage* message) override { delete message; }
  BvuDirectoryProper* VariableTree() override { return nullptr; }
  Status StoreRestoredValues(const SUPackedValueTable&) override { return 0; }
  bool WantsSnapshotText() override { return false; }
  ResultObject* ResolveObject(const BvuIdPath& path) override {
    return path.count() == 1 && path.ids()[0] < objects.size() ? &objects[path.ids()[0]] : nullptr;
  }
  std::vector<Real> objects;
};

void BM_TemplateRefill(benchmark::State& state) {
  ManyReals problem;
  SimResultsMgr manager(&problem);
  DseMessage request(55, DseMessage::kIdPathRead);
  std::uint8_t* start = request.Tell();
  request.PutDouble(0.0);
  for (std::uint32_t i = 0; i < kItems; ++i) {
    BvuIdPath path;
    path.Append(i);
    path.Write(request);
    request.PutUInt16(1);
    request.PutUInt16(0);
  }
  request.RereadFrom(start);
  SimResultResponse response(request, &manager);
  std::uint32_t read = 0;
  const Status s = response.ReadItems(request, [&read] { return read++ < kItems; });
  if (s != 0 || response.Items().size() != kItems) {
    state.SkipWithError("the template did not read its items");
    return;
  }
  for (auto _ : state) {
    DseMessage values(55, DseMessage::kIdPathRead);
    benchmark::DoNotOptimize(response.WriteValues(values));
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

void BM_PackSameDoubles(benchmark::State& state) {
  ManyReals problem;
  for (auto _ : state) {
    DseMessage values(55, DseMessage::kIdPathRead);
    for (const Real& r : problem.objects) {
      values.PutDouble(r.RealValue());
      values.PutUInt32(r.Flags() & SimResultResponse::kFlagMask);
    }
    benchmark::DoNotOptimize(values.RemainingBytes());
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

}  // namespace

BENCHMARK(BM_TemplateRefill)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackSameDoubles)->Unit(benchmark::kMicrosecond);
