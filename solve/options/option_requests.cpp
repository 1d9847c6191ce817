// The numbered option requests (1..44) that loaded libraries ask through the
// options handler: answers derived from the options in force, the run state
// and the owner.
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/solver_options_owner.h"
#include "solve/options/solver_option_table.h"

namespace {

enum Answer : std::int32_t {
  kNoAnswer = -1,
  kInteger = 1,
  kReal = 2,
  kText = 3,
  kLabelled = 4,
  kTextWithReal = 5,
};

const char* const kRunModeLabels[] = {"Unknown",    "Steady State", "Optimization",
                                      "Estimation", "Dynamic",      "Initialization"};
const char* const kTearingLabels[] = {"Off", "Update", "Start", "Complete"};
const char* const kIntegratorLabels[] = {"Undefined", "Explicit Euler", "Runge Kutta 4",
                                         "Implicit Euler", "Gear"};
constexpr std::int32_t kIntegratorCodes[] = {0, 3, 4, 7, 6};

}  // namespace

std::int32_t SolverOptionTable::OptionRequest(std::int32_t option, std::int32_t* iinfo,
                                              double* xinfo, const char** sinfo) {
  std::int32_t no_integer = 0;
  double no_real = 0.0;
  const char* no_text = nullptr;
  if (iinfo == nullptr) iinfo = &no_integer;
  if (xinfo == nullptr) xinfo = &no_real;
  if (sinfo == nullptr) sinfo = &no_text;
  *iinfo = 0;
  *xinfo = 0.0;
  *sinfo = nullptr;

  auto real = [&](std::int32_t number) {
    *xinfo = slots_[static_cast<std::size_t>(number)].in_force.real;
    return kReal;
  };
  auto integer = [&](std::int32_t number) {
    *iinfo = slots_[static_cast<std::size_t>(number)].in_force.integer;
    return kInteger;
  };
  auto labelled = [&](std::int32_t value, const char* label) {
    *iinfo = value;
    *sinfo = label;
    return kLabelled;
  };
  // Step sizes follow Integration.StepSizeType: variable steps use their own
  // option, fixed steps the one step size.
  auto step = [&](std::int32_t variable_number) {
    return real(slots_[137].in_force.integer != 0 ? variable_number : 138);
  };

  switch (option) {
    case 1:
      return real(1);
    case 2:
      return real(9);
    case 3:
      return integer(33);
    case 4:
      return real(74);
    case 8:
      return step(139);
    case 10:
      return integer(24);
    case 12:
      return step(141);
    case 14:
      return integer(39);
    case 15:
      return real(13);
    case 16:
      return real(11);
    case 17:
      return step(140);
    case 18: {
      const std::int32_t mode = slots_[29].in_force.integer;
      return labelled(mode, mode >= 0 && mode <= 5 ? kRunModeLabels[mode] : "Unknown");
    }
    case 20:
      return integer(31);
    case 21:
      return integer(77);
    case 22:
      return real(10);
    case 25:
      return real(2);
    case 26:
      return real(0);
    case 28:
      return real(12);
    case 30: {
      const std::int32_t tearing = slots_[97].in_force.integer;
      return labelled(tearing, tearing >= 0 && tearing <= 3 ? kTearingLabels[tearing] : "");
    }
    case 31:
      *xinfo = GetSimulationTime();
      return kReal;
    case 33:
      return real(3);
    case 34:
      return real(4);
    case 35: {
      if (slots_[29].in_force.integer == 1) return labelled(1, "SS");
      switch (GetSolutionPhase()) {
        case 0:
          return labelled(4, "Dyn");
        case 1:
          return labelled(2, "Init");
        case 2:
          return labelled(3, "ReInit");
        default:
          return labelled(0, "Unknown");
      }
    }
    case 36:
      return real(133);
    case 37: {
      const std::int32_t value = slots_[30].in_force.integer;
      const bool known = value >= 0 && value <= 4;
      return labelled(known ? kIntegratorCodes[value] : 0, kIntegratorLabels[known ? value : 0]);
    }
    case 38: {
      const std::int32_t update = slots_[55].in_force.integer;
      return labelled(update, update != 0 ? "Direct" : "Wegstein");
    }
    case 40:
      *iinfo = IsIntegratorOptionOn();
      return kInteger;
    case 41: {
      if (owner_ == nullptr) return kNoAnswer;
      *sinfo = owner_->TimeUnit(xinfo);
      if (*sinfo != nullptr) return kTextWithReal;
      *xinfo = 0.0;
      return kNoAnswer;
    }
    case 42:
      return real(132);
    case 43:
    case 44: {
      if (owner_ == nullptr) return kNoAnswer;
      *sinfo = option == 43 ? owner_->WorkingFolderPath() : owner_->RunFolderPath();
      return *sinfo != nullptr ? kText : kNoAnswer;
    }
    // 32 and 39 are asked of an attached problem object, which the engine
    // never attaches; the rest have no answer.
    default:
      return kNoAnswer;
  }
}
