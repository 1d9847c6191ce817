#include "framework/libraries/library_loader.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cfenv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "framework/libraries/library_api.h"
#include "framework/libraries/library_exports.h"
#include "framework/libraries/proxy_options_handler.h"
#include "framework/libraries/qln_dynamic_library.h"
#include "framework/runtime/cqln_exception.h"
#include "tests/support/death.h"
#include "tests/support/fault_tests.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/stdout_capture.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

using IdFunction = std::int32_t (*)();

// The test libraries' folder, the protocol library's log, and a loader left as found.
class LoaderTest : public ::testing::Test {
 protected:
  static std::string Libs(const std::string& sub = "") {
    return sub.empty() ? std::string(VANTOR_TEST_LIBS) : std::string(VANTOR_TEST_LIBS) + "/" + sub;
  }

  void SetUp() override {
    for (const char* name :
         {"PROTO_BV", "PROTO_INIT", "PROTO_FINI", "PROTO_FORCE", "QLNSERVERDIR"}) {
      unsetenv(name);
    }
    log_ = dir_ / "proto.log";
    setenv("PROTO_LOG", log_.c_str(), 1);
    XosDynamicLibrary::RemoveSearchPath(nullptr);
    ASSERT_EQ(XosDynamicLibrary::FirstLoaded(), nullptr)
        << "a library left loaded by an earlier test";
  }

  void TearDown() override {
    EXPECT_EQ(XosDynamicLibrary::FirstLoaded(), nullptr) << "the test left a library loaded";
    XosDynamicLibrary::RemoveSearchPath(nullptr);
    ResetLibraryExports();
    unsetenv("PROTO_LOG");
  }

  // The lines the protocol library wrote, emptied for the next look.
  std::vector<std::string> TakeLog() {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    in.close();
    std::remove(log_.c_str());
    return lines;
  }

  static bool Has(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines) {
      if (l == line) return true;
    }
    return false;
  }

  // A function of a loaded library, called through its address.
  template <typename F>
  static F Function(XosDynamicLibrary* library, const char* name) {
    return reinterpret_cast<F>(library->LookUpSymbol(name, nullptr));
  }

  TempDir dir_;
  std::string log_;
};

// The id of the twin library the name loads (-1 when none), released again.
std::int32_t TwinId(const std::string& name) {
  XosDynamicLibrary* twin = XosDynamicLibrary::Load(name.c_str(), nullptr);
  if (twin == nullptr) return -1;
  auto id = reinterpret_cast<IdFunction>(twin->LookUpSymbol("TwinId", nullptr));
  const std::int32_t result = id != nullptr ? id() : -2;
  twin->Release();
  return result;
}

TEST(LibraryNameTest, NamesAreKeptWithADllEnding) {
  const std::pair<const char*, const char*> names[] = {
      {"lib1", "lib1.dll"},   {"lib1.so", "lib1.dll"},  {"tools/prop.SHR", "tools/prop.dll"},
      {"run.exe", "run.dll"}, {"Lib1.DLL", "Lib1.DLL"}, {"", ""}};
  for (const auto& [name, kept] : names) EXPECT_EQ(XosDynamicLibrary::NormalizeName(name), kept);
  for (const char* path : {"C:\\procs\\user.dll", "/opt/procs/user.dll", "user.dll"}) {
    EXPECT_EQ(XosDynamicLibrary::NamePart(path), "user.dll");
  }
}

TEST_F(LoaderTest, EveryFormOfANameLoadsTheSameLibraryOnce) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* first =
      XosDynamicLibrary::Load("PROTO", nullptr);  // a file named in other case
  ASSERT_NE(first, nullptr) << XosDynamicLibrary::LastErrorText();
  for (const char* name : {"proto.so", "proto", "Proto.DLL"})
    EXPECT_EQ(XosDynamicLibrary::Load(name, nullptr), first);
  EXPECT_EQ(first->ReferenceCount(), 4);
  EXPECT_EQ(first->ModulePath(), fs::canonical(Libs("proto.so")).string());
  for (int i = 0; i < 3; ++i) first->Release();
  EXPECT_EQ(XosDynamicLibrary::FirstLoaded(), first);
  first->Release();
  const auto log = TakeLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "DLLInitialize"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "DLLFinalize"), 1);
}

