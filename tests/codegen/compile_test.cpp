// Generated sources through the system compilers: a syntax matrix batched
// into a few compiler runs, and real procedures built, loaded and called.
// GCC 12 warns falsely on literal + std::string at -O3 (its bug 105329).
#pragma GCC diagnostic ignored "-Wrestrict"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codegen_helpers.h"
#include "framework/libraries/library_loader.h"

using namespace codegen_test;
namespace fs = std::filesystem;

namespace {

const std::string kInstall = std::string(VANTOR_SOURCE_DIR) + "/codegen/install";

// Runs a shell command; its exit code, with its output in *output.
int RunCommand(const std::string& command, const fs::path& log, std::string* output) {
  const int rc = std::system((command + " >" + log.string() + " 2>&1").c_str());
  *output = ReadText(log);
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), ::toupper);
  return text;
}

// The option sets of the matrix: none, each bit, each pair.
std::vector<std::uint32_t> OptionSets() {
  const std::uint32_t bits[] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x80, 0x2000};
  std::vector<std::uint32_t> sets{0};
  for (std::size_t a = 0; a < 7; ++a) {
    sets.push_back(bits[a]);
    for (std::size_t b = a + 1; b < 7; ++b) sets.push_back(bits[a] | bits[b]);
  }
  return sets;
}

// Every type with 0-3 dimensions, named and unnamed in turn, the first
// argument of type `first`.
std::vector<Arg> AllArgs(std::uint16_t first, const char* prefix, std::vector<std::string>* keep) {
  std::vector<Arg> args;
  const std::uint16_t types[] = {procdef::kInteger, procdef::kLogical, procdef::kReal,
                                 procdef::kString};
  std::vector<std::pair<std::uint16_t, std::uint16_t>> order;
  for (std::uint16_t t : types) {
    for (std::uint16_t d = 0; d <= 3; ++d) order.push_back({t, d});
  }
  std::stable_partition(order.begin(), order.end(),
                        [first](const auto& p) { return p.first == first; });
  for (std::size_t k = 0; k < order.size(); ++k) {
    keep->push_back(std::string(prefix) + std::to_string(k));
    args.push_back({order[k].first, order[k].second, k % 3 == 2 ? nullptr : keep->back().c_str()});
  }
  return args;
}

struct Batch {
  std::vector<std::string> files;
  std::string Join() const {
    std::string text;
    for (const auto& f : files) text += " " + f;
    return text;
  }
};

// Generates one C or C++ template (with its header) into the folder.
void AddCTemplate(const fs::path& folder, const std::string& base, const SUProcDef& def,
                  std::uint32_t request, std::int32_t workspace, Batch* batch) {
  const bool cpp = def.Language() == procdef::kLanguageCpp;
  const fs::path path = folder / (base + (cpp ? ".cpp" : ".c"));
  SUCodeGenerate gen{&def, base, workspace};
  Reports reports;
  ASSERT_EQ(WriteCTemplate(gen, reports.Callback(), request, folder.c_str(), base.c_str(),
                           Upper(base).c_str(), path.c_str()),
            0u);
  batch->files.push_back(path.string());
}

}  // namespace

TEST(CodegenCompile, CTemplatesAndHeadersCompileOverTheMatrix) {
  const fs::path folder = FreshFolder("cmatrix");
  Batch c, cpp;
  std::vector<std::string> keep;
  keep.reserve(100000);
  int n = 0;
  const std::uint16_t types[] = {procdef::kInteger, procdef::kLogical, procdef::kReal,
                                 procdef::kString};
  for (std::uint32_t options : OptionSets()) {
    for (std::uint16_t first : types) {
      if (!(options & procdef::kFunction) && first != types[n % 4]) continue;
      for (int debug = 0; debug < 2; ++debug) {
        SUProcDef def;
        const std::uint32_t language = (n % 2) ? procdef::kLanguageCpp : procdef::kLanguageC;
        Define(&def, "m", language, options, AllArgs(first, "in", &keep),
               AllArgs(first, "out", &keep));
        const std::string base = "m" + std::to_string(n++);
        AddCTemplate(folder, base, def, debug ? codegen::kRequestDebug : 0, debug,
                     language == procdef::kLanguageCpp ? &cpp : &c);
      }
    }
  }
  // A seeded random corpus of smaller definitions.
  std::mt19937 random(20261207);
  for (int k = 0; k < 40; ++k) {
    std::vector<Arg> in, out;
    const int nin = static_cast<int>(random() % 5), nout = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < nin + nout; ++i) {
      keep.push_back("r" + std::to_string(k) + "_" + std::to_string(i));
      Arg arg{static_cast<std::uint16_t>(2 + random() % 4),
              static_cast<std::uint16_t>(random() % 4),
              random() % 4 == 0 ? nullptr : keep.back().c_str()};
      (i < nin ? in : out).push_back(arg);
    }
    SUProcDef def;
    std::uint32_t options = 0;
    for (std::uint32_t bit : {0x1u, 0x2u, 0x4u, 0x8u, 0x10u, 0x80u, 0x2000u}) {
      if (random() % 3 == 0) options |= bit;
    }
    Define(&def, "r", k % 2 ? procdef::kLanguageCpp : procdef::kLanguageC, options, in, out);
    AddCTemplate(folder, "r" + std::to_string(k), def, random() % 2 ? codegen::kRequestDebug : 0,
                 static_cast<std::int32_t>(random() % 2), k % 2 ? &cpp : &c);
  }
  const std::string flags = " -fsyntax-only -w -I" + kInstall;
  for (const char* define : {"", " -DPROCEDURE_CALL_DEBUG"}) {
    std::string output;
    EXPECT_EQ(RunCommand("gcc -x c" + flags + define + c.Join(), folder / "gcc.log", &output), 0)
        << output.substr(0, 4000);
    EXPECT_EQ(RunCommand("g++ -x c++" + flags + define + cpp.Join(), folder / "gxx.log", &output),
              0)
        << output.substr(0, 4000);
  }
  if (!HasFailure()) fs::remove_all(folder);
}

