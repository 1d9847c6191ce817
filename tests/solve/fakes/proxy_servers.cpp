// Fake integrator and decomposition servers for the proxy tests, loaded
// through the registry as the engine loads the real ones. Every call is
// logged in the script; answers come from it.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/com_status.h"
#include "platform/unknown.h"
#include "solve/ifaces/decomposer.h"
#include "solve/ifaces/integrator_server.h"
#include "solve/ifaces/option_enumerator.h"
#include "tests/solve/fakes/proxy_script.h"

using namespace proxyfake;

namespace {

Script g_script;

std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

char16_t* Wide(const char* text) {
  const std::size_t n = std::strlen(text);
  auto* out = static_cast<char16_t*>(std::malloc((n + 1) * sizeof(char16_t)));
  for (std::size_t i = 0; i <= n; ++i) out[i] = static_cast<unsigned char>(text[i]);
  return out;
}

template <class Base>
class Counted : public Base {
 public:
  Counted() { ++g_script.live; }
  virtual ~Counted() { --g_script.live; }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<std::uint32_t> refs_{1};
};

class Options final : public Counted<IOptionEnumerator2> {
 public:
  Status QueryInterface(const platform::IID&, void** out) override {
    *out = nullptr;
    return platform::E_NOINTERFACE;
  }
  Status Next(std::uint32_t count, OptionEntry* entries, std::uint32_t* fetched) override {
    std::uint32_t done = 0;
    while (done < count && next_ < g_script.options.size()) {
      const Option& o = g_script.options[next_++];
      entries[done++] = {o.name != nullptr ? Wide(o.name) : nullptr, o.number, o.id, o.vt};
    }
    g_script.calls.push_back("next " + std::to_string(done));
    *fetched = g_script.negative_fetched != 0
                   ? static_cast<std::uint32_t>(g_script.negative_fetched)
                   : done;
    if (g_script.negative_fetched != 0) {
      g_script.negative_fetched = 0;
      return 0;
    }
    return done < count ? 1u : 0u;
  }

 private:
  std::size_t next_ = 0;
};

class Items final : public Counted<ISensitivityItemEnumerator> {
 public:
  Status QueryInterface(const platform::IID&, void** out) override {
    *out = nullptr;
    return platform::E_NOINTERFACE;
  }
  Status Next(std::uint32_t count, SensitivityItem* items, std::uint32_t* fetched) override {
    std::uint32_t done = 0;
    while (done < count && (g_script.endless_items || next_ < g_script.items.size())) {
      items[done++] = g_script.endless_items
                          ? SensitivityItem{0x200, static_cast<std::int32_t>(next_)}
                          : g_script.items[next_];
      ++next_;
    }
    *fetched = g_script.items_fetched_override != 0 ? g_script.items_fetched_override : done;
    return done < count ? 1u : 0u;
  }

