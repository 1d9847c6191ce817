// Procedure files through the real engine, as the modelling environment
// asks for them: a first request writes the templates, the user fills them
// in, a second request leaves them as they are and builds the library, the
// engine finds the library by its name, and every procedure in it answers
// through its interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "daes/procedures/su_proc_def.h"
#include "framework/libraries/library_loader.h"
#include "tests/codegen/codegen_helpers.h"
#include "tests/codegen/proc_files_road.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tools/first_order.h"
#include "tools/road.h"

namespace fs = std::filesystem;

namespace {

using namespace codegen_test;
using vantor_client::Client;
using vantor_client::MakeCommand;
using vantor_client::Request;

bool Contains(const vantor_client::Bytes& body, const std::string& text) {
  return std::search(body.begin(), body.end(), text.begin(), text.end()) != body.end();
}

using OldEntry = void (*)(double*, int*, double*, int*, int*, int*, int*, int*, double*, int*,
                          double*, int*, int*, int*);

// The same through the 14-argument interface of version 1 and 2.
double CallOld(OldEntry entry, int first, double x, int* ifail) {
  double inputs[1] = {x}, outputs[1] = {0.0}, work = 0.0, deriv[1] = {0.0};
  int sizes = 0, in_offs[1] = {first}, out_offs[1] = {first}, props = 0, wsize = 0;
  int nout = 1, nin = 1, icall = 0;
  *ifail = 0;
  entry(inputs, &sizes, outputs, &sizes, in_offs, out_offs, ifail, &props, &work, &wsize, deriv,
        &nout, &nin, &icall);
  return outputs[0];
}

TEST(CodegenCompile, EngineGeneratesBuildsAndFindsAProcedureLibrary) {
  testsupport::TempDir pipes;
  testsupport::TempDir work;
  const fs::path prefix = MakeInstallation(work.path());
  testsupport::ScopedEnv pipe_dir("VANTOR_PIPE_DIR", pipes.path().c_str());
  testsupport::ScopedEnv registry("VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY);
  testsupport::ScopedEnv tools("QLNSERVERDIR", (prefix / "bin").c_str());
  testsupport::ScopedEnv environment("VSENVBATFILE", nullptr);
  const fs::path folder = work.path() / "procs";
  fs::create_directories(folder);

  const std::vector<Arg> x{{procdef::kReal, 0, "x"}}, y{{procdef::kReal, 0, "y"}};
  SUProcDef c3, f3, c1, f2;
  Define(&c3, "CThree", procdef::kLanguageC, 0, x, y);
  Define(&f3, "FThree", procdef::kLanguageFortran, 0, x, y);
  Define(&c1, "COne", procdef::kLanguageC, 0, x, y, 1);
  Define(&f2, "FTwo", procdef::kLanguageFortran, 0, x, y, 2);
  const char* sources[] = {"cthree.c", "fthree.f", "coneuser.c", "ftwo.f"};
  SUProcDef* defs[] = {&c3, &f3, &c1, &f2};
  for (int i = 0; i < 4; ++i) {
    defs[i]->SetLibrary("userlib");
    defs[i]->SetSourceFile(sources[i], false);
  }
  // The version-1 wrapper calls the user's own routine.
  std::ofstream(folder / "coneuser.c")
      << "#include \"coneI.h\"\n"
         "void CONE_C(double *x, double *y, int *iflag, int *props) "
         "{ *y = 5 * *x; *iflag = 1; (void)props; }\n";

  vantor_client::EngineOptions engine;
  engine.program = VANTOR_ENGINE;
  engine.timeout_ms = testsupport::HangBoundMs(120000);
  engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
  std::unique_ptr<Client> client;
  std::string why;
  ASSERT_FALSE(status::IsFailure(Client::Start(engine, &client, &why))) << why;
  vantor_scenario::FirstOrderRun run;
  vantor_scenario::Road road(*client, &run);
  std::vector<std::string> kept;
  std::vector<vantor_client::Message> named, listed;
  const bool ok = [&] {
    if (!road.Expect(GenerateProcFiles(folder, {&c3, &f3, &c1, &f2}, false),
                     "writing the templates", 0))
      return false;
    // The user fills in the templates.
    struct Fill {
      const char* file;
      std::vector<std::pair<std::string, std::string>> edits;
    };
    const Fill fills[] = {
        {"cthree.c",
         {{"      *py = 0.0;", "      *py = 2 * x;"},
          {"*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */", "*pIfail = IFAIL_OK;"}}},
        {"fthree.f", {{"        y = 0 ! TODO", "        y = 3 * x"},
                      {"        IFAIL = IFATAL", "        IFAIL = IOK"}}},
        {"ftwo.f",
         {{"C     TODO: Put your code to calculate output value(s) here",
           "      OutArg1 = 7*InArg1"},
          {"      Ifail = IFATAL", "      Ifail = IOK"}}},
    };
    for (const Fill& fill : fills) {
      std::string text = ReadText(folder / fill.file);
      for (const auto& [from, to] : fill.edits) Edit(&text, from, to);
      std::ofstream(folder / fill.file) << text;
    }
    for (const char* s : sources) kept.push_back(ReadText(folder / s));
    if (!road.Expect(GenerateProcFiles(folder, {&c3, &f3, &c1, &f2}, true), "building the library",
                     0))
      return false;
    // Sub-kind 5: the engine loads the library by its file name.
    auto name = std::make_unique<Request>(113);
    name->PutUInt16(5);
    name->PutString((folder / "userlib.so").c_str());
    Status result = 0;
    if (!road.Exchange(std::move(name), "naming the library", &result, &named)) return false;
    if (result != 0) return road.Fail("naming the library: " + vantor_scenario::Hex(result));
    // Sub-kind 2: the libraries the engine holds.
    auto list = std::make_unique<Request>(113);
    list->PutUInt16(2);
    if (!road.Exchange(std::move(list), "listing the libraries", &result, &listed)) return false;
    if (result != 0) return road.Fail("listing the libraries: " + vantor_scenario::Hex(result));
    return road.Expect(MakeCommand(50, 2), "ending the engine", 0x00320024u);
  }();
  if (ok) client->WaitFor([&] { return client->PeerLost(); });
  road.Collect();
  int exit_code = -1;
  client->Close(&exit_code);
  ASSERT_TRUE(ok) << run.failure << ::testing::PrintToString(run.events);
  EXPECT_EQ(exit_code, 0);

  // The sources the user wrote are as the user left them.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ReadText(folder / sources[i]), kept[i]) << sources[i];
  std::string events;
  for (const std::string& line : run.events) events += line + "\n";
  EXPECT_NE(events.find("Template for"), std::string::npos) << events;
  EXPECT_NE(events.find("command succeeded"), std::string::npos) << events;
  ASSERT_FALSE(named.empty());
  EXPECT_TRUE(Contains(named.back().body, fs::canonical(folder / "userlib.so").string()) ||
              Contains(named.back().body, (folder / "userlib.so").string()));

  // Kind 2, a zero word and the count (the name's library was released).
  ASSERT_FALSE(listed.empty());
  ASSERT_GE(listed.back().body.size(), 10u);
  EXPECT_EQ(listed.back().body[0], 2);
  EXPECT_EQ(listed.back().body[1], 0);
  XosDynamicLibrary* library = XosDynamicLibrary::Load((folder / "userlib.so").c_str(), nullptr);
  ASSERT_NE(library, nullptr) << XosDynamicLibrary::LastErrorText();
  int ifail = 0;
  auto c_entry = reinterpret_cast<NewEntry>(library->LookUpSymbol("CTHREE", nullptr));
  ASSERT_NE(c_entry, nullptr);
  EXPECT_EQ(CallNew(c_entry, 0, 1.5, &ifail), 3.0);
  EXPECT_EQ(ifail, 1);
  auto f_entry = reinterpret_cast<NewEntry>(library->LookUpSymbol("QLN13_FTHREE", nullptr));
  ASSERT_NE(f_entry, nullptr);
  EXPECT_EQ(CallNew(f_entry, 1, 1.5, &ifail), 4.5);
  EXPECT_EQ(ifail, 1);
  auto o_entry = reinterpret_cast<OldEntry>(library->LookUpSymbol("SU55IF_CONE", nullptr));
  ASSERT_NE(o_entry, nullptr);
  EXPECT_EQ(CallOld(o_entry, 0, 1.5, &ifail), 7.5);
  EXPECT_EQ(ifail, 1);
  auto g_entry = reinterpret_cast<OldEntry>(library->LookUpSymbol("SU55IF_FTWO", nullptr));
  ASSERT_NE(g_entry, nullptr);
  EXPECT_EQ(CallOld(g_entry, 1, 1.5, &ifail), 10.5);
  EXPECT_EQ(ifail, 1);
  library->Release();
}

}  // namespace
