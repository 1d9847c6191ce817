// Test doubles of the optimisation driver tests: an option table with the
// values a test sets, and a recorder of printed lines.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "foundation/interfaces/solver_options.h"
#include "platform/status.h"

namespace optimisation_fakes {

// Option values the test sets; everything else as the defaults answer.
class TestOptions final : public SolverOptions {
 public:
  TestOptions() : fallback_(SolverOptions::Install(nullptr)) {
    defaults_ = SolverOptions::Instance();
    SolverOptions::Install(this);
  }
  ~TestOptions() override { SolverOptions::Install(fallback_); }
  std::int32_t GetInt(std::int32_t number) override {
    auto it = ints.find(number);
    return it != ints.end() ? it->second : defaults_->GetInt(number);
  }
  double GetReal(std::int32_t number) override {
    auto it = reals.find(number);
    return it != reals.end() ? it->second : defaults_->GetReal(number);
  }
  bool GetBool(std::int32_t number) override { return defaults_->GetBool(number); }
  std::map<std::int32_t, std::int32_t> ints;
  std::map<std::int32_t, double> reals;

 private:
  SolverOptions* fallback_;
  SolverOptions* defaults_ = nullptr;
};

struct Printed {
  std::vector<std::pair<Status, std::string>> lines;
  std::function<void(Status, const std::string&)> Fn() {
    return [this](Status s, const std::string& text) { lines.emplace_back(s, text); };
  }
  bool Has(const std::string& text) const {
    for (const auto& l : lines) {
      if (l.second == text) return true;
    }
    return false;
  }
};

}  // namespace optimisation_fakes
