// A shared library of fakes, one per cross-boundary interface: every
// operation logs its name and arguments and answers kFakeResult, so that a
// caller in another module sees which operation its call reached.
#include <cstring>
#include <string>

#include "solve/ifaces/decomposition.h"
#include "solve/ifaces/equation_set.h"
#include "solve/ifaces/integrator.h"
#include "solve/ifaces/kvs.h"
#include "tests/solve/fakes/call_log.h"

using platform::IID;
using platform::IUnknown;
using I32 = std::int32_t;
using U32 = std::uint32_t;

namespace {

std::string g_last;

template <typename... Args>
Status Hit(const char* name, const Args&... args) {
  g_last = CallLine(name, args...);
  return kFakeResult;
}

#define HIT(...) return Hit(__func__ __VA_OPT__(, ) __VA_ARGS__)

template <class Derived, class I>
class Fake : public I {
 public:
  explicit Fake(const IID& iid) : iid_(iid) {}
  Status QueryInterface(const IID& iid, void** object) override {
    if (iid != iid_ && iid != platform::IID_IUnknown) {
      *object = nullptr;
      return 0x80004002u;
    }
    *object = static_cast<I*>(this);
    AddRef();
    return 0;
  }
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override {
    if (--refs_ != 0) return refs_;
    delete static_cast<Derived*>(this);
    return 0;
  }

