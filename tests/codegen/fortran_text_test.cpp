#include <algorithm>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "codegen_helpers.h"

using namespace codegen_test;

namespace {

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

TEST(FortranText, LongDimensionNamesContinueBeforeColumn72) {
  auto folder = FreshFolder("flong");
  SUProcDef def;
  Define(&def, "p", procdef::kLanguageFortran, procdef::kAnalyticDerivatives,
         {{procdef::kReal, 3, "Composition"}}, {{procdef::kReal, 0, "y"}});
  def.SetInputDimName(0, 0, "NumberOfComponentsInTheMixture");
  def.SetInputDimName(0, 1, "NumberOfPhasesPresentInTheUnit");
  def.SetInputDimName(0, 2, "NumberOfStagesInTheColumnSection");
  def.AddInputFlags(0, 0x1);
  SUCodeGenerate gen{&def, "P", 0};
  Reports reports;
  const auto path = folder / "p.f";
  ASSERT_EQ(WriteFortranTemplate(gen, reports.Callback(), 0, path.c_str(), "P"), 0u);
  const auto lines = Lines(ReadText(path));
  for (const auto& line : lines) EXPECT_LE(line.size(), 72u) << line;
  EXPECT_TRUE(Has(lines, "     &    Composition, NumberOfComponentsInTheMixture,"));
  EXPECT_TRUE(Has(lines, "     &           NumberOfPhasesPresentInTheUnit,"));
  EXPECT_TRUE(Has(lines, "     &           NumberOfStagesInTheColumnSection,"));
  EXPECT_TRUE(Has(lines,
                  "     &         NumberOfStagesInTheColumnSection ! "
                  "NumberOfStagesInTheColumnSection may have value 0") ||
              Has(lines, "     &        , NumberOfStagesInTheColumnSection"));
  EXPECT_TRUE(Has(lines, "      Composition_First() = 1"));
  EXPECT_TRUE(Has(lines, "      NCols() = Composition_Last()"));
  EXPECT_TRUE(Has(lines, "      y_Row() = 1"));
  // Without debug no line is a debug line.
  for (const auto& line : lines) EXPECT_NE(line.rfind("D", 0), 0u) << line;
  std::filesystem::remove_all(folder);
}

TEST(FortranText, WrapperOfTwoStringsAndTheFunctionForm) {
  auto folder = FreshFolder("fwrap");
  SUProcDef def;
  Define(&def, "s", procdef::kLanguageFortran, 0,
         {{procdef::kString, 0, "a"}, {procdef::kString, 0, "b"}, {procdef::kReal, 1, "v"}},
         {{procdef::kReal, 0, "r"}});
  SUCodeGenerate gen{&def, "S", 0};
  Reports reports;
  ASSERT_EQ(WriteFortranWrapper(gen, reports.Callback(), 0, folder.c_str(), "s", "S"), 0u);
  EXPECT_EQ(reports.texts.back(),
            "Generating FORTRAN wrapper implementation file " + (folder / "sI.f").string());
  const auto lines = Lines(ReadText(folder / "sI.f"));
  EXPECT_TRUE(Has(lines, "C WARNING - This wrapper passes 2 string arguments into"));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "     &      ,40"), 2);
  EXPECT_TRUE(Has(lines, "      SUBROUTINE QLN13_S(ICall_IN,"));
  EXPECT_TRUE(Has(lines, "     &   Inputs(InOffs(3)),InSizes(1),"));
  EXPECT_TRUE(Has(lines, "     &   Outputs(OutOffs(1)),"));

  SUProcDef fn;
  Define(&fn, "f", procdef::kLanguageFortran, procdef::kFunction, {{procdef::kReal, 0, "x"}},
         {{procdef::kReal, 0, "r"}});
  SUCodeGenerate fgen{&fn, "F", 0};
  const auto path = folder / "f.f";
  ASSERT_EQ(WriteFortranTemplate(fgen, reports.Callback(), 0, path.c_str(), "F"), 0u);
  const auto flines = Lines(ReadText(path));
  EXPECT_TRUE(Has(flines, "      FUNCTION F(ICALL,"));
  EXPECT_TRUE(Has(flines, "     &    x,"));
  EXPECT_FALSE(Has(flines, "     &    r,"));
  EXPECT_TRUE(Has(flines, "      DOUBLE PRECISION RetVal,F"));
  EXPECT_TRUE(Has(flines, "      F = RetVal"));
  EXPECT_EQ(flines.back(), "C End F");

  // An unopenable file: the report, the count, 0xA000FFFF.
  const std::int32_t before = codegen::ErrorCount();
  EXPECT_EQ(
      WriteFortranWrapper(gen, reports.Callback(), 0, (folder / "no" / "such").c_str(), "s", "S"),
      0xA000FFFFu);
  EXPECT_EQ(codegen::ErrorCount(), before + 1);
  EXPECT_EQ(reports.texts.back().rfind("Failed to generate ", 0), 0u);
  std::filesystem::remove_all(folder);
}

