// What the results layer needs of the model: variables by identity, by full
// name and by id path, the variable list with array elements, and a count
// that changes whenever the problem is edited or rebuilt. The problem
// manager implements it; tests use small fakes. Variables stay the model's.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

class BvuIdPath;

class ResultVariable {
 public:
  // The value dump marks a variable whose flag word has this bit with "?".
  static constexpr std::uint32_t kQueriedFlag = 0x04000000u;

  // Managers compare variables by this id.
  virtual std::uint32_t Id() const = 0;
  virtual std::string FullName() const = 0;
  // A failed read leaves *value untouched and returns a failure.
  virtual Status GetValue(double* value) const = 0;
  virtual std::uint32_t Flags() const = 0;
  // 0 for a variable that is not an array.
  virtual std::int32_t ElementCount() const = 0;
  virtual ResultVariable* Element(std::int32_t index) = 0;

 protected:
  ~ResultVariable() = default;
};

class ResultModel {
 public:
  // By full name; with prefix, the first variable whose full name starts
  // with the text (names that a file had to cut short).
  virtual ResultVariable* FindVariable(const char* name, bool prefix) = 0;
  virtual ResultVariable* ResolveIdPath(const BvuIdPath& path) = 0;
  virtual std::int32_t VariableCount() = 0;
  virtual ResultVariable* VariableAt(std::int32_t index) = 0;
  // Changes whenever the problem is edited or rebuilt.
  virtual std::uint32_t Generation() = 0;
  // Values not 0 but at most this in magnitude are written as zero.
  virtual double ZeroThreshold() = 0;

 protected:
  ~ResultModel() = default;
};
