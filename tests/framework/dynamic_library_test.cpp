#include "framework/dynamic_library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cfenv>
#include <climits>
#include <filesystem>
#include <string>

#include "framework/library_api.h"
#include "framework/qln_dynamic_library.h"
#include "loader_fixture.h"

namespace fs = std::filesystem;
using testsupport::LoaderTest;

namespace {

using IdFunction = std::int32_t (*)();

std::int32_t TwinIdOf(XosDynamicLibrary* library) {
  auto twin = reinterpret_cast<IdFunction>(library->LookUpSymbol("TwinId", nullptr));
  return twin != nullptr ? twin() : -1;
}

// Runs in a folder for its lifetime.
class InFolder {
 public:
  explicit InFolder(const std::string& folder) {
    char here[PATH_MAX];
    if (getcwd(here, sizeof here) != nullptr) back_ = here;
    EXPECT_EQ(chdir(folder.c_str()), 0);
  }
  ~InFolder() { EXPECT_EQ(chdir(back_.c_str()), 0); }

 private:
  std::string back_;
};

TEST(LibraryNameTest, NamesAreKeptWithADllEnding) {
  EXPECT_EQ(XosDynamicLibrary::NormalizeName("lib1"), "lib1.dll");
  EXPECT_EQ(XosDynamicLibrary::NormalizeName("lib1.so"), "lib1.dll");
  EXPECT_EQ(XosDynamicLibrary::NormalizeName("tools/prop.SHR"), "tools/prop.dll");
  EXPECT_EQ(XosDynamicLibrary::NormalizeName("run.exe"), "run.dll");
  EXPECT_EQ(XosDynamicLibrary::NormalizeName("Lib1.DLL"), "Lib1.DLL");
  EXPECT_EQ(XosDynamicLibrary::NormalizeName(""), "");
  EXPECT_EQ(XosDynamicLibrary::NamePart("C:\\procs\\user.dll"), "user.dll");
  EXPECT_EQ(XosDynamicLibrary::NamePart("/opt/procs/user.dll"), "user.dll");
  EXPECT_EQ(XosDynamicLibrary::NamePart("user.dll"), "user.dll");
}

TEST_F(LoaderTest, EveryFormOfANameLoadsTheSameLibraryOnce) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* first = XosDynamicLibrary::Load("proto", nullptr);
  ASSERT_NE(first, nullptr) << XosDynamicLibrary::LastErrorText();
  EXPECT_EQ(XosDynamicLibrary::Load("proto.so", nullptr), first);
  EXPECT_EQ(XosDynamicLibrary::Load("PROTO", nullptr), first);
  EXPECT_EQ(XosDynamicLibrary::Load("Proto.DLL", nullptr), first);
  EXPECT_EQ(first->ReferenceCount(), 4);
  EXPECT_EQ(first->ModulePath(), fs::canonical(Libs("proto.so")).string());
  for (int i = 0; i < 3; ++i) first->Release();
  EXPECT_EQ(XosDynamicLibrary::FirstLoaded(), first);
  first->Release();
  const auto log = TakeLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "DLLInitialize"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "DLLFinalize"), 1);
}

TEST_F(LoaderTest, FileNamedInOtherCaseIsFound) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* library = XosDynamicLibrary::Load("PROTO", nullptr);
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(fs::path(library->ModulePath()).filename(), "proto.so");
  library->Release();
}

TEST_F(LoaderTest, LastAddedFolderIsSearchedFirst) {
  XosDynamicLibrary::AddSearchPath(Libs("a").c_str());
  XosDynamicLibrary::AddSearchPath(Libs("b").c_str());
  XosDynamicLibrary* twin = XosDynamicLibrary::Load("twin", nullptr);
  EXPECT_EQ(TwinIdOf(twin), 2);
  twin->Release();
  // Adding a known folder again moves it to the end, so it comes first.
  XosDynamicLibrary::AddSearchPath(Libs("a").c_str());
  EXPECT_EQ(XosDynamicLibrary::SearchPaths(), (std::vector<std::string>{Libs("b"), Libs("a")}));
  twin = XosDynamicLibrary::Load("twin", nullptr);
  EXPECT_EQ(TwinIdOf(twin), 1);
  twin->Release();
}

