#include "foundation/variable_drivers.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

class Variable : public DrivenVariable {
 public:
  explicit Variable(double value = 0.0) : value(value) {}
  double GetDrivenValue() override { return value; }
  void SetDrivenValue(double v) override { value = v; }
  double value;
};

// Drives its variable to current + step * time and notes each call.
class Driver : public VariableDriver {
 public:
  Driver(std::string name, double step, std::vector<std::string>* calls = nullptr)
      : name_(std::move(name)), step_(step), calls_(calls) {}
  ~Driver() override { ++deletions[name_]; }
  double ValueAt(double time, double current) override {
    if (calls_ != nullptr) calls_->push_back(name_);
    return current + step_ * time;
  }
  static std::map<std::string, int> deletions;

 private:
  std::string name_;
  double step_;
  std::vector<std::string>* calls_;
};
std::map<std::string, int> Driver::deletions;

class VariableDrivers : public ::testing::Test {
 protected:
  void SetUp() override { Driver::deletions.clear(); }
  VariableDriverTable table;
};

TEST_F(VariableDrivers, SettingAVariableTwiceKeepsOnePairWithTheSecondDriver) {
  Variable v;
  Driver first("first", 1.0);
  auto* second = new Driver("second", 2.0);
  table.Set(&v, &first);
  table.Set(&v, second);
  ASSERT_EQ(table.count(), 1);
  EXPECT_EQ(table.VariableAt(0), &v);
  EXPECT_EQ(table.DriverAt(0), second);
  EXPECT_EQ(Driver::deletions["first"], 0) << "a replaced driver stays with the caller";
  table.Clear();
  EXPECT_EQ(Driver::deletions["second"], 1);
}

TEST_F(VariableDrivers, RemovedPairBecomesAFreeSlotForTheNextVariable) {
  Variable a, b, c, d, e;
  auto db = std::make_unique<Driver>("b", 1.0);
  auto* dd = new Driver("d", 1.0);
  table.Set(&a, new Driver("a", 1.0));
  table.Set(&b, db.get());
  table.Set(&c, new Driver("c", 1.0));
  table.Set(&b, nullptr);
  EXPECT_EQ(table.count(), 3);
  EXPECT_EQ(table.VariableAt(1), nullptr);
  EXPECT_EQ(table.DriverAt(1), nullptr);

  table.Set(&e, nullptr);  // a new variable without a driver changes nothing
  EXPECT_EQ(table.count(), 3);
  EXPECT_EQ(table.VariableAt(1), nullptr);

  table.Set(&d, dd);
  EXPECT_EQ(table.count(), 3);
  EXPECT_EQ(table.VariableAt(1), &d);
  EXPECT_EQ(table.DriverAt(1), dd);

  table.Set(nullptr, db.get());  // no variable, no pair
  EXPECT_EQ(table.count(), 3);
  table.Clear();
  EXPECT_EQ(Driver::deletions["b"], 0) << "a removed driver stays with the caller";
  EXPECT_EQ(Driver::deletions["d"], 1);
}

TEST_F(VariableDrivers, ArraysGrowByFourPairsWhenFull) {
  std::vector<Variable> vars(9);
  auto* driver = new Driver("shared", 1.0);
  EXPECT_EQ(table.capacity(), 0);
  const std::vector<int> expected = {4, 4, 4, 4, 8, 8, 8, 8, 12};
  for (size_t i = 0; i < vars.size(); ++i) {
    table.Set(&vars[i], driver);
    EXPECT_EQ(table.count(), static_cast<int>(i + 1));
    EXPECT_EQ(table.capacity(), expected[i]) << "after variable " << i + 1;
  }
  // Reusing a free slot does not grow the arrays.
  Variable extra;
  table.Set(&vars[2], nullptr);
  table.Set(&extra, driver);
  EXPECT_EQ(table.count(), 9);
  EXPECT_EQ(table.capacity(), 12);
}

TEST_F(VariableDrivers, ApplyRunsEveryDriverInTableOrderFromTheCurrentValue) {
  std::vector<std::string> calls;
  Variable a(1.0), b(10.0), c(100.0), d(1000.0);
  Driver da("a", 1.0, &calls), db("b", 2.0, &calls), dc("c", 3.0, &calls), dd("d", 4.0, &calls);
  table.Set(&a, &da);
  table.Set(&b, &db);
  table.Set(&c, &dc);
  table.Set(&a, nullptr);
  table.Set(&d, &dd);  // takes a's slot, so it runs first

  table.Apply(0.5);
  EXPECT_EQ(calls, (std::vector<std::string>{"d", "b", "c"}));
  EXPECT_EQ(a.value, 1.0);
  EXPECT_EQ(b.value, 11.0);
  EXPECT_EQ(c.value, 101.5);
  EXPECT_EQ(d.value, 1002.0);

  for (Variable* v : {&b, &c, &d}) table.Set(v, nullptr);
  calls.clear();
  table.Apply(1.0);
  EXPECT_TRUE(calls.empty());
}

TEST_F(VariableDrivers, ClearDeletesEveryDriverOnceAndEmptiesTheTable) {
  Variable a, b, c, d;
  auto* shared = new Driver("shared", 1.0);
  table.Set(&a, shared);
  table.Set(&b, shared);
  table.Set(&d, new Driver("other", 1.0));
  auto* removed_driver = new Driver("removed", 1.0);
  table.Set(&c, removed_driver);
  table.Set(&c, nullptr);  // removed: stays with us

  table.Clear();
  EXPECT_EQ(Driver::deletions["shared"], 1);
  EXPECT_EQ(Driver::deletions["other"], 1);
  EXPECT_EQ(Driver::deletions["removed"], 0);
  EXPECT_EQ(table.count(), 0);
  EXPECT_EQ(table.capacity(), 0);
  table.Apply(1.0);
  table.Clear();
  EXPECT_EQ(Driver::deletions["shared"], 1);
  delete removed_driver;
}

TEST_F(VariableDrivers, ProcessWideTableServesTheFreeFunctions) {
  Variable v(5.0);
  SetVariableDriver(&v, new Driver("ramp", 2.0));
  ApplyVariableDrivers(3.0);
  EXPECT_EQ(v.value, 11.0);
  ClearVariableDrivers();
  EXPECT_EQ(Driver::deletions["ramp"], 1);
  ApplyVariableDrivers(3.0);
  EXPECT_EQ(v.value, 11.0);
}

}  // namespace
