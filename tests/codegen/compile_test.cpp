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

// One definition of a seeded corpus: up to four inputs and one to four
// outputs of any type and rank, some unnamed, a random set of options.
// Whether it has inputs.
bool RandomDefinition(std::mt19937& random, const std::string& stem, std::uint32_t language,
                      std::vector<std::string>* keep, SUProcDef* def) {
  std::vector<Arg> in, out;
  const int nin = static_cast<int>(random() % 5), nout = 1 + static_cast<int>(random() % 4);
  for (int i = 0; i < nin + nout; ++i) {
    keep->push_back(stem + std::to_string(i));
    Arg arg{static_cast<std::uint16_t>(2 + random() % 4), static_cast<std::uint16_t>(random() % 4),
            random() % 4 == 0 ? nullptr : keep->back().c_str()};
    (i < nin ? in : out).push_back(arg);
  }
  std::uint32_t options = 0;
  for (std::uint32_t bit : {0x1u, 0x2u, 0x4u, 0x8u, 0x10u, 0x80u, 0x2000u}) {
    if (random() % 3 == 0) options |= bit;
  }
  Define(def, "r", language, options, in, out);
  return !in.empty();
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

// The old-interface C file: the wrapper of a version-1 procedure or a
// template.
void AddOldC(const fs::path& folder, const std::string& base, const SUProcDef& def,
             std::uint32_t request, bool wrapper, Batch* batch) {
  SUCodeGenerate gen{&def, base, wrapper ? 1 : 0};
  Reports reports;
  const fs::path path = folder / (base + (wrapper ? "I.c" : ".c"));
  const std::string template_path = path.string();
  ASSERT_EQ(
      WriteCTemplateOld(gen, reports.Callback(), request, folder.c_str(), wrapper, base.c_str(),
                        Upper(base).c_str(), wrapper ? nullptr : template_path.c_str()),
      0u);
  ASSERT_TRUE(fs::exists(path));
  batch->files.push_back(path.string());
}

}  // namespace

// The matrix in parts, each compiled on its own: on a busy machine the
// whole of it outlasts a test's time-out. Every part writes the whole
// matrix, which costs little, and compiles the option sets (and the
// corpus definitions) whose number falls to it.
constexpr int kMatrixParts = 8;

class CodegenCompileC : public ::testing::TestWithParam<int> {};

