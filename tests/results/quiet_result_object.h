// A model object's operations that a result-item fake does not look at,
// answered as an object without them: no value-table index, no typed
// value taken, no companion, the widest bounds, nothing set. A fake
// derives from it and answers what its test looks at.
#pragma once

#include <cstdint>

#include "results/manager/result_items.h"

class QuietResultObject : public ResultObject {
 public:
  std::int32_t Index() const override { return -1; }
  Status SetTypedValue(const SUValue&) override { return status::kBadArguments; }
  ResultObject* Companion() override { return nullptr; }
  void Bounds(double* lower, double* upper) const override {
    *lower = -1e20;
    *upper = 1e20;
  }
  void SetBounds(double, double) override {}
  void SetScale(double) override {}
  Status SetSpecification(std::uint32_t) override { return status::kOk; }
  std::uint32_t Specification() const override { return 0; }
  Status SetSecondCode(std::uint32_t) override { return status::kOk; }
  void SetFirstSwitch(bool) override {}
  void SetSecondSwitch(bool) override {}
  void SetText(const char*) override {}
  void SetFlagBits(std::uint32_t) override {}
};
