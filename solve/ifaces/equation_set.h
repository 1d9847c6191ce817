// The equation-set group as the integrator and decomposition servers see it:
// counts, structure, variable kinds, flags, and how to solve it. Indices are
// 0-based; arrays are the caller's, sized by the counts the group reported
// (variables for index arrays, non-zeros never needed).
#pragma once

#include <cstdint>

#include "solve/ifaces/com_types.h"
#include "solve/ifaces/data_enumerators.h"

inline constexpr platform::IID IID_IESO = EngineIid(0x0E);
inline constexpr platform::IID IID_IESO12Ex = EngineIid(0x0F);
inline constexpr platform::IID IID_IESOSolve = EngineIid(0x10);
inline constexpr platform::IID IID_IESOEdit = EngineIid(0x11);
inline constexpr platform::IID IID_IQLNESO = EngineIid(0x14);
inline constexpr platform::IID IID_IQLNESOSolve = EngineIid(0x15);
inline constexpr platform::IID IID_IQLNESOSolve20 = EngineIid(0x17);

// Group types (ESOGroupType); 2 and 5 are not made.
inline constexpr std::uint8_t kGroupTypeExplicit = 1;
inline constexpr std::uint8_t kGroupTypeLinear = 3;
inline constexpr std::uint8_t kGroupTypeSingleNonlinear = 4;
inline constexpr std::uint8_t kGroupTypeNonlinear = 6;
inline constexpr std::uint8_t kGroupTypeTorn = 7;

// Dependence kinds of GetEquationDependence, as the equation's analysis
// reports them: 1 linear with a constant coefficient, 2 linear with a
// variable coefficient, 3 and 4 nonlinear, and this for none.
inline constexpr std::int32_t kDependenceLinearConstant = 1;
inline constexpr std::int32_t kDependenceLinearVariable = 2;
inline constexpr std::int32_t kNoDependence = 128;

class IESO : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetEquationCounts(std::int32_t* equations, std::int32_t* flagged) = 0;
  /* 4 */ virtual Status GetNonZeroCount(std::int32_t* count) = 0;
  /* 5 */ virtual Status GetVariableCounts(std::int32_t* variables, std::int32_t* states) = 0;
  /* 6 */ virtual Status GetMarkedVariableCount(std::int32_t* count) = 0;
  /* 7 */ virtual Status GetAllVariableTypes(std::int32_t* types, std::int32_t* partners) = 0;
  /* 8 */ virtual Status GetEquationTypes(std::int32_t* types) = 0;
  /* 9 */ virtual Status GetEquationStructure(std::int32_t equation, std::int32_t* count,
                                              std::int32_t* variables) = 0;
  /* 10 */ virtual Status GetVariable(std::int32_t index, QLNVariable** variable) = 0;
  /* 11 */ virtual Status GetEquation(std::int32_t index, DAESEqnRow** row) = 0;
  /* 12 */ virtual Status GetGroupType(std::uint8_t* type) = 0;
  /* 13 */ virtual Status GetEquationDependence(std::int32_t equation, std::int32_t with_partners,
                                                std::int32_t mode_flag, std::int32_t count,
                                                std::int32_t* variables, std::int32_t* kinds) = 0;
  /* 14 */ virtual Status SetFlags(std::uint32_t bits) = 0;
  /* 15 */ virtual Status ClearFlags(std::uint32_t bits) = 0;
  /* 16 */ virtual Status GetFlags(std::uint32_t* flags) = 0;
  /* 17 */ virtual Status GetGroupNumber(std::int32_t* number) = 0;
  // `unused` is not read; options bit 0x40 asks for the flagged form.
  /* 18 */ virtual Status EnumVariables(std::uint32_t unused, std::uint32_t options,
                                        const platform::IID& iid, platform::IUnknown** out) = 0;
  // Variables as GetVariable gave them; each is set with notification,
  // from a scaled value as GetVariableValues gives it.
  /* 19 */ virtual Status SetVariableValues(std::int32_t count, QLNVariable* const* variables,
                                            const double* values) = 0;

 protected:
  ~IESO() = default;
};

