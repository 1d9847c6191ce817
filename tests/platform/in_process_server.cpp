// A tiny in-process COM server: one class, ITestCalculator.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/com_status.h"
#include "tests/platform/test_calculator.h"

namespace {

using platform::IID;
using testserver::ITestCalculator;

std::atomic<std::int32_t> g_live_objects{0};

// Reference counting shared by the two classes of the server.
template <class Interface>
class Counted : public Interface {
 public:
  Counted() { ++g_live_objects; }
  std::uint32_t AddRef() override { return ++references_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~Counted() { --g_live_objects; }

  Status Answer(const IID& iid, const IID& own, void** object) {
    if (object == nullptr) return platform::E_POINTER;
    if (platform::IsEqualGUID(iid, platform::IID_IUnknown) || platform::IsEqualGUID(iid, own)) {
      this->AddRef();
      *object = static_cast<Interface*>(this);
      return platform::S_OK;
    }
    *object = nullptr;
    return platform::E_NOINTERFACE;
  }

 private:
  std::atomic<std::uint32_t> references_{1};
};

class Calculator final : public Counted<ITestCalculator> {
 public:
  Status QueryInterface(const IID& iid, void** object) override {
    return Answer(iid, testserver::kCalculatorInterface, object);
  }
  Status Add(std::int32_t a, std::int32_t b, std::int32_t* sum) override {
    if (sum == nullptr) return platform::E_POINTER;
    *sum = a + b;
    return platform::S_OK;
  }
  Status Name(platform::OLECHAR** text) override {
    static constexpr char16_t kName[] = u"Rechner \u00B5";
    *text = static_cast<platform::OLECHAR*>(std::malloc(sizeof kName));
    if (*text == nullptr) return platform::E_OUTOFMEMORY;
    std::memcpy(*text, kName, sizeof kName);
    return platform::S_OK;
  }
};

class Factory final : public Counted<platform::IClassFactory> {
 public:
  Status QueryInterface(const IID& iid, void** object) override {
    return Answer(iid, platform::IID_IClassFactory, object);
  }
  Status CreateInstance(platform::IUnknown* outer, const IID& iid, void** object) override {
    if (object == nullptr) return platform::E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return platform::CLASS_E_NOAGGREGATION;
    auto* calculator = new Calculator;
    const Status result = calculator->QueryInterface(iid, object);
    calculator->Release();
    return result;
  }
  Status LockServer(std::int32_t) override { return platform::S_OK; }
};

}  // namespace

extern "C" Status DllGetClassObject(const platform::CLSID& clsid, const IID& iid, void** object) {
  if (object == nullptr) return platform::E_POINTER;
  *object = nullptr;
  if (!platform::IsEqualGUID(clsid, testserver::kCalculatorClass)) {
    return platform::CLASS_E_CLASSNOTAVAILABLE;
  }
  auto* factory = new Factory;
  const Status result = factory->QueryInterface(iid, object);
  factory->Release();
  return result;
}

extern "C" std::int32_t TestServerLiveObjects() { return g_live_objects.load(); }
