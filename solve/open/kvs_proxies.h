// The group methods that hand linear and nonlinear groups to the libraries
// of the open solver framework, the engine's messages handler those
// libraries print through, and the equation-set adapter a nonlinear
// library works on.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/interfaces/group_method.h"
#include "solve/ifaces/kvs_linear.h"
#include "solve/ifaces/kvs_nonlinear.h"
#include "solve/methods/plain_group_method.h"
#include "solve/open/kvs_loader.h"
#include "solve/options/options_client.h"

class BvuBinaryStream;
class DAESBlock;
class DAESSolverBlock;
class QLNHomotopyParameters;
class QLNVariable;

inline constexpr Status kKvsProxyFailed = 0xA021FFFFu;
inline constexpr Status kKvsLinearFailed = 0x8021023Fu;
inline constexpr Status kKvsLinearBadlyPosed = 0x8021023Eu;
inline constexpr Status kKvsFactoriseSingular = 0xA0210269u;
inline constexpr Status kKvsNonlinearFailed = 0x80210251u;
inline constexpr Status kKvsParameterFailed = 0x80004005u;

// Prints what the libraries say through the engine's printer; one per process.
class QLNCOpenMessagesHandler final : public KVSMessagesHandler {
 public:
  static QLNCOpenMessagesHandler* Instance();
  Status Print(const char* text, std::int32_t a, Status status) override;
  Status Nothing() override { return 0; }
};

// A parameter value as the framework takes it, and the proxy's stamp of
// its last change.
struct KvsParameter {
  std::int32_t kind = kKvsInteger;
  std::int32_t integer = 0;
  double real = 0.0;
  std::string text;
  std::uint64_t stamp = 0;
  const std::string* name = nullptr;  // its key in the proxy's map
  std::int32_t option = -1;           // the option its value is read from
};

// A parameter a proxy sets before every solve: its entry is looked up by
// name once, on first use.
struct KvsParameterRef {
  explicit KvsParameterRef(const char* parameter, std::int32_t from = -1)
      : name(parameter), option(from) {}
  const char* name;
  std::int32_t option;  // the option its value is read from, -1 none
  KvsParameter* entry = nullptr;
};

// Loads the proxy's library once and keeps the parameters it gives every
// system it makes. A system is given only what changed since it last got
// its parameters (the block's settings mark says how far that was), and the
// options are read again only when the option table changed.
class QLNKVSGenericProxy {
 public:
  using ParameterMap = std::map<std::string, KvsParameter, std::less<>>;

  QLNKVSGenericProxy();
  virtual ~QLNKVSGenericProxy();
  QLNKVSGenericProxy(const QLNKVSGenericProxy&) = delete;
  QLNKVSGenericProxy& operator=(const QLNKVSGenericProxy&) = delete;
  // The factory interface, loaded on first use; null when the library or
  // its factory is missing (said once).
  platform::IUnknown* SolverObject();
  virtual const char* LibraryName() const = 0;
  virtual const char* FactoryEntry() const = 0;
  virtual const platform::IID& FactoryIID() const = 0;

  // Remembered and given to every system before its solve; the same value
  // again changes nothing.
  void SetParameter(std::string_view name, std::int32_t value);
  void SetParameter(std::string_view name, double value);
  void SetParameter(std::string_view name, std::string_view value);
  // The value of option `option`: a refusal of it is said (see ApplyParameters).
  void SetParameter(std::string_view name, std::int32_t value, std::int32_t option);
  void SetParameter(KvsParameterRef& ref, std::int32_t value) { Put(Entry(ref), value); }
  void SetParameter(KvsParameterRef& ref, double value) { Put(Entry(ref), value); }
  void SetParameter(KvsParameterRef& ref, std::string_view value) { Put(Entry(ref), value); }
  const ParameterMap& Parameters() const { return parameters_; }
  // Sets one parameter on a system: 0, or 0x80004005 without the parameter
  // interface or on a refusal.
  static Status ApplyParameter(platform::IUnknown* system, const std::string& name,
                               const KvsParameter& value);
  // Gives the block's system the parameters that changed since the block's
  // settings mark (all of them when another method or nobody marked it)
  // and moves the mark on. A refused setting leaves the library's own value
  // and is not offered again until it changes; 0x80004005 when one was
  // refused or the system has no parameter interface (the mark then stays).
  // An option's value out of its bounds that is refused is said once, with
  // the value the library goes on with.
  Status ApplyParameters(DAESBlock* block);
  const KvsFactory& Loaded() const { return loaded_; }

