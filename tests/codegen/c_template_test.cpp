#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "codegen_helpers.h"

using namespace codegen_test;

namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}
bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Generated {
  std::string header, source;
  Reports reports;
  Status status = 0;
};

Generated Generate(const SUProcDef& def, std::uint32_t request, const std::string& name,
                   const std::filesystem::path& folder, std::int32_t workspace = 0) {
  Generated g;
  SUCodeGenerate gen{&def, "Display " + name, workspace};
  std::string upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  const auto path = folder / (name + ".c");
  g.status = WriteCTemplate(gen, g.reports.Callback(), request, folder.c_str(), name.c_str(),
                            upper.c_str(), path.c_str());
  g.header = ReadText(folder / (name + ".h"));
  g.source = ReadText(path);
  return g;
}

}  // namespace

TEST(CTemplate, DimsSizesRunAcrossArrayInputsAndOutputs) {
  auto folder = FreshFolder("dims");
  SUProcDef def;
  Define(&def, "dims", procdef::kLanguageC, procdef::kAnalyticDerivatives,
         {{4, 0, "T"}, {4, 2, "X"}, {2, 3, "N"}}, {{4, 1, "Y"}, {4, 2, "Z"}});
  auto g = Generate(def, 0, "dims", folder);
  ASSERT_EQ(g.status, 0u);
  const auto lines = Lines(g.source);
  EXPECT_TRUE(Has(lines, "  int XDimsSizes[XDims] = {pInSizes[0], pInSizes[1]};"));
  EXPECT_TRUE(Has(lines, "  int NDimsSizes[NDims] = {pInSizes[2], pInSizes[3], pInSizes[4]};"));
  EXPECT_TRUE(Has(lines, "  int YDimsSizes[YDims] = {pOutSizes[0]};"));
  EXPECT_TRUE(Has(lines, "  int ZDimsSizes[ZDims] = {pOutSizes[1], pOutSizes[2]};"));
  EXPECT_TRUE(Has(lines, "  int iDim1,iDim2,iDim3;"));
  EXPECT_TRUE(Has(lines, "#define T_COL (pInOffs[0] + 1)"));
  EXPECT_TRUE(Has(lines, "#define X_FIRST (pInOffs[1] + 1)"));
  EXPECT_TRUE(Has(lines, "#define Z_FIRST (pOutOffs[1] + 1)"));
  EXPECT_TRUE(Has(lines, "  int NONZEROS = *pNonZeros;     /* non-zero count */"));
  EXPECT_TRUE(Has(lines, "   case ICALL_DERIVS:"));
  EXPECT_TRUE(Has(lines, " /* N is Integer and cannot be active */"));
  EXPECT_TRUE(Has(lines, "      if (ICALL_OUTPUTS==ICall) break;"));
  // Reverse order: the last output is tested first, the last real input first.
  const auto z = std::find(lines.begin(), lines.end(), "          if (Z_FIRST <= iRow)");
  const auto y = std::find(lines.begin(), lines.end(), "          else if (Y_FIRST <= iRow)");
  EXPECT_TRUE(z < y && y != lines.end());
  EXPECT_TRUE(Has(lines, "            if (X_FIRST <= iCol)"));
  EXPECT_TRUE(Has(lines, "            else if (T_COL == iCol)"));
  std::filesystem::remove_all(folder);
}

