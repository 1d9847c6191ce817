// A small model for the plot history, the reports and the value dump:
// variables with a settable value, flags and elements, found by id, name
// and one-step id path (the variable's id). Free of the test framework, so
// that fuzz targets and seed writers use it too.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "foundation/directory/id_path.h"
#include "results/plot/result_model.h"

namespace plottest {

class FakeVariable : public ResultVariable {
 public:
  FakeVariable(std::uint32_t id, std::string name, double value = 0.0)
      : value(value), id_(id), name_(std::move(name)) {}
  virtual ~FakeVariable() = default;

  std::uint32_t Id() const override { return id_; }
  std::string FullName() const override { return name_; }
  Status GetValue(double* out) const override {
    *out = value;
    return status::kOk;
  }
  std::uint32_t Flags() const override { return flags; }
  std::int32_t ElementCount() const override { return static_cast<std::int32_t>(elements.size()); }
  ResultVariable* Element(std::int32_t index) override {
    return index >= 0 && index < ElementCount() ? elements[static_cast<std::size_t>(index)]
                                                : nullptr;
  }

  double value;
  std::uint32_t flags = 0;
  std::vector<FakeVariable*> elements;

 private:
  std::uint32_t id_;
  std::string name_;
};

class FakeModel : public ResultModel {
 public:
  FakeVariable* Add(const std::string& name, double value = 0.0) {
    owned_.emplace_back(next_id_++, name, value);
    list.push_back(&owned_.back());
    ++generation;
    return &owned_.back();
  }
  // An element: found by name and id, not in the top-level list.
  FakeVariable* AddElement(FakeVariable* array, const std::string& name, double value) {
    owned_.emplace_back(next_id_++, name, value);
    array->elements.push_back(&owned_.back());
    return &owned_.back();
  }
  void Forget(FakeVariable* variable) {
    std::erase(list, variable);
    hidden_.push_back(variable);
    ++generation;
  }

  ResultVariable* FindVariable(const char* name, bool prefix) override {
    for (FakeVariable& v : owned_) {
      if (IsHidden(&v)) continue;
      const std::string full = v.FullName();
      if (prefix ? full.rfind(name, 0) == 0 : full == name) return &v;
    }
    return nullptr;
  }
  ResultVariable* ResolveIdPath(const BvuIdPath& path) override {
    if (path.count() != 1) return nullptr;
    for (FakeVariable& v : owned_)
      if (v.Id() == path.ids()[0] && !IsHidden(&v)) return &v;
    return nullptr;
  }
  std::int32_t VariableCount() override { return static_cast<std::int32_t>(list.size()); }
  ResultVariable* VariableAt(std::int32_t index) override {
    return index >= 0 && index < VariableCount() ? list[static_cast<std::size_t>(index)] : nullptr;
  }
  std::uint32_t Generation() override { return generation; }
  double ZeroThreshold() override { return zero_threshold; }

  std::vector<FakeVariable*> list;
  std::uint32_t generation = 0;
  double zero_threshold = 1e-20;

 private:
  bool IsHidden(const FakeVariable* v) const {
    for (const FakeVariable* h : hidden_)
      if (h == v) return true;
    return false;
  }
  std::deque<FakeVariable> owned_;
  std::vector<FakeVariable*> hidden_;
  std::uint32_t next_id_ = 100;
};

}  // namespace plottest
