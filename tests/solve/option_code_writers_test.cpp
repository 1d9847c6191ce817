#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "foundation/interfaces/run_mode.h"
#include "solve/options/solver_option_table.h"
#include "tests/solve/options_fakes.h"

namespace {

std::string Golden(const char* name) {
  std::ifstream in(std::string(VANTOR_SOURCE_DIR) + "/tests/solve/golden/" + name,
                   std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A table away from its defaults in every way a value is written: a choice,
// a staged choice applied, a Boolean integer, a flag, a text that needs
// escaping, a real.
void Change(SolverOptionTable& table) {
  table.SetInteger(38, 1);   // Nonlinear.Method "Newton"
  table.SetInteger(30, 4);   // Integrator "Gear12"
  table.SetInteger(137, 0);  // fixed steps: requests 8, 12, 17 give StepSize
  table.SetInteger(33, 1);   // Dogleg
  table.SetInteger(168, 0);
  table.SetText(125, "my \"sqp\"\\v2");
  table.SetReal(12, 0.125);
  table.ApplyPendingChanges();
}

TEST(OptionCodeWriters, SetOptionsScriptMatchesItsGoldenText) {
  SolverOptionTable table;
  Change(table);
  std::ostringstream script;
  table.WriteSetOptionsScript(script);
  EXPECT_EQ(script.str(), Golden("set_options_script.txt"));
  // Rows without a number, and rows with flag bits 0 or 3, are not written.
  for (const char* absent : {"Gear.Reinit=", "Feasopt.ObjFun=", "NLASolver=", "RunMode="}) {
    EXPECT_EQ(script.str().find(absent), std::string::npos) << absent;
  }
}

TEST(OptionCodeWriters, OptionsHandlerCodeMatchesItsGoldenText) {
  SolverOptionTable table;
  FolderOwner owner;
  table.SetOwner(&owner);
  Change(table);
  table.SetInteger(29, 4);  // a dynamic run: written as steady state all the same
  table.ApplyPendingChanges();
  SetSimulationTime(12.5);
  std::ostringstream code;
  table.WriteOptionsHandlerCode(code);
  SetSimulationTime(0.0);
  EXPECT_EQ(code.str(), Golden("options_handler.txt"));
}

}  // namespace
