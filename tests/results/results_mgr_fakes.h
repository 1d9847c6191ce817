// A fake problem for the results manager's tests.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/messaging/message.h"
#include "results/results_mgr.h"
#include "results/snapshot_text.h"
#include "tests/framework/message_helpers.h"
#include "tests/results/snapshot_text_fakes.h"

namespace resultstest {

// A problem of real variables named in order; records what the manager asks.
class FakeProblem : public ResultsProblemSide {
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
  void SnapshotTaken(const char* name, std::uint32_t id, bool, bool, std::uint16_t, std::int16_t,
                     double) override {
    taken.emplace_back(name, id);
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
  bool wants_text = false;
  std::vector<testsupport::Bytes> notices;  // bodies of service 85

 private:
  std::vector<std::string> names_;
  BvuDirectoryProper* tree_;
};

}  // namespace resultstest
