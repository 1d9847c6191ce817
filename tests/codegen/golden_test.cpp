// One rich definition through every generator, against kept files. Set
// VANTOR_UPDATE_GOLDEN=1 to rewrite them after a deliberate change.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "codegen_helpers.h"

using namespace codegen_test;
namespace fs = std::filesystem;

namespace {

void Rich(SUProcDef* def, std::uint32_t language, std::uint32_t version, bool function) {
  Define(def, "rich", language,
         (function ? procdef::kFunction : 0u) | procdef::kPrecall | procdef::kPostcall |
             procdef::kPropertiesId | procdef::kAnalyticDerivatives | procdef::kProblemCalls,
         {{procdef::kReal, 0, "T"},
          {procdef::kReal, 2, "X"},
          {procdef::kInteger, 0, "N"},
          {procdef::kLogical, 1, nullptr},
          {procdef::kString, 0, "Label"}},
         {{procdef::kReal, 0, "Y"}, {procdef::kReal, 1, "Z"}, {procdef::kInteger, 0, "Count"}},
         version);
  def->SetInputDimName(1, 0, "NC");
}

}  // namespace

TEST(Golden, RichDefinitionThroughEveryGenerator) {
  const fs::path folder = FreshFolder("golden");
  Reports reports;
  const std::uint32_t debug = codegen::kRequestDebug;

  SUProcDef c;
  Rich(&c, procdef::kLanguageC, 3, false);
  SUCodeGenerate c_gen{&c, "Rich", 1};
  ASSERT_EQ(WriteCTemplate(c_gen, reports.Callback(), debug, folder.c_str(), "rich", "RICH",
                           (folder / "rich.c").c_str()),
            0u);
  CheckGolden(folder, "rich.h", "c_header.txt");
  CheckGolden(folder, "rich.c", "c_template.txt");

  SUProcDef f;
  Rich(&f, procdef::kLanguageFortran, 3, false);
  SUCodeGenerate f_gen{&f, "Rich", 1};
  ASSERT_EQ(
      WriteFortranTemplate(f_gen, reports.Callback(), debug, (folder / "rich.f").c_str(), "RICH"),
      0u);
  ASSERT_EQ(WriteFortranWrapper(f_gen, reports.Callback(), debug, folder.c_str(), "rich", "RICH"),
            0u);
  CheckGolden(folder, "rich.f", "fortran_template.txt");
  CheckGolden(folder, "richI.f", "fortran_wrapper.txt");

  SUProcDef o;
  Rich(&o, procdef::kLanguageC, 1, false);
  SUCodeGenerate o_gen{&o, "Rich", 1};
  ASSERT_EQ(WriteCTemplateOld(o_gen, reports.Callback(), debug, folder.c_str(), true, "rich",
                              "RICH", nullptr),
            0u);
  CheckGolden(folder, "richI.h", "c_wrapper_header_old.txt");
  CheckGolden(folder, "richI.c", "c_wrapper_old.txt");
  o.SetInterfaceVersion(2);
  ASSERT_EQ(WriteCTemplateOld(o_gen, reports.Callback(), debug, folder.c_str(), false, "rich",
                              "RICH", (folder / "old.c").c_str()),
            0u);
  CheckGolden(folder, "old.c", "c_template_old.txt");

  SUProcDef g;
  Rich(&g, procdef::kLanguageFortran, 2, false);
  SUCodeGenerate g_gen{&g, "Rich", 1};
  ASSERT_EQ(
      WriteFortranTemplateOld(g_gen, reports.Callback(), debug, (folder / "old.f").c_str(), "RICH"),
      0u);
  ASSERT_EQ(WriteFortranWrapperOld(g_gen, reports.Callback(), debug, folder.c_str(), "old", "RICH"),
            0u);
  CheckGolden(folder, "old.f", "fortran_template_old.txt");
  CheckGolden(folder, "oldI.f", "fortran_wrapper_old.txt");
  fs::remove_all(folder);
}
