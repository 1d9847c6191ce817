// Every cross-boundary operation called on a fake that lives in another
// module: the slot each operation takes in its table must be the order the
// servers were built against (written out here, not read from the header),
// and the call must arrive at the operation of that name with its arguments.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

#include "platform/dynamic_library.h"
#include "solve/ifaces/decomposition.h"
#include "solve/ifaces/equation_set.h"
#include "solve/ifaces/integrator.h"
#include "solve/ifaces/kvs.h"
#include "tests/solve/fakes/call_log.h"

namespace {

using platform::IID;
using platform::IUnknown;

template <class... I>
constexpr bool kAllPlain =
    ((std::is_abstract_v<I> && !std::has_virtual_destructor_v<I> && sizeof(I) == sizeof(void*)) &&
     ...);
static_assert(kAllPlain<IQLNESO, IESOEdit, IQLNESOSolve, IESO12Ex, IQLNESOSolve20,
                        IQLNDecomposition, IDecomp12Ex, IQLNDecomposition20, IQLNDecomposer,
                        IDecomposerCreation, IOptionEnumerator1, IOptionEnumerator2,
                        IUnifiedIntegrator, ISensitivityItemEnumerator, IServerCount,
                        IQLNESOFactory, IQLNExplicitEventMgr, IQLNImplicitEventMgr,
                        IQLNDelayManager, IQLNSensitivityManager, IQLNPropertiesManager,
                        KVSServices, KVSMessagesHandler, KVSUtilityComponent, KVSParameters,
                        KVSLinearDependency, KVSLASystem, KVSLASystemFactory,
                        KVSNumericAlgebraicESO, KVSNumericESODecompExtension,
                        KVSNumericESOExtension3, KVSHomotopy, KVSNLASystem,
                        KVSNLASystemFactory, KVSNumericNLPESO, KVSNumericNLPESOExtended,
                        KVSNLPSystem, KVSNLPResult, KVSNLPAttributes, KVSNLPSystemFactory>,
              "interfaces hold no data and have no virtual destructor");

// The vtable slot of a virtual member function (g++ keeps 1 + byte offset).
template <class M>
std::ptrdiff_t SlotOf(M member) {
  static_assert(sizeof(M) == 2 * sizeof(std::ptrdiff_t));
  std::ptrdiff_t raw[2];
  std::memcpy(raw, &member, sizeof raw);
  if ((raw[0] & 1) == 0) return -1;  // not virtual
  return (raw[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

class CrossBoundary : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    platform::LibraryOpen opened = platform::OpenLibrary(VANTOR_IFACE_FAKES);
    ASSERT_NE(opened.handle, nullptr) << opened.error;
    make_ = reinterpret_cast<MakeFakeFunction>(platform::LibrarySymbol(opened.handle, "MakeFake"));
    plain_ = reinterpret_cast<MakeFakePlainFunction>(
        platform::LibrarySymbol(opened.handle, "MakeFakePlain"));
    last_ = reinterpret_cast<LastCallFunction>(platform::LibrarySymbol(opened.handle, "LastCall"));
    ASSERT_TRUE(make_ && plain_ && last_);
  }

  // Through QueryInterface, as a server's caller gets it.
  template <class I>
  I* Get(const IID& iid) {
    IUnknown* unknown = make_(&iid);
    EXPECT_NE(unknown, nullptr);
    if (unknown == nullptr) return nullptr;
    void* object = nullptr;
    EXPECT_EQ(unknown->QueryInterface(iid, &object), 0u);
    EXPECT_EQ(unknown->Release(), 1u);
    return static_cast<I*>(object);
  }

  static std::string Last() { return last_(); }

  static inline MakeFakeFunction make_ = nullptr;
  static inline MakeFakePlainFunction plain_ = nullptr;
  static inline LastCallFunction last_ = nullptr;

  // Distinct argument values.
  std::int32_t i32 = 0;
  std::uint32_t u32 = 0;
  double d = 0;
  std::uint8_t u8 = 0;
  IUnknown* unknown = nullptr;
  char* text = nullptr;
  char16_t* wide = nullptr;
  QLNVariable* variable = nullptr;
  DAESEqnRow* row = nullptr;
  const char* name = "Torn";
  const std::int32_t ints[2] = {1, 2};
  const double reals[2] = {1.5, 2.5};
  KVSIndexList list{2, ints};
};

#define OP(obj, Iface, order, Method, ...)                                           \
  do {                                                                                \
    EXPECT_EQ(SlotOf(&Iface::Method), order) << #Iface "::" #Method;                  \
    EXPECT_EQ((obj)->Method(__VA_ARGS__), kFakeResult) << #Iface "::" #Method;        \
    EXPECT_EQ(Last(), CallLine(#Method __VA_OPT__(, ) __VA_ARGS__)) << #Iface "::" #Method; \
  } while (0)

#define DONE(obj) EXPECT_EQ((obj)->Release(), 0u)

TEST_F(CrossBoundary, EquationSetGroup) {
  auto* eso = Get<IQLNESO>(IID_IQLNESO);
  ASSERT_NE(eso, nullptr);
  OP(eso, IQLNESO, 3, GetEquationCounts, &i32, &i32);
  OP(eso, IQLNESO, 4, GetNonZeroCount, &i32);
  OP(eso, IQLNESO, 5, GetVariableCounts, &i32, &i32);
  OP(eso, IQLNESO, 6, GetMarkedVariableCount, &i32);
  OP(eso, IQLNESO, 7, GetAllVariableTypes, &i32, &i32);
  OP(eso, IQLNESO, 8, GetEquationTypes, &i32);
  OP(eso, IQLNESO, 9, GetEquationStructure, 7, &i32, &i32);
  OP(eso, IQLNESO, 10, GetVariable, 8, &variable);
  OP(eso, IQLNESO, 11, GetEquation, 9, &row);
  OP(eso, IQLNESO, 12, GetGroupType, &u8);
  OP(eso, IQLNESO, 13, GetEquationDependence, 1, 2, 3, 4, &i32, &i32);
  OP(eso, IQLNESO, 14, SetFlags, 0x11u);
  OP(eso, IQLNESO, 15, ClearFlags, 0x12u);
  OP(eso, IQLNESO, 16, GetFlags, &u32);
  OP(eso, IQLNESO, 17, GetGroupNumber, &i32);
  OP(eso, IQLNESO, 18, EnumVariables, 5u, 0x40u, IID_IEnumQLN13VariableData, &unknown);
  OP(eso, IQLNESO, 19, SetVariableValues, 2, &variable, reals);
  OP(eso, IQLNESO, 20, GetVariable2, 3, &variable);
  OP(eso, IQLNESO, 21, GetEquation2, 4, &row);
  OP(eso, IQLNESO, 22, GetEquationDependenceCompact, 5, 6, 7, &i32, &i32, &i32);
  OP(eso, IQLNESO, 23, EnumData, IID_IEnumQLNEquationData, &unknown);
  OP(eso, IQLNESO, 24, GetVariableTypes, 6, &i32, &i32);
  OP(eso, IQLNESO, 25, GetEquationStructure2, 7, &i32, &i32);
  OP(eso, IQLNESO, 26, GroupNumber);
  OP(eso, IQLNESO, 27, Reserved27);
  OP(eso, IQLNESO, 28, Reserved28);
  OP(eso, IQLNESO, 29, AnnounceSolve);
  DONE(eso);

  auto* edit = Get<IESOEdit>(IID_IESOEdit);
  OP(edit, IESOEdit, 3, SetGroupStructure, unknown, 2, ints, 1, ints);
  OP(edit, IESOEdit, 4, SetEquationVariables, unknown, 3, 2, ints);
  OP(edit, IESOEdit, 5, NotImplemented5);
  OP(edit, IESOEdit, 6, SetGroupNumber, 9);
  DONE(edit);

  auto* solve = Get<IQLNESOSolve>(IID_IQLNESOSolve);
  OP(solve, IQLNESOSolve, 3, Solve, 2, &i32);
  OP(solve, IQLNESOSolve, 4, ReleaseSystem, 0.25);
  OP(solve, IQLNESOSolve, 5, ResetSystem);
  OP(solve, IQLNESOSolve, 6, GetLastStatus, &u32);
  OP(solve, IQLNESOSolve, 7, ClearSolveFlag);
  OP(solve, IQLNESOSolve, 8, SetSolveFlag);
  OP(solve, IQLNESOSolve, 9, SolveWithMode, 1, 0, &i32);
  DONE(solve);

  auto* ex = Get<IESO12Ex>(IID_IESO12Ex);
  OP(ex, IESO12Ex, 3, EnumData, IID_IEnumQLNVariableData, &unknown);
  DONE(ex);

  auto* s20 = Get<IQLNESOSolve20>(IID_IQLNESOSolve20);
  OP(s20, IQLNESOSolve20, 3, ReportIndeterminate, 4, &i32);
  OP(s20, IQLNESOSolve20, 4, Diagnose, 0, &i32);
  DONE(s20);
}

TEST_F(CrossBoundary, DecompositionServerAndObject) {
  IQLNDecomposition* out = nullptr;
  DecompositionStatistics stats{};
  auto* dec = Get<IQLNDecomposition>(IID_IQLNDecomposition);
  OP(dec, IQLNDecomposition, 3, GetGroupCount, &i32);
  OP(dec, IQLNDecomposition, 4, AddGroup, unknown);
  OP(dec, IQLNDecomposition, 5, GetGroup, 3, IID_IQLNESOSolve, reinterpret_cast<void**>(&out));
  OP(dec, IQLNDecomposition, 6, GetStatistics, &stats, &u32);
  OP(dec, IQLNDecomposition, 7, IsSolved, &u32);
  OP(dec, IQLNDecomposition, 8, SetSolved, 2u);
  OP(dec, IQLNDecomposition, 9, Reserve, 16);
  OP(dec, IQLNDecomposition, 10, SolveGroups, 1, 3, 0, &i32);
  OP(dec, IQLNDecomposition, 11, ForEachGroup20, 0, &i32);
  DONE(dec);

  auto* ex = Get<IDecomp12Ex>(IID_IDecomp12Ex);
  OP(ex, IDecomp12Ex, 3, Reserve, 5);
  DONE(ex);
  auto* d20 = Get<IQLNDecomposition20>(IID_IQLNDecomposition20);
  OP(d20, IQLNDecomposition20, 3, ReportIndeterminate);
  OP(d20, IQLNDecomposition20, 4, ForEachGroup20);
  DONE(d20);

  auto* server = Get<IQLNDecomposer>(IID_IQLNDecomposer);
  OP(server, IQLNDecomposer, 3, Decompose12, unknown, unknown, 1u, 2u, 3u, &out);
  OP(server, IQLNDecomposer, 4, SetOption, 77u, VariantOfReal(0.5), unknown);
  OP(server, IQLNDecomposer, 5, Reserved5);
  OP(server, IQLNDecomposer, 6, Decompose, unknown, unknown, 4u, 0x41u, 0x804u, &out);
  DONE(server);

  char16_t version[kDecomposerVersionChars] = {};
  auto* creation = Get<IDecomposerCreation>(IID_IDecomposerCreation);
  OP(creation, IDecomposerCreation, 3, GetVersion, version);
  DONE(creation);

  OptionEntry entries[10];
  OptionEntry1* old_entries = nullptr;
  auto* options2 = Get<IOptionEnumerator2>(IID_IOptionEnumerator2);
  OP(options2, IOptionEnumerator2, 3, Next, 10u, entries, &u32);
  DONE(options2);
  auto* options1 = Get<IOptionEnumerator1>(IID_IOptionEnumerator1);
  OP(options1, IOptionEnumerator1, 3, Next, 10u, &old_entries, &u32);
  DONE(options1);
  static_assert(offsetof(OptionEntry1, engine_number) == 8 && offsetof(OptionEntry1, vt) == 16);
}

TEST_F(CrossBoundary, IntegratorServerAndExecutive) {
  void* object = nullptr;
  auto* server = Get<IUnifiedIntegrator>(IID_IUnifiedIntegrator);
  OP(server, IUnifiedIntegrator, 3, Initialise, &d, 12.5, 3, 1);
  OP(server, IUnifiedIntegrator, 4, GetCapabilities, &u32);
  OP(server, IUnifiedIntegrator, 5, SetUp, unknown, unknown);
  OP(server, IUnifiedIntegrator, 6, GetValue, &d);
  OP(server, IUnifiedIntegrator, 7, ExchangeStates, 2, ints, &d);
  OP(server, IUnifiedIntegrator, 8, GetErrorText, 0x80FF0003u, &wide);
  OP(server, IUnifiedIntegrator, 9, Finish);
  OP(server, IUnifiedIntegrator, 10, SetOption, 42u, VariantOfInt(-7));
  OP(server, IUnifiedIntegrator, 11, GetInterface, IID_IOptionEnumerator2, &object);
  OP(server, IUnifiedIntegrator, 12, SetTime, 3.75);
  OP(server, IUnifiedIntegrator, 13, ReleaseProblem);
  OP(server, IUnifiedIntegrator, 14, RunControl, 5);
  OP(server, IUnifiedIntegrator, 15, PassThrough15, 15, object);
  OP(server, IUnifiedIntegrator, 16, PassThrough16, 16, object);
  OP(server, IUnifiedIntegrator, 17, SetMode, 2, 1);
  OP(server, IUnifiedIntegrator, 18, Reset);
  OP(server, IUnifiedIntegrator, 19, GetSensitivityData, &d, 1, 0, 4);
  OP(server, IUnifiedIntegrator, 20, PassThrough20, 20, object);
  OP(server, IUnifiedIntegrator, 21, PassThrough21, 21, object);
  DONE(server);

  SensitivityItem items[32];
  auto* sens_items = Get<ISensitivityItemEnumerator>(IID_ISensitivityItemEnumerator);
  OP(sens_items, ISensitivityItemEnumerator, 3, Next, 32u, items, &u32);
  DONE(sens_items);
  auto* count = Get<IServerCount>(IID_IServerCount);
  OP(count, IServerCount, 3, GetCount, &u32);
  DONE(count);

  const char* texts[1] = {"@E failed"};
  void* objects[1] = {&d};
  auto* exec = Get<IQLNESOFactory>(IID_IQLNESOFactory);
  OP(exec, IQLNESOFactory, 3, SetSimulationTime, 1.25);
  OP(exec, IQLNESOFactory, 4, PostSolverMessage, 0xA000FFFFu, 1, texts, 1, objects);
  OP(exec, IQLNESOFactory, 5, SetNestedMode, 1);
  OP(exec, IQLNESOFactory, 6, CreateGroupTable, 2, reals, reals + 1);
  OP(exec, IQLNESOFactory, 7, SetGroupValues, 2, reals);
  OP(exec, IQLNESOFactory, 8, AttachSolverObject, unknown, 1);
  OP(exec, IQLNESOFactory, 9, DetachSolverObject, 7);
  OP(exec, IQLNESOFactory, 10, CheckCompiledEquations);
  OP(exec, IQLNESOFactory, 11, CreateDecomposerObject, &unknown);
  OP(exec, IQLNESOFactory, 12, CreateESOGroupObject, 6, &unknown);
  OP(exec, IQLNESOFactory, 13, CreateDecompositionObject, &unknown);
  DONE(exec);

  auto* events = Get<IQLNExplicitEventMgr>(IID_IQLNExplicitEventMgr);
  OP(events, IQLNExplicitEventMgr, 3, AddEvent, 0x21u, 4.5, 1e-6, &object);
  OP(events, IQLNExplicitEventMgr, 4, GetTolerance, &d);
  OP(events, IQLNExplicitEventMgr, 5, LowerTolerance, 1e-7);
  OP(events, IQLNExplicitEventMgr, 6, FirstEvent, 1, &object);
  OP(events, IQLNExplicitEventMgr, 7, NotImplemented7);
  DONE(events);
  auto* implicit = Get<IQLNImplicitEventMgr>(IID_IQLNImplicitEventMgr);
  OP(implicit, IQLNImplicitEventMgr, 3, QueryA, 1, &i32);
  OP(implicit, IQLNImplicitEventMgr, 4, QueryB, 0, &i32);
  DONE(implicit);
  auto* delays = Get<IQLNDelayManager>(IID_IQLNDelayManager);
  OP(delays, IQLNDelayManager, 3, RecordTime);
  DONE(delays);
  auto* sens = Get<IQLNSensitivityManager>(IID_IQLNSensitivityManager);
  OP(sens, IQLNSensitivityManager, 3, GetCount, &i32);
  OP(sens, IQLNSensitivityManager, 4, SetValue1, name, texts[0], &d);
  OP(sens, IQLNSensitivityManager, 5, SetValue2, texts[0], name, &d);
  DONE(sens);
  auto* props = Get<IQLNPropertiesManager>(IID_IQLNPropertiesManager);
  OP(props, IQLNPropertiesManager, 3, Forward, 9u, object);
  DONE(props);
}

TEST_F(CrossBoundary, SolverFrameworkLibraries) {
  char** names = nullptr;
  auto* services = static_cast<KVSServices*>(plain_("services"));
  EXPECT_EQ(SlotOf(&KVSServices::Free), 0);
  EXPECT_EQ(SlotOf(&KVSServices::Alloc), 1);
  services->Free(&d);
  EXPECT_EQ(Last(), CallLine("Free", static_cast<void*>(&d)));
  EXPECT_EQ(services->Alloc(24), reinterpret_cast<void*>(std::uintptr_t{kFakeResult}));
  EXPECT_EQ(Last(), CallLine("Alloc", std::uint64_t{24}));

  auto* handler = static_cast<KVSMessagesHandler*>(plain_("handler"));
  OP(handler, KVSMessagesHandler, 0, Print, name, 3, 0xA000FFFFu);
  OP(handler, KVSMessagesHandler, 1, Nothing);

  auto* utility = Get<KVSUtilityComponent>(IID_KVSUtilityComponent);
  OP(utility, KVSUtilityComponent, 3, GetVersion, &text);
  OP(utility, KVSUtilityComponent, 4, GetProduct, &text);
  OP(utility, KVSUtilityComponent, 5, GetDescription, &text);
  OP(utility, KVSUtilityComponent, 6, DeleteThis);
  OP(utility, KVSUtilityComponent, 7, GetName, &text);
  DONE(utility);

  auto* params = Get<KVSParameters>(IID_KVSParameters);
  OP(params, KVSParameters, 3, GetCount, &i32);
  OP(params, KVSParameters, 4, GetNames, &names);
  OP(params, KVSParameters, 5, GetValue, name, &i32, static_cast<void*>(&d));
  OP(params, KVSParameters, 6, Set, name, kKvsReal, static_cast<const void*>(&d));
  DONE(params);

  auto* dep = Get<KVSLinearDependency>(IID_KVSLinearDependency);
  OP(dep, KVSLinearDependency, 3, GetRank, &i32);
  OP(dep, KVSLinearDependency, 4, GetDependentRows, &i32);
  OP(dep, KVSLinearDependency, 5, GetDependentCols, &i32);
  DONE(dep);

  const std::int64_t rows[2] = {1, 2};
  KVSLASystem* la = nullptr;
  auto* la_factory = Get<KVSLASystemFactory>(IID_KVSLASystemFactory);
  OP(la_factory, KVSLASystemFactory, 3, CreateSystem, 2, 3, 4, rows, rows + 1, handler, &la);
  DONE(la_factory);
  la = Get<KVSLASystem>(platform::MakeGuid("{0000000A-0000-0000-0000-000000000001}"));
  OP(la, KVSLASystem, 3, SetMatrixValues, reals);
  OP(la, KVSLASystem, 4, SetRHS, reals + 1);
  OP(la, KVSLASystem, 5, Solve, &d);
  DONE(la);

  auto* eso = Get<KVSNumericAlgebraicESO>(IID_KVSNumericAlgebraicESO);
  OP(eso, KVSNumericAlgebraicESO, 3, GetNumVariables, &i32);
  OP(eso, KVSNumericAlgebraicESO, 4, GetNumEquations, &i32);
  OP(eso, KVSNumericAlgebraicESO, 5, GetVariableBounds, &list, &d, &d);
  OP(eso, KVSNumericAlgebraicESO, 6, SetVariableValues, &list, reals);
  OP(eso, KVSNumericAlgebraicESO, 7, GetVariableValues, &list, &d);
  OP(eso, KVSNumericAlgebraicESO, 8, GetVariableName, 3, &text);
  OP(eso, KVSNumericAlgebraicESO, 9, GetEquationName, 4, &text);
  OP(eso, KVSNumericAlgebraicESO, 10, GetEquationVariablePairs, &i32, &i32);
  OP(eso, KVSNumericAlgebraicESO, 11, Evaluate, &list, &d, &d, kKvsResiduals | kKvsJacobian);
  OP(eso, KVSNumericAlgebraicESO, 12, GetNumNonZeros, &i32);
  OP(eso, KVSNumericAlgebraicESO, 13, GetStructure, &i32, &i32, &i32);
  DONE(eso);

  KVSSubSystem* sub = nullptr;
  std::int32_t* positions = nullptr;
  auto* decomp = Get<KVSNumericESODecompExtension>(IID_KVSNumericESODecompExtension);
  OP(decomp, KVSNumericESODecompExtension, 3, GetEquationAttribute, 1, name, &i32);
  OP(decomp, KVSNumericESODecompExtension, 4, SetEquationAttribute, 2, name, 1);
  OP(decomp, KVSNumericESODecompExtension, 5, GetGroupAttribute, name, &i32);
  OP(decomp, KVSNumericESODecompExtension, 6, SetGroupAttribute, name, 0);
  OP(decomp, KVSNumericESODecompExtension, 7, CreateSubSystem, 2, ints, ints, &sub, &positions);
  OP(decomp, KVSNumericESODecompExtension, 8, EvaluateSubSystem, sub, &d, &d, kKvsJacobian);
  OP(decomp, KVSNumericESODecompExtension, 9, DestroySubSystem, sub);
  DONE(decomp);

  auto* ext3 = Get<KVSNumericESOExtension3>(IID_KVSNumericESOExtension3);
  OP(ext3, KVSNumericESOExtension3, 3, GetEquationTextCount, 5, &i32);
  OP(ext3, KVSNumericESOExtension3, 4, GetEquationText, 5, 1, &text);
  DONE(ext3);

  auto* homotopy = Get<KVSHomotopy>(IID_KVSHomotopy);
  OP(homotopy, KVSHomotopy, 3, GetCount, &i32);
  OP(homotopy, KVSHomotopy, 4, SetValues, reals);
  OP(homotopy, KVSHomotopy, 5, Evaluate);
  OP(homotopy, KVSHomotopy, 6, GetValues, &d);
  OP(homotopy, KVSHomotopy, 7, GetName, 1, &text);
  DONE(homotopy);

  KVSNLASystem* nla = nullptr;
  auto* nla_factory = Get<KVSNLASystemFactory>(IID_KVSNLASystemFactory);
  OP(nla_factory, KVSNLASystemFactory, 3, CreateSystem, eso, handler, &nla);
  DONE(nla_factory);
  nla = Get<KVSNLASystem>(platform::MakeGuid("{0000000A-0000-0000-0000-000000000002}"));
  OP(nla, KVSNLASystem, 3, Solve, 1, &u32);
  DONE(nla);
}

TEST_F(CrossBoundary, OptimisationFramework) {
  std::int32_t index_list[3] = {0, 1, 2};
  KVSIndexList three{3, index_list};
  KVSAttributeDescription* records = nullptr;
  auto* nlp = Get<KVSNumericNLPESO>(IID_KVSNumericNLPESO);
  OP(nlp, KVSNumericNLPESO, 3, GetNumVariables, &i32);
  OP(nlp, KVSNumericNLPESO, 4, GetNumEqualities, &i32);
  OP(nlp, KVSNumericNLPESO, 5, GetNumInequalities, &i32);
  OP(nlp, KVSNumericNLPESO, 6, GetVariableBounds, &three, &d, &d);
  OP(nlp, KVSNumericNLPESO, 7, SetVariableValues, &three, reals);
  OP(nlp, KVSNumericNLPESO, 8, GetVariableValues, &three, &d);
  OP(nlp, KVSNumericNLPESO, 9, GetVariableName, 2, &text);
  OP(nlp, KVSNumericNLPESO, 10, GetVariableAttributeDescriptions, &i32, &records);
  OP(nlp, KVSNumericNLPESO, 11, GetVariableAttribute, 1, name, &d);
  OP(nlp, KVSNumericNLPESO, 12, GetConstraintName, 0, &text);
  OP(nlp, KVSNumericNLPESO, 13, GetConstraintVariablePairs, &i32, &i32);
  OP(nlp, KVSNumericNLPESO, 14, GetConstraintAttributeDescriptions, &i32, &records);
  OP(nlp, KVSNumericNLPESO, 15, GetConstraintAttribute, 4, name, &d);
  OP(nlp, KVSNumericNLPESO, 16, GetNumExtraItems, &i32);
  OP(nlp, KVSNumericNLPESO, 17, Unsupported17);
  OP(nlp, KVSNumericNLPESO, 18, Unsupported18);
  OP(nlp, KVSNumericNLPESO, 19, GetJacobianSizes, &i32, &i32);
  OP(nlp, KVSNumericNLPESO, 20, GetJacobianStructure, &i32, &i32, &i32);
  OP(nlp, KVSNumericNLPESO, 21, GetColumnNumbers, &i32);
  OP(nlp, KVSNumericNLPESO, 22, GetObjectiveSense, &i32);
  OP(nlp, KVSNumericNLPESO, 23, SetMultipliers, reals, reals + 1);
  OP(nlp, KVSNumericNLPESO, 24, GetRequest, &u32);
  OP(nlp, KVSNumericNLPESO, 25, SetRequest, kNlpWantsObjective | kNlpWantsGradient);
  OP(nlp, KVSNumericNLPESO, 26, GetObjective, &d);
  OP(nlp, KVSNumericNLPESO, 27, GetConstraints, &d);
  OP(nlp, KVSNumericNLPESO, 28, GetObjectiveGradient, &d);
  OP(nlp, KVSNumericNLPESO, 29, GetConstraintJacobian, &d);
  DONE(nlp);

  auto* extended = Get<KVSNumericNLPESOExtended>(IID_KVSNumericNLPESOExtended);
  OP(extended, KVSNumericNLPESOExtended, 3, SetConstraintAttribute, 2, name, 0.5);
  DONE(extended);

  auto* handler = static_cast<KVSMessagesHandler*>(plain_("handler"));
  KVSNLPSystem* system = nullptr;
  auto* factory = Get<KVSNLPSystemFactory>(IID_KVSNLPSystemFactory);
  OP(factory, KVSNLPSystemFactory, 3, CreateSystem, nlp, handler, &system);
  DONE(factory);
  system = Get<KVSNLPSystem>(platform::MakeGuid("{0000000A-0000-0000-0000-000000000003}"));
  OP(system, KVSNLPSystem, 3, Step, -100, handler);
  DONE(system);
  auto* result = Get<KVSNLPResult>(IID_KVSNLPResult);
  OP(result, KVSNLPResult, 3, GetResult, name, &d);
  DONE(result);
  auto* attributes = Get<KVSNLPAttributes>(IID_KVSNLPAttributes);
  OP(attributes, KVSNLPAttributes, 3, GetConstraintAttribute, 6, name, &d);
  DONE(attributes);
}

TEST(InterfaceIds, EngineFamilyAndFrameworkIdsReadAsWritten) {
  const struct {
    IID iid;
    const char* text;
  } cases[] = {
      {IID_IDecomposition, "{00380008-07A4-463A-A513-F2F46FF75FB8}"},
      {IID_IQLNESO, "{00380014-07A4-463A-A513-F2F46FF75FB8}"},
      {IID_IUnifiedIntegrator, "{00380022-07A4-463A-A513-F2F46FF75FB8}"},
      {IID_IQLNSensitivityManager, "{00380025-07A4-463A-A513-F2F46FF75FB8}"},
      {IID_KVSNLPSystemFactory, "{CF691D50-2FD1-11D3-96AA-006097B14265}"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::GuidText(c.iid), c.text);
}

}  // namespace
