// Service-64 requests of the sensitivity manager, several to an input, over
// a model of sixteen variables (variable references are their u32 ids; ids
// 13 to 16 are fixed): lists, switches, clears and the values reply, then
// the matrix filled and read as the solvers would.
#include <memory>

#include "analysis/sensitivity/sensitivity_mgr.h"
#include "framework/messaging/message.h"
#include "fuzz/byte_stream.h"
#include "tests/analysis/analysis_fakes.h"

namespace {
constexpr int kMostRequests = 16;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream body(std::vector<std::uint8_t>(data, data + size));
  analysis_fakes::FakeServices services;
  for (std::uint32_t id = 1; id <= 16; ++id) {
    std::string name(1, 'v');
    name.append(std::to_string(id));
    auto* v = services.Add(id, name, id * 0.5);
    if (id > 12) v->SetFlags(analysis_flags::kFixed);
    if (id % 5 == 0) v->SetFlags(analysis_flags::kControl);
  }
  services.control_values = 2;
  SensitivityMgr manager(services);
  for (int n = 0; n < kMostRequests && body.Remaining() > 0; ++n) {
    const std::size_t before = body.Remaining();
    DseMessage* reply = nullptr;
    manager.ServeRequest(body, &reply);
    delete reply;
    if (body.Remaining() == before) break;
  }
  manager.AllocateMatrix();
  for (std::int32_t j = 0; j < manager.GetNumParameters(); ++j) {
    for (std::int32_t k = 0; k < manager.GetNumVariables(); ++k) {
      manager.SetSensitivity(manager.GetParameter(j), manager.GetVariable(k), j + k, 1);
      double value = 0.0;
      manager.GetSensitivity(manager.GetParameter(j), manager.GetVariable(k), &value, 0, true,
                             true);
    }
  }
  DseMessage* reply = nullptr;
  vantor_fuzz::ByteStream values(std::vector<std::uint8_t>{55, 0, 0, 0});
  manager.ServeRequest(values, &reply);
  delete reply;
  manager.DetachProblem("w", "NULL");
  return 0;
}