TEST_F(LoaderTest, AddedFoldersLastFirstThenProgramServerAndCurrentFolder) {
  // Nothing added: the program's own folder holds this one.
  EXPECT_EQ(TwinId("beside_program"), 3);
  ScopedCurrentFolder in_b(Libs("b"));
  EXPECT_EQ(TwinId("twin"), 2);
  setenv("QLNSERVERDIR", Libs("a").c_str(), 1);
  EXPECT_EQ(TwinId("twin"), 1);
  XosDynamicLibrary::AddSearchPath(Libs("a").c_str());
  XosDynamicLibrary::AddSearchPath(Libs("b").c_str());
  EXPECT_EQ(TwinId("twin"), 2);
  // Adding a known folder again moves it to the end, so it comes first.
  XosDynamicLibrary::AddSearchPath(Libs("a").c_str());
  EXPECT_EQ(XosDynamicLibrary::SearchPaths(), (std::vector<std::string>{Libs("b"), Libs("a")}));
  EXPECT_EQ(TwinId("twin"), 1);
  // A name with a folder loads that file only, in either form of folder.
  XosDynamicLibrary::AddSearchPath(Libs("b").c_str());
  EXPECT_EQ(TwinId(Libs("a") + "/twin"), 1);
  EXPECT_EQ(TwinId(Libs("a") + "\\twin.DLL"), 1);
  EXPECT_EQ(TwinId(Libs("provider") + "/twin"), -1);
  EXPECT_EQ(XosDynamicLibrary::LastError(), 0xA0000034u);
  // Missing and broken libraries say why.
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  EXPECT_EQ(TwinId("no_such_library"), -1);
  EXPECT_EQ(XosDynamicLibrary::LastError(), 0xA0000034u);
  EXPECT_EQ(TwinId("broken"), -1);
  EXPECT_EQ(XosDynamicLibrary::LastError(), 0xA000FFFFu);
  EXPECT_NE(XosDynamicLibrary::LastErrorText().find("vantor_symbol_nobody_defines"),
            std::string::npos);
}

TEST_F(LoaderTest, InitialiseAnswersSetTheLibrarysState) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  QLNInitializationBlock block{2, 0, nullptr, 0};
  // Accepting, declining (no failure) and no block to hand to "BVInitialize".
  using Case = std::tuple<const char*, const QLNInitializationBlock*, int>;
  for (const auto& [answer, given, state] :
       {Case{"1", &block, 1}, Case{"0", &block, -1}, Case{"1", nullptr, 0}}) {
    setenv("PROTO_BV", answer, 1);
    XosDynamicLibrary* library = XosDynamicLibrary::Load("proto", given);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(library->InitializationState(), state);
    library->Release();
    // The whole protocol, in its order.
    std::vector<std::string> protocol = {"AddDLLSearchPath " + Libs(), "DLLInitialize",
                                         "DLLFinalize", "RemoveDLLSearchPath (null)"};
    if (given != nullptr) protocol.insert(protocol.begin() + 1, "BVInitialize 2");
    EXPECT_EQ(TakeLog(), protocol) << answer;
  }
  setenv("PROTO_INIT", "-5", 1);
  EXPECT_EQ(XosDynamicLibrary::Load("proto", nullptr), nullptr);
  EXPECT_EQ(XosDynamicLibrary::LastError(), static_cast<std::uint32_t>(-5));
  EXPECT_FALSE(
      Has(TakeLog(), "DLLFinalize"));  // a library that failed to start is not asked to finish
  // A finalise answering 1 keeps the library loaded; asked for again, it
  // is the same library, not started a second time.
  setenv("PROTO_INIT", "0", 1);
  setenv("PROTO_FINI", "1", 1);
  XosDynamicLibrary* library = XosDynamicLibrary::Load("proto", nullptr);
  library->Release();
  EXPECT_EQ(XosDynamicLibrary::FirstLoaded(), library);
  EXPECT_TRUE(library->HasModule());
  EXPECT_EQ(library->ReferenceCount(), 0);
  EXPECT_TRUE(Has(TakeLog(), "DLLFinalize"));
  setenv("PROTO_FINI", "0", 1);
  EXPECT_EQ(XosDynamicLibrary::Load("proto", nullptr), library);
  EXPECT_FALSE(Has(TakeLog(), "DLLInitialize"));
  library->Release();
}

