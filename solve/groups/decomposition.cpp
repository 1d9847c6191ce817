#include "solve/groups/decomposition.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <ostream>
#include <vector>

#include "daes/blocks/block_kinds.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/integrator_proxy.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/runtime/xos_thread.h"
#include "platform/com_status.h"
#include "solve/groups/corrector_iteration.h"
#include "solve/groups/eso_group.h"

using platform::E_INVALIDARG;
using platform::E_NOINTERFACE;
using platform::IID;
using platform::IUnknown;

namespace {

// Written by the run thread's solve, read by the server thread after the
// step was handed back.
std::atomic<std::int32_t> g_last_block_iterations{0};
std::atomic<DecompositionSolvedHook> g_solved_hook{nullptr};

bool IsSevere(Status s) { return (s & status::kSevereMask) == status::kSevereMask; }

std::uint16_t Clip16(std::uint32_t v) { return static_cast<std::uint16_t>(std::min(v, 0xFFFFu)); }

QLNESOGroup* GroupObject(IQLNESOSolve* solve) {
  // Groups the engine made are ours; a server's own objects have no block.
  return dynamic_cast<QLNESOGroup*>(solve);
}
}  // namespace

void SetDecompositionSolvedHook(DecompositionSolvedHook hook) { g_solved_hook.store(hook); }

const char* GroupTypeName(std::uint32_t type) {
  static const char* const kNames[] = {
      "unknown type",     "Explicit Linear",    "Diagonal Linear", "Linear",
      "Single Nonlinear", "Diagonal Nonlinear", "Nonlinear",       "Torn"};
  return type < 8 ? kNames[type] : kNames[0];
}

std::uint8_t GroupListKind(std::uint32_t type) {
  switch (type) {
    case 1:
      return 3;
    case 3:
      return 0;
    case 4:
    case 6:
      return 1;
    case 7:
      return 2;
    default:
      return 255;
  }
}

namespace {
// Set by each corrector pass, cleared by the decomposition's end.
std::atomic<QLNDecomposition*> g_last_corrector{nullptr};
}  // namespace

QLNDecomposition::~QLNDecomposition() {
  QLNDecomposition* self = this;
  g_last_corrector.compare_exchange_strong(self, nullptr);
  for (IQLNESOSolve* g : groups_) g->Release();
}

QLNDecomposition* QLNDecomposition::LastCorrector() { return g_last_corrector.load(); }

namespace {
// A group's equations and their residuals at the model's values; false
// (the equations still given) when they cannot be evaluated.
bool GroupResiduals(DAESBlock* block, std::vector<QLNRow*>* equations, std::vector<double>* r) {
  if (block == nullptr) return false;
  if (DAESSingleBlock* single = block->AsSingleBlock()) {
    QLNEquation* equation = single->EquationFace();
    if (single->GetEquation() == nullptr || equation == nullptr) return false;
    equations->push_back(single->GetEquation());
    r->push_back(0.0);
    if (status::IsFailure(equation->Evaluate(7, nullptr))) return false;
    equation->ResidualValue(r->data());
    return true;
  }
  DAESSolverBlock* rows = block->AsSolverBlock();
  if (rows == nullptr) return false;
  for (std::uint32_t k = 0; k < rows->GetRowCount(); ++k) equations->push_back(rows->GetRow(k));
  r->assign(equations->size(), 0.0);
  return !equations->empty() && status::IsSuccess(rows->EvaluateResiduals(7, r->data(), nullptr));
}
}  // namespace

