// Service-112 requests of the optimisation manager, several to an input,
// over a model of twelve variables (variable references are their u32 ids):
// definitions, starts, stops, mode switches, clears and results replies.
// After each request a short evaluation runs through the action as the
// run would call it (run start, element and constraint events, the end of
// the run), and the element queries are asked. With bit 1 of the first
// byte the input is Open NLP option settings for a loaded solver.
#include <memory>

#include "analysis/optimisation/opt_manager.h"
#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "fuzz/manager_requests.h"
#include "tests/analysis/opt_fakes.h"

namespace {
constexpr int kMostRequests = 8;
constexpr int kMostEvents = 16;
constexpr std::size_t kMostQueries = 64;

void Evaluate(OptimisationMgr& manager, analysis_fakes::FakeOptRun& run) {
  std::int32_t result = 0;
  run.hook = 5;
  manager.Execute(&result, nullptr, nullptr);
  run.hook = 6;
  manager.Execute(&result, nullptr, nullptr);
  // Boundaries and constraint times in turn until the run ends.
  for (int e = 0; e < kMostEvents && manager.PassInProgress(); ++e) {
    run.hook = 12;
    const std::uint32_t code = e % 2 == 0 ? kOptConstraintEvent : kOptBoundaryEvent;
    SimExplicitEvent event{manager.GetElementEndTime(), code, 1};
    manager.Execute(&result, nullptr, &event);
  }
  run.hook = 3;
  manager.Execute(&result, nullptr, nullptr);
  double a = 0.0, b = 0.0;
  manager.GetCurrentElementLength();
  manager.GetElementStartTime();
  manager.GetNextElementEndTime();
  // Each answer looks the variable up in the list: a few make the point.
  const auto& list = manager.Definition().list;
  for (std::size_t k = 0; k < list.size() && k < kMostQueries; ++k) {
    manager.GetMultipliers(list[k], &a, &b);
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data + 1, data + size));
  analysis_fakes::FakeServices services;
  for (std::uint32_t id = 1; id <= 12; ++id) {
    std::string name(1, 'v');
    name.append(std::to_string(id));
    services.Add(id, name, id * 0.25)->scale = 1.0 + (id % 3);
  }
  services.options[opt_options::kOptimizer] = 1 + (data[0] >> 4) % 10;
  analysis_fakes::FakeSensitivities sensitivities;
  analysis_fakes::FakeOptRun run;
  analysis_fakes::FakeRunFactory factory;
  factory.answers = {0, 0, 1, 0, -1, 2};
  factory.full_answers = {opt_status::kRunAgain, 0};
  OptimisationMgr manager(services, &run);
  manager.SetRunFactory(&factory);
  if ((data[0] & 2) != 0) {
    vantor_fuzz::SetSolverOptions(manager, services, 1, body, kMostRequests);
    return 0;
  }
  vantor_fuzz::HandleRequests(manager, body, kMostRequests, [&] { Evaluate(manager, run); });
  manager.SetUpEvaluation(!manager.Definition().dynamic);
  manager.SetResult(true, 3, 1.0);
  std::unique_ptr<DseMessage> reply(DseMessage::DseMessageDefault());
  manager.WriteResults(*reply);
  manager.DetachProblem("w", "NULL");
  return 0;
}
