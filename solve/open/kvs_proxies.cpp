#include "solve/open/kvs_proxies.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "daes/blocks/solver_block.h"
#include "daes/model/var_table_entry.h"
#include "daes/problem/solver_equation.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"
#include "foundation/values/typed_value.h"
#include "solve/groups/corrector_iteration.h"
#include "solve/open/kvs_guard.h"
#include "solve/options/option_descriptors.h"
#include "solve/options/options_client.h"
#include "solve/options/solver_option_table.h"

namespace {

constexpr std::int32_t kOptAbsTol = 1;
constexpr std::int32_t kOptRelTol = 2;
constexpr std::int32_t kOptMaxIter = 24;
constexpr std::int32_t kOptMethod = 38;
constexpr std::int32_t kOptWatchGroup = 79;
constexpr std::int32_t kOptStepSizeType = 137;
constexpr std::int32_t kOptMaxRefineIter = 170;
constexpr std::int32_t kOptEnableRefineIter = 171;

struct Mapping {
  std::int32_t option;
  const char* parameter;
  char type;  // R, I, B (YES/NO), M (method name)
};

// In registration order.
constexpr Mapping kSluMappings[] = {{17, "DropTolerance", 'R'}, {20, "PivotTolerance", 'R'},
                                    {21, "UseTranspose", 'I'},  {99, "RePivot", 'I'},
                                    {100, "PivotSearch", 'I'},  {70, "ScaleMatrix", 'I'}};

constexpr Mapping kNonlinearMappings[] = {{31, "PrintLevel", 'I'},
                                          {34, "HiRes", 'I'},
                                          {35, "HiVarSteps", 'I'},
                                          {32, "MPrint", 'I'},
                                          {0, "ResTol", 'R'},
                                          {1, "AbsTol", 'R'},
                                          {2, "RelTol", 'R'},
                                          {8, "ClipFactor", 'R'},
                                          {9, "BoundFrac", 'R'},
                                          {10, "RangeFrac", 'R'},
                                          {11, "MinNonZero", 'R'},
                                          {12, "SingulFactor", 'R'},
                                          {13, "MaxVarStep", 'R'},
                                          {41, "CreepIter", 'I'},
                                          {42, "CreepSize", 'R'},
                                          {33, "DogLeg", 'I'},
                                          {36, "ConvTest", 'I'},
                                          {102, "MaxFNIterations", 'I'},
                                          {37, "BestAfterFailure", 'B'},
                                          {38, "NewtonMethod", 'M'},
                                          {39, "MaxStepRed", 'I'},
                                          {40, "MaxDivSteps", 'I'}};

const char* MethodName(std::int32_t method) {
  switch (method) {
    case 0:
      return "Hybrid";
    case 1:
      return "Newton";
    default:
      return "Fast Newton";
  }
}

// A mapped option's value by its kind: the table's getters answer only the
// numbers of their own lists (GetInt(39) is 0, not MaxStepRed's 10).
double OptionValue(std::int32_t number) {
  if (SolverOptionTable* table = SolverOptionTable::Existing()) return table->ValueInForce(number);
  SolverOptions* options = SolverOptions::Instance();
  const double real = options->GetReal(number);
  return real != 0.0 ? real : static_cast<double>(options->GetInt(number));
}

void ReadMappings(QLNKVSGenericProxy* proxy, const Mapping* begin, const Mapping* end,
                  const std::string& prefix) {
  for (const Mapping* m = begin; m != end; ++m) {
    const std::string name = prefix + m->parameter;
    const double value = OptionValue(m->option);
    switch (m->type) {
      case 'R':
        proxy->SetParameter(name, value);
        break;
      case 'I':
        proxy->SetParameter(name, static_cast<std::int32_t>(value), m->option);
        break;
      case 'B':
        proxy->SetParameter(name, value != 0.0 ? "YES" : "NO");
        break;
      case 'M': {
        // A number that names no method goes as it is: the library refuses
        // it, keeps its method and that is said.
        const auto method = static_cast<std::int32_t>(value);
        if (method >= 0 && method <= 3) {
          proxy->SetParameter(name, MethodName(method));
        } else {
          proxy->SetParameter(name, method, m->option);
        }
        break;
      }
    }
  }
}

template <class T>
std::int32_t Int(T v) {
  return static_cast<std::int32_t>(v);
}

// A work vector lent by `home` for one call and given back at its end. A
// call made during the loan finds `home` empty and makes room of its own.
class Lent {
 public:
  Lent(std::vector<double>& home, std::size_t n) : home_(home), v_(std::move(home)) {
    v_.assign(n, 0.0);
  }
  ~Lent() { home_ = std::move(v_); }
  Lent(const Lent&) = delete;
  Lent& operator=(const Lent&) = delete;
  std::vector<double>& operator*() { return v_; }

