// The table of variable drivers: time profiles (ramps, measured inputs,
// control ramps) that set a model variable's value whenever the simulation
// time moves. The run steps apply the table at each new time. The table is
// implemented here; the variables of the DAE model (daes/) implement
// DrivenVariable, and the time profiles (the ramps of control/, the measured
// inputs of the experiments in analysis/) implement VariableDriver.
#pragma once

#include <cstdint>
#include <vector>

// A model variable as a driver sees it; the variables of the model implement it.
class DrivenVariable {
 public:
  // The value now; 0 when the variable holds no real value.
  virtual double GetDrivenValue() = 0;
  virtual void SetDrivenValue(double value) = 0;

 protected:
  ~DrivenVariable() = default;
};

// A profile that decides a variable's value over time.
class VariableDriver {
 public:
  virtual ~VariableDriver() = default;
  // The value at `time`. `current` is the variable's value now, which a
  // profile that has no start value yet takes as its start.
  virtual double ValueAt(double time, double current) = 0;
};

// Variables and their drivers in two parallel arrays; a pair with a null
// variable is a free slot. The table owns the drivers it holds only in that
// Clear deletes them: a driver that is replaced or removed stays with the caller.
class VariableDriverTable {
 public:
  VariableDriverTable() = default;
  ~VariableDriverTable() { Clear(); }
  VariableDriverTable(const VariableDriverTable&) = delete;
  VariableDriverTable& operator=(const VariableDriverTable&) = delete;

  // A variable already present gets the new driver, or with a null driver
  // its pair becomes a free slot. A new variable with a driver takes the first
  // free slot, else is appended, the arrays growing by 4 pairs when full. A
  // new variable without a driver, or a null variable, changes nothing.
  // True when the variable had a pair: its driver is back with the caller.
  bool Set(DrivenVariable* variable, VariableDriver* driver);
  // For every pair with a driver, in table order: the variable's value
  // becomes the driver's value at `time`.
  void Apply(double time);
  // Deletes every driver held (once, even when it drives several variables)
  // and frees the arrays.
  void Clear();

  // Pairs in use including free slots, and the room of the arrays.
  std::int32_t count() const { return static_cast<std::int32_t>(variables_.size()); }
  std::int32_t capacity() const { return capacity_; }
  DrivenVariable* VariableAt(std::int32_t i) const { return variables_.at(i); }
  VariableDriver* DriverAt(std::int32_t i) const { return drivers_.at(i); }

 private:
  std::vector<DrivenVariable*> variables_;
  std::vector<VariableDriver*> drivers_;
  std::int32_t capacity_ = 0;
};

// The process-wide table.
VariableDriverTable& VariableDrivers();
bool SetVariableDriver(DrivenVariable* variable, VariableDriver* driver);
void ApplyVariableDrivers(double time);
void ClearVariableDrivers();