TEST_F(LoaderTest, SearchFoldersReachLoadedLibrariesButNotTheirDependencies) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* library = XosDynamicLibrary::Load("proto", nullptr);
  XosDynamicLibrary* plain = XosDynamicLibrary::Load("plain", nullptr);
  ASSERT_NE(plain, nullptr) << XosDynamicLibrary::LastErrorText();
  EXPECT_TRUE(library->TookSearchPaths());
  EXPECT_FALSE(plain->TookSearchPaths());  // its dependency's entry point is not its own
  EXPECT_TRUE(Has(TakeLog(), "AddDLLSearchPath " + Libs()));
  XosDynamicLibrary::AddSearchPath("/opt/two");
  XosDynamicLibrary::RemoveSearchPath(Libs().c_str());
  EXPECT_EQ(XosDynamicLibrary::SearchPaths(), std::vector<std::string>{"/opt/two"});
  auto log = TakeLog();
  EXPECT_TRUE(Has(log, "AddDLLSearchPath /opt/two"));
  EXPECT_TRUE(Has(log, "RemoveDLLSearchPath " + Libs()));
  EXPECT_EQ(Function<IdFunction>(plain, "PlainProviderCalls")(), 0);
  plain->Release();
  library->Release();
  EXPECT_TRUE(Has(TakeLog(), "RemoveDLLSearchPath (null)"));
}

TEST_F(LoaderTest, FortranAndUpperCaseSymbolsAreFoundAndFunctionsOutliveTheirLibrary) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* library = XosDynamicLibrary::Load("fortran_style", nullptr);
  ASSERT_NE(library, nullptr);
  for (const char* name : {"TimesInitialized", "Compute", "UpperOnly"}) {
    ASSERT_NE(Function<IdFunction>(library, name), nullptr) << name;
  }
  EXPECT_EQ(Function<IdFunction>(library, "TimesInitialized")(),
            1);  // its "dllinitialize_" ran at load
  const std::int32_t x = 21;
  EXPECT_EQ(Function<std::int32_t (*)(const std::int32_t*)>(library, "Compute")(&x), 42);
  EXPECT_EQ(Function<IdFunction>(library, "UpperOnly")(), 11);
  EXPECT_EQ(library->LookUpSymbol("Nothing", nullptr), nullptr);
  EXPECT_EQ(XosDynamicLibrary::LastError(), 0xA0000033u);

  XosDynamicFunction* compute = FindFunctionInDLL("Compute", library, nullptr);
  ASSERT_NE(compute, nullptr);
  delete library;  // gone without the protocol (the process ends)
  EXPECT_EQ(compute->Library(), nullptr);
  EXPECT_EQ(GetFunctionAddress(compute), nullptr);
  EXPECT_EQ(GetQLNFunctionAddress(compute), reinterpret_cast<void*>(&QLNDUMMY));
  ReleaseFunction(compute);
}

TEST_F(LoaderTest, ForcedUnloadIsUndoneOnFirstUse) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* library = XosDynamicLibrary::Load("proto", nullptr);
  XosDynamicFunction* answer = nullptr;
  ASSERT_EQ(library->FindFunction("ProtoAnswer", &answer, nullptr), 0u);
  library->Release();  // the function holds it now
  TakeLog();
  const char* names[] = {"Proto.dll"};
  EXPECT_EQ(ForceUnload(names, 1), 1);
  EXPECT_EQ(library->State(), XosDynamicLibrary::kUnloaded);
  EXPECT_FALSE(library->HasModule());
  EXPECT_EQ(answer->Entry(), nullptr);
  auto log = TakeLog();
  EXPECT_TRUE(Has(log, "ForceUnload 1"));
  EXPECT_TRUE(Has(log, "DLLFinalize"));
  // A direct lookup does not bring it back; the function's next use does.
  EXPECT_EQ(library->LookUpSymbol("ProtoAnswer", nullptr), nullptr);
  auto entry = reinterpret_cast<IdFunction>(GetFunctionAddress(answer));
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry(), 7);
  EXPECT_EQ(library->State(), XosDynamicLibrary::kLoaded);
  EXPECT_TRUE(Has(TakeLog(), "DLLInitialize"));
  ReleaseFunction(answer);
}

TEST_F(LoaderTest, ForcedUnloadSparesLibrariesThatRefuse) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* library = XosDynamicLibrary::Load("proto", nullptr);
  XosDynamicLibrary* other = XosDynamicLibrary::Load("fortran_style", nullptr);
  const char* names[] = {"proto"};
  // Its finalise asks to stay.
  setenv("PROTO_FINI", "1", 1);
  EXPECT_EQ(ForceUnload(names, 1), 0);
  EXPECT_EQ(library->State(), XosDynamicLibrary::kLoaded);
  setenv("PROTO_FINI", "0", 1);
  // Its unload is not allowed; what its own "ForceUnload" answers still counts.
  setenv("PROTO_FORCE", "3", 1);
  DisallowForcibleDLLUnloads(library);
  const char* both[] = {"fortran_style", "proto"};
  EXPECT_EQ(ForceUnload(both, 2), 3 + 1);
  EXPECT_EQ(library->State(), XosDynamicLibrary::kLoaded);
  EXPECT_EQ(other->State(), XosDynamicLibrary::kUnloaded);
  other->Release();
  library->Release();
}

