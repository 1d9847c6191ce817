#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/cqln_exception.h"
#include "framework/library_api.h"
#include "framework/proxy_options_handler.h"
#include "loader_fixture.h"

namespace fs = std::filesystem;
using testsupport::LoaderTest;

namespace {

// Answers one request with a fixed kind; -1 for the rest.
class FixedHandler : public QLNOptionsHandler {
 public:
  FixedHandler(std::int32_t request, std::int32_t kind) : request_(request), kind_(kind) {}
  std::int32_t OptionRequest(std::int32_t option, std::int32_t* iinfo, double*, const char**) override {
    if (request_ != 0 && option != request_) return -1;
    *iinfo = kind_ * 10;
    return kind_;
  }

 private:
  std::int32_t request_;
  std::int32_t kind_;
};

TEST_F(LoaderTest, LoadedLibraryReachesTheEngineThroughItsExports) {
  const QLNInitializationBlock block{2, 0, nullptr, 0};
  ASSERT_EQ(BVInitialize(&block), 1);
  AddDLLSearchPath(Libs().c_str());
  XosDynamicLibrary* library = LoadDynamicLibrary("proto", nullptr);
  ASSERT_NE(library, nullptr) << GetLastDLLError();
  auto call_engine = Function<std::int32_t (*)(XosDynamicLibrary*)>(library, "ProtoCallEngine");
  ASSERT_NE(call_engine, nullptr);
  // The block kind it read from the engine and the answer of the function
  // it found through the engine in itself.
  EXPECT_EQ(call_engine(library), 2007);
  EXPECT_EQ(library->ReferenceCount(), 1);
  UnloadDynamicLibrary(library);
}

TEST(InitializationBlockTest, CopyKeepsOnlyWhatTheKindHasAndTheHandlerFallsBack) {
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
  auto ask = [&](QLNOptionsHandler* h, std::int32_t option) { return h->OptionRequest(option, &i, &x, &text); };
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

TEST_F(LoaderTest, FileNameIsGivenOnlyWhenItFits) {
  AddDLLSearchPath(Libs().c_str());
  XosDynamicLibrary* library = LoadDynamicLibrary("proto", nullptr);
  const std::string path = fs::canonical(Libs("proto.so")).string();
  std::vector<char> buffer(path.size() + 1, 'x');
  EXPECT_EQ(GetDLLFileName(library, buffer.data(), static_cast<std::int32_t>(path.size())), 0);
  EXPECT_EQ(GetDLLFileName(library, buffer.data(), static_cast<std::int32_t>(buffer.size())),
            static_cast<std::int32_t>(path.size()));
  EXPECT_EQ(std::string(buffer.data()), path);
  XosDynamicFunction* function = FindFunctionInDLL("ProtoAnswer", library, nullptr);
  std::vector<char> other(path.size() + 1);
  EXPECT_EQ(GetFunctionsDLLFileName(function, other.data(), static_cast<std::int32_t>(other.size())),
            static_cast<std::int32_t>(path.size()));
  ReleaseFunction(function);
  UnloadDynamicLibrary(library);
}

TEST_F(LoaderTest, FunctionsFoundByLibraryNameHoldTheirLibrary) {
  AddDLLSearchPath(Libs().c_str());
  std::uint32_t result = 0;
  EXPECT_EQ(FindFunctionInNamedDLLEx("ProtoAnswer", "no_such_library", nullptr, nullptr, &result), nullptr);
  EXPECT_EQ(result, 0xA0000034u);
  EXPECT_EQ(FindFunctionInNamedDLLEx("NoSuchFunction", "proto", nullptr, nullptr, &result), nullptr);
  EXPECT_EQ(result, 0xA0000033u);
  EXPECT_EQ(XosDynamicLibrary::FirstLoaded(), nullptr);  // not kept for nothing
  XosDynamicFunction* function = FindFunctionInNamedDLLEx("ProtoAnswer", "proto", nullptr, nullptr, &result);
  ASSERT_NE(function, nullptr);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(function->Library()->ReferenceCount(), 1);
  XosDynamicFunction* procedure = FindQLNFunctionInNamedDLL("ProtoAnswer", "proto", nullptr, nullptr);
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