TEST(CTemplate, WithoutDerivativesAndWithProblemCalls) {
  auto folder = FreshFolder("plain");
  SUProcDef def;
  Define(&def, "plain", procdef::kLanguageC, procdef::kProblemCalls, {{4, 0, "a"}, {2, 0, nullptr}},
         {{4, 0, "b"}});
  auto g = Generate(def, 0, "plain", folder);
  ASSERT_EQ(g.status, 0u);
  for (const char* absent :
       {"ICALL_DERIVS:", "NONZEROS", "_COL", "_ROW", "_FIRST", "case ICALL_PRECALL",
        "case ICALL_POSTCALL", "Variables used for array accessing"}) {
    EXPECT_FALSE(Contains(g.source, absent)) << absent;
  }
  const auto lines = Lines(g.source);
  EXPECT_TRUE(Has(lines, "#define ICALL_OPENPROB 5"));
  EXPECT_TRUE(Has(lines, "#define ICALL_CLOSEPROB 6"));
  EXPECT_TRUE(Has(lines, "   case ICALL_OPENPROB:"));
  EXPECT_TRUE(Has(lines, "   case ICALL_CLOSEPROB:"));
  EXPECT_TRUE(Has(lines, "      break;"));
  // The unnamed integer gets its default name instead of an empty one.
  EXPECT_TRUE(Has(lines, "  const int InArg2 = *(int*)(&pInputs[pInOffs[1]]);"));
  EXPECT_TRUE(Has(lines, "  const double a = pInputs[pInOffs[0]];"));
  EXPECT_TRUE(Has(lines, "      *pb = 0.0;"));
  // Reports: the header's progress only.
  ASSERT_EQ(g.reports.texts.size(), 1u);
  EXPECT_EQ(g.reports.texts[0],
            "Generating 'C' template header file " + (folder / "plain.h").string());
  EXPECT_EQ(g.reports.statuses[0], 0u);
  std::filesystem::remove_all(folder);
}

TEST(CTemplate, FunctionResultAndWrapperHeader) {
  auto folder = FreshFolder("func");
  SUProcDef def;
  Define(&def, "func", procdef::kLanguageC, procdef::kFunction | procdef::kPropertiesId,
         {{4, 1, "v"}, {5, 0, "s"}}, {{4, 0, "r"}}, 1);
  auto g = Generate(def, 0, "func", folder);
  ASSERT_EQ(g.status, 0u);
  const auto lines = Lines(g.source);
  EXPECT_TRUE(Has(lines, "  double *pResult = (double *)(&pOutputs[pOutOffs[0]]);"));
  EXPECT_FALSE(Contains(g.source, "double *pr "));
  EXPECT_TRUE(Has(lines, "      } /* end dealing with function result */"));
  EXPECT_TRUE(Has(lines, "DLL_C_AS_F(void) FUNC_C("));

  Reports reports;
  SUCodeGenerate gen{&def, "Func", 1};
  std::string header;
  ASSERT_EQ(WriteCHeader(gen, reports.Callback(), &header, (folder.string() + "/").c_str(), true,
                         "func", "FUNC", nullptr),
            0u);
  EXPECT_EQ(header, (folder / "funcI.h").string());
  EXPECT_EQ(reports.texts[0], "Generating 'C' wrapper header file " + header);
  const std::string expected =
      "#ifndef FUNCI_H\n#define FUNCI_H\n/*** Prototypes for Procedure Definition Func ***/\n"
      "#include \"bvutcfor.h\"\n"
      "#if defined(SOLARIS) || defined(SGI) || (defined(UNIX) && defined(DEC_AXP))\n"
      "#define FUNC_C func_\n#define SU55IF_FUNC_C su55if_func_\n"
      "#elif defined(HP9000) || defined(RS6000)\n#define FUNC_C func\n"
      "#define SU55IF_FUNC_C su55if_func\n"
      "#elif (defined(INTEL_X86)&&defined(WIN32)) || (defined(DEC_AXP)&&defined(WIN32)) || "
      "defined(CRAY) || defined(__linux__)\n"
      "#define FUNC_C FUNC\n#define SU55IF_FUNC_C SU55IF_FUNC\n#else\n"
      "#error \"Platform is not defined\"\n#endif\n \n"
      "EXT_C_AS_F(double) FUNC_C (\n"
      "    /* Input  #1  */ double*,int*, \n"
      "    /* Input  #2  */ char **, \n"
      "      int*               /* Iflag - status flag */\n"
      "      ,int*              /* Properties Id */\n"
      "      ,double*,int*      /* Workspace and size */\n"
      "      );\n#endif\n";
  EXPECT_EQ(ReadText(header), expected);
  std::filesystem::remove_all(folder);
}