TEST_F(LoaderTest, UnresolvableProcedureFallsBackToThePlaceholder) {
  const fs::path copy = fs::path(dir_.path()) / "proto.so";
  fs::copy_file(Libs("proto.so"), copy);
  const std::string name = (dir_.path() / "proto").string();
  XosDynamicLibrary* library = LoadQLNUserDLL(name.c_str(), nullptr);
  ASSERT_NE(library, nullptr);
  XosDynamicFunction* procedure = FindQLNFunctionInDLL("ProtoAnswer", library);
  ASSERT_NE(procedure, nullptr);
  UnloadDynamicLibrary(library);
  const char* names[] = {"proto"};
  ForceUnload(names, 1);
  fs::remove(copy);  // the reload on first use fails
  EXPECT_EQ(GetFunctionAddress(procedure), nullptr);
  using Procedure = std::int32_t* (*)(void*, void*, void*, void*, void*, void*, std::int32_t*);
  auto placeholder = reinterpret_cast<Procedure>(GetQLNFunctionAddress(procedure));
  EXPECT_EQ(reinterpret_cast<void*>(placeholder), reinterpret_cast<void*>(&QLNDUMMY));
  std::int32_t result = 0;
  EXPECT_EQ(placeholder(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &result), &result);
  EXPECT_EQ(result, 4);
  EXPECT_EQ(GetQLN13FunctionAddress(procedure), reinterpret_cast<void*>(&QLN13DUMMY));
  EXPECT_EQ(GetQLNFunctionAddress(nullptr), reinterpret_cast<void*>(&QLNDUMMY));
  ReleaseFunction(procedure);
}

TEST_F(LoaderTest, FloatingPointSettingsSurviveALoad) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  ASSERT_EQ(std::fegetround(), FE_TONEAREST);
  XosDynamicLibrary* library = XosDynamicLibrary::Load("fp_changer", nullptr);
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(std::fegetround(), FE_TONEAREST);
  const char* names[] = {"fp_changer"};
  ASSERT_EQ(ForceUnload(names, 1), 1);
  EXPECT_EQ(library->LoadModule(), 80u);  // the load changed them; they were put back
  EXPECT_EQ(std::fegetround(), FE_TONEAREST);
  library->Release();
}

TEST_F(LoaderTest, UserLibrariesGetTheUtilitiesHandedOver) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  QLNInitializationBlock block{1, 77, nullptr, 0};
  XosDynamicLibrary* own = QLNDynamicLibrary::Load("user_utilities", &block);
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->InitializationState(), 1);
  EXPECT_EQ(Function<std::uintptr_t (*)()>(own, "UserGivenWord")(), 77u);
  own->Release();
  // Without an entry point of its own the support library does it, if found.
  auto state_of_plain = [](const QLNInitializationBlock* given) {
    XosDynamicLibrary* helped = QLNDynamicLibrary::Load("user_plain", given);
    const std::int32_t state = helped->InitializationState();
    EXPECT_EQ(helped->NextLoaded(), nullptr);  // the support library went again
    helped->Release();
    return state;
  };
  EXPECT_EQ(state_of_plain(&block), 0);
  XosDynamicLibrary::AddSearchPath(Libs("support").c_str());
  EXPECT_EQ(state_of_plain(&block), 1);
  block.word = 0;
  EXPECT_EQ(state_of_plain(&block), -1);
  EXPECT_EQ(state_of_plain(nullptr), 0);  // a null block leaves the library as it is
}

