#include "foundation/variable_drivers.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Drives its variable to current + step * time; notes each call and its deletion.
class Driver : public VariableDriver {
 public:
  Driver(std::string name, std::vector<std::string>* log, double step = 1.0)
      : name_(std::move(name)), log_(log), step_(step) {}
  ~Driver() override { log_->push_back("~" + name_); }
  double ValueAt(double time, double current) override {
    log_->push_back(name_);
    return current + step_ * time;
  }

 private:
  std::string name_;
  std::vector<std::string>* log_;
  double step_;
};

using Log = std::vector<std::string>;

TEST(VariableDrivers, PairsAreReplacedFreedAndReusedAndApplyRunsInTableOrder) {
  Log log;
  Variable a(1.0), b(10.0), c(100.0), d(1000.0), e;
  Driver replaced("replaced", &log);
  Driver removed("removed", &log);
  VariableDriverTable table;
  table.Set(&a, &replaced);
  table.Set(&a, new Driver("a", &log, 1.0));  // a variable set twice keeps one pair
  table.Set(&b, &removed);
  table.Set(&c, new Driver("c", &log, 3.0));
  table.Set(&b, nullptr);  // a free slot
  EXPECT_EQ(table.VariableAt(1), nullptr);
  table.Set(&e, nullptr);  // a new variable without a driver changes nothing
  table.Set(nullptr, &removed);
  EXPECT_EQ(table.count(), 3);
  table.Set(&d, new Driver("d", &log, 4.0));  // takes b's slot, so it runs second
  EXPECT_EQ(table.VariableAt(1), &d);
  EXPECT_EQ(table.count(), 3);
  table.Apply(0.5);
  EXPECT_EQ(log, (Log{"a", "d", "c"}));
  EXPECT_EQ(a.value, 1.5);
  EXPECT_EQ(b.value, 10.0);
  EXPECT_EQ(d.value, 1002.0);
  log.clear();
  table.Clear();  // replaced and removed drivers stay with the caller
  std::sort(log.begin(), log.end());
  EXPECT_EQ(log, (Log{"~a", "~c", "~d"}));
  EXPECT_EQ(table.count(), 0);
  EXPECT_EQ(table.capacity(), 0);
}

TEST(VariableDrivers, ArraysGrowByFourAndASharedDriverIsDeletedOnce) {
  Log log;
  std::vector<Variable> vars(9);
  auto* shared = new Driver("shared", &log);
  VariableDriverTable table;
  const std::vector<int> expected = {4, 4, 4, 4, 8, 8, 8, 8, 12};
  for (std::size_t i = 0; i < vars.size(); ++i) {
    table.Set(&vars[i], shared);
    EXPECT_EQ(table.capacity(), expected[i]) << "after variable " << i + 1;
  }
  Variable extra;
  table.Set(&vars[2], nullptr);
  table.Set(&extra, shared);  // reuses the free slot
  EXPECT_EQ(table.count(), 9);
  EXPECT_EQ(table.capacity(), 12);
  table.Clear();
  table.Clear();
  EXPECT_EQ(log, Log{"~shared"});
}

TEST(VariableDrivers, ProcessWideTableServesTheFreeFunctions) {
  Log log;
  Variable v(5.0);
  SetVariableDriver(&v, new Driver("ramp", &log, 2.0));
  ApplyVariableDrivers(3.0);
  EXPECT_EQ(v.value, 11.0);
  ClearVariableDrivers();
  ApplyVariableDrivers(3.0);
  EXPECT_EQ(v.value, 11.0);
  EXPECT_EQ(log, (Log{"ramp", "~ramp"}));
}

}  // namespace
