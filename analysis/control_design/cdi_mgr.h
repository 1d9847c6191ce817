// CDIManager: serves the control design interface (service 114). The client
// names the state, input and output variables of a converged model with a
// scale value each and asks for the linearised model around the current
// solution; the manager reads the request, has the problem evaluate its
// Jacobian through a linearisation object, hands it to the computation
// component and writes the reply. Server thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/control_design/cdi_component.h"
#include "control/managers/subsystem_manager.h"
#include "framework/servers/server_callback.h"
#include "platform/status.h"

class AnalysisVariable;
class BvuBinaryStream;

// The Jacobian of the linearised problem split in two parts; layout as the
// component's.
struct CdiJacobian {
  std::vector<double> dyn_values, ss_values;
  std::vector<std::int64_t> dyn_rows, dyn_cols, ss_rows, ss_cols;
};

// The problem's linearisation equation-set object.
class CdiLinearisation {
 public:
  virtual ~CdiLinearisation() = default;
  virtual std::int32_t NumVariables() = 0;
  virtual std::int32_t NumStates() = 0;
  virtual std::int32_t NumAlgebraic() = 0;
  // The Jacobian pattern, 1-based.
  virtual const std::vector<std::int64_t>& PatternColumns() = 0;
  // A variable's column (inputs after the object's variables); 0 when the
  // variable has none.
  virtual std::int32_t ColumnOf(AnalysisVariable* variable) = 0;
  virtual Status Evaluate(CdiJacobian* jacobian) = 0;
};

// What control design asks of the problem manager, the problem, the delay
// manager and the option table.
class CdiServices {
 public:
  virtual ~CdiServices() = default;
  virtual Status ReadVariableReference(BvuBinaryStream& body, AnalysisVariable** variable) = 0;
  virtual void Print(Status status, const std::string& text) = 0;
  virtual std::int32_t IntOption(const char* name) = 0;
  // A status whose code part is non-zero when this call entered the mode.
  virtual Status EnterLinearisationMode() = 0;
  virtual void LeaveLinearisationMode() = 0;
  virtual Status CreateLinearisation(std::unique_ptr<CdiLinearisation>* object) = 0;
  virtual void RaiseDelayHold() = 0;
  virtual void LowerDelayHold() = 0;
  virtual double LastSolutionTime() = 0;
  virtual void FlushMessages() = 0;
  // Whether the engine asked the computing thread to stop; long loops ask
  // it as they go.
  virtual bool StopRequested() = 0;
  // A run step computes on the run thread: the problem and its delays are
  // not this thread's to evaluate or hold.
  virtual bool StepComputing() = 0;
};

class QLNCDIManager {
 public:
  virtual ~QLNCDIManager();
  virtual void SetOptions(std::int32_t options) = 0;
  virtual void VariableDeleted(AnalysisVariable* variable) = 0;
};

// Null when no control-design manager exists.
QLNCDIManager* GetCDIManager();

class CDIManager final : public DseServerCB, public QLNSubSystemManager, public QLNCDIManager {
 public:
  static constexpr std::uint32_t kService = 114;
  static constexpr std::uint16_t kSetUp = 82;
  static constexpr std::uint16_t kCompute = 83;
  static constexpr std::uint16_t kReply = 84;
  static constexpr std::uint16_t kClear = 85;
  static constexpr std::uint32_t kInputFlag = 0x400000;
  static constexpr std::uint32_t kOutputFlag = 0x800000;
  static constexpr Status kUnknownKind = 0x800001F5u;
  static constexpr Status kFailed = 0x8000FFFFu;
  // A computation asked for while a run step computes: no reply.
  static constexpr Status kBusy = 0x0032000Au;
  // A request whose dense work would pass kMaxDenseEntries doubles.
  static constexpr Status kTooLarge = 0x80000213u;
  static constexpr std::uint64_t kMaxDenseEntries = std::uint64_t{1} << 22;
  // A request whose step response or state transition would take more
  // than kMaxSolves solves of the linearised model (each step a solve per
  // input, per perturbed group for the transition).
  static constexpr Status kTooLong = 0x80000214u;
  static constexpr std::uint64_t kMaxSolves = 100'000'000;

  explicit CDIManager(CdiServices& services);
  ~CDIManager() override;

  // --- QLNCDIManager ---
  void SetOptions(std::int32_t options) override { options_ = options; }
  void VariableDeleted(AnalysisVariable* variable) override;
  // A variable being destroyed leaves every list (states and excluded
  // states too), and the linearisation is made again for what remains.
  void ForgetVariable(AnalysisVariable* variable);

  // --- QLNSubSystemManager ---
  Status AttachProblem(const char* folder, const char* name) override;
  // An edit rebuilds the problem and lets go of the variable adapters: the
  // lists and the linearisation go first, flags reset while still reachable.
  Status ProblemEdited() override;
  Status DetachProblem(const char* folder, const char* sub_folder) override;

  // --- DseServerCB ---
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  Status Serve(BvuBinaryStream& body, DseMessage** reply);

  void Clear(bool reset_flags);
  std::int32_t Options() const { return options_; }
  std::size_t InputCount() const { return inputs_.size(); }
  std::size_t OutputCount() const { return outputs_.size(); }
  std::size_t StateCount() const { return states_.size(); }
  QLNCDIComponent* Component() { return component_.get(); }

 private:
  struct Entry {
    AnalysisVariable* variable = nullptr;
    double scale = 1.0;
    std::int32_t column = 0;
  };
  Status SetUp(BvuBinaryStream& body);
  Status Compute();
  Status ComputeInner(bool* created);
  Status CheckDenseSize(std::int32_t print_level);
  Status CheckWork(std::int32_t print_level);
  Status WriteReply(BvuBinaryStream& out);
  void PrintStepResponse();

  CdiServices& services_;
  std::unique_ptr<QLNCDIComponent> component_;
  std::unique_ptr<CdiLinearisation> object_;
  std::int32_t options_ = 0;
  double drop_tolerance_ = 0.0;
  std::vector<Entry> states_, inputs_, outputs_;
  std::vector<double> scale_;
  double sr_d_[5] = {0, 0, 0, 0, 0};
  std::uint16_t sr_u_[3] = {0, 0, 0};
  double stm_e_[3] = {0, 0, 0};
  std::vector<Entry> excluded_;
  double time_ = 0.0;
};