TEST(OldCText, VersionOneWrapperAndVersionTwoTemplate) {
  auto folder = FreshFolder("oldc");
  SUProcDef def;
  Define(&def, "w", procdef::kLanguageC, procdef::kPrecall, {{procdef::kReal, 0, "x"}},
         {{procdef::kReal, 0, "y"}}, 1);
  SUCodeGenerate gen{&def, "W", 0};
  Reports reports;
  ASSERT_EQ(WriteCTemplateOld(gen, reports.Callback(), 0, folder.c_str(), true, "w", "W", nullptr),
            0u);
  EXPECT_EQ(reports.texts.back(),
            "Generating 'C' wrapper implementation file " + (folder / "wI.c").string());
  const auto header = Lines(ReadText(folder / "wI.h"));
  EXPECT_TRUE(Has(header, "#define SU55IF_W_C SU55IF_W"));
  const auto wrapper = Lines(ReadText(folder / "wI.c"));
  EXPECT_TRUE(Has(wrapper, "DLL_C_AS_F(void) SU55IF_W_C("));
  EXPECT_TRUE(Has(wrapper, "  int PropsId=*pPropsId, ICall=*pICall;"));
  EXPECT_TRUE(Has(wrapper, "    ,&PropsId            /* Properties */"));

  def.SetInterfaceVersion(2);
  const auto path = folder / "w.c";
  ASSERT_EQ(
      WriteCTemplateOld(gen, reports.Callback(), 0, folder.c_str(), false, "w", "W", path.c_str()),
      0u);
  const auto header2 = Lines(ReadText(folder / "w.h"));
  EXPECT_FALSE(Has(header2, "#define SU55IF_W_C SU55IF_W"));
  const auto source = Lines(ReadText(path));
  EXPECT_TRUE(Has(source, "DLL_C_AS_F(void) W_C("));
  EXPECT_TRUE(Has(source, "  if (ICall==PRECALL) {"));
  EXPECT_TRUE(Has(source, "    *pIfail=FATAL;/*FATAL error (no code yet!)*/"));
  std::filesystem::remove_all(folder);
}

TEST(OldFortranText, FunctionRulesAndTheRealResultReport) {
  auto folder = FreshFolder("oldf");
  SUProcDef def;
  Define(&def, "of", procdef::kLanguageFortran, procdef::kFunction,
         {{procdef::kReal, 0, "x"}, {procdef::kInteger, 1, "n"}}, {{procdef::kInteger, 0, "r"}}, 1);
  SUCodeGenerate gen{&def, "OF", 0};
  Reports reports;
  const auto path = folder / "of.f";
  ASSERT_EQ(WriteFortranTemplateOld(gen, reports.Callback(), 0, path.c_str(), "OF"), 0u);
  const std::string text = ReadText(path);
  EXPECT_EQ(text.find("Ifail"), std::string::npos);
  EXPECT_EQ(text.find("PARAMETER"), std::string::npos);
  const auto lines = Lines(text);
  EXPECT_TRUE(Has(lines, "      FUNCTION OF("));
  EXPECT_TRUE(Has(lines, "     &      InArg1,"));
  EXPECT_TRUE(Has(lines, "     &      InArg2, InArg2Dim1"));
  EXPECT_TRUE(Has(lines, "     &      ,PropsId"));
  EXPECT_TRUE(Has(lines, "      OF = 0"));

  const std::int32_t before = codegen::ErrorCount();
  ASSERT_EQ(WriteFortranWrapperOld(gen, reports.Callback(), 0, folder.c_str(), "of", "OF"), 0u);
  EXPECT_EQ(codegen::ErrorCount(), before + 1);
  EXPECT_EQ(
      std::count(reports.texts.begin(), reports.texts.end(), "Functions can only return reals"), 1);
  const auto wrapper = Lines(ReadText(folder / "ofI.f"));
  EXPECT_TRUE(Has(wrapper, "      SUBROUTINE SU55IF_OF("));
  EXPECT_TRUE(Has(wrapper, "      Outputs(OutOffs(1)) = OF("));
  EXPECT_TRUE(Has(wrapper, "     &   Inputs(InOffs(2)),InSizes(1)"));
  std::filesystem::remove_all(folder);
}