  // Registers the parameters `object` publishes (only names with a '.' when
  // `dotted_only`) as named options of `client` under the library's prefix,
  // each by its index; the number registered.
  std::int32_t PublishParameters(platform::IUnknown* object, bool dotted_only,
                                 QLNOptionsClient* client);
  // A published option changed: remembered, and set on `system` when given.
  // By the value's type: 2 integer, 4 real, 5 and 6 text; others 0x80004005.
  Status NamedParameterChanged(std::uint32_t id, const SUValue& value, platform::IUnknown* system);

 protected:
  // A system the proxy made, before its first solve.
  virtual void SystemMade(platform::IUnknown* /*system*/) {}
  // What the proxy's library is to a reader of its lines.
  virtual const char* SolverKind() const { return "solver library"; }
  // True when the option table changed since the last call that said so
  // (always without a table: the built-in defaults have no generations).
  bool OptionsChanged();
  // Moves on with every change of a parameter given to the systems.
  std::uint64_t ParametersStamp() const { return stamp_; }

  ParameterMap parameters_;
  std::vector<std::string> published_;  // by parameter index

 private:
  KvsParameter& Slot(std::string_view name);
  KvsParameter& Entry(KvsParameterRef& ref) {
    if (ref.entry == nullptr) {
      ref.entry = &Slot(ref.name);
      if (ref.option >= 0) ref.entry->option = ref.option;
    }
    return *ref.entry;
  }
  void TellRefused(KVSParameters* parameters, const std::string& name, const KvsParameter& p);
  void Put(KvsParameter& p, std::int32_t value);
  void Put(KvsParameter& p, double value);
  void Put(KvsParameter& p, std::string_view value);
  void Changed(KvsParameter& p);

  // Every change in stamp order, so that a block is given what changed
  // since its mark without a walk over every parameter: per group solve a
  // corrector pass changes one or two. An entry whose stamp is older than
  // its parameter's was overtaken.
  struct Change {
    KvsParameter* parameter;
    std::uint64_t stamp;
  };
  std::vector<Change> changes_;
  std::vector<KvsParameter*> pending_;

  KvsFactory loaded_;
  bool tried_ = false;
  const std::uint64_t id_;          // this proxy's, never another's, in the process
  std::uint64_t stamp_ = 0;         // of the latest parameter change
  std::uint64_t options_read_ = 0;  // the option table's generation
};

// The system lives in the block, not under a handle of the proxy.
class QLNKVSLinearProxy : public QLNPlainGroupMethod, public QLNKVSGenericProxy {
 public:
  Status Solve(QLNGroup* block, std::uint8_t mode, std::uint32_t request, std::uint32_t word,
               Status* status_out) override;
  Status DropWorkspace(void** slot) override;
  const char* FactoryEntry() const override { return kGetFactoryLASystem; }
  const platform::IID& FactoryIID() const override { return IID_KVSLASystemFactory; }