 private:
  std::vector<double>& home_;
  std::vector<double> v_;
};

void PrintVector(const char* title, const std::vector<double>& v) {
  SuPrint(0, "%s", title);
  for (std::size_t i = 0; i < v.size(); ++i) {
    std::int32_t k = Int(i + 1);
    double x = v[i];
    SuPrint(0, "  %5d  %14.6e", &k, &x);
  }
}

// The rank and the 1-based dependent rows and columns of a library
// system's last singular matrix (n and no pairs when it offers none).
struct Dependency {
  std::int32_t rank = 0;
  std::vector<std::int32_t> rows, cols;
};
Status ReadDependencyOf(platform::IUnknown* system, std::int32_t n, Dependency* out) {
  out->rows.assign(static_cast<std::size_t>(n), 0);
  out->cols.assign(static_cast<std::size_t>(n), 0);
  out->rank = n;
  void* raw = nullptr;
  if (system->QueryInterface(IID_KVSLinearDependency, &raw) != 0 || raw == nullptr) {
    return kKvsProxyFailed;
  }
  auto* dependency = static_cast<KVSLinearDependency*>(raw);
  std::int32_t rank = n;
  Status s = dependency->GetRank(&rank);
  if (s == 0) s = dependency->GetDependentRows(out->rows.data());
  if (s == 0) s = dependency->GetDependentCols(out->cols.data());
  dependency->Release();
  // A rank outside 0..n is not believed.
  if (s != 0 || rank < 0 || rank > n) return kKvsProxyFailed;
  out->rank = rank;
  return 0;
}

// Marks each dependent pair beyond the rank: the variable joins the
// block's indeterminate list, the equation is flagged; with `warn` a line
// names the pair. The block is flagged once any pair is.
void MarkDependentPairs(DAESSolverBlock* block, const Dependency& d, bool warn) {
  const std::int32_t n = Int(block->GetRowCount());
  const std::int32_t nv = block->VariableCount();
  for (std::int32_t k = d.rank; k < n; ++k) {
    const std::int32_t row = d.rows[static_cast<std::size_t>(k)];
    const std::int32_t col = d.cols[static_cast<std::size_t>(k)];
    QLNRow* equation =
        row >= 1 && row <= n ? block->GetRow(static_cast<std::uint32_t>(row - 1)) : nullptr;
    DAESVarTableEntry* variable = col >= 1 && col <= nv ? block->GetVariable(col - 1) : nullptr;
    if (warn && equation != nullptr && variable != nullptr) {
      BvuNameable* v = variable;
      BvuNameable* e = equation;
      SuPrint(0, "Indeterminate variable @Ns in equation @es", &v, &e);
    }
    if (variable != nullptr && block->FindVariable(variable) != 0) {
      bool listed = false;
      for (std::uint32_t i = 0; i < block->GetIndeterminateCount(); ++i) {
        listed = listed || block->GetIndeterminate(i) == variable;
      }
      if (!listed) block->AddIndeterminate(variable);
    }
    if (equation != nullptr) equation->SetFlags(daes::kHasIndeterminate);
  }
  block->SetFlags(daes::kHasIndeterminate);
}

// Marks left by an earlier singular solve go.
void ClearIndeterminateMarks(DAESSolverBlock* block);

// The equations a nonlinear library marked dependent in its last solve,
// with the variables they leave undetermined: the marks and lines of a
// singular linear group. A corrector step tells them only when they are
// new, so that a step cut again and again says it once.
void TakeDependentMarks(platform::IUnknown* system, DAESSolverBlock* block, bool warn,
                        bool corrector) {
  const std::int32_t n = Int(block->GetRowCount());
  Dependency d;
  const bool singular = ReadDependencyOf(system, n, &d) == 0 && d.rank < n;
  const bool tell = warn && singular && !(corrector && block->HasIndeterminate());
  ClearIndeterminateMarks(block);
  if (!singular) return;
  MarkDependentPairs(block, d, tell);
  std::int32_t number = Int(block->GetGroupNumber());
  if (tell) SuPrint(0, "Warning: nonlinear group %d is indeterminate", &number);
}

void ClearIndeterminateMarks(DAESSolverBlock* block) {
  if (!block->HasIndeterminate()) return;
  for (std::uint32_t i = 0; i < block->GetRowCount(); ++i) {
    block->GetRow(i)->ClearFlags(daes::kHasIndeterminate);
  }
  while (block->GetIndeterminateCount() > 0) {
    block->RemoveIndeterminate(block->GetIndeterminate(block->GetIndeterminateCount() - 1));
  }
  block->ClearFlags(daes::kHasIndeterminate);
}

// The bound report of the open solvers; a group number of 0 is left out.
Status ReportBound(BvuNameable* variable, double value, const char* side, double bound,
                   std::int32_t group, Status code) {
  if (IsErrorReportingOn() == 0 && SolverOptions::Instance()->GetInt(kOptPrintLevel) <= 1) {
    return code;
  }
  const Status shown = IsErrorReportingOn() != 0 ? code : 0;
  if (group != 0) {
    SuPrint(shown,
            "Variable @Ns (value %14.6e)\nis outside %s bound (%14.6e). Solution of group %d is "
            "infeasible.",
            &variable, &value, side, &bound, &group);
  } else {
    SuPrint(shown,
            "Variable @Ns (value %14.6e)\nis outside %s bound (%14.6e). Solution of group is "
            "infeasible.",
            &variable, &value, side, &bound);
  }
  return code;
}

// Prints at `code` when error reporting is on, else as plain text above
// print level 1.
void Report(Status code, const char* text, std::int32_t print_level) {
  if (IsErrorReportingOn() != 0) {
    SuPrint(code, "%s", text);
  } else if (print_level > 1) {
    SuPrint(0, "%s", text);
  }
}

}  // namespace

// --- messages handler ---

QLNCOpenMessagesHandler* QLNCOpenMessagesHandler::Instance() {
  static QLNCOpenMessagesHandler handler;
  return &handler;
}

Status QLNCOpenMessagesHandler::Print(const char* text, std::int32_t, Status status) {
  SuPrint(status, "%s", text != nullptr ? text : "");
  return 0;
}

// --- generic proxy ---

