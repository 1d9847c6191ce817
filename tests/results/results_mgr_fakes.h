// A fake problem for the results manager's tests.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/messaging/message.h"
#include "results/manager/results_mgr.h"
#include "results/snapshots/snapshot_text.h"
#include "tests/framework/message_helpers.h"
#include "tests/results/snapshot_text_fakes.h"
#include "tests/results/quiet_problem_side.h"

namespace resultstest {

// A problem of real variables named in order; records what the manager asks.
class FakeProblem : public QuietProblemSide {
 public:
  explicit FakeProblem(std::vector<std::string> names) : names_(std::move(names)) {
    tree_ = new BvuDirectoryProper(nullptr, "");
    for (std::size_t i = 0; i < names_.size(); ++i)
      snaptext::AddUseData(tree_, {"Plant", "." + names_[i]}, static_cast<std::uint32_t>(i), 1);
  }
  ~FakeProblem() override {
    BvuDirectoryProper::DeleteBelow(tree_);
    delete tree_;
  }

  double CurrentTime() override { return current_time; }
  std::int32_t RunMode() override { return run_mode; }
  void ResetRunHooks() override { ++hook_resets; }
  void SetValuesChanged() override { ++values_changed; }
  Status RequestSnapshot(const char* name, bool) override {
    requested.push_back(name);
    return 0;
  }
  void PostEvent(std::uint32_t number, const char* text) override {
    events.emplace_back(number, text);
  }
  void Send(DseMessage* message) override {
    testsupport::MessagePtr owned(message);
    if (message->type == 85) notices.push_back(testsupport::BodyOf(*message));
    if (message->type == 55) ReadTaken(*message);
    if (message->type == 82) {
      auto received = testsupport::Received(*message);
      std::uint32_t zero = 9;
      char* name = nullptr;
      received->GetUInt32(&zero);
      received->GetStringNew(&name);
      renamed.push_back(name != nullptr ? name : "");
      delete[] name;
    }
  }
  BvuDirectoryProper* VariableTree() override { return tree_; }
  bool WantsSnapshotText() override { return wants_text; }
  double Option(std::int32_t number) override {
    auto found = options.find(number);
    return found != options.end() ? found->second : 0;
  }
  bool RestartRequested() override { return restart_requested; }
  void Print(Status, const std::string& text) override { printed.push_back(text); }
  void NotifyIntegrator() override { ++integrator_notices; }
  void SetStructureChanged() override { ++structure_changes; }
  ResultModel* Model() override { return model; }
  Status ConfirmRestore(std::uint32_t id, std::int32_t wait_ms) override {
    confirmations.emplace_back(id, wait_ms);
    return confirm_answer;
  }
  std::vector<std::uint8_t>* ProblemBlock() override { return block.empty() ? nullptr : &block; }
  AssignableVariable* VariableAt(std::int32_t index) override {
    auto found = by_index.find(index);
    return found != by_index.end() ? found->second : nullptr;
  }
  Status StoreRestoredValues(const SUPackedValueTable& values) override {
    restored.clear();
    for (std::int32_t i = 0; i < values.Count(); ++i)
      restored.push_back(values.Record(i).payload.real);
    return 0;
  }

  std::unique_ptr<SUPackedValueTable> Values(const std::vector<double>& reals) const {
    auto table = std::make_unique<SUPackedValueTable>();
    for (double r : reals) snaptext::AddReal(*table, r);
    return table;
  }
  std::int32_t Count() const { return static_cast<std::int32_t>(names_.size()); }
  // Command 40: the name, id, live, kept, run, count and time.
  void ReadTaken(DseMessage& message) {
    auto received = testsupport::Received(message);
    std::uint32_t command = 0;
    std::uint32_t n = 0;
    received->GetUInt32(&command);
    received->GetUInt32(&n);
    std::vector<std::int32_t> integers(n);
    for (auto& i : integers) {
      std::uint32_t u = 0;
      received->GetUInt32(&u);
      i = static_cast<std::int32_t>(u);
    }
    received->GetUInt32(&n);
    double time = 0;
    for (std::uint32_t i = 0; i < n; ++i) received->GetFloatAsDouble(&time);
    received->GetUInt32(&n);
    char* name = nullptr;
    if (n == 1) received->GetStringNew(&name);
    taken.emplace_back(name != nullptr ? name : "", integers.empty() ? 0u : integers[0]);
    taken_commands.push_back(command);
    taken_integers.push_back(integers);
    taken_times.push_back(time);
    delete[] name;
  }
  bool Posted(std::uint32_t number) const {
    for (const auto& e : events)
      if (e.first == number) return true;
    return false;
  }

  double current_time = 0;
  std::int32_t run_mode = 4;
  int hook_resets = 0;
  int values_changed = 0;
  std::vector<std::string> requested;
  std::vector<std::pair<std::uint32_t, std::string>> events;
  std::vector<std::string> renamed;
  std::vector<double> restored;
  std::vector<std::pair<std::string, std::uint32_t>> taken;
  std::vector<std::uint32_t> taken_commands;
  std::vector<std::vector<std::int32_t>> taken_integers;
  std::vector<double> taken_times;
  bool wants_text = false;
  std::map<std::int32_t, double> options;
  bool restart_requested = false;
  std::vector<std::string> printed;
  int integrator_notices = 0;
  int structure_changes = 0;
  std::map<std::int32_t, AssignableVariable*> by_index;
  ResultModel* model = nullptr;
  std::vector<std::pair<std::uint32_t, std::int32_t>> confirmations;
  Status confirm_answer = 0;
  std::vector<std::uint8_t> block;
  std::vector<testsupport::Bytes> notices;  // bodies of service 85

 private:
  std::vector<std::string> names_;
  BvuDirectoryProper* tree_;
};

// A variable of the problem with what assignments touch.
class FakeVariable : public AssignableVariable {
 public:
  FakeVariable(std::string name, std::int32_t index, double value = 0)
      : name_(std::move(name)), index_(index), value_(value) {}
  std::uint32_t Flags() const override { return flags; }
  void SetFlags(std::uint32_t f) override { flags = f; }
  std::string Name() const override { return name_; }
  std::int32_t Index() const override { return index_; }
  void Bounds(double* low, double* high) const override {
    *low = lower;
    *high = upper;
  }
  double Value() const override { return value_; }
  void SetValue(double v) override { value_ = v; }
  void SetValueMarked(double v, bool m) override {
    value_ = v;
    marked = m;
  }
  std::uint32_t Specification() const override { return specification; }
  Status SetSpecification(std::uint32_t code) override {
    specification = code;
    return structure_answer;
  }
  std::vector<AssignableVariable*> Group() override { return group; }
  bool HoldsTypedValue() const override { return typed.type != SUValue::kNoType; }
  void GetTypedValue(SUValue* v) const override { v->Assign(typed); }
  void SetTypedValue(const SUValue& v) override {
    typed.SetType(v.type);
    typed.Assign(v);
  }

  std::uint32_t flags = 0;
  double lower = -1e20;
  double upper = 1e20;
  std::uint32_t specification = 4;
  Status structure_answer = 0;
  bool marked = false;
  std::vector<AssignableVariable*> group;
  SUValue typed;

 private:
  std::string name_;
  std::int32_t index_;
  double value_;
};

}  // namespace resultstest