  // Factorises the block's matrix with `values` in structure order, making
  // the system first when the block has none.
  Status Factorise(DAESSolverBlock* block, const double* values, KVSLASystem** out);
  // Solves the factorised system for `rhs`; the solution goes into x.
  Status SolveWith(KVSLASystem* system, const double* rhs, double* x);
  // The library's parameters into `stream`: the prefix, the count, then per
  // parameter its name, its description (empty), and by kind u16 4 with the
  // value and its (unknown, so widest) bounds as i32, u16 24 with three
  // doubles, or u16 68 with the text and an empty second text.
  // 0xA021FFFF without the library or its parameters.
  Status WriteParameters(BvuBinaryStream& stream);
  // `stream` is a BvuBinaryStream*.
  Status Operation6(void* stream) override {
    return stream != nullptr ? WriteParameters(*static_cast<BvuBinaryStream*>(stream))
                             : kKvsProxyFailed;
  }
  // What a corrector step taken outside the proxy must honour: the bounds
  // tolerances of a step and the print level, read as a solve reads them.
  struct StepSettings {
    double abs_tol = 0.0;
    double rel_tol = 0.0;
    std::int32_t level = 0;
  };
  StepSettings CorrectorSettings();
  const std::vector<std::int32_t>& DependentRows() const { return dependent_rows_; }
  const std::vector<std::int32_t>& DependentCols() const { return dependent_cols_; }
  std::int32_t Rank() const { return rank_; }

 protected:
  // Reads the option values into the parameters of the library.
  virtual void ReadOptions();
  const char* SolverKind() const override { return "linear solver"; }

 private:
  // The options a solve reads, as the table held them at its last change.
  struct ReadValues {
    std::int32_t level = 0;
    double eqn_tol = 0.0;
    double abs_tol = 0.0;
    double rel_tol = 0.0;
    std::int32_t refinements = 0;
  };
  const ReadValues& Refresh();
  KVSLASystem* SystemOf(DAESSolverBlock* block, Status* status);
  Status ReadDependency(KVSLASystem* system, std::int32_t n);
  Status TakeStep(DAESSolverBlock* block, const std::vector<double>& x, double scale,
                  std::int32_t level);
  static Status HandStates(DAESSolverBlock* block);
  Status CorrectorStep(DAESSolverBlock* block, const std::vector<double>& residuals,
                       std::uint32_t request, std::int32_t level, bool* done);

  std::vector<std::int32_t> dependent_rows_;
  std::vector<std::int32_t> dependent_cols_;
  std::int32_t rank_ = 0;
  ReadValues read_;
  // Room for the work vectors of a corrector step, kept from group to
  // group (one proxy serves every linear group of a pass).
  std::vector<double> residual_room_, rhs_room_, x_room_, next_room_, values_room_;
  KvsParameterRef error_tol_{"ErrorTol"};
  KvsParameterRef max_refine_iter_{"MaxRefineIter", 170};  // SLU.MaxRefineIter
};

class QLNKVSSluProxy final : public QLNKVSLinearProxy {
 public:
  QLNKVSSluProxy();
  const char* LibraryName() const override { return "kvs_slu.dll"; }
};

// Publishes every parameter of its library as a named option.
class QLNKVSMflProxy final : public QLNKVSLinearProxy, public QLNOptionsClient {
 public:
  ~QLNKVSMflProxy() override;
  const char* LibraryName() const override { return "kvs_mfl.dll"; }
  Status OptionChanged(std::int32_t, const void*) override { return 0; }
  Status NamedOptionChanged(std::uint32_t id, const SUValue& value) override {
    return NamedParameterChanged(id, value, nullptr);
  }

 protected:
  void SystemMade(platform::IUnknown* system) override;

 private:
  bool published_once_ = false;
};

// The system lives in the block, not under a handle of the proxy; the
// parameter list is the linear proxies' only.
class QLNKVSNonLinProxy : public QLNPlainGroupMethod, public QLNKVSGenericProxy {
 public:
  Status Solve(QLNGroup* block, std::uint8_t mode, std::uint32_t request, std::uint32_t word,
               Status* status_out) override;
  Status DropWorkspace(void** slot) override;
  const char* FactoryEntry() const override { return kGetFactoryNLASystem; }
  const platform::IID& FactoryIID() const override { return IID_KVSNLASystemFactory; }
  // The settings given before every solve; `watched` for the watched group.
  virtual void PerSolveSettings(bool watched);
  // The limits the library's corrector step puts on a step: as the block's
  // system holds them once given the current settings, or as the proxy
  // gives them to every system when the block has none.
  struct StepLimits {
    double max_var_step = 0.0;
    double range_frac = 0.0;
    double min_non_zero = 0.0;
  };
  // False when the block is the watched group or the limits are not known:
  // its steps then go through the library.
  bool CorrectorLimits(DAESSolverBlock* block, StepLimits* out);