// A file that others could have put or changed is skipped with a line
// naming it and why, and the search goes on; a name that only such a file
// answers is not found, and says which file was skipped. A look-up finds
// the file without loading it.
TEST_F(LoaderTest, FilesOthersCouldChangeAreSkippedAndTheSearchGoesOn) {
  const fs::path mine = dir_ / "mine", open = dir_ / "open";
  fs::create_directories(mine);
  fs::create_directories(open);
  fs::copy_file(Libs("a") + "/twin.so", mine / "twin.so");
  fs::copy_file(Libs("b") + "/twin.so", open / "twin.so");
  fs::permissions(open, fs::perms::all);
  XosDynamicLibrary::AddSearchPath(mine.c_str());
  XosDynamicLibrary::AddSearchPath(open.c_str());  // searched first
  StdoutCapture said;
  EXPECT_EQ(TwinId("twin"), 1);
  fs::permissions(open, fs::perms::owner_all);
  fs::permissions(open / "twin.so", fs::perms::group_write, fs::perm_options::add);
  EXPECT_EQ(TwinId("twin"), 1);
  EXPECT_EQ(TwinId((open / "twin").string()), -1);
  EXPECT_EQ(XosDynamicLibrary::LastError(), 0xA0000034u);
  // Ours, in a folder of ours: one chmod makes it loadable, and the line
  // says which.
  EXPECT_EQ(XosDynamicLibrary::LastErrorText(),
            (open / "twin.so").string() + " skipped: its group or others can write to it (chmod g-w " +
                fs::canonical(open / "twin.so").string() + " makes it loadable)");
  const std::string lines = said.Take();
  EXPECT_NE(lines.find("Library file " + (open / "twin.so").string() +
                       " skipped: others can write to the folder " + open.string() +
                       " and it is not sticky"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("Library file " + (open / "twin.so").string() +
                       " skipped: its group or others can write to it"),
            std::string::npos)
      << lines;

  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  EXPECT_EQ(XosDynamicLibrary::LocateFile("PROTO"), fs::canonical(Libs("proto.so")).string());
  EXPECT_EQ(XosDynamicLibrary::FirstLoaded(), nullptr);
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_EQ(XosDynamicLibrary::LocateFile("twin"), fs::canonical(mine / "twin.so").string());
  EXPECT_EQ(XosDynamicLibrary::LocateFile("no_such_library"), "");
  // A loaded library answers with its own file.
  XosDynamicLibrary* proto = XosDynamicLibrary::Load("proto", nullptr);
  ASSERT_NE(proto, nullptr);
  EXPECT_EQ(XosDynamicLibrary::LocateFile("proto.dll"), proto->ModulePath());
  proto->Release();
}

// The trust check and the load see one file: a thread swaps other code,
// which the check refuses (others can write to it), in and out under the
// library's name while it is loaded again and again. Every load that
// succeeds is the library checked, and the other code never runs.
TEST_F(LoaderTest, ALibrarySwappedDuringTheLoadIsNeverTheOneThatRuns) {
  const fs::path folder = fs::canonical(dir_.path()), own = folder / "own.so",
                 other = folder / "other.so", staged = folder / "staged.so",
                 target = folder / "target.so", mark = folder / "ran";
  fs::copy_file(Libs("swapped_own.so"), own);
  fs::copy_file(Libs("swapped_other.so"), other);
  fs::permissions(own, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(other, fs::perms::all);
  fs::copy_file(own, target);
  setenv("SWAPPED_MARK", mark.c_str(), 1);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    for (unsigned n = 0; !stop.load(); ++n) {
      ::link((n % 2 == 0 ? other : own).c_str(), staged.c_str());
      ::rename(staged.c_str(), target.c_str());
    }
  });
  StdoutCapture said;
  int loaded = 0, refused = 0;
  // Which file a load meets is the scheduler's choice (on a busy machine the
  // swapper can sit out thousands of loads): load on until both were met.
  const auto until =
      std::chrono::steady_clock::now() + testsupport::HangBound(std::chrono::seconds(60));
  for (int i = 0; (i < 2000 || loaded == 0 || refused == 0) && !fs::exists(mark) &&
                  std::chrono::steady_clock::now() < until;
       ++i) {
    XosDynamicLibrary* library = XosDynamicLibrary::Load(target.c_str(), nullptr);
    if (library == nullptr) {
      ++refused;
      continue;
    }
    ++loaded;
    auto id = reinterpret_cast<IdFunction>(library->LookUpSymbol("TwinId", nullptr));
    EXPECT_TRUE(id != nullptr && id() == 1);
    EXPECT_EQ(library->ModulePath(), target.string());
    // The library knows its own file by its name, not by the descriptor.
    Dl_info self{};
    EXPECT_TRUE(dladdr(reinterpret_cast<void*>(id), &self) != 0 && self.dli_fname != nullptr &&
                target.string() == self.dli_fname);
    library->Release();
  }
  stop = true;
  swapper.join();
  said.Take();
  unsetenv("SWAPPED_MARK");
  EXPECT_FALSE(fs::exists(mark)) << "the other code ran, after " << loaded << " loads";
  EXPECT_GT(loaded, 0);
  EXPECT_GT(refused, 0);
}

