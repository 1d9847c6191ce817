// Taking and restoring a snapshot of 100,000 variables through the results
// manager (value records, pool and use-data mapping included), beside the
// snapshot store alone writing and reading the same bytes from a plain
// participant. Reported as bytes of the value section per second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/values/typed_value.h"
#include "framework/messaging/message.h"
#include "results/manager/results_mgr.h"
#include "results/snapshots/snapshot_text.h"
#include "tests/results/quiet_participant.h"
#include "tests/results/quiet_problem_side.h"

namespace {

constexpr std::int64_t kVariables = 100000;

class WideProblem : public QuietProblemSide {
 public:
  explicit WideProblem(std::int64_t count) : tree_(new BvuDirectoryProper(nullptr, "")) {
    auto* plant = new BvuDirectoryProper(tree_, "Plant");
    tree_->InsertChildAt(0, plant);
    for (std::int32_t i = 0; i < count; ++i) {
      const std::string name = ".x" + std::to_string(i);
      auto* node = new SimUseData(plant, name.c_str());
      node->variable_index = static_cast<std::uint32_t>(i);
      plant->InsertChildAt(i, node);
    }
  }
  ~WideProblem() override {
    BvuDirectoryProper::DeleteBelow(tree_);
    delete tree_;
  }
  double CurrentTime() override { return 0; }
  std::int32_t RunMode() override { return 4; }
  void ResetRunHooks() override {}
  void SetValuesChanged() override {}
  Status RequestSnapshot(const char*, bool) override { return 0; }
  void PostEvent(std::uint32_t, const char*) override {}
  void Send(DseMessage* message) override { delete message; }
  BvuDirectoryProper* VariableTree() override { return tree_; }
  Status StoreRestoredValues(const SUPackedValueTable&) override { return 0; }
  bool WantsSnapshotText() override { return false; }

 private:
  BvuDirectoryProper* tree_;
};

std::unique_ptr<SUPackedValueTable> Values(std::int64_t count) {
  auto table = std::make_unique<SUPackedValueTable>();
  table->Resize(static_cast<std::int32_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    SUValue v;
    v.SetType(SUValue::kReal);
    v.SetReal(0.5 * i);
    table->Record(i).FromValue(v, table->Pool());
  }
  return table;
}

// A scratch folder, entered for the benchmark and left after it.
class Folder {
 public:
  Folder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vantor-resultsbench-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) std::abort();
    path_ = made;
    before_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~Folder() {
    std::filesystem::current_path(before_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::filesystem::path path_;
  std::filesystem::path before_;
};

class Bytes : public QuietParticipant {
 public:
  explicit Bytes(std::size_t size) : bytes_(size, 0x5A), restored_(size) {}
  std::uint32_t Id(std::int32_t) override { return 1; }
  Status SectionData(std::int32_t, const std::uint8_t** data, std::uint32_t* length) override {
    *data = bytes_.data();
    *length = static_cast<std::uint32_t>(bytes_.size());
    return status::kOk;
  }
  Status RestoreSection(std::int32_t, const std::uint8_t* data, std::uint32_t length) override {
    std::memcpy(restored_.data(), data, std::min<std::size_t>(length, restored_.size()));
    return status::kOk;
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint8_t> restored_;
};

void BM_ManagerTakeSnapshot(benchmark::State& state) {
  Folder folder;
  WideProblem problem(kVariables);
  SimResultsMgr manager(&problem);
  manager.Store().SetAutoCompress(false);
  RunPosition at;
  if (status::IsFailure(
          manager.OpenSnapshotFile(kVariables, Values(kVariables), &at, false, false)))
    std::abort();
  for (auto _ : state) {
    std::uint32_t id = 0;
    if (status::IsFailure(manager.TakeNamedSnapshot("bench", &id, false, false))) {
      state.SkipWithError("take failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * kVariables * 24);
}

void BM_ManagerRestoreSnapshot(benchmark::State& state) {
  Folder folder;
  WideProblem problem(kVariables);
  SimResultsMgr manager(&problem);
  RunPosition at;
  if (status::IsFailure(
          manager.OpenSnapshotFile(kVariables, Values(kVariables), &at, false, false)))
    std::abort();
  std::uint32_t id = 0;
  if (status::IsFailure(manager.TakeNamedSnapshot("bench", &id, true, false))) std::abort();
  for (auto _ : state) {
    RunPosition restored;
    if (status::IsFailure(manager.Store().RestoreSnapshot(id, &restored, 0, false)) ||
        status::IsFailure(manager.RestoreSnapshotValues(restored, &at))) {
      state.SkipWithError("restore failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * kVariables * 24);
}

void BM_StoreTakeSameBytes(benchmark::State& state) {
  Folder folder;
  Bytes bytes(kVariables * 24);
  SputSnapshotMgr store;
  store.AddParticipant(&bytes);
  store.SetAutoCompress(false);
  if (status::IsFailure(store.CreateFile("snapshot.snp"))) std::abort();
  for (auto _ : state) {
    std::uint32_t id = 0xFFFFFFFFu;
    if (status::IsFailure(store.TakeSnapshot({0.0, 1, 0}, "bench", false, &id, false, nullptr))) {
      state.SkipWithError("take failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * kVariables * 24);
}

void BM_StoreRestoreSameBytes(benchmark::State& state) {
  Folder folder;
  Bytes bytes(kVariables * 24);
  SputSnapshotMgr store;
  store.AddParticipant(&bytes);
  if (status::IsFailure(store.CreateFile("snapshot.snp"))) std::abort();
  std::uint32_t id = 0xFFFFFFFFu;
  if (status::IsFailure(store.TakeSnapshot({0.0, 1, 0}, "bench", true, &id, false, nullptr)))
    std::abort();
  for (auto _ : state) {
    if (status::IsFailure(store.RestoreSnapshot(id, nullptr, 0, false))) {
      state.SkipWithError("restore failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * kVariables * 24);
}

BENCHMARK(BM_ManagerTakeSnapshot)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreTakeSameBytes)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManagerRestoreSnapshot)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreRestoreSameBytes)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