 private:
  std::size_t next_ = 0;
};

class Integrator final : public Counted<IUnifiedIntegrator> {
 public:
  Status QueryInterface(const platform::IID& iid, void** out) override {
    if (iid == platform::IID_IUnknown || iid == IID_IUnifiedIntegrator) {
      *out = static_cast<IUnifiedIntegrator*>(this);
      AddRef();
      return 0;
    }
    *out = nullptr;
    return platform::E_NOINTERFACE;
  }
  Status Initialise(double* reached, double time, std::int32_t mode, std::int32_t) override {
    g_script.calls.push_back(Format("init %g %g", mode, time));
    if (g_script.initialise) return g_script.initialise(reached, time, mode);
    *reached = time;
    return 0;
  }
  Status GetCapabilities(std::uint32_t* word) override {
    g_script.calls.push_back("caps");
    *word = g_script.capabilities;
    return 0;
  }
  Status SetUp(platform::IUnknown* group, platform::IUnknown* executive) override {
    g_script.calls.push_back(group != nullptr && executive != nullptr ? "setup" : "setup null");
    return g_script.set_up;
  }
  Status GetValue(double* v) override {
    *v = g_script.value;
    return 0;
  }
  Status ExchangeStates(std::int32_t n, const std::int32_t* positions, double* values) override {
    g_script.calls.push_back(Format("exchange %g", n));
    if (g_script.exchange) g_script.exchange(n, positions, values);
    return 0;
  }
  Status GetErrorText(Status, char16_t** text) override {
    if (g_script.error_text.empty() || g_script.error_text_null) {
      *text = nullptr;
      return g_script.error_text_null ? 0 : platform::E_FAIL;
    }
    const std::size_t n = g_script.error_text.size();
    *text = static_cast<char16_t*>(std::malloc((n + 1) * sizeof(char16_t)));
    std::memcpy(*text, g_script.error_text.c_str(), (n + 1) * sizeof(char16_t));
    return 0;
  }
  Status Finish() override {
    g_script.calls.push_back("finish");
    return g_script.finish;
  }
  Status SetOption(std::uint32_t id, VARIANT v) override {
    g_script.calls.push_back(v.vt == 3 ? Format("option %g int %g", id, v.lVal)
                                       : Format("option %g vt %g %g", id, v.vt, v.dblVal));
    return 0;
  }
  Status GetInterface(const platform::IID& iid, void** out) override {
    *out = nullptr;
    if (iid == IID_IOptionEnumerator2) {
      if (g_script.null_enumerator) return 0;
      *out = static_cast<IOptionEnumerator2*>(new Options());
      return 0;
    }
    if (iid == IID_ISensitivityItemEnumerator) {
      if (!g_script.no_items) *out = static_cast<ISensitivityItemEnumerator*>(new Items());
      return 0;
    }
    return platform::E_NOINTERFACE;
  }
  Status SetTime(double t) override {
    g_script.calls.push_back(Format("time %g", t));
    return 0;
  }
  Status ReleaseProblem() override {
    g_script.calls.push_back("release");
    return 0;
  }
  Status RunControl(std::int32_t code) override {
    g_script.calls.push_back(Format("run %g", code));
    return g_script.run_control;
  }
  Status PassThrough15(std::int32_t, void*) override { return 0; }
  Status PassThrough16(std::int32_t, void*) override { return 0; }
  Status SetMode(std::int32_t selector, std::int32_t flag) override {
    g_script.calls.push_back(Format("mode %g %g", selector, flag));
    return 0;
  }
  Status Reset() override {
    g_script.calls.push_back("reset");
    return 0;
  }
  Status GetSensitivityData(double* values, std::int32_t a, std::int32_t b,
                            std::int32_t index) override {
    g_script.calls.push_back("sens " + std::to_string(a) + " " + std::to_string(b) + " " +
                             std::to_string(index));
    return g_script.sensitivity_data ? g_script.sensitivity_data(values, a, b, index) : 0;
  }
  Status PassThrough20(std::int32_t, void*) override { return 0; }
  Status PassThrough21(std::int32_t, void*) override { return 0; }
};

class Decomposer final : public Counted<IQLNDecomposer> {
 public:
  Status QueryInterface(const platform::IID& iid, void** out) override {
    *out = nullptr;
    if (iid == platform::IID_IUnknown || iid == IID_IQLNDecomposer || iid == IID_IDecomposer) {
      *out = static_cast<IQLNDecomposer*>(this);
    } else if (iid == IID_IDecomposerCreation) {
      *out = &creation_;
    } else if (iid == IID_IOptionEnumerator2) {
      if (g_script.null_enumerator) return 0;
      *out = static_cast<IOptionEnumerator2*>(new Options());
      return 0;
    } else {
      return platform::E_NOINTERFACE;
    }
    AddRef();
    return 0;
  }
  Status Decompose12(platform::IUnknown* f, platform::IUnknown* e, std::uint32_t kind,
                     std::uint32_t mode, std::uint32_t flags, IQLNDecomposition** out) override {
    g_script.calls.push_back("decompose12");
    return Decompose(f, e, kind, mode, flags, out);
  }
  Status SetOption(std::uint32_t id, VARIANT v, platform::IUnknown* proxy) override {
    g_script.calls.push_back(proxy == nullptr ? "null proxy"
                             : v.vt == 3      ? Format("option %g int %g", id, v.lVal)
                                              : Format("option %g vt %g %g", id, v.vt, v.dblVal));
    return 0;
  }
  Status Reserved5() override { return platform::E_FAIL; }
  Status Decompose(platform::IUnknown* f, platform::IUnknown* e, std::uint32_t kind, std::uint32_t mode,
                   std::uint32_t flags, IQLNDecomposition** out) override {
    g_script.decompose_args.insert(g_script.decompose_args.end(), {kind, mode, flags});
    *out = nullptr;
    if (g_script.decompose == 0 && g_script.build) return g_script.build(f, e, out);
    return g_script.decompose;
  }

 private:
  class Creation final : public IDecomposerCreation {
   public:
    explicit Creation(Decomposer* owner) : owner_(owner) {}
    Status QueryInterface(const platform::IID& iid, void** out) override {
      return owner_->QueryInterface(iid, out);
    }
    std::uint32_t AddRef() override { return owner_->AddRef(); }
    std::uint32_t Release() override { return owner_->Release(); }
    Status GetVersion(char16_t* text) override {
      std::memcpy(text, g_script.version, sizeof g_script.version);
      return 0;
    }

   private:
    Decomposer* owner_;
  };
  Creation creation_{this};
};

class Factory final : public platform::IClassFactory {
 public:
  explicit Factory(int which) : which_(which) {}
  Status QueryInterface(const platform::IID&, void** out) override {
    *out = this;
    return 0;
  }
  std::uint32_t AddRef() override { return 2; }
  std::uint32_t Release() override { return 1; }
  Status CreateInstance(platform::IUnknown*, const platform::IID& iid, void** out) override {
    g_script.made_by = which_;
    platform::IUnknown* made = nullptr;
    if (iid == IID_IDecomposerCreation) {
      made = static_cast<IQLNDecomposer*>(new Decomposer());
    } else {
      made = static_cast<IUnifiedIntegrator*>(new Integrator());
    }
    const Status s = made->QueryInterface(iid, out);
    made->Release();
    return s;
  }
  Status LockServer(std::int32_t) override { return 0; }

 private:
  int which_;
};

Factory g_factories[4] = {Factory(1), Factory(2), Factory(3), Factory(4)};

}  // namespace

extern "C" __attribute__((visibility("default"))) Status DllGetClassObject(
    const platform::CLSID& clsid, const platform::IID&, void** out) {
  const platform::CLSID* classes[4] = {&kClass1, &kClass2, &kClass3, &kClass4};
  for (int i = 0; i < 4; ++i) {
    if (clsid == *classes[i]) {
      *out = static_cast<platform::IClassFactory*>(&g_factories[i]);
      return 0;
    }
  }
  *out = nullptr;
  return platform::CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" __attribute__((visibility("default"))) Script* ProxyFakeScript() { return &g_script; }
