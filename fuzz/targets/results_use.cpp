// Snapshot use's readers of outside bytes: the first byte picks one (mod 2).
// 0: the bytes are another snapshot file, which the use requests list,
// choose, compare, send from, keep in and delete from. 1: a use request as
// it comes off the wire (its number, then its body) against the run's own
// file and another file the manager wrote. A file named by a request may
// lose only what the request deletes: a file that does not read is never
// removed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/received_request.h"
#include "fuzz/results_problem.h"

namespace {

namespace fs = std::filesystem;

void WriteFile(const char* name, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Another run's file of the same three variables, made once.
const std::vector<std::uint8_t>& OtherFile() {
  static const std::vector<std::uint8_t> bytes = [] {
    {
      vantor_fuzz::ResultsProblem problem;
      SimResultsMgr maker(&problem);
      RunPosition at;
      maker.OpenSnapshotFile(3, vantor_fuzz::ResultsProblem::Values(4, 5, 6), &at, false, false);
      for (int k = 1; k <= 2; ++k) {
        maker.AfterRunStep(k, 1, 1, RunResultsSeam::kStepEvent, k, 1e-9, false);
        std::uint32_t id = 0;
        maker.TakeNamedSnapshot(k == 1 ? "first" : "second", &id, true, false);
      }
      maker.Store().Clear(true);
    }
    std::ifstream in("snapshot.snp", std::ios::binary);
    std::vector<std::uint8_t> read((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    fs::remove("snapshot.snp");
    return read;
  }();
  return bytes;
}

void Handle(SimResultsMgr& manager, const std::vector<std::uint8_t>& body) {
  auto request = vantor_fuzz::ReceivedRequest(SimResultsMgr::kService, body.data(), body.size());
  if (request == nullptr) return;
  DseMessage* reply = nullptr;
  DseTemplate* kept = nullptr;
  manager.HandleRequest(SimResultsMgr::kService, request.get(), &reply, &kept);
  delete reply;
  delete kept;
}

// The use sequence over "other.snp", whatever its bytes.
void UseOther(SimResultsMgr& manager) {
  const auto strings = [](std::initializer_list<const char*> texts) {
    vantor_fuzz::ByteStream out;
    for (const char* text : texts) out.PutString(text);
    return out.Bytes();
  };
  const auto with = [](std::uint16_t number, const vantor_fuzz::Bytes& rest) {
    vantor_fuzz::Bytes body{static_cast<std::uint8_t>(number & 0xFF),
                            static_cast<std::uint8_t>(number >> 8)};
    body.insert(body.end(), rest.begin(), rest.end());
    return body;
  };
  Handle(manager, with(138, strings({"other.snp"})));
  Handle(manager, with(30, strings({"x", "other.snp"})));
  const SputSSBlockHeader* first = manager.UseMgr().Store().FirstHeader();
  const std::uint32_t id = first != nullptr ? first->Id() : 1;
  for (std::uint16_t number : {20, 146}) {
    vantor_fuzz::ByteStream body;
    body.PutUInt32(id);
    body.PutUInt16(0xFF);
    for (const char* text : {"", "~", ""}) body.PutString(text);
    Handle(manager, with(number, body.Bytes()));
  }
  manager.HandleCommand(SimResultsMgr::kService, 21, 0, nullptr, 0, nullptr, 0, nullptr);
  manager.HandleCommand(SimResultsMgr::kService, 23, 0, nullptr, 0, nullptr, 0, nullptr);
  vantor_fuzz::ByteStream send;
  send.PutString("x");
  send.PutString("other.snp");
  send.PutUInt16(static_cast<std::uint16_t>(id));
  Handle(manager, with(110, send.Bytes()));
  const std::int32_t integers[] = {static_cast<std::int32_t>(id)};
  const char* keep[] = {"other.snp", "kept"};
  manager.HandleCommand(SimResultsMgr::kService, 109, 2, keep, 1, integers, 0, nullptr);
  manager.HandleCommand(SimResultsMgr::kService, 107, 1, keep, 1, integers, 0, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool quiet = [] {
    vantor_fuzz::InstallQuietCollector();
    return true;
  }();
  (void)quiet;
  if (size == 0) return 0;
  static const fs::path folder = fs::path(vantor_fuzz::ScratchFolder()) / "results_use";
  std::error_code ignored;
  fs::create_directories(folder, ignored);
  const fs::path before = fs::current_path();
  if (::chdir(folder.c_str()) != 0) return 0;
  struct Back {
    const fs::path& to;
    ~Back() {
      if (::chdir(to.c_str()) != 0) std::abort();
    }
  } back{before};
  for (const auto& entry : fs::directory_iterator(".", ignored)) fs::remove_all(entry.path(), ignored);
  const std::vector<std::uint8_t>& other = OtherFile();

  vantor_fuzz::ResultsProblem problem;
  SimResultsMgr manager(&problem);
  RunPosition at;
  manager.OpenSnapshotFile(3, vantor_fuzz::ResultsProblem::Values(1, 2, 3), &at, false, false);
  if (data[0] % 2 == 0) {
    WriteFile("other.snp", data + 1, size - 1);
    // Only a file that reads may go, and only once its snapshots went.
    SputSnapshotMgr probe;
    const bool readable = status::IsSuccess(probe.OpenFile("other.snp", nullptr, false));
    probe.CloseFile();
    if (!readable && !fs::exists("other.snp")) return 0;  // held no snapshot at all
    UseOther(manager);
    if (!readable && !fs::exists("other.snp")) {
      std::fprintf(stderr, "results_use: an unreadable file was deleted\n");
      std::abort();
    }
    return 0;
  }
  WriteFile("other.snp", other.data(), other.size());
  Handle(manager, std::vector<std::uint8_t>(data + 1, data + size));
  manager.HandleCommand(SimResultsMgr::kService, 21, 0, nullptr, 0, nullptr, 0, nullptr);
  manager.HandleCommand(SimResultsMgr::kService, 23, 0, nullptr, 0, nullptr, 0, nullptr);
  return 0;
}