 protected:
  // Reads the option values into the parameters of the library and the
  // values a solve reads.
  virtual void ReadOptions();
  const char* SolverKind() const override { return "nonlinear solver"; }

 private:
  struct ReadValues {
    std::int32_t watch_group = 0;
    std::int32_t max_iter = 0;
    bool mixed = false;          // Nonlinear.Method 3
    bool one_iteration = false;  // a variable-step implicit integrator
  };
  const ReadValues& Refresh();

  ReadValues read_;
  // The limits last read, while the parameters stand.
  StepLimits limits_;
  std::uint64_t limits_stamp_ = 0;
  bool limits_read_ = false;
  KvsParameterRef ip_conv_info_{"IpConvInfo"};
  KvsParameterRef indet_handle_{"IndetHandle"};
  KvsParameterRef iterations_{"Iterations", 24};  // Nonlinear.MaxIter
  KvsParameterRef minimum_iterations_{"MinimumIterations"};
  KvsParameterRef newton_method_{"NewtonMethod"};
  KvsParameterRef corrector_step_{"CorrectorStep"};
  KvsParameterRef corrector_coefficient_{"CorrectorCoefficient"};
};

class QLNKVSSparseProxy final : public QLNKVSNonLinProxy {
 public:
  QLNKVSSparseProxy();
  const char* LibraryName() const override { return "kvs_sparse.dll"; }

 protected:
  void ReadOptions() override;
};

// Publishes its library's parameters whose names hold a '.' as named options.
class QLNKVSSparseMflProxy final : public QLNKVSNonLinProxy, public QLNOptionsClient {
 public:
  ~QLNKVSSparseMflProxy() override;
  const char* LibraryName() const override { return "kvs_sparse_mfl.dll"; }
  Status OptionChanged(std::int32_t, const void*) override { return 0; }
  Status NamedOptionChanged(std::uint32_t id, const SUValue& value) override {
    return NamedParameterChanged(id, value, nullptr);
  }

 protected:
  void SystemMade(platform::IUnknown* system) override;

 private:
  bool published_once_ = false;
};

