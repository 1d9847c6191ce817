#include "expr/tree/system_function.h"

#include <gtest/gtest.h>

#include "tests/expr/expr_builders.h"

using namespace exprtest;

namespace {

double Twice(std::uint64_t value) { return 2.0 * static_cast<double>(value); }
double Thrice(std::uint64_t value) { return 3.0 * static_cast<double>(value); }
const char* Mode(std::uint64_t) { return "Dynamic"; }

TEST(SystemFunction, RegistrationIsCaseInsensitiveAndReplacesOnlyWhenAsked) {
  ASSERT_EQ(SystemFunction::Register("Clock", 5, &Twice, false), 0u);
  SystemFunction* entry = SystemFunction::Find("CLOCK");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(SystemFunction::Register("clock", 1, &Thrice, false), exprstatus::kReregistered);
  EXPECT_EQ(entry->CallReal(), 10.0);
  EXPECT_EQ(SystemFunction::Register("clock", 1, &Thrice, true), 0u);
  EXPECT_EQ(SystemFunction::Find("Clock"), entry);
  EXPECT_EQ(entry->CallReal(), 3.0);
  // An entry without a callback takes one without being told to replace.
  FindOrRegisterSystemFunction("Unset");
  EXPECT_EQ(SystemFunction::Register("UNSET", 2, &Twice, false), 0u);
  EXPECT_EQ(SystemFunction::Find("unset")->CallReal(), 4.0);
}

TEST(SystemFunction, EvaluatesThroughItsCallback) {
  SystemFunction::Register("Time", 21, &Twice, true);
  SystemFunction::Register("Unbound", 0, nullptr, false);
  const Ref time = Ref(NewSysFunExpression(SystemFunction::Find("time")));
  const Ref unbound = Ref(NewSysFunExpression(SystemFunction::Find("Unbound")));
  EXPECT_EQ(Eval(time.get()).value.payload.real, 42.0);
  EXPECT_EQ(Eval(unbound.get()).value.payload.real, 0.0);
  EXPECT_FALSE(time->IsTerm());
  EXPECT_EQ(time->CountReferences(), 0);
  // A node bound to nothing, and one of a type that is neither real nor
  // string, fail.
  const Ref nothing = Hold(new SysFunExpression(nullptr));
  EXPECT_EQ(Eval(nothing.get()).status, exprstatus::kNoEvaluator);
  time->SetResultType(SUValue::kInteger);
  EXPECT_EQ(Eval(time.get()).status, exprstatus::kNoEvaluator);
}

TEST(SystemFunction, RunModeIsAStringAndTellsTheContext) {
  SystemFunction::RegisterText("RunMode", 0, &Mode, true);
  const Ref mode = Ref(NewSysFunExpression(SystemFunction::Find("runmode")));
  EXPECT_EQ(mode->GetResultType(), SUValue::kString);
  TestContext context(mode.get());
  ASSERT_EQ(context.Evaluate(), 0u);
  EXPECT_STREQ(context.Result().GetString(), "Dynamic");
  EXPECT_EQ(context.map_calls, 1);
  EXPECT_EQ(context.last_name, "QV_RunMode");
}

TEST(SystemFunction, EntriesOutliveTheirLastNode) {
  SystemFunction* entry = FindOrRegisterSystemFunction("Pressure2");
  const std::uint32_t before = entry->RefCount();
  {
    const Ref a = Ref(NewSysFunExpression(entry));
    const Ref b = Ref(a->DeepCopy());
    EXPECT_EQ(entry->RefCount(), before + 2);
  }
  EXPECT_EQ(entry->RefCount(), before);
  EXPECT_EQ(SystemFunction::Find("pressure2"), entry);
}

}  // namespace