 private:
  IID iid_;
  std::uint32_t refs_ = 0;
};

class FakeESO final : public Fake<FakeESO, IQLNESO> {
 public:
  using Fake::Fake;
  Status GetEquationCounts(I32* a, I32* b) override { HIT(a, b); }
  Status GetNonZeroCount(I32* a) override { HIT(a); }
  Status GetVariableCounts(I32* a, I32* b) override { HIT(a, b); }
  Status GetMarkedVariableCount(I32* a) override { HIT(a); }
  Status GetAllVariableTypes(I32* a, I32* b) override { HIT(a, b); }
  Status GetEquationTypes(I32* a) override { HIT(a); }
  Status GetEquationStructure(I32 a, I32* b, I32* c) override { HIT(a, b, c); }
  Status GetVariable(I32 a, QLNVariable** b) override { HIT(a, b); }
  Status GetEquation(I32 a, DAESEqnRow** b) override { HIT(a, b); }
  Status GetGroupType(std::uint8_t* a) override { HIT(a); }
  Status GetEquationDependence(I32 a, I32 b, I32 c, I32 d, I32* e, I32* f) override {
    HIT(a, b, c, d, e, f);
  }
  Status SetFlags(U32 a) override { HIT(a); }
  Status ClearFlags(U32 a) override { HIT(a); }
  Status GetFlags(U32* a) override { HIT(a); }
  Status GetGroupNumber(I32* a) override { HIT(a); }
  Status EnumVariables(U32 a, U32 b, const IID& c, IUnknown** d) override { HIT(a, b, c, d); }
  Status SetVariableValues(I32 a, QLNVariable* const* b, const double* c) override {
    HIT(a, b, c);
  }
  Status GetVariable2(I32 a, QLNVariable** b) override { HIT(a, b); }
  Status GetEquation2(I32 a, DAESEqnRow** b) override { HIT(a, b); }
  Status GetEquationDependenceCompact(I32 a, I32 b, I32 c, I32* d, I32* e, I32* f) override {
    HIT(a, b, c, d, e, f);
  }
  Status EnumData(const IID& a, IUnknown** b) override { HIT(a, b); }
  Status GetVariableTypes(I32 a, I32* b, I32* c) override { HIT(a, b, c); }
  Status GetEquationStructure2(I32 a, I32* b, I32* c) override { HIT(a, b, c); }
  Status GroupNumber() override { HIT(); }
  Status Reserved27() override { HIT(); }
  Status Reserved28() override { HIT(); }
  Status AnnounceSolve() override { HIT(); }
};

class FakeESOEdit final : public Fake<FakeESOEdit, IESOEdit> {
 public:
  using Fake::Fake;
  Status SetGroupStructure(IUnknown* a, I32 b, const I32* c, I32 d, const I32* e) override {
    HIT(a, b, c, d, e);
  }
  Status SetEquationVariables(IUnknown* a, I32 b, I32 c, const I32* d) override {
    HIT(a, b, c, d);
  }
  Status NotImplemented5() override { HIT(); }
  Status SetGroupNumber(I32 a) override { HIT(a); }
};

class FakeESOSolve final : public Fake<FakeESOSolve, IQLNESOSolve> {
 public:
  using Fake::Fake;
  Status Solve(I32 a, I32* b) override { HIT(a, b); }
  Status ReleaseSystem(double a) override { HIT(a); }
  Status ResetSystem() override { HIT(); }
  Status GetLastStatus(Status* a) override { HIT(a); }
  Status ClearSolveFlag() override { HIT(); }
  Status SetSolveFlag() override { HIT(); }
  Status SolveWithMode(I32 a, I32 b, I32* c) override { HIT(a, b, c); }
};

class FakeESO12Ex final : public Fake<FakeESO12Ex, IESO12Ex> {
 public:
  using Fake::Fake;
  Status EnumData(const IID& a, IUnknown** b) override { HIT(a, b); }
};

class FakeESOSolve20 final : public Fake<FakeESOSolve20, IQLNESOSolve20> {
 public:
  using Fake::Fake;
  Status ReportIndeterminate(I32 a, I32* b) override { HIT(a, b); }
  Status Diagnose(I32 a, I32* b) override { HIT(a, b); }
};

class FakeDecomposition final : public Fake<FakeDecomposition, IQLNDecomposition> {
 public:
  using Fake::Fake;
  Status GetGroupCount(I32* a) override { HIT(a); }
  Status AddGroup(IUnknown* a) override { HIT(a); }
  Status GetGroup(I32 a, const IID& b, void** c) override { HIT(a, b, c); }
  Status GetStatistics(DecompositionStatistics* a, U32* b) override { HIT(a, b); }
  Status IsSolved(U32* a) override { HIT(a); }
  Status SetSolved(U32 a) override { HIT(a); }
  Status Reserve(I32 a) override { HIT(a); }
  Status SolveGroups(I32 a, I32 b, I32 c, I32* d) override { HIT(a, b, c, d); }
  Status ForEachGroup20(I32 a, I32* b) override { HIT(a, b); }
};

class FakeDecomp12Ex final : public Fake<FakeDecomp12Ex, IDecomp12Ex> {
 public:
  using Fake::Fake;
  Status Reserve(I32 a) override { HIT(a); }
};

class FakeDecomposition20 final : public Fake<FakeDecomposition20, IQLNDecomposition20> {
 public:
  using Fake::Fake;
  Status ReportIndeterminate() override { HIT(); }
  Status ForEachGroup20() override { HIT(); }
};

class FakeDecomposer final : public Fake<FakeDecomposer, IQLNDecomposer> {
 public:
  using Fake::Fake;
  Status Decompose12(IUnknown* a, IUnknown* b, U32 c, U32 d, U32 e,
                     IQLNDecomposition** f) override {
    HIT(a, b, c, d, e, f);
  }
  Status SetOption(U32 a, VARIANT b, IUnknown* c) override { HIT(a, b, c); }
  Status Reserved5() override { HIT(); }
  Status Decompose(IUnknown* a, IUnknown* b, U32 c, U32 d, U32 e,
                   IQLNDecomposition** f) override {
    HIT(a, b, c, d, e, f);
  }
};

class FakeDecomposerCreation final : public Fake<FakeDecomposerCreation, IDecomposerCreation> {
 public:
  using Fake::Fake;
  Status GetVersion(char16_t* a) override { HIT(a); }
};

class FakeOptions2 final : public Fake<FakeOptions2, IOptionEnumerator2> {
 public:
  using Fake::Fake;
  Status Next(U32 a, OptionEntry* b, U32* c) override { HIT(a, b, c); }
};

class FakeOptions1 final : public Fake<FakeOptions1, IOptionEnumerator1> {
 public:
  using Fake::Fake;
  Status Next(U32 a, OptionEntry1** b, U32* c) override { HIT(a, b, c); }
};

class FakeIntegrator final : public Fake<FakeIntegrator, IUnifiedIntegrator> {
 public:
  using Fake::Fake;
  Status Initialise(double* a, double b, I32 c, I32 d) override { HIT(a, b, c, d); }
  Status GetCapabilities(U32* a) override { HIT(a); }
  Status SetUp(IUnknown* a, IUnknown* b) override { HIT(a, b); }
  Status GetValue(double* a) override { HIT(a); }
  Status ExchangeStates(I32 a, const I32* b, double* c) override { HIT(a, b, c); }
  Status GetErrorText(Status a, char16_t** b) override { HIT(a, b); }
  Status Finish() override { HIT(); }
  Status SetOption(U32 a, VARIANT b) override { HIT(a, b); }
  Status GetInterface(const IID& a, void** b) override { HIT(a, b); }
  Status SetTime(double a) override { HIT(a); }
  Status ReleaseProblem() override { HIT(); }
  Status RunControl(I32 a) override { HIT(a); }
  Status PassThrough15(I32 a, void* b) override { HIT(a, b); }
  Status PassThrough16(I32 a, void* b) override { HIT(a, b); }
  Status SetMode(I32 a, I32 b) override { HIT(a, b); }
  Status Reset() override { HIT(); }
  Status GetSensitivityData(double* a, I32 b, I32 c, I32 d) override { HIT(a, b, c, d); }
  Status PassThrough20(I32 a, void* b) override { HIT(a, b); }
  Status PassThrough21(I32 a, void* b) override { HIT(a, b); }
};

class FakeSensitivityItems final : public Fake<FakeSensitivityItems, ISensitivityItemEnumerator> {
 public:
  using Fake::Fake;
  Status Next(U32 a, SensitivityItem* b, U32* c) override { HIT(a, b, c); }
};

class FakeServerCount final : public Fake<FakeServerCount, IServerCount> {
 public:
  using Fake::Fake;
  Status GetCount(U32* a) override { HIT(a); }
};

class FakeESOFactory final : public Fake<FakeESOFactory, IQLNESOFactory> {
 public:
  using Fake::Fake;
  Status SetSimulationTime(double a) override { HIT(a); }
  Status PostSolverMessage(Status a, I32 b, const char* const* c, I32 d,
                           void* const* e) override {
    HIT(a, b, c, d, e);
  }
  Status SetNestedMode(I32 a) override { HIT(a); }
  Status CreateGroupTable(I32 a, const double* b, const double* c) override { HIT(a, b, c); }
  Status SetGroupValues(I32 a, const double* b) override { HIT(a, b); }
  Status AttachSolverObject(IUnknown* a, I32 b) override { HIT(a, b); }
  Status DetachSolverObject(I32 a) override { HIT(a); }
  Status CheckCompiledEquations() override { HIT(); }
  Status CreateDecomposerObject(IUnknown** a) override { HIT(a); }
  Status CreateESOGroupObject(I32 a, IUnknown** b) override { HIT(a, b); }
  Status CreateDecompositionObject(IUnknown** a) override { HIT(a); }
};

class FakeExplicitEvents final : public Fake<FakeExplicitEvents, IQLNExplicitEventMgr> {
 public:
  using Fake::Fake;
  Status AddEvent(U32 a, double b, double c, void** d) override { HIT(a, b, c, d); }
  Status GetTolerance(double* a) override { HIT(a); }
  Status LowerTolerance(double a) override { HIT(a); }
  Status FirstEvent(I32 a, void** b) override { HIT(a, b); }
  Status NotImplemented7() override { HIT(); }
};

class FakeImplicitEvents final : public Fake<FakeImplicitEvents, IQLNImplicitEventMgr> {
 public:
  using Fake::Fake;
  Status QueryA(I32 a, I32* b) override { HIT(a, b); }
  Status QueryB(I32 a, I32* b) override { HIT(a, b); }
};

class FakeDelays final : public Fake<FakeDelays, IQLNDelayManager> {
 public:
  using Fake::Fake;
  Status RecordTime() override { HIT(); }
};

class FakeSensitivities final : public Fake<FakeSensitivities, IQLNSensitivityManager> {
 public:
  using Fake::Fake;
  Status GetCount(I32* a) override { HIT(a); }
  Status SetValue1(const char* a, const char* b, double* c) override { HIT(a, b, c); }
  Status SetValue2(const char* a, const char* b, double* c) override { HIT(a, b, c); }
};

class FakeProperties final : public Fake<FakeProperties, IQLNPropertiesManager> {
 public:
  using Fake::Fake;
  Status Forward(U32 a, void* b) override { HIT(a, b); }
};

class FakeUtility final : public Fake<FakeUtility, KVSUtilityComponent> {
 public:
  using Fake::Fake;
  Status GetVersion(char** a) override { HIT(a); }
  Status GetProduct(char** a) override { HIT(a); }
  Status GetDescription(char** a) override { HIT(a); }
  Status DeleteThis() override { HIT(); }
  Status GetName(char** a) override { HIT(a); }
};

class FakeParameters final : public Fake<FakeParameters, KVSParameters> {
 public:
  using Fake::Fake;
  Status GetCount(I32* a) override { HIT(a); }
  Status GetNames(char*** a) override { HIT(a); }
  Status GetValue(const char* a, I32* b, void* c) override { HIT(a, b, c); }
  Status Set(const char* a, I32 b, const void* c) override { HIT(a, b, c); }
};

class FakeDependency final : public Fake<FakeDependency, KVSLinearDependency> {
 public:
  using Fake::Fake;
  Status GetRank(I32* a) override { HIT(a); }
  Status GetDependentRows(I32* a) override { HIT(a); }
  Status GetDependentCols(I32* a) override { HIT(a); }
};

class FakeLASystem final : public Fake<FakeLASystem, KVSLASystem> {
 public:
  using Fake::Fake;
  Status SetMatrixValues(const double* a) override { HIT(a); }
  Status SetRHS(const double* a) override { HIT(a); }
  Status Solve(double* a) override { HIT(a); }
};

class FakeLAFactory final : public Fake<FakeLAFactory, KVSLASystemFactory> {
 public:
  using Fake::Fake;
  Status CreateSystem(I32 a, I32 b, I32 c, const std::int64_t* d, const std::int64_t* e,
                      KVSMessagesHandler* f, KVSLASystem** g) override {
    HIT(a, b, c, d, e, f, g);
  }
};

class FakeAlgebraicESO final : public Fake<FakeAlgebraicESO, KVSNumericAlgebraicESO> {
 public:
  using Fake::Fake;
  Status GetNumVariables(I32* a) override { HIT(a); }
  Status GetNumEquations(I32* a) override { HIT(a); }
  Status GetVariableBounds(const KVSIndexList* a, double* b, double* c) override { HIT(a, b, c); }
  Status SetVariableValues(const KVSIndexList* a, const double* b) override { HIT(a, b); }
  Status GetVariableValues(const KVSIndexList* a, double* b) override { HIT(a, b); }
  Status GetVariableName(I32 a, char** b) override { HIT(a, b); }
  Status GetEquationName(I32 a, char** b) override { HIT(a, b); }
  Status GetEquationVariablePairs(I32* a, I32* b) override { HIT(a, b); }
  Status Evaluate(const KVSIndexList* a, double* b, double* c, U32 d) override {
    HIT(a, b, c, d);
  }
  Status GetNumNonZeros(I32* a) override { HIT(a); }
  Status GetStructure(I32* a, I32* b, I32* c) override { HIT(a, b, c); }
};

class FakeDecompExtension final : public Fake<FakeDecompExtension, KVSNumericESODecompExtension> {
 public:
  using Fake::Fake;
  Status GetEquationAttribute(I32 a, const char* b, I32* c) override { HIT(a, b, c); }
  Status SetEquationAttribute(I32 a, const char* b, I32 c) override { HIT(a, b, c); }
  Status GetGroupAttribute(const char* a, I32* b) override { HIT(a, b); }
  Status SetGroupAttribute(const char* a, I32 b) override { HIT(a, b); }
  Status CreateSubSystem(I32 a, const I32* b, const I32* c, KVSSubSystem** d,
                         I32** e) override {
    HIT(a, b, c, d, e);
  }
  Status EvaluateSubSystem(KVSSubSystem* a, double* b, double* c, U32 d) override {
    HIT(a, b, c, d);
  }
  Status DestroySubSystem(KVSSubSystem* a) override { HIT(a); }
};

class FakeExtension3 final : public Fake<FakeExtension3, KVSNumericESOExtension3> {
 public:
  using Fake::Fake;
  Status GetEquationTextCount(I32 a, I32* b) override { HIT(a, b); }
  Status GetEquationText(I32 a, I32 b, char** c) override { HIT(a, b, c); }
};

class FakeHomotopy final : public Fake<FakeHomotopy, KVSHomotopy> {
 public:
  using Fake::Fake;
  Status GetCount(I32* a) override { HIT(a); }
  Status SetValues(const double* a) override { HIT(a); }
  Status Evaluate() override { HIT(); }
  Status GetValues(double* a) override { HIT(a); }
  Status GetName(I32 a, char** b) override { HIT(a, b); }
};

class FakeNLASystem final : public Fake<FakeNLASystem, KVSNLASystem> {
 public:
  using Fake::Fake;
  Status Solve(I32 a, Status* b) override { HIT(a, b); }
};

class FakeNLAFactory final : public Fake<FakeNLAFactory, KVSNLASystemFactory> {
 public:
  using Fake::Fake;
  Status CreateSystem(KVSNumericAlgebraicESO* a, KVSMessagesHandler* b,
                      KVSNLASystem** c) override {
    HIT(a, b, c);
  }
};

class FakeNLPESO final : public Fake<FakeNLPESO, KVSNumericNLPESO> {
 public:
  using Fake::Fake;
  Status GetNumVariables(I32* a) override { HIT(a); }
  Status GetNumEqualities(I32* a) override { HIT(a); }
  Status GetNumInequalities(I32* a) override { HIT(a); }
  Status GetVariableBounds(const KVSIndexList* a, double* b, double* c) override { HIT(a, b, c); }
  Status SetVariableValues(const KVSIndexList* a, const double* b) override { HIT(a, b); }
  Status GetVariableValues(const KVSIndexList* a, double* b) override { HIT(a, b); }
  Status GetVariableName(I32 a, char** b) override { HIT(a, b); }
  Status GetVariableAttributeDescriptions(I32* a, KVSAttributeDescription** b) override {
    HIT(a, b);
  }
  Status GetVariableAttribute(I32 a, const char* b, double* c) override { HIT(a, b, c); }
  Status GetConstraintName(I32 a, char** b) override { HIT(a, b); }
  Status GetConstraintVariablePairs(I32* a, I32* b) override { HIT(a, b); }
  Status GetConstraintAttributeDescriptions(I32* a, KVSAttributeDescription** b) override {
    HIT(a, b);
  }
  Status GetConstraintAttribute(I32 a, const char* b, double* c) override { HIT(a, b, c); }
  Status GetNumExtraItems(I32* a) override { HIT(a); }
  Status Unsupported17() override { HIT(); }
  Status Unsupported18() override { HIT(); }
  Status GetJacobianSizes(I32* a, I32* b) override { HIT(a, b); }
  Status GetJacobianStructure(I32* a, I32* b, I32* c) override { HIT(a, b, c); }
  Status GetColumnNumbers(I32* a) override { HIT(a); }
  Status GetObjectiveSense(I32* a) override { HIT(a); }
  Status SetMultipliers(const double* a, const double* b) override { HIT(a, b); }
  Status GetRequest(U32* a) override { HIT(a); }
  Status SetRequest(U32 a) override { HIT(a); }
  Status GetObjective(double* a) override { HIT(a); }
  Status GetConstraints(double* a) override { HIT(a); }
  Status GetObjectiveGradient(double* a) override { HIT(a); }
  Status GetConstraintJacobian(double* a) override { HIT(a); }
};

class FakeNLPESOExtended final : public Fake<FakeNLPESOExtended, KVSNumericNLPESOExtended> {
 public:
  using Fake::Fake;
  Status SetConstraintAttribute(I32 a, const char* b, double c) override { HIT(a, b, c); }
};

class FakeNLPSystem final : public Fake<FakeNLPSystem, KVSNLPSystem> {
 public:
  using Fake::Fake;
  Status Step(I32 a, KVSMessagesHandler* b) override { HIT(a, b); }
};

class FakeNLPResult final : public Fake<FakeNLPResult, KVSNLPResult> {
 public:
  using Fake::Fake;
  Status GetResult(const char* a, double* b) override { HIT(a, b); }
};

class FakeNLPAttributes final : public Fake<FakeNLPAttributes, KVSNLPAttributes> {
 public:
  using Fake::Fake;
  Status GetConstraintAttribute(I32 a, const char* b, double* c) override { HIT(a, b, c); }
};

class FakeNLPFactory final : public Fake<FakeNLPFactory, KVSNLPSystemFactory> {
 public:
  using Fake::Fake;
  Status CreateSystem(KVSNumericNLPESO* a, KVSMessagesHandler* b, KVSNLPSystem** c) override {
    HIT(a, b, c);
  }
};

class FakeServices final : public KVSServices {
 public:
  void Free(void* a) override { Hit(__func__, a); }
  void* Alloc(std::uint64_t a) override {
    Hit(__func__, a);
    return reinterpret_cast<void*>(std::uintptr_t{kFakeResult});
  }
};

class FakeHandler final : public KVSMessagesHandler {
 public:
  Status Print(const char* a, I32 b, Status c) override { HIT(a, b, c); }
  Status Nothing() override { HIT(); }
};

template <class F>
IUnknown* Make(const IID& iid) {
  auto* fake = new F(iid);
  fake->AddRef();
  return fake;
}

struct Maker {
  const IID* iid;
  IUnknown* (*make)(const IID&);
};

const Maker kMakers[] = {
    {&IID_IQLNESO, Make<FakeESO>},
    {&IID_IESOEdit, Make<FakeESOEdit>},
    {&IID_IQLNESOSolve, Make<FakeESOSolve>},
    {&IID_IESO12Ex, Make<FakeESO12Ex>},
    {&IID_IQLNESOSolve20, Make<FakeESOSolve20>},
    {&IID_IQLNDecomposition, Make<FakeDecomposition>},
    {&IID_IDecomp12Ex, Make<FakeDecomp12Ex>},
    {&IID_IQLNDecomposition20, Make<FakeDecomposition20>},
    {&IID_IQLNDecomposer, Make<FakeDecomposer>},
    {&IID_IDecomposerCreation, Make<FakeDecomposerCreation>},
    {&IID_IOptionEnumerator2, Make<FakeOptions2>},
    {&IID_IOptionEnumerator1, Make<FakeOptions1>},
    {&IID_IUnifiedIntegrator, Make<FakeIntegrator>},
    {&IID_ISensitivityItemEnumerator, Make<FakeSensitivityItems>},
    {&IID_IServerCount, Make<FakeServerCount>},
    {&IID_IQLNESOFactory, Make<FakeESOFactory>},
    {&IID_IQLNExplicitEventMgr, Make<FakeExplicitEvents>},
    {&IID_IQLNImplicitEventMgr, Make<FakeImplicitEvents>},
    {&IID_IQLNDelayManager, Make<FakeDelays>},
    {&IID_IQLNSensitivityManager, Make<FakeSensitivities>},
    {&IID_IQLNPropertiesManager, Make<FakeProperties>},
    {&IID_KVSUtilityComponent, Make<FakeUtility>},
    {&IID_KVSParameters, Make<FakeParameters>},
    {&IID_KVSLinearDependency, Make<FakeDependency>},
    {&IID_KVSLASystemFactory, Make<FakeLAFactory>},
    {&IID_KVSNumericAlgebraicESO, Make<FakeAlgebraicESO>},
    {&IID_KVSNumericESODecompExtension, Make<FakeDecompExtension>},
    {&IID_KVSNumericESOExtension3, Make<FakeExtension3>},
    {&IID_KVSHomotopy, Make<FakeHomotopy>},
    {&IID_KVSNLASystemFactory, Make<FakeNLAFactory>},
    {&IID_KVSNumericNLPESO, Make<FakeNLPESO>},
    {&IID_KVSNumericNLPESOExtended, Make<FakeNLPESOExtended>},
    {&IID_KVSNLPResult, Make<FakeNLPResult>},
    {&IID_KVSNLPAttributes, Make<FakeNLPAttributes>},
    {&IID_KVSNLPSystemFactory, Make<FakeNLPFactory>},
};

// Systems have no identifier of their own; these stand in for them.
constexpr IID kLASystem = platform::MakeGuid("{0000000A-0000-0000-0000-000000000001}");
constexpr IID kNLASystem = platform::MakeGuid("{0000000A-0000-0000-0000-000000000002}");
constexpr IID kNLPSystem = platform::MakeGuid("{0000000A-0000-0000-0000-000000000003}");

}  // namespace

extern "C" __attribute__((visibility("default"))) IUnknown* MakeFake(const IID* iid) {
  for (const Maker& maker : kMakers) {
    if (*maker.iid == *iid) return maker.make(*iid);
  }
  if (*iid == kLASystem) return Make<FakeLASystem>(*iid);
  if (*iid == kNLASystem) return Make<FakeNLASystem>(*iid);
  if (*iid == kNLPSystem) return Make<FakeNLPSystem>(*iid);
  return nullptr;
}

extern "C" __attribute__((visibility("default"))) void* MakeFakePlain(const char* name) {
  static FakeServices services;
  static FakeHandler handler;
  if (std::strcmp(name, "services") == 0) return &services;
  if (std::strcmp(name, "handler") == 0) return &handler;
  return nullptr;
}

extern "C" __attribute__((visibility("default"))) const char* LastCall() { return g_last.c_str(); }