TEST_F(LoaderTest, ProgramFolderServerFolderAndCurrentFolderFollowInThatOrder) {
  // Nothing added: the program's own folder holds this one.
  XosDynamicLibrary* beside = XosDynamicLibrary::Load("beside_program", nullptr);
  ASSERT_NE(beside, nullptr);
  EXPECT_EQ(TwinIdOf(beside), 3);
  beside->Release();

  InFolder in_b(Libs("b"));
  XosDynamicLibrary* twin = XosDynamicLibrary::Load("twin", nullptr);
  EXPECT_EQ(TwinIdOf(twin), 2);
  twin->Release();
  setenv("QLNSERVERDIR", Libs("a").c_str(), 1);
  twin = XosDynamicLibrary::Load("twin", nullptr);
  EXPECT_EQ(TwinIdOf(twin), 1);
  twin->Release();
  XosDynamicLibrary::AddSearchPath(Libs("b").c_str());
  twin = XosDynamicLibrary::Load("twin", nullptr);
  EXPECT_EQ(TwinIdOf(twin), 2);
  twin->Release();
}

TEST_F(LoaderTest, NameWithAFolderLoadsThatFileOnly) {
  XosDynamicLibrary::AddSearchPath(Libs("b").c_str());
  XosDynamicLibrary* twin = XosDynamicLibrary::Load((Libs("a") + "/twin").c_str(), nullptr);
  EXPECT_EQ(TwinIdOf(twin), 1);
  twin->Release();
  // Folders as a Windows client writes them.
  std::string windows_form = Libs("a") + "\\twin.DLL";
  twin = XosDynamicLibrary::Load(windows_form.c_str(), nullptr);
  EXPECT_EQ(TwinIdOf(twin), 1);
  twin->Release();
  EXPECT_EQ(XosDynamicLibrary::Load((Libs("provider") + "/twin").c_str(), nullptr), nullptr);
  EXPECT_EQ(XosDynamicLibrary::LastError(), 0xA0000034u);
}

TEST_F(LoaderTest, MissingAndBrokenLibrariesSayWhy) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  EXPECT_EQ(XosDynamicLibrary::Load("no_such_library", nullptr), nullptr);
  EXPECT_EQ(XosDynamicLibrary::LastError(), 0xA0000034u);
  EXPECT_EQ(XosDynamicLibrary::Load("broken", nullptr), nullptr);
  EXPECT_EQ(XosDynamicLibrary::LastError(), 0xA000FFFFu);
  EXPECT_NE(XosDynamicLibrary::LastErrorText().find("vantor_symbol_nobody_defines"), std::string::npos)
      << XosDynamicLibrary::LastErrorText();
}

TEST_F(LoaderTest, InitialiseAnswersSetTheLibrarysState) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  QLNInitializationBlock block{2, 0, nullptr, 0};
  XosDynamicLibrary* accepted = XosDynamicLibrary::Load("proto", &block);
  ASSERT_NE(accepted, nullptr);
  EXPECT_EQ(accepted->InitializationState(), 1);
  accepted->Release();
  // The whole protocol, in its order.
  EXPECT_EQ(TakeLog(), (std::vector<std::string>{"AddDLLSearchPath " + Libs(), "BVInitialize 2",
                                                 "DLLInitialize", "DLLFinalize",
                                                 "RemoveDLLSearchPath (null)"}));

  setenv("PROTO_BV", "0", 1);
  XosDynamicLibrary* declined = XosDynamicLibrary::Load("proto", &block);
  ASSERT_NE(declined, nullptr);  // declining is no failure
  EXPECT_EQ(declined->InitializationState(), -1);
  declined->Release();

  // Without a block there is nothing to hand to "BVInitialize".
  TakeLog();
  XosDynamicLibrary* plain = XosDynamicLibrary::Load("proto", nullptr);
  EXPECT_EQ(plain->InitializationState(), 0);
  plain->Release();
  EXPECT_FALSE(Has(TakeLog(), "BVInitialize 2"));
}

TEST_F(LoaderTest, NegativeInitialiseAnswerRefusesTheLibrary) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  setenv("PROTO_INIT", "-5", 1);
  EXPECT_EQ(XosDynamicLibrary::Load("proto", nullptr), nullptr);
  EXPECT_EQ(XosDynamicLibrary::LastError(), static_cast<std::uint32_t>(-5));
  // A library that failed to start is not asked to finish.
  EXPECT_FALSE(Has(TakeLog(), "DLLFinalize"));
}

TEST_F(LoaderTest, FinaliseAnsweringOneKeepsTheLibraryLoaded) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  setenv("PROTO_FINI", "1", 1);
  XosDynamicLibrary* library = XosDynamicLibrary::Load("proto", nullptr);
  library->Release();
  EXPECT_EQ(XosDynamicLibrary::FirstLoaded(), library);
  EXPECT_TRUE(library->HasModule());
  EXPECT_EQ(library->ReferenceCount(), 0);
  EXPECT_TRUE(Has(TakeLog(), "DLLFinalize"));
  // Asked for again, it is the same library, not started a second time.
  setenv("PROTO_FINI", "0", 1);
  EXPECT_EQ(XosDynamicLibrary::Load("proto", nullptr), library);
  EXPECT_FALSE(Has(TakeLog(), "DLLInitialize"));
  library->Release();
}