// The engine's own support library, as a user library without entry
// points gets it: it hands the block on to the engine, whose copy the
// utilities read, and declines what is no block.
TEST_F(LoaderTest, TheEnginesSupportLibraryHandsTheBlockToTheEngine) {
  const std::string folder = fs::path(VANTOR_SUPPORT_LIBRARY).parent_path().string();
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary::AddSearchPath(folder.c_str());
  QLNInitializationBlock block{2, 55, nullptr, 9};
  XosDynamicLibrary* helped = QLNDynamicLibrary::Load("user_plain", &block);
  ASSERT_NE(helped, nullptr) << XosDynamicLibrary::LastErrorText();
  EXPECT_EQ(helped->InitializationState(), 1);
  EXPECT_EQ(GetDLLInitializationData()->word, 55u);
  EXPECT_EQ(GetDLLInitializationData()->further_word, 9u);
  helped->Release();
  block.kind = 7;
  helped = QLNDynamicLibrary::Load("user_plain", &block);
  ASSERT_NE(helped, nullptr);
  EXPECT_EQ(helped->InitializationState(), -1);
  helped->Release();
  EXPECT_EQ(GetDLLInitializationData()->kind, 2u);
}

// Answers one request with a fixed kind; -1 for the rest.
class FixedHandler : public QLNOptionsHandler {
 public:
  FixedHandler(std::int32_t request, std::int32_t kind) : request_(request), kind_(kind) {}
  std::int32_t OptionRequest(std::int32_t option, std::int32_t* iinfo, double*,
                             const char**) override {
    if (request_ != 0 && option != request_) return -1;
    *iinfo = kind_ * 10;
    return kind_;
  }

 private:
  std::int32_t request_;
  std::int32_t kind_;
};

TEST_F(LoaderTest,
       LoadedLibraryReachesTheEngineThroughItsExportsAndFileNamesAreGivenOnlyWhenTheyFit) {
  const QLNInitializationBlock block{2, 0, nullptr, 0};
  ASSERT_EQ(BVInitialize(&block), 1);
  AddDLLSearchPath(Libs().c_str());
  XosDynamicLibrary* library = LoadDynamicLibrary("proto", nullptr);
  ASSERT_NE(library, nullptr) << GetLastDLLError();
  // The block kind it read from the engine and the answer of the function
  // it found through the engine in itself.
  EXPECT_EQ(Function<std::int32_t (*)(XosDynamicLibrary*)>(library, "ProtoCallEngine")(library),
            2007);
  EXPECT_EQ(library->ReferenceCount(), 1);
  const std::string path = fs::canonical(Libs("proto.so")).string();
  const auto size = static_cast<std::int32_t>(path.size());
  std::vector<char> buffer(path.size() + 1, 'x');
  EXPECT_EQ(GetDLLFileName(library, buffer.data(), size), 0);
  EXPECT_EQ(GetDLLFileName(library, buffer.data(), size + 1), size);
  EXPECT_EQ(std::string(buffer.data()), path);
  XosDynamicFunction* function = FindFunctionInDLL("ProtoAnswer", library, nullptr);
  EXPECT_EQ(GetFunctionsDLLFileName(function, buffer.data(), size + 1), size);
  ReleaseFunction(function);
  UnloadDynamicLibrary(library);
}

// The block and the handlers are process-wide, and the handlers here live on
// the test's stack: nothing may outlast the test.
class InitializationBlockTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetLibraryExports(); }
  void TearDown() override { ResetLibraryExports(); }
};

TEST_F(InitializationBlockTest, CopyKeepsOnlyWhatTheKindHasAndTheHandlerFallsBack) {
  EXPECT_EQ(BVInitialize(nullptr), 0);
  QLNInitializationBlock block{4, 1, nullptr, 0};
  EXPECT_EQ(BVInitialize(&block), 0);
  block.kind = 0;
  EXPECT_EQ(BVInitialize(&block), 0);
  FixedHandler engine(1, 2);
  block = {1, 33, &engine, 99};
  ASSERT_EQ(BVInitialize(&block), 1);
  block.word = 0;  // the process keeps its own copy
  const QLNInitializationBlock* kept = GetDLLInitializationData();
  EXPECT_EQ(std::vector<std::uintptr_t>({kept->kind, kept->word, kept->further_word}),
            std::vector<std::uintptr_t>({1, 33, 0}));  // a kind-1 block has no further word
  EXPECT_EQ(kept->options_handler, &engine);
  block = {3, 34, &engine, 99};
  ASSERT_EQ(BVInitialize(&block), 1);
  EXPECT_EQ(kept->further_word, 99u);

  // A registered handler answers what the engine's does not.
  FixedHandler dummy(0, 5);
  EXPECT_EQ(RegisterDummyOptionsHandler(&dummy), 1);
  QLNOptionsHandler* handler = GetDLLInitializationData()->options_handler;
  ASSERT_NE(handler, &engine);
  std::int32_t i = 0;
  double x = 0;
  const char* text = nullptr;
  auto ask = [&](QLNOptionsHandler* h, std::int32_t option) {
    return h->OptionRequest(option, &i, &x, &text);
  };
  EXPECT_EQ(ask(handler, 1), 2);
  EXPECT_EQ(ask(handler, 8), 5);
  // A second registration replaces the fallback; the proxy never asks itself.
  FixedHandler other(0, 4);
  EXPECT_EQ(RegisterDummyOptionsHandler(&other), 0);
  EXPECT_EQ(GetDLLInitializationData()->options_handler, handler);
  EXPECT_EQ(ask(handler, 8), 4);
  EXPECT_EQ(ask(handler, 1), 2);
  ProxyOptionsHandler empty;
  EXPECT_EQ(ask(&empty, 1), -1);
}

