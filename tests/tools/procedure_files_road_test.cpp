// Procedure files through the real engine (service 113), with definitions
// written as the modelling environment writes them: each carries its own
// name before the name of the routine that implements it, and the generated
// files and the messages show the definition's name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "tests/tools/engine_road_fixture.h"

namespace {

namespace fs = std::filesystem;
using engineroad::EngineRoad;

constexpr std::uint32_t kProcFilesService = 113;
constexpr std::uint32_t kLanguageFortran = 1;
constexpr std::uint32_t kLanguageC = 2;
constexpr std::uint16_t kRealScalar = 4;
constexpr Status kFailed = 0x8000FFFFu;
constexpr const char* kOrphanLine = "Library name in procedure Orphan is NULL (not defined).";

struct Definition {
  std::string name;
  std::string routine;
  std::string source;
  std::string library;
  std::uint32_t language;
};

// Sub-kind 0 with templates and wrappers, no makefile and no build; each
// definition takes one real input and gives one real output.
std::unique_ptr<vantor_client::Request> Generate(const fs::path& folder,
                                                 const std::vector<Definition>& definitions) {
  auto request = std::make_unique<vantor_client::Request>(kProcFilesService);
  request->PutUInt16(0);
  request->PutUInt32(0x6);
  request->PutString(folder.c_str());
  request->PutUInt32(static_cast<std::uint32_t>(definitions.size()));
  request->PutString("");
  request->PutUInt8(0);
  for (const Definition& d : definitions) {
    request->PutString(d.name.c_str());
    request->PutString(d.routine.c_str());
    request->PutString(d.source.c_str());
    request->PutString(d.library.c_str());
    request->PutUInt32(3);  // interface version
    request->PutUInt32(d.language);
    request->PutUInt32(0);  // options
    request->PutUInt16(1);
    request->PutUInt16(1);
    for (const char* argument : {"x", "y"}) {
      request->PutUInt16(kRealScalar);
      request->PutCString(argument);
      request->PutUInt32(0);
    }
    request->PutUInt32(0);  // no workspace
  }
  return request;
}

std::string Text(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ProcedureFilesRoad : public EngineRoad {};

TEST_F(ProcedureFilesRoad, GeneratedFilesShowTheDefinitionsName) {
  const fs::path folder = work_.path() / "procs";
  fs::create_directories(folder);
  const bool ok = [&] {
    if (!StartEngine(Engine(), "Procs")) return false;
    if (!road_->Expect(
            Generate(folder, {{"PumpCurve", "pumpimpl", "pump.c", "userlib", kLanguageC},
                              {"ValveLaw", "valveimpl", "valve.f", "userlib", kLanguageFortran}}),
            "generating the files", 0))
      return false;
    if (!road_->Expect(Generate(folder, {{"Orphan", "orphanimpl", "orphan.c", "", kLanguageC}}),
                       "a definition without a library", kFailed))
      return false;
    // The messages go out with the next pass of the engine's loop.
    client_->WaitFor([&] {
      road_->Collect();
      return Events().find(kOrphanLine) != std::string::npos;
    });
    return EndEngine();
  }();
  ASSERT_TRUE(ok) << Failure() << "\n" << Events();
  EXPECT_NE(Text(folder / "pump.c").find(" * Code for Procedure Definition PumpCurve\n"),
            std::string::npos);
  EXPECT_NE(Text(folder / "pump.h").find("/*** Prototypes for Procedure Definition PumpCurve ***/"),
            std::string::npos);
  EXPECT_NE(Text(folder / "valve.f").find("C Code for Procedure Definition ValveLaw\n"),
            std::string::npos);
  EXPECT_NE(
      Text(folder / "valveimplI.f").find("C Wrapper code for Procedure Definition ValveLaw\n"),
      std::string::npos);
  EXPECT_NE(Events().find(kOrphanLine), std::string::npos) << Events();
  EXPECT_FALSE(fs::exists(folder / "orphan.c"));
}

// A template named without an extension, in an output folder below a folder
// whose name holds a dot: its header is the template's name with ".h", in
// the same folder, and the file where the name would be cut at that dot is
// left alone.
TEST_F(ProcedureFilesRoad, ATemplateWithoutExtensionKeepsItsHeaderInItsFolder) {
  const fs::path outside = work_.path() / "run";
  const fs::path folder = outside / "dot.dir" / "gen";
  fs::create_directories(folder);
  { std::ofstream(outside / "dot.h") << "kept\n"; }
  const bool ok = [&] {
    if (!StartEngine(Engine(), "Procs")) return false;
    if (!road_->Expect(
            Generate(folder, {{"PumpCurve", "pumpimpl", "pumpsrc", "userlib", kLanguageC}}),
            "generating the files", 0))
      return false;
    return EndEngine();
  }();
  ASSERT_TRUE(ok) << Failure() << "\n" << Events();
  EXPECT_EQ(Text(outside / "dot.h"), "kept\n");
  EXPECT_NE(
      Text(folder / "pumpsrc.h").find("/*** Prototypes for Procedure Definition PumpCurve ***/"),
      std::string::npos);
  EXPECT_NE(Text(folder / "pumpsrc").find("#include \"" + (folder / "pumpsrc.h").string() + "\""),
            std::string::npos)
      << Text(folder / "pumpsrc");
}

}  // namespace