namespace {

std::uint64_t NewProxyId() {
  static std::atomic<std::uint64_t> next{0};
  return next.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

QLNKVSGenericProxy::QLNKVSGenericProxy() : id_(NewProxyId()) {}

QLNKVSGenericProxy::~QLNKVSGenericProxy() {
  if (loaded_.factory != nullptr) loaded_.factory->Release();
}

platform::IUnknown* QLNKVSGenericProxy::SolverObject() {
  if (!tried_) {
    tried_ = true;
    LoadKvsFactory(LibraryName(), FactoryEntry(), FactoryIID(), true, &loaded_);
  }
  return loaded_.factory;
}

bool QLNKVSGenericProxy::OptionsChanged() {
  const SolverOptionTable* table = SolverOptionTable::Existing();
  if (table == nullptr) return true;
  const std::uint64_t generation = table->Generation();
  if (generation == options_read_) return false;
  options_read_ = generation;
  return true;
}

KvsParameter& QLNKVSGenericProxy::Slot(std::string_view name) {
  auto at = parameters_.find(name);
  if (at == parameters_.end()) {
    at = parameters_.emplace(std::string(name), KvsParameter{}).first;
    at->second.name = &at->first;
  }
  return at->second;
}

void QLNKVSGenericProxy::Changed(KvsParameter& p) {
  p.stamp = ++stamp_;
  changes_.push_back({&p, p.stamp});
  if (changes_.size() <= 64 + 4 * parameters_.size()) return;
  // Only each parameter's latest change is kept.
  changes_.clear();
  for (auto& [name, q] : parameters_)
    if (q.stamp != 0) changes_.push_back({&q, q.stamp});
  std::sort(changes_.begin(), changes_.end(),
            [](const Change& a, const Change& b) { return a.stamp < b.stamp; });
}

void QLNKVSGenericProxy::SetParameter(std::string_view name, std::int32_t value) {
  Put(Slot(name), value);
}

void QLNKVSGenericProxy::SetParameter(std::string_view name, std::int32_t value,
                                      std::int32_t option) {
  KvsParameter& p = Slot(name);
  p.option = option;
  Put(p, value);
}

void QLNKVSGenericProxy::SetParameter(std::string_view name, double value) {
  Put(Slot(name), value);
}

void QLNKVSGenericProxy::SetParameter(std::string_view name, std::string_view value) {
  Put(Slot(name), value);
}

void QLNKVSGenericProxy::Put(KvsParameter& p, std::int32_t value) {
  if (p.stamp != 0 && p.kind == kKvsInteger && p.integer == value) return;
  p.kind = kKvsInteger;
  p.integer = value;
  Changed(p);
}

void QLNKVSGenericProxy::Put(KvsParameter& p, double value) {
  // Compared by bits: a NaN is no change of a NaN, -0.0 one of 0.0.
  if (p.stamp != 0 && p.kind == kKvsReal && std::memcmp(&p.real, &value, sizeof value) == 0) {
    return;
  }
  p.kind = kKvsReal;
  p.real = value;
  Changed(p);
}

void QLNKVSGenericProxy::Put(KvsParameter& p, std::string_view value) {
  if (p.stamp != 0 && p.kind == kKvsText && p.text == value) return;
  p.kind = kKvsText;
  p.text = value;
  Changed(p);
}

Status QLNKVSGenericProxy::ApplyParameter(platform::IUnknown* system, const std::string& name,
                                          const KvsParameter& value) {
  void* raw = nullptr;
  if (system == nullptr || system->QueryInterface(IID_KVSParameters, &raw) != 0 || raw == nullptr) {
    return kKvsParameterFailed;
  }
  auto* parameters = static_cast<KVSParameters*>(raw);
  const void* v = &value.integer;
  if (value.kind == kKvsReal) v = &value.real;
  if (value.kind == kKvsText) v = value.text.c_str();
  const Status s = parameters->Set(name.c_str(), value.kind, v);
  parameters->Release();
  return s == 0 ? 0 : kKvsParameterFailed;
}

Status QLNKVSGenericProxy::ApplyParameters(DAESBlock* block) {
  const DAESBlock::SettingsMark mark = block->GetSettingsMark();
  const bool ours = mark.owner == id_;
  if (ours && mark.stamp == stamp_) return 0;
  const std::uint64_t since = ours ? mark.stamp : 0;
  platform::IUnknown* system = block->GetEquationSetObject();
  void* raw = nullptr;
  if (system == nullptr || system->QueryInterface(IID_KVSParameters, &raw) != 0 || raw == nullptr) {
    return kKvsParameterFailed;
  }
  auto* parameters = static_cast<KVSParameters*>(raw);
  Status result = 0;
  auto apply = [&](const std::string& name, const KvsParameter& p) {
    const void* v = &p.integer;
    if (p.kind == kKvsReal) v = &p.real;
    if (p.kind == kKvsText) v = p.text.c_str();
    // A refusal of one setting leaves the library's own value; the solve goes on.
    if (parameters->Set(name.c_str(), p.kind, v) != 0) {
      result = kKvsParameterFailed;
      TellRefused(parameters, name, p);
    }
  };
  if (since == 0) {
    for (const auto& [name, p] : parameters_)
      if (p.stamp != 0) apply(name, p);
  } else {
    // In name order, as a whole pass gives them.
    pending_.clear();
    for (auto at = changes_.rbegin(); at != changes_.rend() && at->stamp > since; ++at)
      if (at->parameter->stamp == at->stamp) pending_.push_back(at->parameter);
    std::sort(pending_.begin(), pending_.end(),
              [](const KvsParameter* a, const KvsParameter* b) { return *a->name < *b->name; });
    for (const KvsParameter* p : pending_) apply(*p->name, *p);
  }
  parameters->Release();
  block->SetSettingsMark({id_, stamp_});
  return result;
}

// The option table keeps the value written; the client learns what the
// library goes on with instead. Values within the option's bounds that a
// library refuses (a print setting it has no use for) are not news.
void QLNKVSGenericProxy::TellRefused(KVSParameters* parameters, const std::string& name,
                                     const KvsParameter& p) {
  if (p.option < 0 || p.kind != kKvsInteger || !OptionOutOfBounds(p.option, p.integer)) return;
  union {
    std::int32_t integer;
    double real;
    char* text;
  } kept{};
  std::int32_t kind = -1;
  if (parameters->GetValue(name.c_str(), &kind, &kept) != 0) kind = -1;
  std::string now = "its own default";
  if (kind == kKvsInteger) now = std::to_string(kept.integer);
  if (kind == kKvsReal) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", kept.real);
    now = text;
  }
  if (kind == kKvsText) now = TakeKvsText(kept.text);
  TellOptionNotUsed(SolverKind(), p.option, p.integer, now);
}

std::int32_t QLNKVSGenericProxy::PublishParameters(platform::IUnknown* object, bool dotted_only,
                                                   QLNOptionsClient* client) {
  // Named options live in the process's option table only.
  SolverOptionTable* table = SolverOptionTable::Existing();
  void* raw = nullptr;
  if (table == nullptr || object == nullptr ||
      object->QueryInterface(IID_KVSParameters, &raw) != 0 || raw == nullptr) {
    return 0;
  }
  auto* parameters = static_cast<KVSParameters*>(raw);
  std::int32_t count = 0;
  char** names = nullptr;
  std::int32_t published = 0;
  if (parameters->GetCount(&count) == 0 && count > 0 && count < 100000 &&
      parameters->GetNames(&names) == 0 && names != nullptr) {
    published_.assign(static_cast<std::size_t>(count), std::string());
    for (std::int32_t k = 0; k < count; ++k) {
      const std::string name = TakeKvsText(names[k]);
      if (name.empty() || (dotted_only && name.find('.') == std::string::npos)) continue;
      // Wide enough for any kind, texts handed out by the library.
      union {
        std::int32_t integer;
        double real;
        char* text;
      } value{};
      std::int32_t kind = -1;
      if (parameters->GetValue(name.c_str(), &kind, &value) != 0) continue;
      SUValue initial;
      if (kind == kKvsInteger) {
        initial.SetType(SUValue::kInteger);
        initial.SetInt(value.integer);
      } else if (kind == kKvsReal) {
        initial.SetType(SUValue::kReal);
        initial.SetReal(value.real);
      } else if (kind == kKvsText) {
        initial.SetType(SUValue::kString);
        initial.SetString(value.text != nullptr ? value.text : "");
        KvsServicesFree(value.text);
      } else {
        continue;  // a kind the framework does not have
      }
      initial.status = SUValue::kValid;
      published_[static_cast<std::size_t>(k)] = name;
      table->RegisterNamedClient(static_cast<std::uint32_t>(k), loaded_.product.c_str(),
                                 name.c_str(), initial, client);
      ++published;
    }
    KvsServicesFree(names);
  }
  parameters->Release();
  return published;
}

std::int32_t ApplyNamedOptions(platform::IUnknown* factory, platform::IUnknown* system) {
  const SolverOptionTable* table = SolverOptionTable::Existing();
  if (table == nullptr || factory == nullptr || system == nullptr) return 0;
  void* raw = nullptr;
  std::string product;
  if (factory->QueryInterface(IID_KVSUtilityComponent, &raw) == 0 && raw != nullptr) {
    auto* utility = static_cast<KVSUtilityComponent*>(raw);
    char* text = nullptr;
    if (utility->GetProduct(&text) == 0) product = TakeKvsText(text);
    utility->Release();
  }
  raw = nullptr;
  if (product.empty() || system->QueryInterface(IID_KVSParameters, &raw) != 0 || raw == nullptr) {
    return 0;
  }
  auto* parameters = static_cast<KVSParameters*>(raw);
  std::int32_t count = 0, applied = 0;
  char** names = nullptr;
  if (parameters->GetCount(&count) == 0 && count > 0 && count < 100000 &&
      parameters->GetNames(&names) == 0 && names != nullptr) {
    for (std::int32_t k = 0; k < count; ++k) {
      const std::string name = TakeKvsText(names[k]);
      SUValue value;
      if (name.empty() || table->GetNamedOption((product + "." + name).c_str(), &value) != 0 ||
          value.IsSet() || value.IsArray()) {
        continue;
      }
      Status set = kKvsParameterFailed;
      switch (value.Kind()) {
        case SUValue::kInteger:
          set = parameters->Set(name.c_str(), kKvsInteger, &value.payload.integer);
          break;
        case SUValue::kReal:
          set = parameters->Set(name.c_str(), kKvsReal, &value.payload.real);
          break;
        case SUValue::kString:
        case SUValue::kName:
          set = parameters->Set(name.c_str(), kKvsText,
                                value.GetString() != nullptr ? value.GetString() : "");
          break;
        default:
          break;
      }
      applied += set == 0 ? 1 : 0;
    }
    KvsServicesFree(names);
  }
  parameters->Release();
  return applied;
}

Status QLNKVSGenericProxy::NamedParameterChanged(std::uint32_t id, const SUValue& value,
                                                 platform::IUnknown* system) {
  if (id >= published_.size() || published_[id].empty()) return kKvsParameterFailed;
  const std::string& name = published_[id];
  if (value.IsSet() || value.IsArray()) return kKvsParameterFailed;
  switch (value.Kind()) {
    case SUValue::kInteger:
      SetParameter(name, value.payload.integer);
      break;
    case SUValue::kReal:
      SetParameter(name, value.payload.real);
      break;
    case SUValue::kString:
    case SUValue::kName:
      SetParameter(name, std::string(value.GetString() != nullptr ? value.GetString() : ""));
      break;
    default:
      return kKvsParameterFailed;
  }
  if (system == nullptr) return 0;
  return ApplyParameter(system, name, parameters_[name]);
}

namespace {

void RemoveFromTable(QLNOptionsClient* client) {
  if (SolverOptionTable* table = SolverOptionTable::Existing()) table->RemoveClient(client);
}

}  // namespace

QLNKVSMflProxy::~QLNKVSMflProxy() { RemoveFromTable(this); }

void QLNKVSMflProxy::SystemMade(platform::IUnknown* system) {
  if (published_once_) return;
  published_once_ = true;
  PublishParameters(system, false, this);
}

QLNKVSSparseMflProxy::~QLNKVSSparseMflProxy() { RemoveFromTable(this); }

void QLNKVSSparseMflProxy::SystemMade(platform::IUnknown* system) {
  if (published_once_) return;
  published_once_ = true;
  PublishParameters(system, true, this);
}

// --- linear proxy ---

QLNKVSSluProxy::QLNKVSSluProxy() { SetParameter("Triangularisation", "No"); }

void QLNKVSLinearProxy::ReadOptions() {
  ReadMappings(this, std::begin(kSluMappings), std::end(kSluMappings), "");
}

QLNKVSLinearProxy::StepSettings QLNKVSLinearProxy::CorrectorSettings() {
  const ReadValues& read = Refresh();
  return {read.abs_tol, read.rel_tol, read.level};
}

const QLNKVSLinearProxy::ReadValues& QLNKVSLinearProxy::Refresh() {
  if (!OptionsChanged()) return read_;
  SolverOptions* options = SolverOptions::Instance();
  read_.level = options->GetInt(kOptPrintLevel);
  read_.eqn_tol = options->GetReal(kOptEqnTol);
  read_.abs_tol = options->GetReal(kOptAbsTol);
  read_.rel_tol = options->GetReal(kOptRelTol);
  read_.refinements =
      options->GetBool(kOptEnableRefineIter) ? options->GetInt(kOptMaxRefineIter) : 0;
  ReadOptions();
  return read_;
}

Status QLNKVSLinearProxy::DropWorkspace(void**) { return 0; }

Status QLNKVSLinearProxy::WriteParameters(BvuBinaryStream& stream) {
  auto* factory = static_cast<KVSLASystemFactory*>(SolverObject());
  if (factory == nullptr) return kKvsProxyFailed;
  // The libraries keep their parameters on their systems: a one-entry probe
  // shows them when the factory does not.
  KVSLASystem* probe = nullptr;
  void* raw = nullptr;
  if (factory->QueryInterface(IID_KVSParameters, &raw) != 0 || raw == nullptr) {
    const std::int64_t one = 1;
    const Status made = GuardedKvsCall(
        [&] {
          return factory->CreateSystem(1, 1, 1, &one, &one, QLNCOpenMessagesHandler::Instance(),
                                       &probe);
        },
        kKvsProxyFailed);
    if (made != 0 || probe == nullptr) return kKvsProxyFailed;
    if (probe->QueryInterface(IID_KVSParameters, &raw) != 0 || raw == nullptr) raw = nullptr;
  }
  Status result = kKvsProxyFailed;
  if (auto* parameters = static_cast<KVSParameters*>(raw)) {
    std::int32_t count = 0;
    char** names = nullptr;
    if (parameters->GetCount(&count) == 0 && count >= 0 && count < 100000 &&
        (count == 0 || (parameters->GetNames(&names) == 0 && names != nullptr))) {
      Status put = stream.PutString(Loaded().product.c_str());
      put |= stream.PutUInt32(static_cast<std::uint32_t>(count));
      for (std::int32_t k = 0; k < count; ++k) {
        const std::string name = TakeKvsText(names[k]);
        union {
          std::int32_t integer;
          double real;
          char* text;
        } value{};
        std::int32_t kind = -1;
        if (parameters->GetValue(name.c_str(), &kind, &value) != 0) kind = -1;
        put |= stream.PutString(name.c_str());
        put |= stream.PutString("");
        if (kind == kKvsInteger) {
          put |= stream.PutUInt16(4);
          put |= stream.PutUInt32(static_cast<std::uint32_t>(value.integer));
          put |= stream.PutUInt32(
              static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::min()));
          put |= stream.PutUInt32(
              static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()));
        } else if (kind == kKvsReal) {
          put |= stream.PutUInt16(24);
          put |= stream.PutDouble(value.real);
          put |= stream.PutDouble(-std::numeric_limits<double>::max());
          put |= stream.PutDouble(std::numeric_limits<double>::max());
        } else {
          // A text, or a value the library would not give: written as text.
          const std::string text = kind == kKvsText ? TakeKvsText(value.text) : std::string();
          put |= stream.PutUInt16(68);
          put |= stream.PutString(text.c_str());
          put |= stream.PutString("");
        }
      }
      KvsServicesFree(names);
      result = put == 0 ? 0 : kKvsProxyFailed;
    }
    parameters->Release();
  }
  if (probe != nullptr) probe->Release();
  return result;
}