// Answers request 31 with a time of its own; -1 for the rest.
class ClockHandler : public QLNOptionsHandler {
 public:
  explicit ClockHandler(double time) : time_(time) {}
  std::int32_t OptionRequest(std::int32_t option, std::int32_t*, double* xinfo,
                             const char**) override {
    if (option != 31) return -1;
    *xinfo = time_;
    return 2;
  }

 private:
  double time_;
};

TEST_F(LoaderTest, UserLibrariesAskTheEnginesOptionsHandlerThroughQlnRqst) {
  XosDynamicLibrary* user = QLNDynamicLibrary::Load(Libs("user_plain").c_str(), nullptr);
  ASSERT_NE(user, nullptr) << XosDynamicLibrary::LastErrorText();
  auto user_time = Function<double (*)(std::int32_t*)>(user, "UserTime");
  ASSERT_NE(user_time, nullptr);
  std::int32_t kind = 0;
  // Nobody to answer: no answer, every out cleared.
  EXPECT_EQ(user_time(&kind), 0.0);
  EXPECT_EQ(kind, -1);

  ClockHandler clock(2.5);
  EXPECT_EQ(SetEngineOptionsHandler(&clock), nullptr);
  EXPECT_EQ(GetDLLInitializationData()->kind, 1u);
  EXPECT_EQ(user_time(&kind), 2.5);
  EXPECT_EQ(kind, 2);

  // A library's own handler fills in behind the engine's, which keeps
  // answering first, also when the engine replaces it afterwards.
  FixedHandler dummy(0, 5);
  ASSERT_EQ(RegisterDummyOptionsHandler(&dummy), 1);
  EXPECT_EQ(user_time(&kind), 2.5);
  int option = 8, integer = 0;
  double real = 1.0;
  char* text = nullptr;
  EXPECT_EQ(QLN_Rqst(&option, &integer, &real, &text), 5);
  EXPECT_EQ(integer, 50);
  EXPECT_EQ(real, 0.0);
  ClockHandler later(4.0);
  EXPECT_EQ(SetEngineOptionsHandler(&later), &clock);
  EXPECT_EQ(EngineOptionsHandler(), &later);
  EXPECT_NE(GetDLLInitializationData()->options_handler, &later);
  EXPECT_EQ(user_time(&kind), 4.0);
  EXPECT_EQ(SetEngineOptionsHandler(nullptr), &later);
  EXPECT_EQ(user_time(&kind), -99.0);  // the library's handler answers 31 as an integer
  EXPECT_EQ(kind, 5);

  // No option, no outs: nothing is read or written through them.
  EXPECT_EQ(QLN_Rqst(nullptr, &integer, &real, &text), -1);
  EXPECT_EQ(integer, 0);
  option = 31;
  EXPECT_EQ(QLN_Rqst(&option, nullptr, nullptr, nullptr), 5);
  user->Release();
}

TEST_F(LoaderTest, ListOfLoadedLibrariesIncludesTheLibrariesOwnLists) {
  AddDLLSearchPath(Libs().c_str());
  XosDynamicLibrary* proto = LoadDynamicLibrary("proto", nullptr);
  XosDynamicLibrary* twin = LoadDynamicLibrary(Libs("a/twin").c_str(), nullptr);
  ASSERT_NE(twin, nullptr);
  DisallowForcibleDLLUnloads(twin);
  char** names = nullptr;
  std::int32_t* flags = nullptr;
  ASSERT_EQ(DLLsLoaded(&names, &flags), 3);
  std::vector<std::pair<std::string, std::int32_t>> listed;
  for (int i = 0; i < 3; ++i) listed.emplace_back(names[i], flags[i]);
  std::sort(listed.begin(), listed.end());
  const std::vector<std::pair<std::string, std::int32_t>> expected = {
      {Libs("a/twin.dll"), 1}, {"inner.dll", 1}, {"proto.dll", 0}};
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(DLLsLoaded(&names, &flags), 0);
  EXPECT_EQ(names, nullptr);
  EXPECT_EQ(flags, nullptr);
  UnloadDynamicLibrary(twin);
  UnloadDynamicLibrary(proto);
}

