// A snapshot file as the store finds it on disk, opened with two
// participants inside this process's scratch folder. Whatever the bytes:
// nothing crashes; a file that fails to open is left byte for byte; a file
// that opens lists, restores and takes a snapshot, and on reopening lists
// everything it listed before plus the new one, which restores to what was
// taken. A broken promise aborts, which libFuzzer reports.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/snapshot_participant.h"
#include "results/snapshots/snapshot_mgr.h"

namespace {

using vantor_fuzz::Bytes;
using vantor_fuzz::SnapshotParticipant;

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "snapshot_file: %s\n", what);
  std::abort();
}

Bytes ReadAll(const char* name) {
  std::ifstream in(name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

platform::LocalDateTime FixedClock() { return {2026, 12, 7, 13, 45, 30}; }
Status DropNotice(std::uint32_t, std::uint32_t, const char*) { return status::kOk; }

Bytes Section(int who, std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(who * 7 + i);
  return bytes;
}

bool Mapped(const SputSnapshotMgr& store, const SputSnapBase* participant) {
  const auto& mapped = store.ParticipantArray();
  return std::find(mapped.begin(), mapped.end(), participant) != mapped.end();
}

void Check(const Bytes& bytes) {
  {
    std::ofstream out("input.snp", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  SnapshotParticipant a(1), b(2);
  SputSnapshotMgr::Participants list{&a, &b};
  std::set<std::uint32_t> before;
  {
    SputSnapshotMgr store;
    const Status opened = store.OpenFile("input.snp", &list, true);
    if (opened == snapshot::kNoUsableSnapshot) return;
    if (status::IsFailure(opened)) {
      Require(ReadAll("input.snp") == bytes, "a file that failed to open was changed");
      return;
    }
    vantor_fuzz::ByteStream listing;
    store.ListSnapshots(&listing);
    for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
         h = SputSnapshotMgr::NextHeader(h)) {
      Require(h->Id() <= snapshot::kLargestId, "an id the listing cannot carry was listed");
      before.insert(h->Id());
      store.RestoreSnapshot(h->Id(), nullptr, 0, false);
    }
    a.section = Section(1, 33);
    b.section = Section(2, 2);
    std::uint32_t id = snapshot::kNewId;
    const Status taken = store.TakeSnapshot({}, "new", true, &id, false, nullptr);
    if (store.ParticipantArray().empty()) {  // a file of no participants
      Require(taken == snapshot::kUnknownId, "a file of no participants took a snapshot");
      return;
    }
    if (taken == snapshot::kIdOutOfRange) {  // every id the listing carries is spent
      Require(store.HighestId() >= snapshot::kLargestId, "a new id was refused too early");
      return;
    }
    Require(taken == status::kOk, "a file that opened took no snapshot");
    before.insert(id);
    store.Clear(true);
  }
  SputSnapshotMgr store;
  Require(store.OpenFile("input.snp", &list, true) == status::kOk, "the file did not reopen");
  std::set<std::uint32_t> after;
  for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
       h = SputSnapshotMgr::NextHeader(h)) {
    after.insert(h->Id());
  }
  Require(std::includes(after.begin(), after.end(), before.begin(), before.end()),
          "a snapshot listed before was lost");
  std::uint32_t id = 0;
  Require(store.FindSnapshotByName("new", &id) == status::kOk, "the new snapshot was not found");
  a.restored.clear();
  b.restored.clear();
  Require(store.RestoreSnapshot(id, nullptr, 0, false) == status::kOk,
          "the new snapshot did not restore");
  Require(!Mapped(store, &a) || a.restored == Section(1, 33),
          "the first section came back changed");
  Require(!Mapped(store, &b) || b.restored == Section(2, 2),
          "the second section came back changed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace fs = std::filesystem;
  static const fs::path folder = fs::path(vantor_fuzz::ScratchFolder()) / "snapshots";
  static const bool quiet = [] {
    snapshot::SetSnapshotClock(&FixedClock);
    SputSnapshotMgr::SetEventPoster(&DropNotice);
    vantor_fuzz::InstallQuietCollector();
    return true;
  }();
  (void)quiet;
  const fs::path before = fs::current_path();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::create_directories(folder, ignored);
  if (::chdir(folder.c_str()) != 0) return 0;
  Check(vantor_fuzz::BytesOf(data, size));
  fs::current_path(before, ignored);
  return 0;
}