KVSLASystem* QLNKVSLinearProxy::SystemOf(DAESSolverBlock* block, Status* status) {
  *status = 0;
  if (auto* kept = block->GetEquationSetObject()) {
    // Only this proxy stores a linear system in a linear group's slot.
    return static_cast<KVSLASystem*>(kept);
  }
  auto* factory = static_cast<KVSLASystemFactory*>(SolverObject());
  if (factory == nullptr) {
    *status = kKvsProxyFailed;
    return nullptr;
  }
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  Status s = block->BuildStructure(&rows, &cols, nullptr, 0);
  if (status::IsFailure(s)) {
    *status = s;
    return nullptr;
  }
  KVSLASystem* system = nullptr;
  s = GuardedKvsCall(
      [&] {
        return factory->CreateSystem(Int(block->GetRowCount()), block->VariableCount(),
                                     Int(block->StructureSize()), rows, cols,
                                     QLNCOpenMessagesHandler::Instance(), &system);
      },
      kKvsProxyFailed);
  if (s != 0 || system == nullptr) {
    *status = kKvsProxyFailed;
    return nullptr;
  }
  block->SetEquationSetObject(system);
  SystemMade(system);
  return system;
}

Status QLNKVSLinearProxy::ReadDependency(KVSLASystem* system, std::int32_t n) {
  Dependency d;
  const Status s = ReadDependencyOf(system, n, &d);
  rank_ = d.rank;
  dependent_rows_ = std::move(d.rows);
  dependent_cols_ = std::move(d.cols);
  return s;
}

