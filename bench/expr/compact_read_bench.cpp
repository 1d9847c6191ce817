// Reading, printing and sending sums of many terms in the compact message
// form, as models send long balances: left-deep (every header first) and
// right-deep (a header and a term in turn). The fitted complexity shows
// whether the time per term stays flat as the sums grow.
#include <benchmark/benchmark.h>

#include <sstream>
#include <vector>

#include "expr/tree/expression.h"
#include "fuzz/byte_stream.h"

namespace {

std::vector<std::uint8_t> LongSum(int terms, bool left_deep) {
  std::vector<std::uint8_t> bytes;
  auto add = [&] { bytes.insert(bytes.end(), {0x12, 0, 0, 4, 0}); };
  auto leaf = [&](int i) {
    bytes.insert(bytes.end(), {0x02, 0, 0, 4, 0, 0x7C, static_cast<std::uint8_t>(i % 7), 0, 0, 0});
  };
  for (int i = 0; i + 1 < terms; ++i) {
    add();
    if (!left_deep) leaf(i);
  }
  for (int i = left_deep ? 0 : terms - 1; i < terms; ++i) leaf(i);
  return bytes;
}

void ReadPrintSend(benchmark::State& state, bool left_deep) {
  const int terms = static_cast<int>(state.range(0));
  const std::vector<std::uint8_t> bytes = LongSum(terms, left_deep);
  for (auto _ : state) {
    vantor_fuzz::ByteStream message(bytes);
    Expression* sum = Expression::ReadFromMessage(message);
    std::ostringstream printed;
    Expression::PrintNode(printed, sum);
    vantor_fuzz::ByteStream sent;
    if (sum != nullptr) sum->WriteCompactToMessage(sent);
    benchmark::DoNotOptimize(sent.Bytes().size());
    Expression::Release(sum);
  }
  state.SetComplexityN(terms);
  state.SetItemsProcessed(state.iterations() * terms);
}

void BM_LeftDeepSum(benchmark::State& state) { ReadPrintSend(state, true); }
void BM_RightDeepSum(benchmark::State& state) { ReadPrintSend(state, false); }

BENCHMARK(BM_LeftDeepSum)->RangeMultiplier(10)->Range(100, 100000)->Complexity();
BENCHMARK(BM_RightDeepSum)->RangeMultiplier(10)->Range(100, 100000)->Complexity();

}  // namespace

BENCHMARK_MAIN();