// Presents one block to a nonlinear library. Lists are 0-based indices.
// With `derivatives` (the block's states paired with their derivatives, as
// in a corrector group) the states move their derivatives with the current
// integrator's relation and the Jacobian folds the derivative columns in
// with factor c = 1/(the integrator's step quantity).
class QLNCNumericAlgebraicESO final : public KVSNumericAlgebraicESO,
                                      public KVSNumericESODecompExtension,
                                      public KVSUtilityComponent,
                                      public KVSNumericESOExtension3,
                                      public KVSHomotopy {
 public:
  explicit QLNCNumericAlgebraicESO(DAESSolverBlock* block, std::uint8_t mode = 0,
                                   bool derivatives = false);

  Status QueryInterface(const platform::IID& iid, void** out) override;
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override;

  Status GetNumVariables(std::int32_t* count) override;
  Status GetNumEquations(std::int32_t* count) override;
  Status GetVariableBounds(const KVSIndexList* list, double* lower, double* upper) override;
  Status SetVariableValues(const KVSIndexList* list, const double* values) override;
  Status GetVariableValues(const KVSIndexList* list, double* values) override;
  Status GetVariableName(std::int32_t index, char** text) override;
  Status GetEquationName(std::int32_t index, char** text) override;
  Status GetEquationVariablePairs(std::int32_t* count, std::int32_t* pairs) override;
  Status Evaluate(const KVSIndexList* equations, double* residuals, double* jacobian,
                  std::uint32_t flags) override;
  Status GetNumNonZeros(std::int32_t* count) override;
  Status GetStructure(std::int32_t* rows, std::int32_t* cols, std::int32_t* kinds) override;

  // Decomposition extension: attributes "Indeterminate" and "Torn".
  Status GetEquationAttribute(std::int32_t equation, const char* name,
                              std::int32_t* value) override;
  Status SetEquationAttribute(std::int32_t equation, const char* name, std::int32_t value) override;
  Status GetGroupAttribute(const char* name, std::int32_t* value) override;
  Status SetGroupAttribute(const char* name, std::int32_t value) override;
  Status CreateSubSystem(std::int32_t count, const std::int32_t* rows, const std::int32_t* cols,
                         KVSSubSystem** sub, std::int32_t** positions) override;
  Status EvaluateSubSystem(KVSSubSystem* sub, double* residuals, double* jacobian,
                           std::uint32_t flags) override;
  Status DestroySubSystem(KVSSubSystem* sub) override;

  // Utility component: "V12", "Quillon", "Quillon (TM) Version V12".
  Status GetVersion(char** text) override;
  Status GetProduct(char** text) override;
  Status GetDescription(char** text) override;
  Status DeleteThis() override { return 0; }
  Status GetName(char** text) override;

  // Equation texts: with "ListEquivalenceVariables" on, the members of each
  // equivalence among the equation's variables.
  Status GetEquationTextCount(std::int32_t equation, std::int32_t* count) override;
  Status GetEquationText(std::int32_t equation, std::int32_t index, char** text) override;

  // The process's homotopy parameters, as installed when the adapter was made.
  Status GetCount(std::int32_t* count) override;
  Status SetValues(const double* values) override;
  Status Evaluate() override;
  Status GetValues(double* values) override;
  Status GetName(std::int32_t index, char** text) override;

 private:
  ~QLNCNumericAlgebraicESO() = default;
  // The equivalence members an equation's texts name.
  std::vector<QLNVariable*> EquationTexts(std::int32_t equation);
  // -8 when a list names more entries than `limit` or one outside it.
  static Status CheckList(const KVSIndexList* list, std::int32_t limit);
  // c of the derivative columns; 0 without derivatives or an integrator.
  double CorrectorFactor() const;
  Status TieDerivatives();
  Status Jacobian(const std::int64_t* rows, const std::int64_t* cols, double* values);

  std::atomic<std::uint32_t> refs_{0};
  DAESSolverBlock* block_;
  std::uint8_t mode_;
  bool derivatives_;
  QLNHomotopyParameters* homotopy_;
  // Kept between evaluations: the library evaluates every iteration.
  std::vector<double> residual_scratch_;
  std::vector<double> jacobian_scratch_;
};

// The kind the framework sees for a structure entry's kind.
std::int32_t KvsStructureKind(std::int64_t kind);

// Sets on `system` each of its parameters that the process's option table
// holds as the named option "<product>.<parameter>" of the library behind
// `factory`, for a system no proxy publishes; the number set.
std::int32_t ApplyNamedOptions(platform::IUnknown* factory, platform::IUnknown* system);

inline constexpr Status kOpenNLAFailed = 0x80000251u;
inline constexpr Status kOpenNLANoFactory = KvsCode(-6);

// Nonlinear groups through the user's NLA library once one is loaded.
class QLNCOpenNLASolver final : public QLNPlainGroupMethod {
 public:
  Status Solve(QLNGroup* block, std::uint8_t mode, std::uint32_t request, std::uint32_t word,
               Status* status_out) override;
  // Its system lives in the block (released with the block's equation-set
  // object), and it has none of the open-solver proxies' operations.
  Status DropWorkspace(void**) override { return status::kOk; }
};