TEST_P(CodegenCompileC, CTemplatesAndHeadersCompileOverTheMatrix) {
  const int part = GetParam();
  const fs::path folder = FreshFolder("cmatrix" + std::to_string(part));
  Batch c, cpp, other;
  std::vector<std::string> keep;
  keep.reserve(100000);
  int n = 0;
  int set = 0;
  const std::uint16_t types[] = {procdef::kInteger, procdef::kLogical, procdef::kReal,
                                 procdef::kString};
  for (std::uint32_t options : OptionSets()) {
    const bool mine = set++ % kMatrixParts == part;
    for (std::uint16_t first : types) {
      if (!(options & procdef::kFunction) && first != types[n % 4]) continue;
      for (int debug = 0; debug < 2; ++debug) {
        SUProcDef def;
        const std::uint32_t language = (n % 2) ? procdef::kLanguageCpp : procdef::kLanguageC;
        Define(&def, "m", language, options, AllArgs(first, "in", &keep),
               AllArgs(first, "out", &keep));
        const std::string base = "m" + std::to_string(n++);
        AddCTemplate(folder, base, def, debug ? codegen::kRequestDebug : 0, debug,
                     !mine                               ? &other
                     : language == procdef::kLanguageCpp ? &cpp
                                                         : &c);
        if (language == procdef::kLanguageC) {
          // The old interface: a version-1 wrapper or a version-2 template.
          SUProcDef old_def;
          Define(&old_def, "o", language, options, AllArgs(first, "in", &keep),
                 AllArgs(first, "out", &keep), debug ? 1 : 2);
          AddOldC(folder, "o" + std::to_string(n), old_def, debug ? codegen::kRequestDebug : 0,
                  debug == 1, mine ? &c : &other);
        }
      }
    }
  }
  // A seeded random corpus of smaller definitions.
  std::mt19937 random(20261207);
  for (int k = 0; k < 24; ++k) {
    SUProcDef def;
    RandomDefinition(random, "r" + std::to_string(k) + "_",
                     k % 2 ? procdef::kLanguageCpp : procdef::kLanguageC, &keep, &def);
    const bool mine = k % kMatrixParts == part;
    AddCTemplate(folder, "r" + std::to_string(k), def, random() % 2 ? codegen::kRequestDebug : 0,
                 static_cast<std::int32_t>(random() % 2),
                 !mine   ? &other
                 : k % 2 ? &cpp
                         : &c);
  }
  ASSERT_FALSE(c.files.empty() && cpp.files.empty());
  const std::string flags = " -fsyntax-only -w -I" + kInstall;
  for (const char* define : {"", " -DPROCEDURE_CALL_DEBUG"}) {
    std::string output;
    if (!c.files.empty()) {
      EXPECT_EQ(RunCommand("gcc -x c" + flags + define + c.Join(), folder / "gcc.log", &output), 0)
          << output.substr(0, 4000);
    }
    if (!cpp.files.empty()) {
      EXPECT_EQ(RunCommand("g++ -x c++" + flags + define + cpp.Join(), folder / "gxx.log", &output),
                0)
          << output.substr(0, 4000);
    }
  }
  if (!HasFailure()) fs::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(CodegenCompileMatrix, CodegenCompileC, ::testing::Range(0, kMatrixParts));

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
    ASSERT_EQ(WriteFortranWrapper(gen, reports.Callback(), request, folder.c_str(), base.c_str(),
                                  Upper(base).c_str()),
              0u);
    wrappers << ReadText(folder / (base + "I.f"));
    // Every other definition through the old interface too.
    if (n % 2) return;
    SUProcDef old_def(def);
    old_def.SetInterfaceVersion(request ? 1 : 2);
    SUCodeGenerate old_gen{&old_def, base, workspace};
    const std::string old_base = "g" + base.substr(1);
    const fs::path old_path = folder / (old_base + ".f");
    ASSERT_EQ(WriteFortranTemplateOld(old_gen, reports.Callback(), request, old_path.c_str(),
                                      Upper(old_base).c_str()),
              0u);
    templates << ReadText(old_path);
    ASSERT_EQ(WriteFortranWrapperOld(old_gen, reports.Callback(), request, folder.c_str(),
                                     old_base.c_str(), Upper(old_base).c_str()),
              0u);
    wrappers << ReadText(folder / (old_base + "I.f"));
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
  for (int k = 0; k < 24; ++k) {
    SUProcDef def;
    const bool inputs = RandomDefinition(random, "r" + std::to_string(k) + "x",
                                         procdef::kLanguageFortran, &keep, &def);
    // Long dimension names push the argument lists across column 72.
    if (k % 5 == 0 && inputs && procdef::Dimensions(def.InputDescriptor(0)) > 0) {
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

// The engine's printer as generated procedures call it; this test program
// exports its own, which keeps the last format.
static std::string g_last_print;
extern "C" void QLN_Print(int, char* format, ...) { g_last_print = format; }

namespace {

using NewEntry = void (*)(int*, double*, int*, double*, int*, int*, int*, int*, double*, int*, int*,
                          int*, int*, int*, double*, int*);

struct Call16 {
  std::vector<double> inputs = std::vector<double>(20, 0.0);
  std::vector<double> outputs = std::vector<double>(2, 0.0);
  std::vector<int> in_sizes{2, 3}, out_sizes{0}, in_offs, out_offs;
  int props = 0, wsize = 0, nonzeros = 0, unused = 0, ifail = 0;
  std::vector<int> rows, cols;
  std::vector<double> derivs;
  double work = 0;
  void Invoke(NewEntry entry, int icall) {
    derivs.assign(rows.size(), -1.0);
    nonzeros = static_cast<int>(rows.size());
    ifail = 0;
    entry(&icall, inputs.data(), in_sizes.data(), outputs.data(), out_sizes.data(), in_offs.data(),
          out_offs.data(), &props, &work, &wsize, &nonzeros, rows.data(), cols.data(), &unused,
          derivs.data(), &ifail);
  }
};

// x real, n integer, s a 40-character text, M real 2 by 3; y and z real.
void PackInputs(Call16* call, int first, bool column_major) {
  call->in_offs = {first, first + 1, first + 2, first + 7};
  call->out_offs = {first, first + 1};
  call->inputs[0] = 1.5;
  const std::int64_t n = -7;  // an integer value in its own 8-byte slot
  std::memcpy(&call->inputs[1], &n, sizeof n);
  char text[40];
  std::memset(text, 'a', sizeof text);
  text[39] = 'Z';
  std::memcpy(&call->inputs[2], text, sizeof text);
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 3; ++c) {
      const int k = column_major ? r + 2 * c : r * 3 + c;
      call->inputs[7 + k] = 10.0 * r + c;
    }
  }
}

}  // namespace

TEST(CodegenCompile, GeneratedProceduresBuildLoadAndAnswer) {
  const fs::path folder = FreshFolder("run");
  Reports reports;
  const std::vector<Arg> in{{procdef::kReal, 0, "x"},
                            {procdef::kInteger, 0, "n"},
                            {procdef::kString, 0, "s"},
                            {procdef::kReal, 2, "M"}};
  const std::vector<Arg> out{{procdef::kReal, 0, "y"}, {procdef::kReal, 0, "z"}};

  // C, interface 3.
  SUProcDef c_def;
  Define(&c_def, "cproc", procdef::kLanguageC, procdef::kAnalyticDerivatives | procdef::kPrecall,
         in, out);
  SUCodeGenerate c_gen{&c_def, "CProc", 0};
  const fs::path c_path = folder / "cproc.c";
  ASSERT_EQ(WriteCTemplate(c_gen, reports.Callback(), 0, folder.c_str(), "cproc", "CPROC",
                           c_path.c_str()),
            0u);
  std::string c = ReadText(c_path);
  Edit(&c,
       "/* TODO: Put your code to handle precall here */\n      *pIfail = IFAIL_FATAL; /* TODO: "
       "change to IFAIL_OK */",
       "*pIfail = IFAIL_WARN;");
  Edit(&c, "      *py = 0.0;", "      *py = x*x + n + (ps[39]=='Z' ? 100.0 : 0.0);");
  Edit(&c, "      *pz = 0.0;",
       "      { int k; *pz = 0.0; for (k=0;k<MDimsSizes[0]*MDimsSizes[1];k++) *pz += "
       "(k+1)*pM[k]; }");
  Edit(&c, "*pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */", "*pIfail = IFAIL_OK;");
  Edit(&c, "pDerivs[i] = 0.0; /* TODO: Compute deriv of y wrt x here */", "pDerivs[i] = 2.0*x;");
  Edit(&c, "pDerivs[i] = 0.0; /* TODO: Compute deriv of z wrt M here */",
       "pDerivs[i] = iCol - M_FIRST + 1;");
  std::ofstream(c_path) << c;

  // FORTRAN, interface 3: template and wrapper.
  SUProcDef f_def;
  Define(&f_def, "fproc", procdef::kLanguageFortran, procdef::kAnalyticDerivatives, in, out);
  SUCodeGenerate f_gen{&f_def, "FProc", 0};
  const fs::path f_path = folder / "fproc.f";
  ASSERT_EQ(WriteFortranTemplate(f_gen, reports.Callback(), 0, f_path.c_str(), "FPROC"), 0u);
  ASSERT_EQ(WriteFortranWrapper(f_gen, reports.Callback(), 0, folder.c_str(), "fproc", "FPROC"),
            0u);
  std::string f = ReadText(f_path);
  Edit(&f, "        y = 0 ! TODO",
       "        y = x*x + n\n        IF (s(40:40).EQ.'Z') y = y + 100.0");
  Edit(&f, "        z = 0 ! TODO",
       "        z = 0\n        DO I1=1,MDim1\n        DO I2=1,MDim2\n"
       "          z = z + M(I1,I2)*(I1+10*I2)\n        ENDDO\n        ENDDO");
  Edit(&f, "        IFAIL = IFATAL", "        IFAIL = IOK");
  Edit(&f, "C TODO: Derivative of y wrt x\n              DERIVS(I) = 0.0",
       "              DERIVS(I) = 2*x");
  Edit(&f, "C TODO: Derivative of z wrt M(*)\n              DERIVS(I) = 0.0",
       "              DERIVS(I) = MOD(COL-M_First(),MDim1)+1\n"
       "     &          + 10*((COL-M_First())/MDim1+1)");
  std::ofstream(f_path) << f;

  // C, interface 1: the generated wrapper around a user routine.
  SUProcDef o_def;
  Define(&o_def, "oldc", procdef::kLanguageC, procdef::kAnalyticDerivatives,
         {{procdef::kReal, 0, "x"}, {procdef::kInteger, 0, "n"}},
         {{procdef::kReal, 0, "y"}, {procdef::kReal, 0, "z"}}, 1);
  SUCodeGenerate o_gen{&o_def, "OldC", 0};
  ASSERT_EQ(WriteCTemplateOld(o_gen, reports.Callback(), 0, folder.c_str(), true, "oldc", "OLDC",
                              nullptr),
            0u);
  std::ofstream(folder / "olduser.c")
      << "#include \"oldcI.h\"\n"
         "void OLDC_C(double *x, int *n, double *y, double *z, int *iflag, int *props,\n"
         "            double *d, int *nout, int *nin, int *icall) {\n"
         "  if (*icall == 0 || *icall == 4) { *y = 2 * *x + *n; *z = *x * *x; }\n"
         "  if (*icall == 3 || *icall == 4) {\n"
         "    d[0] = 2; d[1] = 2 * *x; d[0 + 1 * *nout] = 0; d[1 + 1 * *nout] = 0;\n"
         "  }\n"
         "  *iflag = (*props == 7 && *nin == 2) ? 1 : 3;\n"
         "}\n";

  // FORTRAN, interface 2: the old template and wrapper.
  SUProcDef g_def;
  Define(&g_def, "oldf", procdef::kLanguageFortran, procdef::kAnalyticDerivatives,
         {{procdef::kReal, 0, "x"}, {procdef::kInteger, 0, "n"}},
         {{procdef::kReal, 0, "y"}, {procdef::kReal, 0, "z"}}, 2);
  SUCodeGenerate g_gen{&g_def, "OldF", 0};
  const fs::path g_path = folder / "oldf.f";
  ASSERT_EQ(WriteFortranTemplateOld(g_gen, reports.Callback(), 0, g_path.c_str(), "OLDF"), 0u);
  ASSERT_EQ(WriteFortranWrapperOld(g_gen, reports.Callback(), 0, folder.c_str(), "oldf", "OLDF"),
            0u);
  std::string g = ReadText(g_path);
  Edit(&g, "C       TODO: Put your code to calculate output value(s) here",
       "        OutArg1 = 2*InArg1 + InArg2\n        OutArg2 = InArg1*InArg1");
  Edit(&g, "C       TODO: Put your code to calculate derivative value(s) here",
       "        Derivs(1,1) = 2\n        Derivs(2,1) = 2*InArg1\n"
       "        Derivs(1,2) = 0\n        Derivs(2,2) = -1");
  Edit(&g, "        Ifail = IFATAL", "        Ifail = IOK");
  std::ofstream(g_path) << g;

  const fs::path library = folder / "userprocs.so";
  std::string output;
  ASSERT_EQ(RunCommand("gfortran -shared -fPIC -O1 -ffixed-form -fd-lines-as-comments -I" +
                           kInstall + " -o " + library.string() + " " + c_path.string() + " " +
                           f_path.string() + " " + (folder / "fprocI.f").string() + " " +
                           (folder / "oldcI.c").string() + " " + (folder / "olduser.c").string() +
                           " " + g_path.string() + " " + (folder / "oldfI.f").string(),
                       folder / "build.log", &output),
            0)
      << output;

  CloseToOthers(library);
  XosDynamicLibrary* lib = XosDynamicLibrary::Load(library.c_str(), nullptr);
  ASSERT_NE(lib, nullptr) << XosDynamicLibrary::LastErrorText();
  // The C procedure under its upper-case name, the FORTRAN wrapper in
  // gfortran's form: both through the loader's look-up.
  auto c_entry = reinterpret_cast<NewEntry>(lib->LookUpSymbol("CPROC", nullptr));
  auto f_entry = reinterpret_cast<NewEntry>(lib->LookUpSymbol("QLN13_FPROC", nullptr));
  ASSERT_NE(c_entry, nullptr);
  ASSERT_NE(f_entry, nullptr);

  Call16 cc;
  PackInputs(&cc, 0, false);
  cc.rows = {1, 2, 2};
  cc.cols = {1, 8, 12};  // y wrt x; z wrt M's first and fifth elements
  cc.Invoke(c_entry, 4);
  EXPECT_EQ(cc.ifail, 1);
  EXPECT_DOUBLE_EQ(cc.outputs[0], 1.5 * 1.5 - 7 + 100);
  double z = 0;
  for (int k = 0; k < 6; ++k) z += (k + 1) * (10.0 * (k / 3) + k % 3);
  EXPECT_DOUBLE_EQ(cc.outputs[1], z);
  EXPECT_EQ(cc.derivs, (std::vector<double>{3.0, 1.0, 5.0}));
  cc.Invoke(c_entry, 1);
  EXPECT_EQ(cc.ifail, 2);  // the precall case
  cc.Invoke(c_entry, 6);
  EXPECT_EQ(cc.ifail, 4);  // not handled: the default case
  EXPECT_EQ(g_last_print, "CPROC was called with ICall=%d, which was not handled");

  Call16 fc;
  PackInputs(&fc, 1, true);
  fc.rows = {1, 2, 2};
  fc.cols = {1, 4, 9};  // y wrt x; z wrt M(1,1) and M(2,3)
  fc.Invoke(f_entry, 0);
  EXPECT_EQ(fc.ifail, 1);
  EXPECT_DOUBLE_EQ(fc.outputs[0], 1.5 * 1.5 - 7 + 100);
  double fz = 0;
  for (int r = 1; r <= 2; ++r) {
    for (int col = 1; col <= 3; ++col) fz += (10.0 * (r - 1) + (col - 1)) * (r + 10 * col);
  }
  EXPECT_DOUBLE_EQ(fc.outputs[1], fz);
  EXPECT_EQ(fc.derivs, (std::vector<double>(3, -1.0)));  // outputs only
  fc.Invoke(f_entry, 3);
  EXPECT_EQ(fc.derivs, (std::vector<double>{3.0, 11.0, 32.0}));
  // The old interface: 14 arguments, the dense NOut by NIn matrix.
  using OldEntry = void (*)(double*, int*, double*, int*, int*, int*, int*, int*, double*, int*,
                            double*, int*, int*, int*);
  auto o_entry = reinterpret_cast<OldEntry>(lib->LookUpSymbol("SU55IF_OLDC", nullptr));
  ASSERT_NE(o_entry, nullptr);
  std::vector<double> inputs(2), outputs(2), deriv(4, -1.0);
  inputs[0] = 3.0;
  const std::int64_t n = 5;
  std::memcpy(&inputs[1], &n, sizeof n);
  int sizes = 0, offs_in[] = {0, 1}, offs_out[] = {0, 1}, ifail = 0, props = 7, wsize = 0;
  int nout = 2, nin = 2, icall = 4;
  double work = 0;
  o_entry(inputs.data(), &sizes, outputs.data(), &sizes, offs_in, offs_out, &ifail, &props, &work,
          &wsize, deriv.data(), &nout, &nin, &icall);
  EXPECT_EQ(ifail, 1);
  EXPECT_EQ(outputs, (std::vector<double>{11.0, 9.0}));
  EXPECT_EQ(deriv, (std::vector<double>{2.0, 6.0, 0.0, 0.0}));
  auto g_entry = reinterpret_cast<OldEntry>(lib->LookUpSymbol("SU55IF_OLDF", nullptr));
  ASSERT_NE(g_entry, nullptr);
  int foffs_in[] = {1, 2}, foffs_out[] = {1, 2};
  outputs.assign(2, 0.0);
  deriv.assign(4, -9.0);
  ifail = 0;
  g_entry(inputs.data(), &sizes, outputs.data(), &sizes, foffs_in, foffs_out, &ifail, &props, &work,
          &wsize, deriv.data(), &nout, &nin, &icall);
  EXPECT_EQ(ifail, 1);
  EXPECT_EQ(outputs, (std::vector<double>{11.0, 9.0}));
  EXPECT_EQ(deriv, (std::vector<double>{2.0, 6.0, 0.0, -1.0}));
  lib->Release();
  if (!HasFailure()) fs::remove_all(folder);
}

// Functions whose result is not a real: the current FORTRAN wrapper stores
// an integer or logical result as a 64-bit integer and a text as its 40
// characters; the version-1 C wrapper copies a text result into its slots.
TEST(CodegenCompile, FunctionResultsReachTheirSlots) {
  const fs::path folder = FreshFolder("results");
  Reports reports;
  std::vector<std::string> files;
  struct Case {
    const char* base;
    std::uint16_t type;
    const char* code;
  };
  const Case cases[] = {{"ifn", procdef::kInteger, "        RetVal = -3*N"},
                        {"lfn", procdef::kLogical, "        RetVal = N.GT.2"},
                        {"tfn", procdef::kString, "        RetVal = 'text'"}};
  for (const Case& c : cases) {
    SUProcDef def;
    Define(&def, c.base, procdef::kLanguageFortran, procdef::kFunction,
           {{procdef::kInteger, 0, "N"}}, {{c.type, 0, "r"}});
    SUCodeGenerate gen{&def, c.base, 0};
    const fs::path path = folder / (std::string(c.base) + ".f");
    const std::string NAME = Upper(c.base);
    ASSERT_EQ(WriteFortranTemplate(gen, reports.Callback(), codegen::kRequestDebug, path.c_str(),
                                   NAME.c_str()),
              0u);
    ASSERT_EQ(WriteFortranWrapper(gen, reports.Callback(), 0, folder.c_str(), c.base, NAME.c_str()),
              0u);
    std::string text = ReadText(path);
    Edit(&text, c.type == procdef::kString ? "        RetVal = ' '" : "        RetVal = 0", c.code);
    Edit(&text, "        IFAIL = IFATAL", "        IFAIL = IOK");
    std::ofstream(path) << text;
    files.push_back(path.string());
    files.push_back((folder / (std::string(c.base) + "I.f")).string());
  }
  SUProcDef o_def;
  Define(&o_def, "oldt", procdef::kLanguageC, procdef::kFunction, {{procdef::kReal, 0, "x"}},
         {{procdef::kString, 0, "t"}}, 1);
  SUCodeGenerate o_gen{&o_def, "OldT", 0};
  ASSERT_EQ(WriteCTemplateOld(o_gen, reports.Callback(), 0, folder.c_str(), true, "oldt", "OLDT",
                              nullptr),
            0u);
  std::ofstream(folder / "oldtuser.c")
      << "#include \"oldtI.h\"\n"
         "static char text[40];\n"
         "char *OLDT_C(double *x, int *iflag, int *props) {\n"
         "  text[0] = *x > 0 ? 'p' : 'n'; *iflag = *props == 7 ? 1 : 3; return text;\n"
         "}\n";
  files.push_back((folder / "oldtI.c").string());
  files.push_back((folder / "oldtuser.c").string());

  const fs::path library = folder / "results.so";
  std::string command = "gfortran -shared -fPIC -O1 -ffixed-form -fd-lines-as-comments -I" +
                        kInstall + " -o " + library.string();
  for (const auto& f : files) command += " " + f;
  std::string output;
  ASSERT_EQ(RunCommand(command, folder / "build.log", &output), 0) << output;
  CloseToOthers(library);
  XosDynamicLibrary* lib = XosDynamicLibrary::Load(library.c_str(), nullptr);
  ASSERT_NE(lib, nullptr) << XosDynamicLibrary::LastErrorText();

  Call16 call;
  call.in_offs = {1};
  call.out_offs = {1};
  call.outputs.assign(5, -1.0);
  auto slot = [&call] {
    std::int64_t n = 0;
    std::memcpy(&n, call.outputs.data(), sizeof n);
    return n;
  };
  for (std::int64_t n : {5, 1}) {
    std::memcpy(call.inputs.data(), &n, sizeof n);
    auto integer = reinterpret_cast<NewEntry>(lib->LookUpSymbol("QLN13_IFN", nullptr));
    ASSERT_NE(integer, nullptr);
    call.Invoke(integer, 0);
    EXPECT_EQ(call.ifail, 1);
    EXPECT_EQ(slot(), -3 * n);  // sign-extended over the whole slot
    auto logical = reinterpret_cast<NewEntry>(lib->LookUpSymbol("QLN13_LFN", nullptr));
    ASSERT_NE(logical, nullptr);
    call.Invoke(logical, 0);
    EXPECT_EQ(slot(), n > 2 ? 1 : 0);
  }
  auto text = reinterpret_cast<NewEntry>(lib->LookUpSymbol("QLN13_TFN", nullptr));
  ASSERT_NE(text, nullptr);
  call.Invoke(text, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(call.outputs.data()), 40),
            "text" + std::string(36, ' '));

  using OldEntry = void (*)(double*, int*, double*, int*, int*, int*, int*, int*, double*, int*,
                            double*, int*, int*, int*);
  auto old = reinterpret_cast<OldEntry>(lib->LookUpSymbol("SU55IF_OLDT", nullptr));
  ASSERT_NE(old, nullptr);
  double x = -2.0, outputs[5] = {}, work = 0, deriv = 0;
  int sizes = 0, offs[] = {0}, ifail = 0, props = 7, wsize = 0, nout = 1, nin = 1, icall = 0;
  old(&x, &sizes, outputs, &sizes, offs, offs, &ifail, &props, &work, &wsize, &deriv, &nout, &nin,
      &icall);
  EXPECT_EQ(ifail, 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(outputs), "n");
  lib->Release();
  if (!HasFailure()) fs::remove_all(folder);
}
