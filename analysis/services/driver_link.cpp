#include "analysis/services/driver_link.h"

#include "analysis/services/analysis_services.h"

double DriverLink::ValueAt(double time, double current) {
  const std::shared_ptr<VariableDriver> kept = kept_.lock();
  return kept != nullptr ? kept->ValueAt(time, current) : current;
}

Status InstalledDriver::Install(AnalysisServices& services, AnalysisVariable* variable,
                                const std::shared_ptr<VariableDriver>& kept) {
  Remove(&services, variable);
  auto* link = new DriverLink(kept);
  const Status s = services.SetVariableDriver(variable, link);
  if (status::IsFailure(s)) {
    delete link;
    return s;
  }
  link_ = link;
  return s;
}

void InstalledDriver::Remove(AnalysisServices* services, AnalysisVariable* variable) {
  if (link_ == nullptr || services == nullptr) {
    link_ = nullptr;
    return;
  }
  // Taken back from the table, the link is ours; not found there, the
  // table has deleted it when it cleared.
  if (services->SetVariableDriver(variable, nullptr) == status::kOk) delete link_;
  link_ = nullptr;
}
