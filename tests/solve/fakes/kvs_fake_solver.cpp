// A solver library of the open framework for the loader tests: its factory
// answers as the test sets it (a component name, an empty factory, a wrong
// interface) and counts its releases and the parameters it was given.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "solve/ifaces/kvs_nlp.h"
#include "solve/ifaces/kvs_nonlinear.h"

namespace {

int g_mode = 0;
std::string g_calls;
int g_live = 0;
std::string g_name = "_KVS_FAKE";
std::map<std::string, double> g_parameters;
std::map<std::string, int> g_sets;
// The NLP system's script: a step result and the request flags it leaves.
std::vector<std::pair<int, unsigned>> g_script;
std::string g_nlp_log;

template <class T>
void Log(const char* format, T value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  g_nlp_log.append(text);
}

char* Copy(const std::string& text) {
  auto* out = static_cast<char*>(std::malloc(text.size() + 1));
  std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

// Takes its step results from the script; each step logs the mode and what
// the previous request asked for, then moves the point to the step number.
class NlpSystem final : public KVSNLPSystem,
                        public KVSParameters,
                        public KVSNLPResult,
                        public KVSNLPAttributes {
 public:
  explicit NlpSystem(KVSNumericNLPESO* eso) : eso_(eso) { eso_->AddRef(); }
  Status QueryInterface(const platform::IID& iid, void** out) override {
    *out = nullptr;
    if (iid == IID_KVSParameters) *out = static_cast<KVSParameters*>(this);
    if (iid == IID_KVSNLPResult) *out = static_cast<KVSNLPResult*>(this);
    if (iid == IID_KVSNLPAttributes) *out = static_cast<KVSNLPAttributes*>(this);
    if (iid == platform::IID_IUnknown) *out = static_cast<KVSNLPSystem*>(this);
    if (*out == nullptr) return 0x80004002u;
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --refs_;
    if (left == 0) {
      eso_->Release();
      --g_live;
      delete this;
    }
    return left;
  }
  Status Step(std::int32_t mode, KVSMessagesHandler*) override {
    if (g_mode == 3) {
      volatile int* nowhere = nullptr;
      *nowhere = mode;
    }
    Log("m%d", mode);
    std::uint32_t flags = 0;
    eso_->GetRequest(&flags);
    std::int32_t n = 0, m = 0, e = 0;
    eso_->GetNumVariables(&n);
    eso_->GetNumEqualities(&e);
    eso_->GetNumInequalities(&m);
    m += e;
    auto list = [&](const char* tag, std::vector<double> v) {
      Log("%s", tag);
      for (double x : v) Log(" %d", static_cast<int>(x));
    };
    if (flags & kNlpWantsObjective) {
      double f = 0;
      eso_->GetObjective(&f);
      list(" f", {f});
    }
    if (flags & kNlpWantsConstraints) {
      std::vector<double> c(static_cast<std::size_t>(m));
      eso_->GetConstraints(c.data());
      list(" c", c);
    }
    if (flags & kNlpWantsGradient) {
      std::vector<double> g(static_cast<std::size_t>(n));
      eso_->GetObjectiveGradient(g.data());
      list(" g", g);
    }
    if (flags & kNlpWantsJacobian) {
      std::int32_t columns = 0, nz = 0;
      eso_->GetJacobianSizes(&columns, &nz);
      std::vector<double> j(static_cast<std::size_t>(nz));
      eso_->GetConstraintJacobian(j.data());
      list(" J", j);
    }
    if (flags & kNlpGivesPoint) {
      std::vector<double> x(static_cast<std::size_t>(n));
      eso_->GetVariableValues(nullptr, x.data());
      list(" x", x);
    }
    g_nlp_log += ";";
    if (mode == 2) step_ = 0;
    if (step_ >= g_script.size()) return 7;
    const auto [result, request] = g_script[step_++];
    eso_->SetRequest(request);
    std::vector<double> x(static_cast<std::size_t>(n), static_cast<double>(step_));
    eso_->SetVariableValues(nullptr, x.data());
    std::vector<double> vm(static_cast<std::size_t>(n), -1.0), cm(static_cast<std::size_t>(m), 3.0);
    eso_->SetMultipliers(vm.data(), cm.data());
    return static_cast<Status>(result);
  }
  Status GetCount(std::int32_t* count) override {
    *count = 0;
    return 0;
  }
  Status GetNames(char*** names) override {
    *names = nullptr;
    return 1;
  }
  Status GetValue(const char*, std::int32_t*, void*) override { return 1; }
  Status Set(const char* name, std::int32_t kind, const void* value) override {
    if (kind == kKvsText) return 1;
    ++g_sets[name];
    g_parameters[name] = kind == kKvsReal ? *static_cast<const double*>(value)
                                          : *static_cast<const std::int32_t*>(value);
    return 0;
  }
  Status GetResult(const char* name, double* value) override {
    if (std::strcmp(name, "OPT_CVRG") != 0) return 1;
    *value = 0.25 * static_cast<double>(step_);
    return 0;
  }
  // Constraints 2, 3 and 5 (1-based) are inconsistent.
  Status GetConstraintAttribute(std::int32_t index, const char*, double* value) override {
    *value = index == 1 || index == 2 || index == 4 ? 1.0 : 0.0;
    return 0;
  }

 private:
  std::uint32_t refs_ = 1;
  std::size_t step_ = 0;
  KVSNumericNLPESO* eso_;
};

class Factory final : public KVSNLASystemFactory,
                      public KVSNLPSystemFactory,
                      public KVSUtilityComponent,
                      public KVSParameters {
 public:
  Factory() { ++g_live; }
  Status QueryInterface(const platform::IID& iid, void** out) override {
    *out = nullptr;
    if (iid == IID_KVSUtilityComponent) {
      *out = static_cast<KVSUtilityComponent*>(this);
    } else if (iid == IID_KVSParameters) {
      *out = static_cast<KVSParameters*>(this);
    } else if (iid == IID_KVSNLPSystemFactory) {
      *out = static_cast<KVSNLPSystemFactory*>(this);
    } else if (iid == platform::IID_IUnknown || iid == IID_KVSNLASystemFactory) {
      *out = static_cast<KVSNLASystemFactory*>(this);
    }
    if (*out == nullptr) return 0x80004002u;
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --refs_;
    if (left == 0) {
      --g_live;
      delete this;
    }
    return left;
  }
  Status CreateSystem(KVSNumericAlgebraicESO*, KVSMessagesHandler*, KVSNLASystem** out) override;
  Status CreateSystem(KVSNumericNLPESO* eso, KVSMessagesHandler*, KVSNLPSystem** out) override {
    ++g_live;
    *out = new NlpSystem(eso);
    return 0;
  }
  Status GetVersion(char** text) override { return *text = Copy("1.0"), 0; }
  Status GetProduct(char** text) override { return *text = Copy("FAKE"), 0; }
  Status GetDescription(char** text) override { return *text = Copy("fake"), 0; }
  Status DeleteThis() override { return 0; }
  Status GetName(char** text) override { return *text = Copy(g_name), 0; }
  Status GetCount(std::int32_t* count) override {
    *count = static_cast<std::int32_t>(g_parameters.size());
    return 0;
  }
  Status GetNames(char*** names) override {
    *names = nullptr;
    return 1;
  }
  Status GetValue(const char*, std::int32_t*, void*) override { return 1; }
  Status Set(const char* name, std::int32_t kind, const void* value) override {
    if (kind == kKvsText) return 1;
    g_parameters[name] = kind == kKvsReal ? *static_cast<const double*>(value)
                                          : *static_cast<const std::int32_t*>(value);
    return 0;
  }

 private:
  std::uint32_t refs_ = 1;
};

// Asks to be called again twice, then converges; records each call.
class System final : public KVSNLASystem, public KVSUtilityComponent {
 public:
  Status QueryInterface(const platform::IID& iid, void** out) override {
    *out = nullptr;
    if (iid == IID_KVSUtilityComponent) *out = static_cast<KVSUtilityComponent*>(this);
    if (iid == platform::IID_IUnknown) *out = static_cast<KVSNLASystem*>(this);
    if (*out == nullptr) return 0x80004002u;
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }
  Status Solve(std::int32_t call, Status*) override {
    g_calls += std::to_string(call);
    if (g_mode == 3) {
      volatile int* nowhere = nullptr;
      *nowhere = call;
    }
    if (g_mode == 4) return 0xA0000010u;
    if (g_mode == 5) return 7;
    return ++solves_ % 3 == 0 ? 0 : 1;
  }
  Status GetVersion(char** text) override { return *text = Copy("1.0"), 0; }
  Status GetProduct(char** text) override { return *text = Copy("FAKE"), 0; }
  Status GetDescription(char** text) override { return *text = Copy("fake"), 0; }
  Status DeleteThis() override { return 0; }
  Status GetName(char** text) override { return *text = Copy(g_name), 0; }

 private:
  std::uint32_t refs_ = 1;
  int solves_ = 0;
};

Status Factory::CreateSystem(KVSNumericAlgebraicESO*, KVSMessagesHandler*, KVSNLASystem** out) {
  *out = new System();
  return 0;
}

// Answers no factory interface at all.
class Stranger final : public platform::IUnknown {
 public:
  Status QueryInterface(const platform::IID&, void** out) override {
    *out = nullptr;
    return 0x80004002u;
  }
  std::uint32_t AddRef() override { return 2; }
  std::uint32_t Release() override { return 1; }
};

platform::IUnknown* Make() {
  static Stranger stranger;
  if (g_mode == 1) return nullptr;
  if (g_mode == 2) return &stranger;
  return static_cast<KVSNLASystemFactory*>(new Factory());
}

}  // namespace

extern "C" __attribute__((visibility("default"))) platform::IUnknown* GetFactoryNLASystem() {
  return Make();
}
extern "C" __attribute__((visibility("default"))) platform::IUnknown* GetFactoryNLPSystem() {
  return Make();
}
extern "C" __attribute__((visibility("default"))) void KvsFakeSet(int mode, const char* name) {
  g_mode = mode;
  g_name = name;
  g_parameters.clear();
  g_sets.clear();
  g_calls.clear();
  g_script.clear();
  g_nlp_log.clear();
}
extern "C" __attribute__((visibility("default"))) void KvsFakeScript(int result, unsigned flags) {
  g_script.emplace_back(result, flags);
}
extern "C" __attribute__((visibility("default"))) const char* KvsFakeNlpLog() {
  return g_nlp_log.c_str();
}
extern "C" __attribute__((visibility("default"))) int KvsFakeSets(const char* name) {
  return g_sets[name];
}
extern "C" __attribute__((visibility("default"))) int KvsFakeLive() { return g_live; }
extern "C" __attribute__((visibility("default"))) const char* KvsFakeCalls() {
  return g_calls.c_str();
}
extern "C" __attribute__((visibility("default"))) double KvsFakeParameter(const char* name) {
  auto it = g_parameters.find(name);
  return it != g_parameters.end() ? it->second : -1.0;
}