Status QLNKVSLinearProxy::Factorise(DAESSolverBlock* block, const double* values,
                                    KVSLASystem** out) {
  Status s = 0;
  KVSLASystem* system = SystemOf(block, &s);
  if (system == nullptr) return s != 0 ? s : kKvsProxyFailed;
  if (out != nullptr) *out = system;
  block->DropCorrectorFactors();
  const Status f = GuardedKvsCall([&] { return system->SetMatrixValues(values); }, kKvsProxyFailed);
  if (f == kKvsSingular) {
    ReadDependency(system, Int(block->GetRowCount()));
    return kKvsFactoriseSingular;
  }
  return f != 0 ? kKvsProxyFailed : 0;
}

Status QLNKVSLinearProxy::SolveWith(KVSLASystem* system, const double* rhs, double* x) {
  if (system == nullptr) return kKvsProxyFailed;
  const Status s = system->SetRHS(rhs);
  if (s != 0) return s;
  return GuardedKvsCall([&] { return system->Solve(x); }, kKvsProxyFailed);
}

// x (in the block's scaled units) times `scale` added to the variables,
// unless a new value lies beyond a bound by more than the tolerances.
Status QLNKVSLinearProxy::TakeStep(DAESSolverBlock* block, const std::vector<double>& x,
                                   double scale, std::int32_t level) {
  const double abs_tol = read_.abs_tol;
  const double rel_tol = read_.rel_tol;
  const std::int32_t nv = block->VariableCount();
  Lent lent(next_room_, x.size());
  std::vector<double>& next = *lent;
  for (std::int32_t j = 0; j < nv; ++j) {
    DAESVarTableEntry* v = block->GetVariable(j);
    const double value = v->GetRealValue() + scale * x[static_cast<std::size_t>(j)] / v->GetScale();
    next[static_cast<std::size_t>(j)] = value;
    double lower = -std::numeric_limits<double>::infinity();
    double upper = std::numeric_limits<double>::infinity();
    v->GetBounds(&lower, &upper);
    const double t = rel_tol * std::fabs(value) + abs_tol;
    if (value < lower - t || value > upper + t) {
      const bool below = value < lower - t;
      return ReportBound(v, value, below ? "lower" : "upper", below ? lower : upper,
                         Int(block->GetGroupNumber()), kKvsLinearFailed);
    }
  }
  for (std::int32_t j = 0; j < nv; ++j)
    block->GetVariable(j)->SetValue(next[static_cast<std::size_t>(j)]);
  if (level >= 4) PrintVector("Solution of linear group is:", next);
  return 0;
}

