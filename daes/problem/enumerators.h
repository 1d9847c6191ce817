// Enumerators through which an outside solver or decomposition server walks
// the variables and equations of one equation set, in fixed-size records.
// The equation-set group is the source, reached through five operations.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/unknown.h"

class DAESSolverBlock;
class DAESVarTableEntry;
class QLNEquation;
class QLNVariable;

namespace daes {
inline constexpr platform::IID IID_IEnumQLNVariableData =
    platform::MakeGuid("{00380012-07A4-463A-A513-F2F46FF75FB8}");
inline constexpr platform::IID IID_IEnumQLNEquationData =
    platform::MakeGuid("{00380013-07A4-463A-A513-F2F46FF75FB8}");
inline constexpr platform::IID IID_IEnumQLN13VariableData =
    platform::MakeGuid("{00380016-07A4-463A-A513-F2F46FF75FB8}");
// Creation option: leave out fixed variables.
inline constexpr std::uint32_t kEnumExcludeFixed = 0x40;
}  // namespace daes

struct QLNVariableRecord {
  QLNVariable* variable;
  std::int32_t index;
  std::uint32_t kind;
  std::int32_t linked;
  std::int32_t unused;
  double value;
  double lower;
  double upper;
};
static_assert(offsetof(QLNVariableRecord, index) == 8);
static_assert(offsetof(QLNVariableRecord, kind) == 12);
static_assert(offsetof(QLNVariableRecord, linked) == 16);
static_assert(offsetof(QLNVariableRecord, value) == 24);
static_assert(offsetof(QLNVariableRecord, lower) == 32);
static_assert(offsetof(QLNVariableRecord, upper) == 40);
static_assert(sizeof(QLNVariableRecord) == 48);

struct QLNEquationRecord {
  QLNEquation* equation;
  std::int32_t index;
  std::uint32_t flags;
  // The model equation of a torn multi-output row, else -1.
  std::int64_t model;
};
static_assert(offsetof(QLNEquationRecord, flags) == 12);
static_assert(offsetof(QLNEquationRecord, model) == 16);
static_assert(sizeof(QLNEquationRecord) == 24);

// What the enumerators need of the equation-set group; the decomposition's
// group implements it.
class DAESEnumSource {
 public:
  virtual std::int32_t ActiveVariableCount() = 0;
  virtual DAESVarTableEntry* GetVariable(std::int32_t i) = 0;
  // 1-based column of the variable in the source, 0 when absent.
  virtual std::int32_t GroupColumnOf(DAESVarTableEntry* variable) = 0;
  virtual std::int32_t GroupRowCount() = 0;
  virtual QLNEquation* GroupRow(std::int32_t i) = 0;

 protected:
  ~DAESEnumSource() = default;
};

// A solver block as a source.
class DAESBlockEnumSource : public DAESEnumSource {
 public:
  explicit DAESBlockEnumSource(DAESSolverBlock* block) : block_(block) {}
  std::int32_t ActiveVariableCount() override;
  DAESVarTableEntry* GetVariable(std::int32_t i) override;
  std::int32_t GroupColumnOf(DAESVarTableEntry* variable) override;
  std::int32_t GroupRowCount() override;
  QLNEquation* GroupRow(std::int32_t i) override;

 private:
  DAESSolverBlock* block_;
};

class IEnumQLNVariableData : public platform::IUnknown {
 public:
  // Allocates the records (CoTaskMemAlloc) for the caller to free.
  virtual Status Next(std::uint32_t count, QLNVariableRecord** records, std::uint32_t* fetched) = 0;
  virtual Status Skip(std::uint32_t count) = 0;
  virtual Status Reset() = 0;
  virtual Status Clone(IEnumQLNVariableData** out) = 0;

 protected:
  ~IEnumQLNVariableData() = default;
};

class IEnumQLN13VariableData : public platform::IUnknown {
 public:
  virtual Status Next(std::uint32_t count, QLNVariableRecord* records, std::uint32_t* fetched) = 0;
  virtual Status Skip(std::uint32_t count) = 0;
  virtual Status Reset() = 0;
  virtual Status Clone(IEnumQLN13VariableData** out) = 0;

 protected:
  ~IEnumQLN13VariableData() = default;
};

class IEnumQLNEquationData : public platform::IUnknown {
 public:
  virtual Status Next(std::uint32_t count, QLNEquationRecord* records, std::uint32_t* fetched) = 0;
  virtual Status Skip(std::uint32_t count) = 0;
  virtual Status Reset() = 0;
  virtual Status Clone(IEnumQLNEquationData** out) = 0;

 protected:
  ~IEnumQLNEquationData() = default;
};

// Common state of the variable enumerators.
class DAESVariableWalk {
 protected:
  DAESVariableWalk(DAESEnumSource* source, std::uint32_t options);
  // Fills up to count records; `version13` applies the second version's
  // rules. 1 when the source is exhausted, else 0.
  Status Fill(std::uint32_t count, QLNVariableRecord* records, std::uint32_t* fetched,
              bool version13);

  std::int32_t position_ = 0;
  DAESEnumSource* source_;
  std::uint32_t exclude_;
  std::uint32_t include_ = 0x7FFFFFFF;
  std::uint32_t refs_ = 0;
};

class DAESVarDataEnum final : public IEnumQLNVariableData, private DAESVariableWalk {
 public:
  DAESVarDataEnum(DAESEnumSource* source, std::uint32_t options)
      : DAESVariableWalk(source, options) {}
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override;
  Status Next(std::uint32_t count, QLNVariableRecord** records, std::uint32_t* fetched) override;
  Status Skip(std::uint32_t) override;
  Status Reset() override;
  Status Clone(IEnumQLNVariableData** out) override;
};

class DAESVarData13Enum final : public IEnumQLN13VariableData, private DAESVariableWalk {
 public:
  DAESVarData13Enum(DAESEnumSource* source, std::uint32_t options)
      : DAESVariableWalk(source, options) {}
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override;
  Status Next(std::uint32_t count, QLNVariableRecord* records, std::uint32_t* fetched) override;
  Status Skip(std::uint32_t) override;
  Status Reset() override;
  Status Clone(IEnumQLN13VariableData** out) override;
};

class DAESEqnDataEnum final : public IEnumQLNEquationData {
 public:
  // The detail switch follows tearing and the integrator's capability.
  explicit DAESEqnDataEnum(DAESEnumSource* source);
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override;
  Status Next(std::uint32_t count, QLNEquationRecord* records, std::uint32_t* fetched) override;
  Status Skip(std::uint32_t) override;
  Status Reset() override;
  Status Clone(IEnumQLNEquationData** out) override;
  bool Detailed() const { return detail_ != 0; }

 private:
  std::int32_t position_ = 0;
  DAESEnumSource* source_;
  std::uint32_t refs_ = 0;
  std::uint32_t detail_;
};
