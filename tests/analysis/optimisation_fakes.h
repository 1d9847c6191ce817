// Test doubles of the optimisation driver tests: the option table with the
// values a test sets, and a recorder of printed lines.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "foundation/interfaces/solver_options.h"
#include "platform/status.h"
#include "solve/options/solver_option_table.h"

namespace optimisation_fakes {

// The real option table, installed for the test and displaced after it;
// `ints[n] = v` and `reals[n] = v` write through its setters (a staged
// option at once), so a number the table refuses stays refused.
class TestOptions final {
  SolverOptionTable table_;

 public:
  template <typename Value>
  class Writes {
   public:
    class Slot {
     public:
      Slot(SolverOptionTable& table, std::int32_t number) : table_(table), number_(number) {}
      Slot& operator=(Value value) {
        Status set = 0;
        if constexpr (std::is_same_v<Value, double>) {
          set = table_.SetReal(number_, value);
        } else {
          set = table_.SetInteger(number_, value);
          table_.ApplyPendingChanges();
        }
        EXPECT_EQ(set, 0u) << "option " << number_;
        return *this;
      }

     private:
      SolverOptionTable& table_;
      std::int32_t number_;
    };
    explicit Writes(SolverOptionTable& table) : table_(table) {}
    Slot operator[](std::int32_t number) { return Slot(table_, number); }

   private:
    SolverOptionTable& table_;
  };

  Writes<std::int32_t> ints{table_};
  Writes<double> reals{table_};
  SolverOptionTable& Table() { return table_; }
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
