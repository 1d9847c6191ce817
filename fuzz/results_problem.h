// A problem of three real variables for the results manager's fuzz targets
// and their seeds: Plant.a, Plant.b, Plant.c at value-table indices 0 to 2,
// and an event schedule of two entries (Schedule.on, Schedule.off).
#pragma once

#include <memory>
#include <vector>

#include "framework/messaging/message.h"
#include "results/manager/results_mgr.h"
#include "results/snapshots/snapshot_text.h"
#include "tests/results/snapshot_text_fakes.h"
#include "tests/results/quiet_problem_side.h"

namespace vantor_fuzz {

class ResultsProblem : public QuietProblemSide {
 public:
  ResultsProblem()
      : tree_(new BvuDirectoryProper(nullptr, "")), events_(new BvuDirectoryProper(nullptr, "")) {
    const char* names[] = {".a", ".b", ".c"};
    for (std::uint32_t i = 0; i < 3; ++i) snaptext::AddUseData(tree_, {"Plant", names[i]}, i, 1);
    snaptext::AddUseData(events_, {"Schedule", ".on"}, 0, 1);
    snaptext::AddUseData(events_, {"Schedule", ".off"}, 1, 1);
  }
  ~ResultsProblem() override {
    BvuDirectoryProper::DeleteBelow(tree_);
    delete tree_;
    BvuDirectoryProper::DeleteBelow(events_);
    delete events_;
  }
  BvuDirectoryProper* EventTree() override { return events_; }
  std::vector<std::uint32_t>* EventSchedule() override { return &schedule_; }
  Status RestoreEventSchedule(const std::vector<std::uint32_t>& entries) override {
    if (entries.size() > schedule_.size()) return status::kBadArguments;
    return 0;
  }
  double CurrentTime() override { return 0; }
  std::int32_t RunMode() override { return 4; }
  void ResetRunHooks() override {}
  void SetValuesChanged() override {}
  Status RequestSnapshot(const char*, bool) override { return 0; }
  void PostEvent(std::uint32_t, const char*) override {}
  void Send(DseMessage* message) override { delete message; }
  BvuDirectoryProper* VariableTree() override { return tree_; }
  Status StoreRestoredValues(const SUPackedValueTable&) override { return 0; }
  bool WantsSnapshotText() override { return false; }

  static std::unique_ptr<SUPackedValueTable> Values(double a, double b, double c) {
    auto table = std::make_unique<SUPackedValueTable>();
    snaptext::AddReal(*table, a);
    snaptext::AddReal(*table, b);
    snaptext::AddReal(*table, c);
    return table;
  }

 private:
  BvuDirectoryProper* tree_;
  BvuDirectoryProper* events_;
  std::vector<std::uint32_t> schedule_{3, 4};
};

}  // namespace vantor_fuzz
