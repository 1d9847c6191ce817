// A driver the analyses keep (a control ramp, an input profile) as the
// variable-driver table holds it. The table deletes every driver it holds
// when it clears (a problem detached, the run mode changed), while the
// analysis keeps its profile for as long as its definition lives: the
// table gets a link of its own, which forwards to the kept driver while
// that lives. A link removed again is the installer's to delete; one the
// table cleared is gone already. Server thread, as the analyses are.
#pragma once

#include <memory>

#include "foundation/interfaces/variable_drivers.h"
#include "platform/status.h"

class AnalysisServices;
class AnalysisVariable;

class DriverLink final : public VariableDriver {
 public:
  explicit DriverLink(std::weak_ptr<VariableDriver> kept) : kept_(std::move(kept)) {}
  double ValueAt(double time, double current) override;

 private:
  std::weak_ptr<VariableDriver> kept_;
};

// One variable's link, installed and removed through the services.
class InstalledDriver {
 public:
  InstalledDriver() = default;
  InstalledDriver(const InstalledDriver&) = delete;
  InstalledDriver& operator=(const InstalledDriver&) = delete;

  Status Install(AnalysisServices& services, AnalysisVariable* variable,
                 const std::shared_ptr<VariableDriver>& kept);
  // Without services the link stays with the table, forwarding to nothing
  // once the kept driver is gone.
  void Remove(AnalysisServices* services, AnalysisVariable* variable);
  bool Installed() const { return link_ != nullptr; }

 private:
  DriverLink* link_ = nullptr;
};
