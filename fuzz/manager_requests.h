// Drives an analysis manager (optimisation, estimation) from fuzz input: a
// run of service requests, or a run of Open NLP option settings for a
// loaded fake solver. Each stops after `most` or when a step reads nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "tests/analysis/analysis_fakes.h"

namespace vantor_fuzz {

// Loads a fake solver (describing its options when `describe`), sets options
// from `body` and detaches.
template <class Manager>
void SetSolverOptions(Manager& manager, analysis_fakes::FakeServices& services,
                      std::int32_t describe, ByteStream& body, int most) {
  analysis_fakes::FakeNLPSolver solver;
  services.nlp = &solver;
  manager.SelectOpenNLPSolver("fuzz", describe, nullptr);
  for (int n = 0; n < most && body.Remaining() > 0; ++n) {
    const std::size_t before = body.Remaining();
    manager.SetOpenNLPSolverOption("option", body);
    if (body.Remaining() == before) break;
  }
  manager.DetachProblem("w", "NULL");
}

// Hands requests from `body` to the manager, calling `after()` after each.
template <class Manager, class After>
void HandleRequests(Manager& manager, ByteStream& body, int most, After&& after) {
  for (int n = 0; n < most && body.Remaining() > 0; ++n) {
    const std::size_t before = body.Remaining();
    DseMessage* reply = nullptr;
    manager.HandleMessage(body, &reply);
    delete reply;
    after();
    if (body.Remaining() == before) break;
  }
}

}  // namespace vantor_fuzz
