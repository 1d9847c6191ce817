// Taking and restoring snapshots of 10,000 and 1,000,000 values (one
// participant, 8 bytes a value), beside a plain write and fsync of the same
// bytes, all reported as bytes per second. The file lives in a fresh folder
// under the system's temporary folder.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/posix_file.h"
#include "results/snapshots/snapshot_mgr.h"
#include "tests/results/quiet_participant.h"

namespace {

class ValueTable : public QuietParticipant {
 public:
  explicit ValueTable(std::size_t values)
      : bytes_(values * sizeof(double)), restored_(bytes_.size()) {
    for (std::size_t i = 0; i < values; ++i) {
      const double v = 0.5 * static_cast<double>(i);
      std::memcpy(bytes_.data() + i * sizeof v, &v, sizeof v);
    }
  }
  std::uint32_t Id(std::int32_t) override { return 1; }
  Status SectionData(std::int32_t, const std::uint8_t** data, std::uint32_t* length) override {
    *data = bytes_.data();
    *length = static_cast<std::uint32_t>(bytes_.size());
    return status::kOk;
  }
  Status RestoreSection(std::int32_t, const std::uint8_t* data, std::uint32_t length) override {
    std::memcpy(restored_.data(), data, length < restored_.size() ? length : restored_.size());
    return status::kOk;
  }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint8_t> restored_;
};

std::string BenchFolder() {
  static const std::string folder = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vantor-snapbench-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    return std::string(made != nullptr ? made : ".");
  }();
  return folder;
}

// A fresh store file for the table; every few takes it starts again so the
// file stays small.
void Recreate(SputSnapshotMgr* store, const std::string& name) {
  store->CloseFile();
  std::filesystem::remove(name);
  if (status::IsFailure(store->CreateFile(name.c_str()))) std::abort();
}

void BM_TakeSnapshot(benchmark::State& state) {
  ValueTable table(static_cast<std::size_t>(state.range(0)));
  const std::string name = BenchFolder() + "/take.snp";
  SputSnapshotMgr store;
  store.AddParticipant(&table);
  store.SetAutoCompress(false);
  Recreate(&store, name);
  for (auto _ : state) {
    std::uint32_t id = 0xFFFFFFFFu;
    if (status::IsFailure(store.TakeSnapshot({0.0, 1, 0}, "bench", true, &id, false, nullptr))) {
      state.SkipWithError("take failed");
      break;
    }
    if (store.HeaderCount() >= 8) {
      state.PauseTiming();
      Recreate(&store, name);
      state.ResumeTiming();
    }
  }
  store.CloseFile();
  std::filesystem::remove(name);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * table.Bytes().size()));
}

void BM_RestoreSnapshot(benchmark::State& state) {
  ValueTable table(static_cast<std::size_t>(state.range(0)));
  const std::string name = BenchFolder() + "/restore.snp";
  SputSnapshotMgr store;
  store.AddParticipant(&table);
  Recreate(&store, name);
  std::uint32_t id = 0xFFFFFFFFu;
  if (status::IsFailure(store.TakeSnapshot({0.0, 1, 0}, "bench", true, &id, false, nullptr)))
    std::abort();
  for (auto _ : state) {
    if (status::IsFailure(store.RestoreSnapshot(id, nullptr, 0, false))) {
      state.SkipWithError("restore failed");
      break;
    }
  }
  store.CloseFile();
  std::filesystem::remove(name);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * table.Bytes().size()));
}

// The floor for taking: the same bytes written once and synced.
void BM_PlainWriteAndFsync(benchmark::State& state) {
  ValueTable table(static_cast<std::size_t>(state.range(0)));
  const std::string name = BenchFolder() + "/plain.bin";
  platform::FileOpenMode mode;
  mode.read = mode.write = true;
  int error = 0;
  const int fd = platform::OpenFile(name.c_str(), mode, &error);
  if (fd < 0) std::abort();
  for (auto _ : state) {
    std::size_t done = 0;
    if (!platform::WriteFileAt(fd, table.Bytes().data(), table.Bytes().size(), 0, &done, &error) ||
        !platform::SyncFile(fd, &error)) {
      state.SkipWithError("write failed");
      break;
    }
  }
  platform::CloseFile(fd, &error);
  std::filesystem::remove(name);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * table.Bytes().size()));
}

BENCHMARK(BM_TakeSnapshot)->Arg(10000)->Arg(1000000)->UseRealTime();
BENCHMARK(BM_RestoreSnapshot)->Arg(10000)->Arg(1000000)->UseRealTime();
BENCHMARK(BM_PlainWriteAndFsync)->Arg(10000)->Arg(1000000)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(BenchFolder(), ignored);
  return 0;
}
