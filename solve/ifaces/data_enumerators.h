// The enumerators a group hands out (EnumVariables, EnumData) through which a
// server walks the variables and equations of an equation set in fixed-size
// records. Next answers 1 once the end of the set is reached, else 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "solve/ifaces/com_types.h"

inline constexpr platform::IID IID_IEnumQLNVariableData = EngineIid(0x12);
inline constexpr platform::IID IID_IEnumQLNEquationData = EngineIid(0x13);
inline constexpr platform::IID IID_IEnumQLN13VariableData = EngineIid(0x16);

// Kind flags: 16 counted free, else 32; +96 fixed; +1 state, +4 derivative,
// else +2; +8 and +0x800 passed on from the variable.
struct QLNVariableRecord {
  QLNVariable* variable;
  std::int32_t index;  // 0-based in the set
  std::uint32_t kind;
  std::int32_t linked;  // the derivative of a state, the state of a derivative; -1 none
  std::uint32_t unused;
  double scaled_value;
  double lower;  // bounds as stored
  double upper;
};
static_assert(sizeof(QLNVariableRecord) == 48 && offsetof(QLNVariableRecord, scaled_value) == 24);

struct QLNEquationRecord {
  QLNEquation* equation;
  std::int32_t index;
  std::uint32_t flags;  // 8: a torn row, reported when tearing reaches the integrator
  // The model equation of a torn row with more than one output, else -1.
  std::intptr_t model_equation;
};
static_assert(sizeof(QLNEquationRecord) == 24);

// The first version hands out an array of `count` records it allocated
// (freed by the caller with CoTaskMemFree).
class IEnumQLNVariableData : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Next(std::uint32_t count, QLNVariableRecord** records,
                              std::uint32_t* fetched) = 0;
  /* 4 */ virtual Status Skip(std::uint32_t count) = 0;
  /* 5 */ virtual Status Reset() = 0;
  /* 6 */ virtual Status Clone(platform::IUnknown** out) = 0;
  /* 7 */ virtual Status DeleteThis() = 0;

 protected:
  ~IEnumQLNVariableData() = default;
};

// The second version and the equation enumerator fill the caller's array.
class IEnumQLN13VariableData : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Next(std::uint32_t count, QLNVariableRecord* records,
                              std::uint32_t* fetched) = 0;
  /* 4 */ virtual Status Skip(std::uint32_t count) = 0;
  /* 5 */ virtual Status Reset() = 0;
  /* 6 */ virtual Status Clone(platform::IUnknown** out) = 0;
  /* 7 */ virtual Status DeleteThis() = 0;

 protected:
  ~IEnumQLN13VariableData() = default;
};

class IEnumQLNEquationData : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Next(std::uint32_t count, QLNEquationRecord* records,
                              std::uint32_t* fetched) = 0;
  /* 4 */ virtual Status Skip(std::uint32_t count) = 0;
  /* 5 */ virtual Status Reset() = 0;
  /* 6 */ virtual Status Clone(platform::IUnknown** out) = 0;
  /* 7 */ virtual Status DeleteThis() = 0;

 protected:
  ~IEnumQLNEquationData() = default;
};