// A corrector group's states handed to the integrator, which sets their
// derivatives.
Status QLNKVSLinearProxy::HandStates(DAESSolverBlock* block) {
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  if (integrator == nullptr || block->KnownCount() + block->LastCount() == 0) return 0;
  for (std::int32_t j = 0; j < block->VariableCount(); ++j) {
    if ((block->GetVariable(j)->GetFlags() & daes::kState) != 0)
      return integrator->ExchangeGroupStates(static_cast<DAESBlock*>(block));
  }
  return 0;
}

// One step of a corrector iteration: the Jacobian is evaluated and
// factorised only at a set-up or when the block holds no factors; a step
// on factors made at another coefficient is scaled. A singular matrix
// leaves *done false for the whole solve to handle it.
Status QLNKVSLinearProxy::CorrectorStep(DAESSolverBlock* block,
                                        const std::vector<double>& residuals, std::uint32_t request,
                                        std::int32_t level, bool* done) {
  *done = true;
  double c = 0.0;
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  if (request != 0 && integrator != nullptr) {
    const double h = integrator->GetServerValue();
    c = h != 0.0 ? 1.0 / h : 1.0;
  }
  Status s = 0;
  KVSLASystem* system = SystemOf(block, &s);
  if (system == nullptr) return s != 0 ? s : kKvsProxyFailed;
  double made = 0.0;
  if (CorrectorIterationScope::SetUp() || !block->CorrectorFactors(&made)) {
    block->DropCorrectorFactors();
    ApplyParameters(block);
    const std::int64_t* rows = nullptr;
    const std::int64_t* cols = nullptr;
    s = block->BuildStructure(&rows, &cols, nullptr, 0);
    if (status::IsFailure(s)) return s;
    Lent lent(values_room_, block->StructureSize());
    std::vector<double>& values = *lent;
    s = block->EvaluateRows(12);
    if (status::IsFailure(s)) return s;
    s = block->EvaluateJacobianEntries(block->StructureSize(), rows, cols, values.data(),
                                       c != 0.0 ? 1u : 0u, c);
    if (status::IsFailure(s)) return s;
    const Status f =
        GuardedKvsCall([&] { return system->SetMatrixValues(values.data()); }, kKvsProxyFailed);
    if (f == kKvsSingular) {
      *done = false;
      return 0;
    }
    if (f != 0) {
      Report(kKvsLinearFailed,
             "Linear solver returned error. Linear group may be badly scaled or badly posed.",
             level);
      return kKvsLinearFailed;
    }
    block->SetCorrectorFactors(c);
    made = c;
  }
  Lent lent_rhs(rhs_room_, residuals.size());
  std::vector<double>& rhs = *lent_rhs;
  for (std::size_t i = 0; i < rhs.size(); ++i) rhs[i] = -residuals[i];
  Lent lent_x(x_room_, static_cast<std::size_t>(block->VariableCount()));
  std::vector<double>& x = *lent_x;
  const Status solved = GuardedKvsCall(
      [&] {
        const Status r = system->SetRHS(rhs.data());
        return r == 0 ? system->Solve(x.data()) : r;
      },
      kKvsProxyFailed);
  if (solved != 0 && solved != kKvsNormError) {
    Report(kKvsLinearFailed,
           "Linear solver returned error. Linear group may be badly scaled or badly posed.", level);
    return kKvsLinearFailed;
  }
  s = TakeStep(block, x, StaleMatrixScale(c, made), level);
  if (s != 0) return s;
  return request != 0 ? HandStates(block) : 0;
}