TEST_F(LoaderTest, FunctionsFoundByLibraryNameHoldTheirLibrary) {
  AddDLLSearchPath(Libs().c_str());
  std::uint32_t result = 0;
  EXPECT_EQ(FindFunctionInNamedDLLEx("ProtoAnswer", "no_such_library", nullptr, nullptr, &result),
            nullptr);
  EXPECT_EQ(result, 0xA0000034u);
  EXPECT_EQ(FindFunctionInNamedDLLEx("NoSuchFunction", "proto", nullptr, nullptr, &result),
            nullptr);
  EXPECT_EQ(result, 0xA0000033u);
  EXPECT_EQ(XosDynamicLibrary::FirstLoaded(), nullptr);  // not kept for nothing
  XosDynamicFunction* function =
      FindFunctionInNamedDLLEx("ProtoAnswer", "proto", nullptr, nullptr, &result);
  ASSERT_NE(function, nullptr);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(function->Library()->ReferenceCount(), 1);
  XosDynamicFunction* procedure =
      FindQLNFunctionInNamedDLL("ProtoAnswer", "proto", nullptr, nullptr);
  ASSERT_NE(procedure, nullptr);
  EXPECT_EQ(procedure->Library(), function->Library());
  EXPECT_EQ(reinterpret_cast<std::int32_t (*)()>(GetQLNFunctionAddress(procedure))(), 7);
  DisallowForcibleDLLUnloadsViaFunctionObject(procedure);
  EXPECT_FALSE(function->Library()->UnloadAllowed());
  ReleaseFunction(procedure);
  ReleaseFunction(function);
  EXPECT_EQ(XosDynamicLibrary::FirstLoaded(), nullptr);
  ReleaseFunction(nullptr);
  UnloadDynamicLibrary(nullptr);
}

TEST(CQLNExceptionTest, CarriesItsStatusAndACopyOfItsText) {
  std::string text = "property package failed";
  try {
    ThrowCQLNException(0x8030FFFF, text.c_str());
    FAIL() << "nothing thrown";
  } catch (const CQLNException& e) {
    text[0] = 'X';
    EXPECT_EQ(e.Code(), 0x8030FFFFu);
    EXPECT_STREQ(e.Text(), "property package failed");
  }
  EXPECT_THROW(ThrowCQLNException(1, nullptr), CQLNException);  // no text is an empty one
}

}  // namespace

namespace {

// A loaded library calls each exported function (the list the executable
// exports by) and reports it. In a child process: the calls change the
// process's initialisation block and options handler for good.
int CallEveryExportFromALibrary() {
  testsupport::InDeathChild();
  XosDynamicLibrary* caller =
      XosDynamicLibrary::Load((std::string(VANTOR_TEST_LIBS) + "/caller").c_str(), nullptr);
  if (caller == nullptr) return 90;
  auto run = reinterpret_cast<std::int32_t (*)(const char*, char*, std::int32_t)>(
      caller->LookUpSymbol("CallerRun", nullptr));
  if (run == nullptr) return 91;
  std::string report(8192, '\0');
  const std::int32_t failures =
      run(VANTOR_TEST_LIBS, report.data(), static_cast<std::int32_t>(report.size()));
  report.resize(std::strlen(report.c_str()));
  int missing = 0;
  std::ifstream list(std::string(VANTOR_SOURCE_DIR) +
                     "/framework/libraries/exported_functions.list");
  for (std::string line; std::getline(list, line);) {
    const std::size_t start = line.find_first_not_of(" \t");
    const std::size_t end = line.find(';');
    if (start == std::string::npos || end == std::string::npos || line[start] == '{' ||
        line[start] == '}')
      continue;
    const std::string name = line.substr(start, end - start);
    if (report.find("ok " + name + "\n") == std::string::npos) {
      std::fprintf(stderr, "not called or failed: %s\n", name.c_str());
      ++missing;
    }
  }
  std::fputs(report.c_str(), stderr);
  caller->Release();
  return failures == 0 && missing == 0 ? 0 : 1;
}

TEST(LibraryExports, EachIsCalledFromALoadedLibraryAndAnswersAsDocumented) {
  testsupport::UseThreadsafeDeathTests();
  EXPECT_EXIT(std::exit(CallEveryExportFromALibrary()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
