// The engine carrying an integrator server's sensitivities to the manager:
// the server's rows, its item enumerator's batches and the manager's
// counts all come from the input (layout in fuzz/sensitivity_answers.h).
#include <cstring>
#include <memory>
#include <vector>

#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "platform/com_status.h"
#include "solve/ifaces/integrator_server.h"
#include "solve/proxies/sensitivity_calculator.h"
#include "solve/proxies/sensitivity_transfer.h"

namespace {

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool More() const { return at < size; }
  std::uint8_t Byte() { return at < size ? data[at++] : 0; }
};

class Items final : public ISensitivityItemEnumerator {
 public:
  explicit Items(Input* in) : in_(in) {}
  Status QueryInterface(const platform::IID&, void** out) override {
    *out = nullptr;
    return platform::E_NOINTERFACE;
  }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  Status Next(std::uint32_t count, SensitivityItem* items, std::uint32_t* fetched) override {
    if (!in_->More()) {
      *fetched = 0;
      return 1;
    }
    const std::uint32_t claimed = in_->Byte();
    const Status result = in_->Byte();
    for (std::uint32_t i = 0; i < claimed && i < count; ++i) {
      items[i].flags = (in_->Byte() & 1) != 0 ? 0x200u : 0u;
      items[i].position = static_cast<std::int8_t>(in_->Byte());
    }
    *fetched = claimed;
    return result;
  }

 private:
  Input* in_;
};

class Server final : public IUnifiedIntegrator {
 public:
  Server(Input* in, std::uint8_t failing_row, std::uint8_t enumerator)
      : items_(in), failing_row_(failing_row), enumerator_(enumerator) {}
  Status QueryInterface(const platform::IID&, void** out) override {
    *out = nullptr;
    return platform::E_NOINTERFACE;
  }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 1; }
  Status Initialise(double*, double, std::int32_t, std::int32_t) override { return 0; }
  Status GetCapabilities(std::uint32_t* word) override {
    *word = 8;
    return 0;
  }
  Status SetUp(platform::IUnknown*, platform::IUnknown*) override { return 0; }
  Status GetValue(double* value) override {
    *value = 1.0;
    return 0;
  }
  Status ExchangeStates(std::int32_t, const std::int32_t*, double*) override { return 0; }
  Status GetErrorText(Status, char16_t** text) override {
    *text = nullptr;
    return 0x80004005u;
  }
  Status Finish() override { return 0; }
  Status SetOption(std::uint32_t, VARIANT) override { return 0; }
  Status GetInterface(const platform::IID&, void** out) override {
    *out = nullptr;
    if (enumerator_ == 2) return 0x80004005u;
    if (enumerator_ == 0) *out = static_cast<ISensitivityItemEnumerator*>(&items_);
    return 0;
  }
  Status SetTime(double) override { return 0; }
  Status ReleaseProblem() override { return 0; }
  Status RunControl(std::int32_t) override { return 0; }
  Status PassThrough15(std::int32_t, void*) override { return 0; }
  Status PassThrough16(std::int32_t, void*) override { return 0; }
  Status SetMode(std::int32_t, std::int32_t) override { return 0; }
  Status Reset() override { return 0; }
  // The values stay as the engine cleared them: the manager sees zeros.
  Status GetSensitivityData(double*, std::int32_t, std::int32_t, std::int32_t) override {
    ++row_;
    return failing_row_ != 0 && row_ == failing_row_ ? 0x80FF0001u : 0u;
  }
  Status PassThrough20(std::int32_t, void*) override { return 0; }
  Status PassThrough21(std::int32_t, void*) override { return 0; }

 private:
  Items items_;
  std::uint8_t failing_row_;
  std::uint8_t enumerator_;
  std::uint8_t row_ = 0;
};

class Manager final : public SensitivityManagerFace {
 public:
  Manager(std::uint8_t shape, std::vector<DAESVarTableEntry*> entries)
      : entries_(std::move(entries)), elements_((shape >> 2) & 3), switching_((shape >> 4) & 3),
        final_((shape & 0x40) != 0) {}
  Status PrepareStorage() override { return 0; }
  std::int32_t VariableCount() override { return 0; }
  DAESVarTableEntry* Variable(std::int32_t) override { return nullptr; }
  std::int32_t EntryCount() override { return static_cast<std::int32_t>(entries_.size()); }
  DAESVarTableEntry* Entry(std::int32_t j) override {
    return entries_[static_cast<std::size_t>(j)];
  }
  std::int32_t ControlElements() override { return elements_; }
  std::int32_t SwitchingRowCount() override { return switching_; }
  bool FinalTimeRow() override { return final_; }
  Status Store(std::int32_t entry, DAESVarTableEntry* variable, double value,
               std::int32_t) override {
    if (entry < 0 || entry >= EntryCount() || variable == nullptr || value != 0.0) {
      __builtin_trap();
    }
    return 0;
  }
  Status RecordDelayed(std::int32_t, DAESVarTableEntry*, double, double) override {
    __builtin_trap();  // the transfer records nothing
  }
  Status StoreRow(std::int32_t row, DAESVarTableEntry* variable, double) override {
    if (row < 0 || row >= switching_ || variable == nullptr) __builtin_trap();
    return 0;
  }

 private:
  std::vector<DAESVarTableEntry*> entries_;
  std::int32_t elements_;
  std::int32_t switching_;
  bool final_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  Input in{data, size, 4};
  const std::uint8_t shape = data[0];
  const std::int32_t n = data[1] % 48;

  auto* root = new DAESInstanceNode(nullptr, nullptr);
  std::vector<DAESVarTableEntry*> variables;
  for (std::int32_t i = 0; i < n; ++i) {
    auto* v = new DAESRealVariable(root, "x");
    root->InsertChildAt(i + 1, v);
    if (i % 2 == 0) v->SetFlags(0x200);
    variables.push_back(v);
  }
  std::vector<DAESVarTableEntry*> entries;
  for (std::int32_t j = 0; j < (shape & 3) && j < n; ++j) entries.push_back(variables[j]);
  if (!entries.empty() && (shape & 0x80) != 0) entries[0]->SetFlags(0x200000);

  Manager manager(shape, entries);
  Server server(&in, data[2], data[3] % 3);
  std::vector<SensitivityColumn> columns;
  TransferServerSensitivities(&server, &manager, variables.data(), n, &columns);
  BvuDirectoryProper::DeleteBelow(root);
  delete root;
  return 0;
}
