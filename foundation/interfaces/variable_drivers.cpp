#include "foundation/interfaces/variable_drivers.h"

#include <algorithm>

bool VariableDriverTable::Set(DrivenVariable* variable, VariableDriver* driver) {
  if (variable == nullptr) return false;
  const auto found = std::find(variables_.begin(), variables_.end(), variable);
  if (found != variables_.end()) {
    const auto i = found - variables_.begin();
    if (driver == nullptr) variables_[i] = nullptr;
    drivers_[i] = driver;
    return true;
  }
  if (driver == nullptr) return false;

  const auto free_slot = std::find(variables_.begin(), variables_.end(), nullptr);
  if (free_slot != variables_.end()) {
    const auto i = free_slot - variables_.begin();
    variables_[i] = variable;
    drivers_[i] = driver;
    return false;
  }
  if (count() == capacity_) {
    capacity_ += 4;
    variables_.reserve(capacity_);
    drivers_.reserve(capacity_);
  }
  variables_.push_back(variable);
  drivers_.push_back(driver);
  return false;
}

void VariableDriverTable::Apply(double time) {
  // Index by index: writing a value may change the table under us.
  for (std::int32_t i = 0; i < count(); ++i) {
    DrivenVariable* variable = variables_[i];
    VariableDriver* driver = drivers_[i];
    if (variable == nullptr || driver == nullptr) continue;
    variable->SetDrivenValue(driver->ValueAt(time, variable->GetDrivenValue()));
  }
}

void VariableDriverTable::Clear() {
  // Empty the table first: a driver's destructor may come back to it.
  std::vector<VariableDriver*> drivers;
  drivers.swap(drivers_);
  std::vector<DrivenVariable*>().swap(variables_);
  capacity_ = 0;

  // One driver may drive several variables; delete it once.
  std::sort(drivers.begin(), drivers.end());
  drivers.erase(std::unique(drivers.begin(), drivers.end()), drivers.end());
  for (VariableDriver* driver : drivers) delete driver;
}

VariableDriverTable& VariableDrivers() {
  // Never destroyed: drivers left at exit must not run against torn-down state.
  static VariableDriverTable* const table = new VariableDriverTable;
  return *table;
}

bool SetVariableDriver(DrivenVariable* variable, VariableDriver* driver) {
  return VariableDrivers().Set(variable, driver);
}

void ApplyVariableDrivers(double time) { VariableDrivers().Apply(time); }

void ClearVariableDrivers() { VariableDrivers().Clear(); }