TEST(CodegenCompile, FortranTemplatesAndWrappersCompileOverTheMatrix) {
  const fs::path folder = FreshFolder("fmatrix");
  // Two files of many program units: one compiler process each.
  std::ostringstream templates, wrappers;
  std::vector<std::string> keep;
  keep.reserve(100000);
  int n = 0;
  const std::uint16_t types[] = {procdef::kInteger, procdef::kLogical, procdef::kReal,
                                 procdef::kString};
  auto add = [&](const SUProcDef& def, std::uint32_t request, std::int32_t workspace) {
    const std::string base = "f" + std::to_string(n++);
    SUCodeGenerate gen{&def, base, workspace};
    Reports reports;
    const fs::path path = folder / (base + ".f");
    ASSERT_EQ(
        WriteFortranTemplate(gen, reports.Callback(), request, path.c_str(), Upper(base).c_str()),
        0u);
    templates << ReadText(path);
    // The wrapper stores a function's result as a real: a text result is
    // UNKNOWNTYPE and a logical one cannot be converted.
    const std::uint16_t result = procdef::TypeCode(def.OutputDescriptor(0));
    if ((def.Options() & procdef::kFunction) &&
        (result == procdef::kString || result == procdef::kLogical)) {
      return;
    }
    ASSERT_EQ(WriteFortranWrapper(gen, reports.Callback(), request, folder.c_str(), base.c_str(),
                                  Upper(base).c_str()),
              0u);
    wrappers << ReadText(folder / (base + "I.f"));
  };
  for (std::uint32_t options : OptionSets()) {
    for (std::uint16_t first : types) {
      if (!(options & procdef::kFunction) && first != types[n % 4]) continue;
      for (int debug = 0; debug < 2; ++debug) {
        SUProcDef def;
        Define(&def, "f", procdef::kLanguageFortran, options, AllArgs(first, "in", &keep),
               AllArgs(first, "out", &keep));
        add(def, debug ? codegen::kRequestDebug : 0, debug);
      }
    }
  }
  std::mt19937 random(7121962);
  for (int k = 0; k < 40; ++k) {
    std::vector<Arg> in, out;
    const int nin = static_cast<int>(random() % 5), nout = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < nin + nout; ++i) {
      keep.push_back("r" + std::to_string(k) + "x" + std::to_string(i));
      Arg arg{static_cast<std::uint16_t>(2 + random() % 4),
              static_cast<std::uint16_t>(random() % 4),
              random() % 4 == 0 ? nullptr : keep.back().c_str()};
      (i < nin ? in : out).push_back(arg);
    }
    SUProcDef def;
    std::uint32_t options = 0;
    for (std::uint32_t bit : {0x1u, 0x2u, 0x4u, 0x8u, 0x10u, 0x80u, 0x2000u}) {
      if (random() % 3 == 0) options |= bit;
    }
    Define(&def, "r", procdef::kLanguageFortran, options, in, out);
    // Long dimension names push the argument lists across column 72.
    if (k % 5 == 0 && !in.empty() && procdef::Dimensions(def.InputDescriptor(0)) > 0) {
      def.SetInputDimName(0, 0, "AVeryLongDimensionNameThatIsLongEnough");
    }
    add(def, random() % 2 ? codegen::kRequestDebug : 0, static_cast<std::int32_t>(random() % 2));
  }
  std::ofstream(folder / "templates.f") << templates.str();
  std::ofstream(folder / "wrappers.f") << wrappers.str();
  const std::string files =
      " " + (folder / "templates.f").string() + " " + (folder / "wrappers.f").string();
  // The debug lines pass QLN_PRINT values of varying types.
  const std::string flags = " -fsyntax-only -ffixed-form -Werror=line-truncation";
  for (const char* lines :
       {" -fd-lines-as-comments", " -fd-lines-as-code -fallow-argument-mismatch"}) {
    std::string output;
    EXPECT_EQ(RunCommand("gfortran" + flags + lines + files, folder / "gfortran.log", &output), 0)
        << output.substr(0, 4000);
  }
  if (!HasFailure()) fs::remove_all(folder);
}