Status QLNKVSLinearProxy::Solve(QLNGroup* group, std::uint8_t mode, std::uint32_t request,
                                std::uint32_t, Status* status_out) {
  if (status_out != nullptr) *status_out = 1;
  DAESSolverBlock* block = group != nullptr ? group->AsSolverBlock() : nullptr;
  if (block == nullptr) return kKvsProxyFailed;
  const ReadValues& read = Refresh();
  const std::int32_t level = read.level;
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  const bool warn = level >= 2;
  std::int32_t number = Int(block->GetGroupNumber());

  const std::int32_t n = Int(block->GetRowCount());
  const std::int32_t nv = block->VariableCount();
  if (SolverObject() == nullptr) return kKvsProxyFailed;

  Lent lent(residual_room_, static_cast<std::size_t>(n));
  std::vector<double>& residuals = *lent;
  // A corrector step needs no derivatives but at a set-up, which evaluates
  // its Jacobian apart.
  const std::uint32_t evaluation = CorrectorIterationScope::Active() ? 2u : (mode != 0 ? 6u : 7u);
  Status s = block->EvaluateResiduals(evaluation, residuals.data(), nullptr);
  if (status::IsFailure(s)) {
    if (level >= 1) SuPrint(0, "Evaluation error.");
    return s;
  }
  const double eqn_tol = read.eqn_tol;
  const std::int32_t refinements = read.refinements;
  SetParameter(error_tol_, eqn_tol);
  SetParameter(max_refine_iter_, refinements);

  if (level >= 5) {
    SuPrint(0, "Equations and variables in this linear group are:");
    for (std::int32_t i = 0; i < n; ++i) {
      BvuNameable* e = block->GetRow(static_cast<std::uint32_t>(i));
      std::int32_t k = i + 1;
      SuPrint(0, "Equation %d  @es", &k, &e);
    }
    for (std::int32_t j = 0; j < nv; ++j) {
      BvuNameable* v = block->GetVariable(j);
      std::int32_t k = j + 1;
      SuPrint(0, "Variable %d  @Ns", &k, &v);
    }
  }
  if (CorrectorIterationScope::Active()) {
    bool done = true;
    const Status step = CorrectorStep(block, residuals, request, level, &done);
    if (done) {
      SetParameter(max_refine_iter_, 0);
      return step;
    }
  }
  const double tiny = std::ldexp(1.0, -52);
  if (std::all_of(residuals.begin(), residuals.end(),
                  [&](double r) { return std::fabs(r) < tiny; })) {
    if (level >= 4) SuPrint(0, "  Group already converged");
    SetParameter(max_refine_iter_, 0);
    return 0;
  }

  KVSLASystem* system = SystemOf(block, &s);
  if (system == nullptr) return s != 0 ? s : kKvsProxyFailed;
  ApplyParameters(block);

  std::vector<double> rhs(residuals.size());
  for (std::size_t i = 0; i < rhs.size(); ++i) rhs[i] = -residuals[i];
  const std::int64_t* rows = nullptr;
  const std::int64_t* cols = nullptr;
  block->BuildStructure(&rows, &cols, nullptr, 0);
  std::vector<double> values(block->StructureSize(), 0.0);
  s = block->EvaluateRows(12);
  if (status::IsFailure(s)) return s;
  double c = 0.0;
  std::uint32_t jflags = 0;
  if (request != 0 && integrator != nullptr) {
    const double h = integrator->GetServerValue();
    c = h != 0.0 ? 1.0 / h : 1.0;
    jflags = 1;
  }
  s = block->EvaluateJacobianEntries(block->StructureSize(), rows, cols, values.data(), jflags, c);
  if (status::IsFailure(s)) return s;

  const Status f =
      GuardedKvsCall([&] { return system->SetMatrixValues(values.data()); }, kKvsProxyFailed);
  if (level >= 5) {
    PrintVector("Linear group: (-residual) is:", rhs);
    SuPrint(0, "Linear group: jacobian is:");
    for (std::size_t p = 0; p < values.size(); ++p) {
      std::int32_t r = Int(rows[p]);
      std::int32_t k = Int(cols[p]);
      double v = values[p];
      SuPrint(0, "  %5d %5d  %14.6e", &r, &k, &v);
    }
  }
  bool indeterminate = false;
  if (f == kKvsSingular) {
    indeterminate = true;
    Dependency d;
    ReadDependencyOf(system, n, &d);
    MarkDependentPairs(block, d, warn);
    for (std::int32_t k = d.rank; k < n; ++k) {
      const std::int32_t row = d.rows[static_cast<std::size_t>(k)];
      if (row >= 1 && row <= n) rhs[static_cast<std::size_t>(row - 1)] = 0.0;
    }
    rank_ = d.rank;
    dependent_rows_ = std::move(d.rows);
    dependent_cols_ = std::move(d.cols);
    if (warn) SuPrint(0, "Warning: linear group %d is indeterminate", &number);
  } else {
    // Marks left by an earlier singular solve go whatever this result is.
    ClearIndeterminateMarks(block);
    if (f != 0) {
      Report(kKvsLinearFailed,
             "Linear solver returned error. Linear group may be badly scaled or badly posed.",
             level);
      SetParameter(max_refine_iter_, 0);
      return kKvsLinearFailed;
    }
  }

  std::vector<double> x(static_cast<std::size_t>(nv), 0.0);
  Status result = 0;
  const Status solved = GuardedKvsCall(
      [&] {
        const Status r = system->SetRHS(rhs.data());
        return r == 0 ? system->Solve(x.data()) : r;
      },
      kKvsProxyFailed);
  if (solved == kKvsNormError) {
    SuPrint(0,
            "The solver reports a numerical error for the variable norm for this\n     linear "
            "group. Linear group may be badly scaled or badly posed.");
  } else if (solved != 0) {
    Report(kKvsLinearFailed,
           "Linear solver returned error. Linear group may be badly scaled or badly posed.", level);
    SetParameter(max_refine_iter_, 0);
    return kKvsLinearFailed;
  }

  s = TakeStep(block, x, 1.0, level);
  if (s != 0) {
    SetParameter(max_refine_iter_, 0);
    return s;
  }

  if (indeterminate) {
    double largest = 0.0;
    s = block->EvaluateResiduals(7, residuals.data(), &largest);
    if (status::IsFailure(s)) return s;
    if (largest > eqn_tol) {
      Report(kKvsLinearBadlyPosed,
             "Linear group is badly posed. There are no values of the variables in this group "
             "that can satisfy the equations.",
             level);
      SetParameter(max_refine_iter_, 0);
      return kKvsLinearBadlyPosed;
    }
  }
  if (request != 0) {
    const Status e = HandStates(block);
    if (status::IsFailure(e)) result = e;
  }
  if (IsErrorReportingOn() != 0 && refinements >= 1) {
    s = block->EvaluateResiduals(7, residuals.data(), nullptr);
    if (status::IsFailure(s)) return s;
    bool any = false;
    for (std::int32_t i = 0; i < n; ++i) {
      double r = residuals[static_cast<std::size_t>(i)];
      if (std::fabs(r) < eqn_tol) continue;
      any = true;
      if (level >= 3) {
        std::int32_t k = i + 1;
        BvuNameable* e = block->GetRow(static_cast<std::uint32_t>(i));
        SuPrint(0, "Unconverged residual for equation %d  @es = %12.5e ", &k, &e, &r);
      }
    }
    if (any) {
      Report(kKvsLinearFailed,
             "Solution of linear group does not satisfy error tolerance. Linear group may be "
             "badly scaled.",
             level);
      result = kKvsLinearFailed;
    }
  }
  SetParameter(max_refine_iter_, 0);
  return result;
}

// --- nonlinear proxy ---

QLNKVSSparseProxy::QLNKVSSparseProxy() { SetParameter("SLU.Triangularisation", "No"); }

void QLNKVSNonLinProxy::ReadOptions() {
  ReadMappings(this, std::begin(kNonlinearMappings), std::end(kNonlinearMappings), "");
}

void QLNKVSSparseProxy::ReadOptions() {
  QLNKVSNonLinProxy::ReadOptions();
  ReadMappings(this, std::begin(kSluMappings), std::end(kSluMappings), "SLU.");
}