TEST_F(LoaderTest, SearchFoldersReachLoadedLibraries) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* library = XosDynamicLibrary::Load("proto", nullptr);
  EXPECT_TRUE(library->TookSearchPaths());
  EXPECT_TRUE(Has(TakeLog(), "AddDLLSearchPath " + Libs()));
  XosDynamicLibrary::AddSearchPath("/opt/two");
  XosDynamicLibrary::RemoveSearchPath(Libs().c_str());
  EXPECT_EQ(XosDynamicLibrary::SearchPaths(), std::vector<std::string>{"/opt/two"});
  auto log = TakeLog();
  EXPECT_TRUE(Has(log, "AddDLLSearchPath /opt/two"));
  EXPECT_TRUE(Has(log, "RemoveDLLSearchPath " + Libs()));
  library->Release();
  EXPECT_TRUE(Has(TakeLog(), "RemoveDLLSearchPath (null)"));
}

TEST_F(LoaderTest, DependencysEntryPointIsNotTakenForTheLibrarys) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* plain = XosDynamicLibrary::Load("plain", nullptr);
  ASSERT_NE(plain, nullptr) << XosDynamicLibrary::LastErrorText();
  XosDynamicLibrary::AddSearchPath("/opt/other");
  EXPECT_FALSE(plain->TookSearchPaths());
  auto calls = reinterpret_cast<IdFunction>(plain->LookUpSymbol("PlainProviderCalls", nullptr));
  ASSERT_NE(calls, nullptr);
  EXPECT_EQ(calls(), 0);
  plain->Release();
}

TEST_F(LoaderTest, FortranAndUpperCaseSymbolsAreFound) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* library = XosDynamicLibrary::Load("fortran_style", nullptr);
  ASSERT_NE(library, nullptr);
  auto times = Function<IdFunction>(library, "TimesInitialized");
  ASSERT_NE(times, nullptr);
  EXPECT_EQ(times(), 1);  // its "dllinitialize_" ran at load
  auto compute = Function<std::int32_t (*)(const std::int32_t*)>(library, "Compute");
  ASSERT_NE(compute, nullptr);
  const std::int32_t x = 21;
  EXPECT_EQ(compute(&x), 42);
  auto upper = Function<IdFunction>(library, "UpperOnly");
  ASSERT_NE(upper, nullptr);
  EXPECT_EQ(upper(), 11);
  EXPECT_EQ(library->LookUpSymbol("Nothing", nullptr), nullptr);
  EXPECT_EQ(XosDynamicLibrary::LastError(), 0xA0000033u);
  library->Release();
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
  XosDynamicLibrary* helped = QLNDynamicLibrary::Load("user_plain", &block);
  EXPECT_EQ(helped->InitializationState(), 0);
  helped->Release();
  XosDynamicLibrary::AddSearchPath(Libs("support").c_str());
  helped = QLNDynamicLibrary::Load("user_plain", &block);
  EXPECT_EQ(helped->InitializationState(), 1);
  EXPECT_EQ(helped->NextLoaded(), nullptr);  // the support library went again
  helped->Release();
  block.word = 0;
  helped = QLNDynamicLibrary::Load("user_plain", &block);
  EXPECT_EQ(helped->InitializationState(), -1);
  helped->Release();
  // A null block leaves the library as it is.
  helped = QLNDynamicLibrary::Load("user_plain", nullptr);
  EXPECT_EQ(helped->InitializationState(), 0);
  helped->Release();
}

TEST_F(LoaderTest, FunctionsOutliveTheirLibraryAsEmptyShells) {
  XosDynamicLibrary::AddSearchPath(Libs().c_str());
  XosDynamicLibrary* library = XosDynamicLibrary::Load("fortran_style", nullptr);
  XosDynamicFunction* compute = FindFunctionInDLL("Compute", library, nullptr);
  ASSERT_NE(compute, nullptr);
  delete library;  // gone without the protocol (the process ends)
  EXPECT_EQ(compute->Library(), nullptr);
  EXPECT_EQ(GetFunctionAddress(compute), nullptr);
  EXPECT_EQ(GetQLNFunctionAddress(compute), reinterpret_cast<void*>(&QLNDUMMY));
  ReleaseFunction(compute);
}

}  // namespace
