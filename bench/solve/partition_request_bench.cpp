// The whole structural analysis request (working block, incidence, codes,
// kernel and reply) on a generated flowsheet of 50,000 equations, beside
// btf_l_maxtrans plus btf_l_strongcomp on the pattern of the same run
// block, in the same run. Report the ratio of the two times.
#include <benchmark/benchmark.h>
#include <btf.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "solve/groups/partition.h"
#include "tests/framework/message_helpers.h"
#include "tests/solve/flowsheet_model.h"
#include "tests/solve/group_support.h"

namespace {

using daestest::Writer;

constexpr std::uint32_t kUnits = 12500;  // 4 equations each

grouptest::Model& Sheet() {
  static grouptest::Options options;
  static grouptest::Model model([](Writer& w) { grouptest::Flowsheet(w, kUnits); });
  return model;
}

void BM_PartitionRequest(benchmark::State& state) {
  grouptest::Model& m = Sheet();
  DseMessage sent(75, DseMessage::kRequest);
  for (std::uint16_t v : {0, 0, 0, 0}) sent.PutUInt16(v);
  Status last = 0;
  for (auto _ : state) {
    auto request = testsupport::Received(sent);
    DseMessage reply(75, DseMessage::kReply);
    last = Partition(m.problem.get(), *request, m.tree.root, reply);
    benchmark::DoNotOptimize(last);
  }
  if (last != 0) state.SkipWithError("the flowsheet is not structurally sound");
  state.counters["equations"] = static_cast<double>(m.run->GetRowCount());
}
BENCHMARK(BM_PartitionRequest)->Unit(benchmark::kMillisecond);

// The run block's incidence as columns (variables) of row indices.
struct Pattern {
  Pattern() {
    grouptest::Model& m = Sheet();
    n = m.run->VariableCount();
    std::unordered_map<const DAESVarTableEntry*, std::int64_t> position;
    for (std::int32_t i = 0; i < m.run->VariableCount(); ++i) position[m.run->GetVariable(i)] = i;
    std::vector<std::vector<std::int64_t>> columns(static_cast<std::size_t>(n));
    for (std::uint32_t r = 0; r < m.run->GetRowCount(); ++r) {
      auto* row = dynamic_cast<DAESEqnRow*>(m.run->GetRow(r));
      for (std::int32_t j = 0; row != nullptr && j < row->VariableCount(); ++j) {
        const auto at = position.find(row->GetVariable(j));
        if (at != position.end()) columns[static_cast<std::size_t>(at->second)].push_back(r);
      }
    }
    ap.push_back(0);
    for (const auto& c : columns) {
      ai.insert(ai.end(), c.begin(), c.end());
      ap.push_back(static_cast<std::int64_t>(ai.size()));
    }
  }
  std::int64_t n = 0;
  std::vector<std::int64_t> ap, ai;
};

void BM_BtfMaxtransStrongcomp(benchmark::State& state) {
  static Pattern p;
  const auto size = static_cast<std::size_t>(p.n);
  std::vector<std::int64_t> match(size), work(5 * size), q(size), r(size + 1);
  for (auto _ : state) {
    double ops = 0.0;
    const std::int64_t rank =
        btf_l_maxtrans(p.n, p.n, p.ap.data(), p.ai.data(), 0.0, &ops, match.data(), work.data());
    for (std::size_t j = 0; j < size; ++j) q[j] = match[j];
    const std::int64_t blocks =
        btf_l_strongcomp(p.n, p.ap.data(), p.ai.data(), q.data(), match.data(), r.data(),
                         work.data());
    benchmark::DoNotOptimize(rank + blocks);
  }
}
BENCHMARK(BM_BtfMaxtransStrongcomp)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
