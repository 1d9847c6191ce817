// Lookup in a directory tree the size of a large flowsheet: 100 units of 10
// blocks of 100 variables (101,100 nodes), by name path and by id path.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/directory/directory_node.h"
#include "foundation/directory/id_path.h"

namespace {

constexpr int kUnits = 100;
constexpr int kBlocks = 10;
constexpr int kVariables = 100;

class Flowsheet {
 public:
  Flowsheet() : root_(nullptr, "") {
    for (int unit = 0; unit < kUnits; ++unit) {
      auto* u = Add(&root_, unit, "Unit" + std::to_string(unit));
      for (int block = 0; block < kBlocks; ++block) {
        auto* b = Add(u, block, ".Block" + std::to_string(block));
        for (int variable = 0; variable < kVariables; ++variable)
          Add(b, variable, ".x" + std::to_string(variable));
      }
    }
  }
  ~Flowsheet() { root_.DeleteChildren(); }
  BvuDirectoryProper* root() { return &root_; }

 private:
  static BvuDirectoryProper* Add(BvuDirectoryNode* parent, int index, const std::string& name) {
    auto* node = new BvuDirectoryProper(parent, name.c_str());
    parent->InsertChildAt(index, node);
    return node;
  }
  BvuDirectoryProper root_;
};

Flowsheet& Sheet() {
  static Flowsheet sheet;
  return sheet;
}

// Spread over the tree so that no lookup is always the first child.
struct Target {
  std::string path;
  std::uint32_t ids[5];
};

std::vector<Target> Targets() {
  std::vector<Target> targets;
  for (int n = 0; n < 64; ++n) {
    const int unit = (n * 37) % kUnits;
    const int block = (n * 7) % kBlocks;
    const int variable = (n * 53) % kVariables;
    targets.push_back(
        {"Unit" + std::to_string(unit) + ".Block" + std::to_string(block) + ".x" +
             std::to_string(variable),
         {kIdPathRoot, static_cast<std::uint32_t>(unit), static_cast<std::uint32_t>(block),
          static_cast<std::uint32_t>(variable), kIdPathEnd}});
  }
  return targets;
}

void LookupByName(benchmark::State& state) {
  BvuDirectoryProper* root = Sheet().root();
  const auto targets = Targets();
  std::size_t at = 0;
  for (auto _ : state) {
    BvuDirectoryNode* found =
        root->FindFirstMatch(targets[at++ % targets.size()].path.c_str(), nullptr);
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(LookupByName);

void LookupByIndex(benchmark::State& state) {
  BvuDirectoryProper* root = Sheet().root();
  const auto targets = Targets();
  std::size_t at = 0;
  for (auto _ : state) {
    BvuDirectoryNode* found = nullptr;
    root->ResolveIdPath(targets[at++ % targets.size()].ids, &found);
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(LookupByIndex);

void FullPathText(benchmark::State& state) {
  BvuDirectoryNode* leaf = Sheet().root()->ChildAt(57)->ChildAt(3)->ChildAt(42);
  for (auto _ : state) benchmark::DoNotOptimize(leaf->GetNameText());
}
BENCHMARK(FullPathText);

}  // namespace

BENCHMARK_MAIN();
