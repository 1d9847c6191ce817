#include "solve/open/solver_loaders.h"

#include <strings.h>

#include <mutex>
#include <string>

#include "foundation/messages/su_print.h"
#include "framework/libraries/call_context_block.h"
#include "framework/libraries/library_api.h"
#include "solve/methods/open_solvers.h"
#include "solve/open/kvs_loader.h"
#include "solve/open/kvs_proxies.h"

namespace {

struct LoadedSolver {
  platform::IUnknown* factory = nullptr;
  XosDynamicFunction* function = nullptr;  // holds the library
  std::string name;
};

// Loads run on the server thread and solvers read on the run thread.
std::mutex g_mutex;
LoadedSolver g_nla;
LoadedSolver g_nlp_estimation;
LoadedSolver g_nlp_optimisation;

void Clear(LoadedSolver& solver) {
  if (solver.factory != nullptr) solver.factory->Release();
  if (solver.function != nullptr) ReleaseFunction(solver.function);
  solver = LoadedSolver{};
}

struct Kind {
  const char* heading;
  const char* entry;
  const platform::IID* iid;
  const char* no_factory;
  const char* wrong_interface;
  const char* missing_entry;
  LoadedSolver* state;
  std::int32_t run_type;  // 0 for the NLA solver
};

void SetName(const Kind& kind, const std::string& name) {
  if (kind.run_type == 0) {
    SetOpenNLASolverName(name);
  } else {
    SetOpenNLPSolverName(kind.run_type, name);
  }
}

void ApplyDefaults(platform::IUnknown* factory, const std::string& component) {
  const char* parameter = nullptr;
  if (strcasecmp(component.c_str(), kKvsHypSqpName) == 0) parameter = "OptTol";
  if (strcasecmp(component.c_str(), kKvsDmoName) == 0) parameter = "OBJCVG";
  if (parameter == nullptr) return;
  void* raw = nullptr;
  if (factory->QueryInterface(IID_KVSParameters, &raw) != 0 || raw == nullptr) return;
  auto* parameters = static_cast<KVSParameters*>(raw);
  const double value = 0.0001;
  parameters->Set(parameter, kKvsReal, &value);
  parameters->Release();
}

Status Load(const Kind& kind, const char* name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  SuPrint(0, "%s", kind.heading);
  if (name == nullptr) name = "";
  std::uint32_t load_status = 0;
  XosDynamicFunction* function =
      FindFunctionInNamedDLLEx(kind.entry, name, ProcedureCallBlock(), nullptr, &load_status);
  void* address = function != nullptr ? GetFunctionAddress(function) : nullptr;
  if (function == nullptr || address == nullptr) {
    if (function != nullptr) {
      SuPrint(kKvsLoadMessage, "Fetching %s failed\n", kind.entry);
      ReleaseFunction(function);
    } else if ((load_status & 0xA000FFFFu) == 0xA0000033u) {
      SuPrint(kKvsLoadMessage, kind.missing_entry, name);
    } else if ((load_status & 0xA000FFFFu) == 0xA0000034u) {
      SuPrint(kKvsLoadMessage, "Load failed, %s could not be found", name);
    } else {
      SuPrint(kKvsLoadMessage, "Loading %s failed\n", name);
    }
    Clear(*kind.state);
    SetName(kind, "");
    return kKvsNotLoadable;
  }
  char path[4096] = {0};
  GetFunctionsDLLFileName(function, path, static_cast<std::int32_t>(sizeof(path)));
  SuPrint(0, "%s loaded successfully\n", path);
  platform::IUnknown* object = reinterpret_cast<GetFactoryFunction>(address)();
  if (object == nullptr) {
    SuPrint(0, "%s", kind.no_factory);
    ReleaseFunction(function);
    Clear(*kind.state);
    SetName(kind, "");
    return kKvsWrongFactory;
  }
  void* factory = nullptr;
  void* utility = nullptr;
  bool good = object->QueryInterface(*kind.iid, &factory) == 0 && factory != nullptr;
  if (good) {
    good = static_cast<platform::IUnknown*>(factory)->QueryInterface(IID_KVSUtilityComponent,
                                                                     &utility) == 0 &&
           utility != nullptr;
  }
  object->Release();
  if (!good) {
    if (factory != nullptr) static_cast<platform::IUnknown*>(factory)->Release();
    SuPrint(kKvsLoadMessage, "%s", kind.wrong_interface);
    ReleaseFunction(function);
    Clear(*kind.state);
    SetName(kind, "");
    return kKvsWrongFactory;
  }
  auto* component = static_cast<KVSUtilityComponent*>(utility);
  char* text = nullptr;
  std::string component_name;
  if (component->GetName(&text) == 0) component_name = TakeKvsText(text);
  component->Release();
  // The previous library of this kind goes once the new one is in place.
  Clear(*kind.state);
  kind.state->factory = static_cast<platform::IUnknown*>(factory);
  kind.state->function = function;
  kind.state->name = name;
  if (kind.run_type != 0) ApplyDefaults(kind.state->factory, component_name);
  SetName(kind, name);
  return 0;
}

platform::IUnknown* Take(LoadedSolver& solver) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (solver.factory != nullptr) solver.factory->AddRef();
  return solver.factory;
}

}  // namespace