bool QLNDecomposition::ReportWorstGroup() {
  std::uint32_t worst_group = 0;
  BvuNameable* worst_equation = nullptr;
  double worst = -1.0, worst_value = 0.0;
  bool evaluated = true;
  std::uint32_t unevaluated = 0;
  BvuNameable* unevaluated_equation = nullptr;
  for (std::uint32_t i = 0; i < groups_.size(); ++i) {
    // A group whose pass failed is the one to name.
    if (failed_group_ != 0 && i + 1 != failed_group_) continue;
    std::vector<QLNRow*> equations;
    std::vector<double> r;
    if (!GroupResiduals(GetRow(i), &equations, &r)) {
      // Named unless a group that evaluates is found.
      if (unevaluated == 0 && !equations.empty()) {
        unevaluated = i + 1;
        unevaluated_equation = equations[0];
      }
      continue;
    }
    for (std::uint32_t k = 0; k < r.size(); ++k) {
      const double size = std::isfinite(r[k]) ? std::fabs(r[k]) : HUGE_VAL;
      if (size <= worst) continue;
      worst = size;
      worst_value = r[k];
      worst_group = i + 1;
      worst_equation = equations[k];
    }
  }
  if (worst_group == 0 && unevaluated != 0) {
    worst_group = unevaluated;
    worst_equation = unevaluated_equation;
    evaluated = false;
  }
  if (worst_group == 0 || worst_equation == nullptr) return false;
  std::int32_t number = static_cast<std::int32_t>(worst_group);
  if (DAESBlock* block = GetRow(worst_group - 1); block != nullptr && block->GetGroupNumber() != 0)
    number = static_cast<std::int32_t>(block->GetGroupNumber());
  if (!evaluated) {
    SuPrint(0, "Group %d: equation @es cannot be evaluated at the corrector's last values", &number,
            &worst_equation);
  } else {
    SuPrint(0, "Group %d: the corrector's largest residual is in equation @es = %12.5e", &number,
            &worst_equation, &worst_value);
  }
  return true;
}

bool QLNDecomposition::ReportSingularGroups() {
  bool told = false;
  for (std::uint32_t i = 0; i < groups_.size(); ++i) {
    DAESBlock* block = GetRow(i);
    if (block == nullptr || !block->HasIndeterminate()) continue;
    std::int32_t number =
        static_cast<std::int32_t>(block->GetGroupNumber() != 0 ? block->GetGroupNumber() : i + 1);
    for (std::uint32_t k = 0; k < block->GetIndeterminateCount(); ++k) {
      BvuNameable* variable = block->GetIndeterminate(k);
      SuPrint(0, "Group %d is singular: its equations do not determine @Ns", &number, &variable);
      told = true;
    }
  }
  return told;
}

