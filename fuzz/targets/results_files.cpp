// The results manager's readers of outside bytes that end in files: the
// first byte picks one. Even: a snapshot file in the run folder that the
// manager opens at run start (its structure record read as a use-data
// tree, its sections mapped, re-mapped and restored), then takes a snapshot
// and moves the file aside as for an edited problem. Odd: an import message
// of snapshots, written to a file when it reads whole. The first byte picks
// by its remainder of 3: 0 the snapshot file, 1 the import, 2 a value-dump
// exclusions file, whose names are then left out of a dump.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/results_problem.h"
#include "results/plot/value_dump.h"
#include "results/snapshots/snap_import.h"

namespace {

namespace fs = std::filesystem;

Status DropNotice(std::uint32_t, std::uint32_t, const char*) { return status::kOk; }

void ManagerOpens(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream out("snapshot.snp", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  vantor_fuzz::ResultsProblem problem;
  SimResultsMgr manager(&problem);
  RunPosition at;
  manager.OpenSnapshotFile(3, vantor_fuzz::ResultsProblem::Values(1, 2, 3), &at, true, true);
  std::uint32_t id = 0;
  manager.TakeNamedSnapshot("after", &id, true, false);
  manager.ProblemEdited();
}

void Imports(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream stream(vantor_fuzz::Bytes(data, data + size));
  Status read = 0;
  SputSnapImport import(stream, &read);
  const Status made = import.CreateFile("imported.snp");
  if (status::IsFailure(read) && fs::exists("imported.snp")) {
    std::fprintf(stderr, "results_files: a partly read import wrote a file\n");
    std::abort();
  }
  (void)made;
}

void Exclusions(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream out("skip.txt", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  std::ifstream in("skip.txt", std::ios::binary);
  std::vector<std::string> excluded = ValueDumpFile::ReadExclusions(in);
  for (const std::string& part : excluded) {
    if (part.empty() || part.find('\n') != std::string::npos || part.back() == '\r') {
      std::fprintf(stderr, "results_files: an exclusion kept a line end or was empty\n");
      std::abort();
    }
  }
  ValueDumpFile dump(nullptr, "qc.txt", excluded);
  for (const std::string& part : excluded) dump.AddName(0, -1, "A." + part);
  if (dump.NameCount() != 0) {
    std::fprintf(stderr, "results_files: an excluded name was kept\n");
    std::abort();
  }
  dump.WriteLine("exclusions read");
  dump.WriteValues("SS-Value", 0.0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  vantor_fuzz::InstallQuietCollector();
  SputSnapshotMgr::SetEventPoster(&DropNotice);
  static const fs::path folder = fs::path(vantor_fuzz::ScratchFolder()) / "results";
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::create_directories(folder, ignored);
  const fs::path before = fs::current_path();
  if (::chdir(folder.c_str()) != 0) return 0;
  switch (data[0] % 3) {
    case 0:
      ManagerOpens(data + 1, size - 1);
      break;
    case 1:
      Imports(data + 1, size - 1);
      break;
    default:
      Exclusions(data + 1, size - 1);
  }
  fs::current_path(before, ignored);
  return 0;
}
