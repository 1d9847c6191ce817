#include <string>

#include "daes/blocks/solver_block.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "solve/open/kvs_guard.h"
#include "solve/open/kvs_proxies.h"
#include "solve/open/solver_loaders.h"

namespace {

std::string ComponentText(platform::IUnknown* object, bool product) {
  void* raw = nullptr;
  if (object->QueryInterface(IID_KVSUtilityComponent, &raw) != 0 || raw == nullptr) return {};
  auto* utility = static_cast<KVSUtilityComponent*>(raw);
  char* text = nullptr;
  const Status s = product ? utility->GetProduct(&text) : utility->GetName(&text);
  utility->Release();
  return s == 0 ? TakeKvsText(text) : std::string();
}

}  // namespace

Status QLNCOpenNLASolver::Solve(QLNGroup* group, std::uint8_t mode, std::uint32_t request,
                                std::uint32_t, Status* status_out) {
  auto* block = dynamic_cast<DAESSolverBlock*>(group);
  platform::IUnknown* factory = OpenNLAFactory();
  if (factory == nullptr || block == nullptr) {
    if (factory != nullptr) factory->Release();
    return kOpenNLANoFactory;
  }
  void* probe = nullptr;
  if (factory->QueryInterface(IID_KVSUtilityComponent, &probe) != 0 || probe == nullptr) {
    SuPrint(0x80000038u, "Wrong interface implemented for NLASystemFactory\n");
    factory->Release();
    return kOpenNLANoFactory;
  }
  static_cast<platform::IUnknown*>(probe)->Release();

  auto* system = static_cast<KVSNLASystem*>(block->GetEquationSetObject());
  if (system == nullptr) {
    // A corrector group's states carry their derivatives, as with the
    // built-in proxies.
    auto* adapter = new QLNCNumericAlgebraicESO(block, mode, request != 0);
    adapter->AddRef();
    const Status s = GuardedKvsCall(
        [&] {
          return static_cast<KVSNLASystemFactory*>(factory)->CreateSystem(
              adapter, QLNCOpenMessagesHandler::Instance(), &system);
        },
        kOpenNLAFailed);
    adapter->Release();
    if (s != 0 || system == nullptr) {
      factory->Release();
      return kOpenNLAFailed;
    }
    block->SetEquationSetObject(system);
  }
  SolverOptions* options = SolverOptions::Instance();
  const std::int32_t level = options->GetInt(kOptPrintLevel);
  std::int32_t number = static_cast<std::int32_t>(block->GetGroupNumber());
  if (level > 2) {
    const std::string product = ComponentText(factory, true);
    SuPrint(0, "Solving group %d with %s\n", &number, product.c_str());
  }
  const std::string name = ComponentText(system, false);
  const char* indet = nullptr;
  const char* interpolation = nullptr;
  if (name == kKvsSparseName) {
    indet = "IndetHandle";
    interpolation = "IpConvInfo";
  } else if (name == kKvsContinName) {
    indet = "SPARSE.IndetHandle";
    interpolation = "SPARSE.IpConvInfo";
  }
  if (indet != nullptr) {
    // The integrator's indeterminacy word and interpolation value.
    UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
    KvsParameter word;
    KvsParameter value;
    if (integrator != nullptr) {
      word.integer = static_cast<std::int32_t>(integrator->GetAuxWord());
      value.integer = integrator->GetInterpolation();
    }
    QLNKVSGenericProxy::ApplyParameter(factory, indet, word);
    QLNKVSGenericProxy::ApplyParameter(factory, interpolation, value);
  }
  factory->Release();

  if (status_out != nullptr) *status_out = 1;
  Status detail = 0;
  Status s = GuardedKvsCall(
      [&] {
        Status r = system->Solve(0, &detail);
        while (r == kKvsCallAgain) r = system->Solve(1, &detail);
        return r;
      },
      kOpenNLAFailed);
  if (s == 0) return 0;
  if (IsErrorReportingOn() != 0) {
    SuPrint(kOpenNLAFailed, "Group %d: External nonlinear solver failed.", &number);
  } else if (level > 1) {
    SuPrint(0, "Group %d: External nonlinear solver failed.", &number);
  }
  return kOpenNLAFailed;
}