Status QLNDecomposition::QueryInterface(const IID& iid, void** object) {
  if (object == nullptr) return E_INVALIDARG;
  if (iid == platform::IID_IUnknown || iid == IID_IDecomposition || iid == IID_IQLNDecomposition) {
    *object = static_cast<IQLNDecomposition*>(this);
  } else if (iid == IID_IDecomp12Ex) {
    *object = static_cast<IDecomp12Ex*>(this);
  } else if (iid == IID_IQLNDecomposition20) {
    *object = static_cast<IQLNDecomposition20*>(this);
  } else if (iid == IID_IQLNCorrectorIteration) {
    *object = static_cast<IQLNCorrectorIteration*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return 0;
}

std::uint32_t QLNDecomposition::Release() {
  const std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

Status QLNDecomposition::GetGroupCount(std::int32_t* count) {
  if (count == nullptr) return E_INVALIDARG;
  *count = static_cast<std::int32_t>(groups_.size());
  return 0;
}

Status QLNDecomposition::AddGroup(IUnknown* group) {
  if (group == nullptr) return E_INVALIDARG;
  void* solve = nullptr;
  Status s = group->QueryInterface(IID_IQLNESOSolve, &solve);
  if (status::IsFailure(s)) return s;
  try {
    if (groups_.size() == groups_.capacity()) groups_.reserve(groups_.size() + 8);
    groups_.push_back(static_cast<IQLNESOSolve*>(solve));
  } catch (const std::bad_alloc&) {
    static_cast<IQLNESOSolve*>(solve)->Release();
    return kDecompositionOutOfMemory;
  }
  void* eso = nullptr;
  if (status::IsSuccess(group->QueryInterface(IID_IESO, &eso))) {
    auto* e = static_cast<IESO*>(eso);
    std::uint8_t type = 0;
    if (status::IsSuccess(e->GetGroupType(&type)) && type >= 1 && type <= 7) ++by_type_[type - 1];
    std::int32_t size = 0;
    std::int32_t flagged = 0;
    if (status::IsSuccess(e->GetEquationCounts(&size, &flagged)) && size > 0) {
      largest_ = std::max(largest_, static_cast<std::uint32_t>(size));
    }
    e->Release();
  }
  void* edit = nullptr;
  s = group->QueryInterface(IID_IESOEdit, &edit);
  if (status::IsSuccess(s)) {
    static_cast<IESOEdit*>(edit)->SetGroupNumber(static_cast<std::int32_t>(groups_.size()));
    static_cast<IESOEdit*>(edit)->Release();
  }
  return s;
}

Status QLNDecomposition::GetGroup(std::int32_t index, const IID& iid, void** out) {
  if (out == nullptr || index < 0 || static_cast<std::size_t>(index) >= groups_.size()) {
    return E_INVALIDARG;
  }
  return groups_[static_cast<std::size_t>(index)]->QueryInterface(iid, out);
}

Status QLNDecomposition::GetStatistics(DecompositionStatistics* statistics,
                                       std::uint32_t* largest_size) {
  if (statistics == nullptr || largest_size == nullptr) return E_INVALIDARG;
  statistics->count = static_cast<std::uint32_t>(groups_.size());
  std::copy(std::begin(by_type_), std::end(by_type_), statistics->by_type);
  *largest_size = largest_;
  return 0;
}

Status QLNDecomposition::IsSolved(std::uint32_t* solved) {
  if (solved == nullptr) return E_INVALIDARG;
  *solved = state_ & kSolvedBit;
  return 0;
}

Status QLNDecomposition::SetSolved(std::uint32_t solved) {
  const std::uint32_t bit = solved != 0 ? kSolvedBit : 0;
  if (bit != 0 && (state_ & kSolvedBit) != 0) return 0;
  if (DecompositionSolvedHook hook = g_solved_hook.load()) hook(bit);
  state_ = (state_ & ~kSolvedBit) | bit;
  return 0;
}

Status QLNDecomposition::Reserve(std::int32_t count) {
  std::size_t want = count > 0 ? static_cast<std::size_t>(count) : 0;
  if (want <= groups_.capacity()) want = groups_.size() + 8;
  try {
    groups_.reserve(want);
  } catch (const std::bad_alloc&) {
    return kDecompositionOutOfMemory;
  } catch (const std::length_error&) {
    return kDecompositionOutOfMemory;
  }
  return 0;
}

Status QLNDecomposition::SolveGroups(std::int32_t announce, std::int32_t mode,
                                     std::int32_t count_flag, std::int32_t* iterations) {
  return RunGroups(announce, mode, count_flag, iterations, nullptr);
}

Status QLNDecomposition::RunGroups(std::int32_t announce, std::int32_t mode,
                                   std::int32_t count_flag, std::int32_t* iterations,
                                   const bool* corrector_setup) {
  std::int32_t most = 0;
  state_ &= ~kSolvedBit;
  const std::int32_t print_level = SolverOptions::Instance()->GetInt(kOptPrintLevel);
  Status result = 0;
  bool failed = false;
  for (std::size_t i = 0; i < groups_.size(); ++i) {
    IQLNESOSolve* g = groups_[i];
    g->ClearSolveFlag();
    if (failed) continue;
    if (XosStopRequested()) {
      // The run is being stopped: no more groups, and the caller ends at once.
      failed = true;
      failed_group_ = static_cast<std::uint32_t>(i + 1);
      result = kDecompositionGroupFailedSevere;
      continue;
    }
    if (announce != 0) {
      void* eso = nullptr;
      if (status::IsSuccess(g->QueryInterface(IID_IESO, &eso))) {
        auto* e = static_cast<IESO*>(eso);
        std::uint8_t type = 0;
        std::int32_t size = 0;
        std::int32_t flagged = 0;
        std::int32_t number = 0;
        e->GetGroupType(&type);
        e->GetEquationCounts(&size, &flagged);
        e->GetGroupNumber(&number);
        e->Release();
        if (type > 3 || print_level >= 4) {
          const char* name = GroupTypeName(type);
          if (size >= 2) {
            SuPrint(0, "Solving group %d, size %d, type %s", &number, &size, name);
          } else {
            SuPrint(0, "Solving group %d, type %s", &number, name);
          }
        }
      }
    }
    std::int32_t count = 0;
    Status s = 0;
    DirectCorrector::Step step = DirectCorrector::Step::kPassed;
    if (corrector_setup != nullptr) step = direct_.Take(i, g, *corrector_setup, &s);
    if (step == DirectCorrector::Step::kTaken) {
      count = 1;
    } else if (step == DirectCorrector::Step::kDeclined) {
      CorrectorIterationScope fresh(true, true);
      s = g->SolveWithMode(mode, count_flag, &count);
    } else if (step == DirectCorrector::Step::kPassed) {
      s = g->SolveWithMode(mode, count_flag, &count);
    }
    if (status::IsFailure(s)) {
      failed = true;
      failed_group_ = static_cast<std::uint32_t>(i + 1);
      Status last = s;
      if (step != DirectCorrector::Step::kFailed) g->GetLastStatus(&last);
      result = IsSevere(last) ? kDecompositionGroupFailedSevere : kDecompositionGroupFailed;
      continue;
    }
    g->SetSolveFlag();
    most = std::max(most, count);
  }
  if (iterations != nullptr) *iterations = most;
  g_last_block_iterations.store(most, std::memory_order_relaxed);
  if (!failed) {
    state_ |= kSolvedBit;
    failed_group_ = 0;
  }
  return result;
}

// Mode 1: the groups evaluate without the discrete conditions, so that the
// branches of conditional equations stay as they are within a step; the
// integrator finds an event after the step and locates it.
Status QLNDecomposition::IterateCorrector(std::int32_t setup) {
  g_last_corrector.store(this);
  CorrectorIterationScope scope(true, setup != 0);
  direct_.BeginPass(groups_.size());
  const bool set_up = setup != 0;
  std::int32_t iterations = 0;
  return RunGroups(0, 1, 0, &iterations, &set_up);
}

std::int32_t LastSolutionBlockIterations() {
  return g_last_block_iterations.load(std::memory_order_relaxed);
}

Status QLNDecomposition::ForEachGroup20(std::int32_t a, std::int32_t* b) {
  for (IQLNESOSolve* g : groups_) {
    void* p = nullptr;
    if (status::IsFailure(g->QueryInterface(IID_IQLNESOSolve20, &p))) continue;
    static_cast<IQLNESOSolve20*>(p)->Diagnose(a, b);
    static_cast<IQLNESOSolve20*>(p)->Release();
  }
  return 0;
}

Status QLNDecomposition::ReportIndeterminate() {
  std::int32_t printed = 0;
  ReportIndeterminate(0, &printed);
  return 0;
}

Status QLNDecomposition::ForEachGroup20() {
  std::int32_t fresh = 0;
  return ForEachGroup20(0, &fresh) & 0;
}

DAESBlock* QLNDecomposition::GetRow(std::uint32_t i) const {
  if (i >= groups_.size()) return nullptr;
  QLNESOGroup* g = GroupObject(groups_[i]);
  return g != nullptr ? g->Block() : nullptr;
}

Status QLNDecomposition::SolveSubGroups(std::int32_t mode, std::int32_t count_flag,
                                        std::int32_t* iterations) {
  UnifiedIntegratorProxy* integrator = GetCurrentIntegrator();
  const bool announce = integrator != nullptr && integrator->IsVerbose();
  return SolveGroups(announce ? 1 : 0, mode, count_flag, iterations);
}

void QLNDecomposition::ReportIndeterminate(std::uint32_t torn_group, std::int32_t* printed) {
  for (IQLNESOSolve* g : groups_) {
    void* p = nullptr;
    if (status::IsFailure(g->QueryInterface(IID_IQLNESOSolve20, &p))) continue;
    static_cast<IQLNESOSolve20*>(p)->ReportIndeterminate(static_cast<std::int32_t>(torn_group),
                                                         printed);
    static_cast<IQLNESOSolve20*>(p)->Release();
  }
}

Status QLNDecomposition::ReleaseWorkspace() {
  for (IQLNESOSolve* g : groups_) g->ReleaseSystem(0.0);
  return 0;
}

void QLNDecomposition::Reset() {
  for (IQLNESOSolve* g : groups_) g->ResetSystem();
}

IESO* QLNDecomposition::EsoOf(std::uint32_t i) const {
  void* p = nullptr;
  if (i >= groups_.size() || status::IsFailure(groups_[i]->QueryInterface(IID_IESO, &p))) {
    return nullptr;
  }
  return static_cast<IESO*>(p);
}

void QLNDecomposition::Dump(std::ostream& out) {
  for (std::uint32_t i = 0; i < groups_.size(); ++i) {
    IESO* e = EsoOf(i);
    if (e == nullptr) continue;
    std::uint8_t type = 0;
    std::int32_t size = 0;
    std::int32_t torn = 0;
    std::int32_t nz = 0;
    std::int32_t number = 0;
    std::int32_t nv = 0;
    std::int32_t states = 0;
    e->GetGroupType(&type);
    e->GetEquationCounts(&size, &torn);
    e->GetNonZeroCount(&nz);
    e->GetGroupNumber(&number);
    e->GetVariableCounts(&nv, &states);
    out << "Group " << number << " type " << static_cast<int>(type) << " size=" << size;
    if (type == kGroupTypeTorn) out << " (" << torn << " torn)";
    out << " nz=" << nz << "\n";
    for (std::int32_t k = 0; k < size; ++k) {
      DAESEqnRow* row = nullptr;
      e->GetEquation(k, &row);
      out << "   Equation " << k << ": " << (row != nullptr ? row->GetNameText() : "") << "\n";
    }
    for (std::int32_t k = 0; k < nv; ++k) {
      QLNVariable* v = nullptr;
      e->GetVariable(k, &v);
      out << "   Variable " << k << ": " << (v != nullptr ? v->GetNameText() : "") << "\n";
    }
    e->Release();
  }
}

Status QLNDecomposition::WriteGroupList(BvuBinaryStream& s, std::uint32_t level,
                                        const std::uint32_t* path, std::uint32_t path_length) {
  if (level >= 2) {
    const std::uint32_t n = path_length >= 2 ? path[1] : 0;
    auto* sub = n >= 1 ? dynamic_cast<DAESSolverBlock*>(GetRow(n - 1)) : nullptr;
    if (sub == nullptr) return status::kGeneralFailure;
    DAESSolverBlock* inner = sub->InnerBlock() != nullptr ? sub->InnerBlock() : sub;
    return inner->WriteGroupList(s, level - 1, path + 1, path_length - 1);
  }
  Status st = s.PutUInt16(35);
  st |= s.PutUInt32(GetRowCount());
  for (std::uint32_t i = 0; i < GetRowCount(); ++i) {
    IESO* e = EsoOf(i);
    std::uint8_t type = 0;
    std::int32_t rows = 0;
    std::int32_t flagged = 0;
    std::int32_t nv = 0;
    std::int32_t states = 0;
    std::int32_t nz = 0;
    if (e != nullptr) {
      e->GetGroupType(&type);
      e->GetEquationCounts(&rows, &flagged);
      e->GetVariableCounts(&nv, &states);
      e->GetNonZeroCount(&nz);
      e->Release();
    }
    DAESBlock* block = GetRow(i);
    st |= s.PutUInt32(i + 1);
    st |= s.PutUInt8(GroupListKind(type));
    st |= s.PutUInt8(block != nullptr && block->IsSolved() ? 1 : 0);
    st |= s.PutUInt16(Clip16(static_cast<std::uint32_t>(rows)));
    st |= s.PutUInt16(Clip16(static_cast<std::uint32_t>(nv)));
    st |= s.PutUInt16(Clip16(static_cast<std::uint32_t>(nz)));
  }
  st |= s.PutUInt16(daes::kListEnd);
  return st;
}

Status QLNDecomposition::WriteStatistics(BvuBinaryStream& s, std::uint8_t kind,
                                         std::uint32_t value) {
  Status st = s.PutUInt8(kind);
  st |= s.PutUInt32(value);
  st |= s.PutUInt32(GetRowCount());
  for (std::uint32_t type : {1u, 3u, 6u, 4u, 7u}) st |= s.PutUInt32(by_type_[type - 1]);
  st |= s.PutUInt32(largest_);
  st |= s.PutUInt8(IsSolvedBit() ? 1 : 0);
  return st;
}

Status CreateDecompositionObject(IUnknown** out) {
  if (out == nullptr) return E_INVALIDARG;
  auto* d = new (std::nothrow) QLNDecomposition();
  if (d == nullptr) return kDecompositionOutOfMemory;
  return d->QueryInterface(platform::IID_IUnknown, reinterpret_cast<void**>(out));
}
