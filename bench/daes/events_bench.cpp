// The delay manager's lookup in a full ring beside std::upper_bound and
// interpolation over a plain vector of the same rows; the event schedule's
// AnyEventChanged over 1,000 IF events beside their conditions run on the
// tape alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "daes/delays/delay_history.h"
#include "daes/equations/row_element.h"
#include "daes/events/implicit_event.h"
#include "daes/model/variable.h"
#include "expr/tape/tape.h"
#include "expr/tree/binary_expression.h"
#include "expr/tree/operator_table.h"
#include "expr/tree/var_ref_expression.h"

namespace {

constexpr int kEvents = 1000;

// A full ring that has wrapped, with sin t every 0.01.
struct Rows {
  Rows() {
    history.Init(1);
    for (int k = 0; k < delays::kRows + 2500; ++k) {
      history.Record(1, 0.01 * k, std::sin(0.01 * k));
    }
    for (int r = 0; r < history.RecordCount(); ++r) {
      const int row = (history.Oldest() + r) % delays::kRows;
      times.push_back(history.TimeAt(row));
      values.push_back(history.ValueAt(1, row));
    }
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> pick(times.front(), times.back());
    for (int i = 0; i < 1024; ++i) queries.push_back(pick(rng));
  }
  DelayHistory history;
  std::vector<double> times, values, queries;
};

Rows& TheRows() {
  static Rows rows;
  return rows;
}

void BM_DelayLookupRing(benchmark::State& state) {
  Rows& r = TheRows();
  std::size_t i = 0;
  for (auto _ : state) {
    double v = 0.0;
    r.history.Lookup(1, r.queries[i++ & 1023], 1e9, &v);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_DelayLookupRing);

void BM_DelayLookupVector(benchmark::State& state) {
  Rows& r = TheRows();
  std::size_t i = 0;
  for (auto _ : state) {
    const double t = r.queries[i++ & 1023];
    const auto it = std::upper_bound(r.times.begin(), r.times.end(), t);
    const std::size_t b = static_cast<std::size_t>(it - r.times.begin());
    const std::size_t a = b - 1;
    double v = r.values[a];
    if (b < r.times.size()) {
      v += (t - r.times[a]) / (r.times[b] - r.times[a]) * (r.values[b] - r.values[a]);
    }
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_DelayLookupVector);

// 1,000 conditions x_k > c_k over one variable each.
struct Conditions {
  Conditions() {
    for (int k = 0; k < kEvents; ++k) {
      auto* v = new DAESRealVariable(nullptr, "x");
      v->SetValue(0.001 * k);
      variables.emplace_back(v);
      elements.push_back(new DAESScalar(v));
      Expression* x = new VarRefExpression(0);
      Expression* c = new TerminalExpression(0.5);
      x->AddRef();
      c->AddRef();
      Expression* e = MakeBinaryExpression(kGt, x, c);
      x->Release();
      c->Release();
      ExpressionVariable* list[1] = {elements.back()};
      arrays.push_back({list[0]});
      auto* context = new ExprADContext(e, arrays.back().data(), 1);
      e->Release();
      contexts.push_back(context);
      auto* event = new DAESImplicitEvent(nullptr, 0);
      event->SetCondition(context, nullptr);
      schedule.AddModelEvent(event);
      events.push_back(event);
    }
    schedule.TakeNewStates();
  }
  ~Conditions() {
    for (auto* e : events) e->Release();
    for (auto* el : elements) el->Release();
  }
  std::vector<std::unique_ptr<DAESRealVariable>> variables;
  std::vector<DAESRowElement*> elements;
  std::vector<std::vector<ExpressionVariable*>> arrays;
  std::vector<ExprADContext*> contexts;
  std::vector<DAESImplicitEvent*> events;
  DAESEventSchedule schedule;
};

Conditions& TheConditions() {
  static Conditions c;
  return c;
}

void BM_AnyEventChanged(benchmark::State& state) {
  Conditions& c = TheConditions();
  for (auto _ : state) benchmark::DoNotOptimize(c.schedule.AnyEventChanged());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kEvents);
}
BENCHMARK(BM_AnyEventChanged);

void BM_ConditionsOnTape(benchmark::State& state) {
  Conditions& c = TheConditions();
  for (auto _ : state) {
    std::int32_t changed = 0;
    for (std::size_t k = 0; k < c.contexts.size(); ++k) {
      c.contexts[k]->RunTape();
      changed |= c.contexts[k]->Result().payload.integer != c.events[k]->State();
    }
    benchmark::DoNotOptimize(changed);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kEvents);
}
BENCHMARK(BM_ConditionsOnTape);

}  // namespace

BENCHMARK_MAIN();