class IQLNESO : public IESO {
 public:
  /* 20 */ virtual Status GetVariable2(std::int32_t index, QLNVariable** variable) = 0;  // as 10
  /* 21 */ virtual Status GetEquation2(std::int32_t index, DAESEqnRow** row) = 0;        // as 11
  // As 13, but entries without dependence leave both arrays and the count.
  /* 22 */ virtual Status GetEquationDependenceCompact(std::int32_t equation,
                                                       std::int32_t with_partners,
                                                       std::int32_t mode_flag, std::int32_t* count,
                                                       std::int32_t* variables,
                                                       std::int32_t* kinds) = 0;
  /* 23 */ virtual Status EnumData(const platform::IID& iid, platform::IUnknown** out) = 0;
  /* 24 */ virtual Status GetVariableTypes(std::int32_t count, std::int32_t* types,
                                           std::int32_t* partners) = 0;
  /* 25 */ virtual Status GetEquationStructure2(std::int32_t equation, std::int32_t* count,
                                                std::int32_t* variables) = 0;  // as 9
  // The group number itself is the result.
  /* 26 */ virtual Status GroupNumber() = 0;
  /* 27 */ virtual Status Reserved27() = 0;
  /* 28 */ virtual Status Reserved28() = 0;
  /* 29 */ virtual Status AnnounceSolve() = 0;

 protected:
  ~IQLNESO() = default;
};

// The values of chosen variables of a problem group, read without a walk
// of the whole set: an integrator reads back its unknowns after every
// corrector pass and its inputs after every call.
inline constexpr platform::IID IID_IQLNVariableValues =
    platform::MakeGuid("{5B0E2C71-8D4A-4F3E-9C6B-2A7D1E9F4C38}");

class IQLNVariableValues : public platform::IUnknown {
 public:
  // Variables as GetVariable gave them; each value as the variable data
  // enumerators report it.
  /* 3 */ virtual Status GetVariableValues(std::int32_t count, QLNVariable* const* variables,
                                           double* values) = 0;

 protected:
  ~IQLNVariableValues() = default;
};

class IESOEdit : public platform::IUnknown {
 public:
  // Equation k gets variables[k] as its output variable while k < variable_count.
  /* 3 */ virtual Status SetGroupStructure(platform::IUnknown* parent, std::int32_t equation_count,
                                           const std::int32_t* equations,
                                           std::int32_t variable_count,
                                           const std::int32_t* variables) = 0;
  /* 4 */ virtual Status SetEquationVariables(platform::IUnknown* parent, std::int32_t equation,
                                              std::int32_t count,
                                              const std::int32_t* variables) = 0;
  /* 5 */ virtual Status NotImplemented5() = 0;
  /* 6 */ virtual Status SetGroupNumber(std::int32_t number) = 0;

 protected:
  ~IESOEdit() = default;
};

// IESOSolve and IQLNESOSolve share one table.
class IESOSolve : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Solve(std::int32_t mode, std::int32_t* iterations) = 0;
  // The decomposition passes a process-wide value the group does not read.
  /* 4 */ virtual Status ReleaseSystem(double value) = 0;
  /* 5 */ virtual Status ResetSystem() = 0;
  /* 6 */ virtual Status GetLastStatus(Status* status) = 0;
  /* 7 */ virtual Status ClearSolveFlag() = 0;
  /* 8 */ virtual Status SetSolveFlag() = 0;
  /* 9 */ virtual Status SolveWithMode(std::int32_t a, std::int32_t b,
                                       std::int32_t* iterations) = 0;

 protected:
  ~IESOSolve() = default;
};

class IQLNESOSolve : public IESOSolve {
 protected:
  ~IQLNESOSolve() = default;
};

class IESO12Ex : public platform::IUnknown {
 public:
  /* 3 */ virtual Status EnumData(const platform::IID& iid, platform::IUnknown** out) = 0;

 protected:
  ~IESO12Ex() = default;
};

class IQLNESOSolve20 : public platform::IUnknown {
 public:
  // *header tells whether the warning header was printed already.
  /* 3 */ virtual Status ReportIndeterminate(std::int32_t index, std::int32_t* header) = 0;
  // Takes the two arguments the decomposition's ForEachGroup20 passes on;
  // a group reads neither.
  /* 4 */ virtual Status Diagnose(std::int32_t a, std::int32_t* b) = 0;

 protected:
  ~IQLNESOSolve20() = default;
};
