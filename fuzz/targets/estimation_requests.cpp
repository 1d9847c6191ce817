// Service-110 requests of the estimation manager, several to an input, over
// a model of sixteen variables (variable references are their u32 ids; ids
// 13 to 16 are fixed): definitions, starts, stops, clears and results
// replies; after each definition the experiments record residuals and
// sensitivity rows as a pass of the estimation would, and the pass ends. With bit 1 of the
// first byte the input is Open NLP option settings for a loaded solver.
#include <memory>

#include "analysis/estimation/estimation_mgr.h"
#include "analysis/sensitivity/sensitivity_mgr.h"
#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "fuzz/manager_requests.h"
#include "tests/analysis/analysis_fakes.h"

namespace {
constexpr int kMostRequests = 8;

void Pass(EstimationMgr& manager, SensitivityMgr& sensitivities) {
  sensitivities.AllocateMatrix();
  for (std::int32_t i = 0; i < manager.NumExperiments(); ++i) {
    EstExperiment* e = manager.Experiment(i);
    e->Reset();
    e->ApplyMeasuredValues();
    for (int point = 0; point < 4; ++point) {
      e->RecordResiduals();
      e->RecordSensitivities();
    }
  }
  // The pass end: the driver, the figures and the report over those values.
  manager.CompletePass(EstimationMgr::kPassDone);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data + 1, data + size));
  analysis_fakes::FakeServices services;
  for (std::uint32_t id = 1; id <= 16; ++id) {
    std::string name(1, 'v');
    name.append(std::to_string(id));
    auto* v = services.Add(id, name, id * 0.5);
    if (id > 12) v->SetFlags(analysis_flags::kFixed);
  }
  // The first byte picks the objective.
  services.options[analysis_options::kEstimator] = 1 + (data[0] & 1);
  SensitivityMgr sensitivities(services);
  EstimationMgr manager(services);
  if ((data[0] & 2) != 0) {
    vantor_fuzz::SetSolverOptions(manager, services, 0, body, kMostRequests);
    return 0;
  }
  vantor_fuzz::HandleRequests(manager, body, kMostRequests, [&] { Pass(manager, sensitivities); });
  manager.Results().outcome = 1;
  manager.Results().statistics = 2;
  std::unique_ptr<DseMessage> reply(DseMessage::DseMessageDefault());
  manager.WriteResults(*reply);
  manager.DetachProblem("w", "NULL");
  return 0;
}