TEST(CTemplate, FailuresAreReportedAndCounted) {
  auto folder = FreshFolder("fail");
  SUProcDef def;
  Define(&def, "bad", procdef::kLanguageC, 0, {{4, 0, "a"}}, {{4, 0, "b"}});
  SUCodeGenerate gen{&def, "Bad", 0};
  // The header's folder does not exist: no template either.
  Reports reports;
  const auto missing = folder / "missing" / "bad.c";
  const std::int32_t before = codegen::ErrorCount();
  EXPECT_EQ(
      WriteCTemplate(gen, reports.Callback(), 0, folder.c_str(), "bad", "BAD", missing.c_str()),
      0x8000FFFFu);
  EXPECT_EQ(codegen::ErrorCount(), before + 1);
  ASSERT_EQ(reports.texts.size(), 3u);
  const std::string header = (folder / "missing" / "bad.h").string();
  EXPECT_EQ(reports.texts[1],
            "Failed to generate " + header + " (system message: No such file or directory)");
  EXPECT_EQ(reports.statuses[1], 0xA000FFFFu);
  EXPECT_EQ(reports.texts[2], "Failed to create " + header + " header file");
  EXPECT_FALSE(std::filesystem::exists(missing));

  // The template itself cannot be opened (a folder is in the way).
  codegen::ResetErrorCount();
  std::filesystem::create_directory(folder / "dir.c");
  Reports second;
  EXPECT_EQ(WriteCTemplate(gen, second.Callback(), 0, folder.c_str(), "dir", "DIR",
                           (folder / "dir.c").c_str()),
            0x8000FFFFu);
  EXPECT_EQ(codegen::ErrorCount(), 1);
  EXPECT_EQ(second.texts.back(), "Failed to create " + (folder / "dir.c").string() +
                                     " (system message: Is a directory)");
  std::filesystem::remove_all(folder);
}

TEST(CTemplate, GeneratedFileNames) {
  Reports reports;
  EXPECT_EQ(MakeGeneratedFileName(reports.Callback(), "/a/", true, "p", ".f", "what"), "/a/pI.f");
  EXPECT_EQ(MakeGeneratedFileName(reports.Callback(), "", false, "p", ".h", "what"), "p.h");
  EXPECT_EQ(MakeGeneratedFileName(reports.Callback(), "/a", false, "p", ".h", "what"), "/a/p.h");
  EXPECT_EQ(reports.texts[0], "Generating what /a/pI.f");
  // A template path without an extension gets ".h" appended.
  auto folder = FreshFolder("noext");
  SUProcDef def;
  Define(&def, "n", procdef::kLanguageC, 0, {}, {});
  SUCodeGenerate gen{&def, "N", 0};
  std::string header;
  ASSERT_EQ(WriteCHeader(gen, reports.Callback(), &header, nullptr, false, "n", "N",
                         (folder / "source").c_str()),
            0u);
  EXPECT_EQ(header, (folder / "source.h").string());
  // A dot in a folder's name is no extension: the header stays beside the
  // template, and a file where the name would be cut is left alone.
  const auto dotted = folder / "dot.dir" / "gen";
  std::filesystem::create_directories(dotted);
  { std::ofstream(folder / "dot.h") << "kept\n"; }
  ASSERT_EQ(WriteCHeader(gen, reports.Callback(), &header, nullptr, false, "n", "N",
                         (dotted / "source").c_str()),
            0u);
  EXPECT_EQ(header, (dotted / "source.h").string());
  EXPECT_TRUE(std::filesystem::exists(dotted / "source.h"));
  EXPECT_EQ(std::filesystem::file_size(folder / "dot.h"), 5u);
  ASSERT_EQ(WriteCHeader(gen, reports.Callback(), &header, nullptr, false, "n", "N",
                         (dotted / "source.c").c_str()),
            0u);
  EXPECT_EQ(header, (dotted / "source.h").string());
  std::filesystem::remove_all(folder);
}