Status LoadOpenNLASolver(const char* name) {
  static const Kind kind{"Loading Open NLA Solver...\n",
                         kGetFactoryNLASystem,
                         &IID_KVSNLASystemFactory,
                         "No NLASystemFactory implemented in DLL \n",
                         "Wrong interface implemented for NLASystemFactory\n",
                         "Load failed, %s does not contain an NLA Solver Factory",
                         &g_nla,
                         0};
  return Load(kind, name);
}

Status LoadOpenNLPSolverForEstimation(const char* name) {
  static const Kind kind{"Loading Open NLP Solver for estimation...\n",
                         kGetFactoryNLPSystem,
                         &IID_KVSNLPSystemFactory,
                         "No NLPSystemFactory implemented in DLL \n",
                         "Wrong interface implemented for NLPSystemFactory\n",
                         "Load failed, %s does not contain an NLP Solver Factory",
                         &g_nlp_estimation,
                         kRunEstimation};
  return Load(kind, name);
}

Status LoadOpenNLPSolverForOptimisation(const char* name) {
  static const Kind kind{"Loading Open NLP Solver for optimization...\n",
                         kGetFactoryNLPSystem,
                         &IID_KVSNLPSystemFactory,
                         "No NLPSystemFactory implemented in DLL \n",
                         "Wrong interface implemented for NLPSystemFactory\n",
                         "Load failed, %s does not contain an NLP Solver Factory",
                         &g_nlp_optimisation,
                         kRunOptimisation};
  return Load(kind, name);
}

platform::IUnknown* OpenNLAFactory() { return Take(g_nla); }

platform::IUnknown* OpenNLPFactory(std::int32_t run_type) {
  if (run_type == kRunEstimation) return Take(g_nlp_estimation);
  if (run_type == kRunOptimisation) return Take(g_nlp_optimisation);
  return nullptr;
}

std::string UnloadOpenNLASolver() {
  std::string name;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    name = g_nla.name;
    Clear(g_nla);
    SetOpenNLASolverName("");
  }
  if (!name.empty()) {
    const std::string text = "Open NLA Solver " + name + " unloaded\n";
    QLNCOpenMessagesHandler::Instance()->Print(text.c_str(), 0, 0);
  }
  return name;
}

void ClearOpenSolvers() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (LoadedSolver* s : {&g_nla, &g_nlp_estimation, &g_nlp_optimisation}) Clear(*s);
  SetOpenNLASolverName("");
  SetOpenNLPSolverName(kRunEstimation, "");
  SetOpenNLPSolverName(kRunOptimisation, "");
}