bool QLNKVSNonLinProxy::CorrectorLimits(DAESSolverBlock* block, StepLimits* out) {
  const std::int32_t number = Int(block->GetGroupNumber());
  if (number != 0 && Refresh().watch_group == number) return false;
  // Every system of the library is given the same parameters.
  if (limits_read_ && limits_stamp_ == ParametersStamp()) {
    *out = limits_;
    return true;
  }
  bool known = true;
  platform::IUnknown* system = block->GetEquationSetObject();
  if (system == nullptr) {
    // No system to ask (none is made for a group stepped outside the
    // library): the values every system is given. The option table keeps
    // them inside the library's ranges, so none is refused.
    const auto given = [&](const char* name, double* value) {
      const auto at = Parameters().find(name);
      known = known && at != Parameters().end() && at->second.kind == kKvsReal;
      if (known) *value = at->second.real;
    };
    given("MaxVarStep", &out->max_var_step);
    given("RangeFrac", &out->range_frac);
    given("MinNonZero", &out->min_non_zero);
  } else {
    void* raw = nullptr;
    if (ApplyParameters(block) != 0 || system->QueryInterface(IID_KVSParameters, &raw) != 0 ||
        raw == nullptr) {
      return false;
    }
    auto* parameters = static_cast<KVSParameters*>(raw);
    const auto real = [&](const char* name, double* value) {
      std::int32_t kind = -1;
      known = known && parameters->GetValue(name, &kind, value) == 0 && kind == kKvsReal;
    };
    real("MaxVarStep", &out->max_var_step);
    real("RangeFrac", &out->range_frac);
    real("MinNonZero", &out->min_non_zero);
    parameters->Release();
  }
  limits_read_ = known;
  limits_ = *out;
  limits_stamp_ = ParametersStamp();
  return known;
}

const QLNKVSNonLinProxy::ReadValues& QLNKVSNonLinProxy::Refresh() {
  if (!OptionsChanged()) return read_;
  SolverOptions* options = SolverOptions::Instance();
  read_.watch_group = options->GetInt(kOptWatchGroup);
  read_.max_iter = options->GetInt(kOptMaxIter);
  read_.mixed = options->GetInt(kOptMethod) == 3;
  const std::int32_t integrator = options->GetInt(kOptIntegrator);
  read_.one_iteration =
      (integrator == 3 || integrator == 4) && options->GetInt(kOptStepSizeType) == 1;
  ReadOptions();
  return read_;
}

void QLNKVSNonLinProxy::PerSolveSettings(bool watched) {
  const ReadValues& read = Refresh();
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  const std::int32_t interpolation = integrator != nullptr ? integrator->GetInterpolation() : 0;
  SetParameter(ip_conv_info_, watched ? 1 : interpolation);
  SetParameter(indet_handle_,
               integrator != nullptr ? static_cast<std::int32_t>(integrator->GetAuxWord()) : 0);
  SetParameter(iterations_, read.max_iter);
  if (GetSolutionPhase() != 0) {
    SetParameter(minimum_iterations_, 0);
    if (read.mixed) SetParameter(newton_method_, "Newton");
  } else {
    SetParameter(minimum_iterations_, read.one_iteration ? 1 : 0);
    if (read.mixed) SetParameter(newton_method_, "Fast Newton");
  }
}

Status QLNKVSNonLinProxy::DropWorkspace(void**) { return 0; }

Status QLNKVSNonLinProxy::Solve(QLNGroup* group, std::uint8_t mode, std::uint32_t request,
                                std::uint32_t, Status* status_out) {
  if (status_out != nullptr) *status_out = 1;
  DAESSolverBlock* block = group != nullptr ? group->AsSolverBlock() : nullptr;
  if (block == nullptr) return kKvsProxyFailed;
  auto* factory = static_cast<KVSNLASystemFactory*>(SolverObject());
  if (factory == nullptr) return kKvsProxyFailed;
  auto* system = static_cast<KVSNLASystem*>(block->GetEquationSetObject());
  if (system == nullptr) {
    auto* adapter = new QLNCNumericAlgebraicESO(block, mode, request != 0);
    adapter->AddRef();
    const Status s = GuardedKvsCall(
        [&] {
          return factory->CreateSystem(adapter, QLNCOpenMessagesHandler::Instance(), &system);
        },
        kKvsProxyFailed);
    adapter->Release();
    if (s != 0 || system == nullptr) return kKvsProxyFailed;
    block->SetEquationSetObject(system);
    SystemMade(system);
  }
  std::int32_t number = Int(block->GetGroupNumber());
  const bool watched = number != 0 && Refresh().watch_group == number;
  // A corrector group: its states carry their derivatives along.
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  double c = 0.0;
  if (request != 0 && integrator != nullptr) {
    const double h = integrator->GetServerValue();
    c = h != 0.0 ? 1.0 / h : 1.0;
  }
  PerSolveSettings(watched);
  // Inside a corrector iteration one step on the factors the system holds
  // (made afresh at a set-up), else a whole solve.
  const bool step = CorrectorIterationScope::Active();
  SetParameter(corrector_step_, step ? (CorrectorIterationScope::SetUp() ? 2 : 1) : 0);
  SetParameter(corrector_coefficient_, c);
  ApplyParameters(block);
  Status detail = 0;
  const Status s = GuardedKvsCall(
      [&] {
        Status r = system->Solve(0, &detail);
        while (r == kKvsCallAgain) r = system->Solve(1, &detail);
        return r;
      },
      kKvsProxyFailed);
  const std::int32_t level = SolverOptions::Instance()->GetInt(kOptPrintLevel);
  const bool warn = level >= 2 || (integrator != nullptr && integrator->GetInterpolation() == 1);
  TakeDependentMarks(system, block, warn, step);
  if (s == 0) return 0;
  if (IsErrorReportingOn() != 0) {
    SuPrint(kKvsNonlinearFailed, "Group %d: Nonlinear solver failed.", &number);
  } else if (level > 1) {
    SuPrint(0, "Group %d: Nonlinear solver failed.", &number);
  }
  return s == kKvsSevere ? kKvsProxyFailed : kKvsNonlinearFailed;
}
