#include "control/problem/client_requests.h"

#include <strings.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "control/problem/problem_manager.h"
#include "control/problem/problem_services.h"
#include "daes/problem/problem.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/values/typed_value.h"
#include "framework/messaging/message.h"
#include "solve/groups/decomposition.h"
#include "solve/groups/partition.h"
#include "solve/ifaces/kvs_common.h"
#include "solve/methods/open_solvers.h"
#include "solve/methods/solver_factories.h"
#include "solve/open/kvs_loader.h"
#include "solve/open/kvs_proxies.h"
#include "solve/open/solver_loaders.h"
#include "solve/optimisers/dense_optimiser.h"
#include "solve/options/solver_option_table.h"

namespace {

constexpr std::int32_t kRunModeOption = 29;
constexpr std::int32_t kLinearSolverOption = 25;
constexpr std::uint32_t kTypeInteger = 4;
constexpr std::uint32_t kTypeReal = 24;
constexpr std::uint32_t kTypeString = 68;
constexpr std::uint32_t kShortName = 256;
constexpr std::uint32_t kLongName = 1024;
constexpr char kBuiltInSqpb[] = "_KVS_SQPB";

// Reads a string of any length; an empty one reads as "".
Status ReadText(BvuBinaryStream& s, std::string* text) {
  char* raw = nullptr;
  const Status read = s.GetStringNew(&raw);
  if (status::IsFailure(read)) return read;
  *text = raw != nullptr ? raw : "";
  delete[] raw;
  return status::kOk;
}

// Reads a string of at most `limit` characters.
Status ReadBoundedText(BvuBinaryStream& s, std::uint32_t limit, std::string* text) {
  std::vector<char> buffer(limit + 1, '\0');
  const Status read = s.GetStringInto(buffer.data(), limit + 1);
  if (status::IsFailure(read)) return read;
  *text = buffer.data();
  return status::kOk;
}

// The 16-bit type code and the value it announces.
Status ReadTypedValue(BvuBinaryStream& s, SUValue* value) {
  std::uint16_t type = 0;
  Status read = s.GetUInt16(&type);
  if (status::IsFailure(read)) return read;
  switch (type) {
    case kTypeInteger: {
      std::uint32_t word = 0;
      read = s.GetUInt32(&word);
      if (status::IsFailure(read)) return read;
      value->SetType(SUValue::kInteger);
      value->SetInt(static_cast<std::int32_t>(word));
      return status::kOk;
    }
    case kTypeReal: {
      double real = 0.0;
      // 0 means fewer than eight bytes were left.
      if (s.TryGet8(&real) != 1) return 0x8000FFFFu;
      value->SetType(SUValue::kReal);
      value->SetReal(real);
      return status::kOk;
    }
    case kTypeString: {
      std::string text;
      read = ReadText(s, &text);
      if (status::IsFailure(read)) return read;
      value->SetType(SUValue::kString);
      value->SetString(text.c_str());
      return status::kOk;
    }
    default:
      return status::kBadArguments;
  }
}

bool IsBuiltInSqpb(const std::string& name) {
  return strcasecmp(name.c_str(), "kvs_sqpb.dll") == 0 || strcasecmp(name.c_str(), "kvs_sqpb") == 0;
}

// The parameters of an open solver's factory: a u32 count, then per
// parameter its name and its value typed as the named-option requests read
// it back (4, 24, 68).
Status WriteSolverOptions(platform::IUnknown* factory, BvuBinaryStream& s) {
  if (factory == nullptr) return kKvsParameterFailed;
  void* raw = nullptr;
  if (factory->QueryInterface(IID_KVSParameters, &raw) != 0 || raw == nullptr) {
    return kKvsParameterFailed;
  }
  auto* parameters = static_cast<KVSParameters*>(raw);
  std::int32_t count = 0;
  char** names = nullptr;
  Status st = parameters->GetCount(&count);
  if (st == 0 && count > 0) st = parameters->GetNames(&names);
  if (st != 0 || (count > 0 && names == nullptr)) {
    parameters->Release();
    return kKvsParameterFailed;
  }
  std::vector<std::string> taken;
  for (std::int32_t i = 0; i < count; ++i) taken.push_back(TakeKvsText(names[i]));
  if (names != nullptr) KvsServicesFree(names);
  Status written = s.PutUInt32(static_cast<std::uint32_t>(taken.size()));
  for (const std::string& name : taken) {
    written |= s.PutString(name.c_str());
    std::int32_t kind = -1;
    union {
      std::int32_t integer;
      double real;
      char* text;
    } value{};
    if (parameters->GetValue(name.c_str(), &kind, &value) != 0) kind = -1;
    switch (kind) {
      case kKvsInteger:
        written |= s.PutUInt16(kTypeInteger);
        written |= s.PutUInt32(static_cast<std::uint32_t>(value.integer));
        break;
      case kKvsReal:
        written |= s.PutUInt16(kTypeReal);
        written |= s.PutDouble(value.real);
        break;
      case kKvsText:
        written |= s.PutUInt16(kTypeString);
        written |= s.PutString(TakeKvsText(value.text).c_str());
        break;
      default:
        // A parameter that cannot be read keeps its place without a value.
        written |= s.PutUInt16(0);
        break;
    }
  }
  parameters->Release();
  return written;
}

// The engine's decomposition seen as a solver object.
class DecompositionView final : public SimSolverObjectView {
 public:
  explicit DecompositionView(QLNDecomposition* decomposition) : decomposition_(decomposition) {}
  Status WriteGroupList(BvuBinaryStream& s, std::uint32_t level, const std::uint32_t* path,
                        std::uint32_t path_length) override {
    return decomposition_->WriteGroupList(s, level, path, path_length);
  }
  DAESSolverBlock* GroupBlock(std::uint32_t group) override {
    if (group == 0) return nullptr;
    return dynamic_cast<DAESSolverBlock*>(decomposition_->GetRow(group - 1));
  }
  // Groups are solved in the order they were added.
  std::vector<DAESBlock*> Groups() override {
    std::vector<DAESBlock*> groups;
    for (std::uint32_t i = 0; i < decomposition_->GetRowCount(); ++i) {
      groups.push_back(decomposition_->GetRow(i));
    }
    return groups;
  }

 private:
  QLNDecomposition* decomposition_;
};

// The block a group wraps, or the inner block a torn group decomposes into.
DAESSolverBlock* InnerOf(DAESSolverBlock* block) {
  if (block == nullptr) return nullptr;
  return block->InnerBlock() != nullptr ? block->InnerBlock() : block;
}

DAESSolverBlock* SubBlock(DAESSolverBlock* block, std::uint32_t row) {
  if (block == nullptr || row == 0) return nullptr;
  return dynamic_cast<DAESSolverBlock*>(block->GetRow(row - 1));
}

template <typename Face>
Face* FindManager() {
  SimMasterManager* master = GetMasterManager();
  if (master == nullptr) return nullptr;
  for (std::int32_t i = 0; i < master->Count(); ++i) {
    if (auto* face = dynamic_cast<Face*>(master->At(i))) return face;
  }
  return nullptr;
}

}  // namespace

// --- replies ---

SimReply::SimReply(const DseMessage& request) : message_(DseMessage::DseMessageAsReply(request)) {
  if (message_ != nullptr) message_->sequence = request.sequence + 1;
}

SimReply::~SimReply() = default;

bool SimReply::ReserveStatus() {
  if (message_ == nullptr) return false;
  low_ = message_->ReserveUInt16();
  high_ = low_ != nullptr ? message_->ReserveUInt16() : nullptr;
  return low_ != nullptr && high_ != nullptr;
}

Status SimReply::FillStatus(Status value) {
  if (low_ == nullptr || high_ == nullptr) return pm_status::kFailure;
  const Status low = message_->PatchUInt16(low_, static_cast<std::uint16_t>(value & 0xFFFF));
  const Status high = message_->PatchUInt16(high_, static_cast<std::uint16_t>(value >> 16));
  return status::IsFailure(low) ? low : high;
}

Status SimReply::EndMark() { return message_->PutUInt16(SimClientRequests::kEndMark); }

Status SimReply::Finish(Status result, DseMessage** reply) {
  if (!status::IsFailure(result)) *reply = message_.release();
  message_.reset();
  return result;
}

// --- dispatch ---

bool SimClientRequests::WaitsForStep(std::uint16_t code) {
  switch (code) {
    case 31:
    case 34:
    case 35:
    case 36:
    case 37:
    case 75:
    case 111:
    case 129:
    case 131:
    case 132:
    case 133:
    case 134:
    case 148:
    // Named options call their solver clients at once.
    case 122:
    case 127:
    case 149:
      return true;
    default:
      return false;
  }
}

Status SimClientRequests::Serve(DseMessage* request, DseMessage** reply) {
  *reply = nullptr;
  std::uint16_t code = 0;
  const Status read = request->GetUInt16(&code);
  if (status::IsFailure(read)) return read;
  if (manager_.StepScheduled() && WaitsForStep(code)) return pm_status::kBusy;
  // Ending the run between an action's passes would cut its sequence short
  // (an estimation's statistics pass): the run ends once it has come to rest.
  if (code == 134 && manager_.RunMoving()) return pm_status::kBusy;
  switch (code) {
    case 5:
      return pm_status::kNoReplyRequest;
    case 14:
      return StopRequest(request, reply);
    case 31:
      return BeginRun();
    case 34:
      return Statistics(request, reply);
    case 35:
    case 36:
    case 37:
    case 131:
    case 132:
    case 133:
      return Structure(code, request, reply);
    case 75:
      return Analyse(request, reply);
    case 111:
      return SelectNLASolver(request, reply);
    case 115:
      return SetPropertyValue(request, reply);
    case 118:
      return SelectNLPSolver(kRunOptimisation, request, reply);
    case 122:
      return SetNLPSolverOption(kRunOptimisation, request, reply);
    case 123:
      return SelectNLPSolver(kRunEstimation, request, reply);
    case 127:
      return SetNLPSolverOption(kRunEstimation, request, reply);
    case 129:
      return Equations(request, reply);
    case 134:
      return EndRun();
    case 148:
      return DescribeMethod(request, reply);
    case 149:
      return NamedOption(request, reply);
    default:
      return pm_status::kFailure;
  }
}

// --- helpers ---

bool SimClientRequests::SolversSetUp() {
  return GetCurrentProblem() != nullptr && (manager_.StatusBits() & run_bits::kSolvers) != 0;
}

Status SimClientRequests::EnsureProblem() {
  if (GetCurrentProblem() == nullptr) {
    const Status prepared = manager_.RunOps().PrepareSimulation(0, 0);
    if (status::IsFailure(prepared)) return prepared;
    manager_.preparation_ = 2;
  }
  return manager_.RunOps().ApplyOptionChanges();
}

SimOpenNLPSelection* SimClientRequests::Selection(std::int32_t run_type) {
  SimMasterManager* master = GetMasterManager();
  if (master == nullptr) return nullptr;
  for (std::int32_t i = 0; i < master->Count(); ++i) {
    auto* face = dynamic_cast<SimOpenNLPSelection*>(master->At(i));
    if (face != nullptr && face->OpenNLPRunType() == run_type) return face;
  }
  return nullptr;
}

SimSolverObjectView* SimClientRequests::ViewOf(platform::IUnknown* object,
                                               std::unique_ptr<SimSolverObjectView>* scratch) {
  if (object == nullptr) return nullptr;
  if (auto* view = dynamic_cast<SimSolverObjectView*>(object)) return view;
  void* raw = nullptr;
  if (object->QueryInterface(IID_IQLNDecomposition, &raw) != 0 || raw == nullptr) return nullptr;
  auto* face = static_cast<IQLNDecomposition*>(raw);
  auto* decomposition = dynamic_cast<QLNDecomposition*>(face);
  // The slot keeps its own reference while the request runs.
  face->Release();
  if (decomposition == nullptr) return nullptr;
  *scratch = std::make_unique<DecompositionView>(decomposition);
  return scratch->get();
}

Status SimClientRequests::SetNamedOption(BvuBinaryStream& request, const char* component,
                                         const char* option) {
  SUValue value;
  const Status read = ReadTypedValue(request, &value);
  if (status::IsFailure(read)) return read;
  return SolverOptionTable::Instance()->SetNamedOption(component, option, value);
}

// --- run control ---

Status SimClientRequests::StopRequest(DseMessage* request, DseMessage** reply) {
  const std::uint32_t needed = run_bits::kReady | run_bits::kRunning;
  const Status stopped =
      (manager_.StatusBits() & needed) == needed ? manager_.StopRun() : pm_status::kBusy;
  SimReply made(*request);
  if (!made.Made()) return DseMessage::kNoMemory;
  const Status marked = made.EndMark();
  if (status::IsFailure(marked)) return marked;
  return made.Finish(stopped, reply);
}

Status SimClientRequests::BeginRun() {
  const Status ready = EnsureProblem();
  if (status::IsFailure(ready)) return ready;
  SimRunIntegrator* integrator = manager_.Integrator();
  if (integrator == nullptr) return pm_status::kRunEnded;
  // The procedures hear of the new run before anything of it is solved; one
  // that refuses it ends the request with its message.
  DAESProblem* problem = GetCurrentProblem();
  const Status precalled = problem != nullptr ? problem->RunProcedureCalls(1) : 0;
  if (status::IsFailure(precalled)) return precalled;
  const std::int32_t previous = GetRunMode();
  SetRunMode(SolverOptions::Instance()->GetInt(kRunModeOption));
  const Status begun = integrator->BeginRun();
  SetRunMode(previous);
  return begun;
}

Status SimClientRequests::EndRun() {
  SimRunIntegrator* integrator = manager_.Integrator();
  Status ended = integrator != nullptr ? integrator->EndRun() : 0;
  // The run's post-calls follow, whatever the integrator said.
  if (DAESProblem* problem = GetCurrentProblem()) {
    const Status postcalled = problem->RunProcedureCalls(2);
    if (status::IsFailure(postcalled) && !status::IsFailure(ended)) ended = postcalled;
  }
  return ended != 0 ? ended : pm_status::kRunEnded;
}

// --- solver statistics and structure ---

Status SimClientRequests::Statistics(DseMessage* request, DseMessage** reply) {
  if (!SolversSetUp()) return pm_status::kNoProblem;
  SimRunIntegrator* integrator = manager_.Integrator();
  if (integrator == nullptr) return kNoSolvers;
  if ((integrator->ErrorStatus() & kCodeMask) == kNoSolversCode) return kNoSolvers;
  SimReply made(*request);
  if (!made.Made()) return DseMessage::kNoMemory;
  DseMessage& body = made.Body();
  Status st = body.PutUInt16(34);
  st |= body.PutInt8(-1);
  std::uint8_t* count_place = body.ReserveUInt16();
  if (count_place == nullptr) return pm_status::kFailure;
  const auto equations = static_cast<std::uint32_t>(GetCurrentProblem()->EquationCount());
  std::uint16_t written = 0;
  for (std::int32_t index = 0; index < kSolverObjects; ++index) {
    platform::IUnknown* object = manager_.Executive().SolverObject(index);
    void* raw = nullptr;
    if (object == nullptr || object->QueryInterface(IID_IQLNDecomposition, &raw) != 0 ||
        raw == nullptr) {
      continue;
    }
    auto* decomposition = static_cast<IQLNDecomposition*>(raw);
    std::int32_t groups = 0;
    DecompositionStatistics by_type{};
    std::uint32_t largest = 0;
    std::uint32_t solved = 0;
    decomposition->GetGroupCount(&groups);
    decomposition->GetStatistics(&by_type, &largest);
    decomposition->IsSolved(&solved);
    decomposition->Release();
    const std::uint32_t* t = by_type.by_type;
    st |= body.PutUInt8(static_cast<std::uint8_t>(index));
    st |= body.PutUInt32(equations);
    st |= body.PutUInt32(static_cast<std::uint32_t>(groups));
    st |= body.PutUInt32(t[0]);
    st |= body.PutUInt32(t[1] + t[2]);
    st |= body.PutUInt32(t[4] + t[5]);
    st |= body.PutUInt32(t[3]);
    st |= body.PutUInt32(t[6]);
    st |= body.PutUInt32(largest);
    st |= body.PutUInt8(solved != 0 ? 2 : 0);
    ++written;
  }
  st |= body.PatchUInt16(count_place, written);
  if (status::IsFailure(st)) return st;
  return made.Finish(made.EndMark(), reply);
}

Status SimClientRequests::Structure(std::uint16_t code, DseMessage* request, DseMessage** reply) {
  const bool report = code == 35 || code == 36 || code == 37;
  const Status missing = report ? pm_status::kSevereFailure : pm_status::kBusy;
  std::uint16_t n = 0;
  Status read = request->GetUInt16(&n);
  if (status::IsFailure(read)) return read;
  std::vector<std::uint32_t> indices(n);
  for (std::uint32_t& index : indices) {
    read = request->GetUInt32(&index);
    if (status::IsFailure(read)) return read;
  }
  auto at = [&](std::size_t i) { return i < indices.size() ? indices[i] : 0u; };
  platform::IUnknown* object =
      n >= 1 ? manager_.Executive().SolverObject(static_cast<std::int32_t>(
                   std::min<std::uint32_t>(at(0), SimExecutiveService::kSlots)))
             : nullptr;
  std::unique_ptr<SimSolverObjectView> scratch;
  SimSolverObjectView* view = ViewOf(object, &scratch);
  if (view == nullptr) return missing;

  SimReply made(*request);
  if (!made.Made()) return DseMessage::kNoMemory;
  DseMessage& body = made.Body();
  if (code == 35) return made.Finish(view->WriteGroupList(body, n, indices.data(), n), reply);

  // The row: below the group of the second index when the path is long
  // enough to name one inside it, else the group itself.
  const std::size_t deep = code == 131 ? 4 : 3;
  DAESSolverBlock* row = nullptr;
  std::uint32_t item = 0;
  if (n >= deep) {
    row = SubBlock(InnerOf(view->GroupBlock(at(1))), at(2));
    item = at(3);
  } else {
    row = view->GroupBlock(at(1));
    item = at(2);
  }
  if (row == nullptr) return missing;
  Status st = status::kOk;
  switch (code) {
    case 36: {
      const std::vector<DAESBlock*> groups = view->Groups();
      st = row->WriteEquationList(body, &groups);
      if (!status::IsFailure(st)) st = made.EndMark();
      break;
    }
    case 37: {
      std::ostringstream text;
      row->Report(text);
      st = body.PutUInt16(37);
      st |= body.PutString(text.str().c_str());
      if (!status::IsFailure(st)) st = made.EndMark();
      break;
    }
    case 131:
      // Items count from 1 on the wire; a row that does not exist lists nothing.
      st = row->WriteRowIncidence(body, item >= 1 ? item - 1 : row->GetRowCount());
      break;
    case 132:
      st = row->WriteIncidence(body);
      break;
    default:
      st = row->WriteResiduals(body);
      if (!status::IsFailure(st)) st = made.EndMark();
      break;
  }
  return made.Finish(st, reply);
}

Status SimClientRequests::Analyse(DseMessage* request, DseMessage** reply) {
  const Status ready = EnsureProblem();
  if (status::IsFailure(ready)) return ready;
  DAESProblem* problem = GetCurrentProblem();
  if (problem == nullptr) return pm_status::kNoProblem;
  SimReply made(*request);
  if (!made.Made()) return DseMessage::kNoMemory;
  const Status coded = made.Body().PutUInt16(75);
  if (status::IsFailure(coded)) return coded;
  auto* tree = FindManager<SimInstanceRoot>();
  const Status analysed =
      Partition(problem, *request, tree != nullptr ? tree->InstanceRoot() : nullptr, made.Body());
  manager_.RunOps().ResetStatistics();
  return made.Finish(analysed, reply);
}

Status SimClientRequests::Equations(DseMessage* request, DseMessage** reply) {
  if (!SolversSetUp()) return pm_status::kNoProblem;
  DAESProblem* problem = GetCurrentProblem();
  SimReply made(*request);
  if (!made.Made()) return DseMessage::kNoMemory;
  DseMessage& body = made.Body();
  Status st = body.PutUInt16(129);
  std::uint8_t* count_place = body.ReserveUInt16();
  if (count_place == nullptr) return pm_status::kFailure;
  std::uint16_t written = 0;
  for (std::int32_t i = 0; i < problem->EquationCount() && written < 0xFFFF; ++i) {
    DAESEqnRow* row = problem->GetEquation(i);
    const std::int32_t k = row != nullptr ? std::min(row->VariableCount(), 0xFFFF) : 0;
    if (k <= 0) continue;
    double residual = 0.0;
    double result = 0.0;
    double torn = 0.0;
    row->ResidualValue(&residual);
    row->GetResidual(&result);
    row->TornVariable(&torn);
    st |= body.PutUInt32(static_cast<std::uint32_t>(i + 1));
    st |= body.PutString(row->GetNameText());
    st |= body.PutDouble(residual);
    st |= body.PutDouble(result);
    st |= body.PutDouble(torn);
    st |= body.PutUInt16(static_cast<std::uint16_t>(k));
    for (std::int32_t j = 0; j < k; ++j) {
      DAESVarTableEntry* variable = row->GetVariable(j);
      st |= body.PutString(variable != nullptr ? variable->GetNameText() : "");
    }
    ++written;
  }
  st |= body.PatchUInt16(count_place, written);
  if (status::IsFailure(st)) return st;
  return made.Finish(made.EndMark(), reply);
}

// --- solver selection and options ---

Status SimClientRequests::SelectNLASolver(DseMessage* request, DseMessage** reply) {
  std::string name;
  Status read = ReadText(*request, &name);
  if (status::IsFailure(read)) return read;
  std::uint16_t flag = 0;
  read = request->GetUInt16(&flag);
  if (status::IsFailure(read)) return read;
  SimReply made(*request);
  if (!made.ReserveStatus()) return pm_status::kFailure;
  UnloadNLASolver(manager_);
  Status chosen = status::kOk;
  Status st = status::kOk;
  if (!name.empty()) {
    const Status loaded = LoadOpenNLASolver(name.c_str());
    if (loaded == 0 && flag != 0) {
      platform::IUnknown* factory = OpenNLAFactory();
      const Status listed = WriteSolverOptions(factory, made.Body());
      if (factory != nullptr) factory->Release();
      if (status::IsFailure(listed)) {
        UnloadOpenNLASolver();
        chosen = pm_status::kSevereFailure;
      }
    } else {
      chosen = pm_status::kSevereFailure;
    }
  } else if (flag != 0) {
    st = made.Body().PutString("");
    st |= made.Body().PutUInt32(0);
  } else {
    chosen = pm_status::kSevereFailure;
  }
  // The nonlinear groups follow the choice from the next solve on.
  RenewNonlinearMethod();
  st |= made.FillStatus(chosen);
  if (status::IsFailure(st)) return st;
  return made.Finish(read, reply);
}

void SimClientRequests::UnloadNLASolver(SimProblemMgr& manager) {
  if (!IsOpenNLASolverLoaded()) return;
  // The integrator's group over the problem holds the solver's methods.
  if (SimRunIntegrator* integrator = manager.Integrator()) integrator->ReleaseSolvers();
  UnloadOpenNLASolver();
}

void SimClientRequests::RenewNonlinearMethod() {
  QLNGroupMethod* method =
      CreateGroupMethod(kMethodNonlinear60, SolverOptions::Instance()->GetInt(kLinearSolverOption));
  // Even an empty slot beats the old method over an unloaded library: the
  // next preparation fills empty slots.
  ReplaceGroupMethod(kGroupNonlinear, method);
}

Status SimClientRequests::SetPropertyValue(DseMessage* request, DseMessage** reply) {
  auto* properties = FindManager<SimPropertyValues>();
  if (properties == nullptr) return pm_status::kFailure;
  std::string object;
  std::string name;
  Status read = ReadText(*request, &object);
  if (!status::IsFailure(read)) read = ReadText(*request, &name);
  SUValue value;
  if (!status::IsFailure(read)) read = ReadTypedValue(*request, &value);
  if (status::IsFailure(read)) return read;
  SimReply made(*request);
  if (!made.ReserveStatus()) return pm_status::kFailure;
  Status set = properties->SetNamedValue(object.c_str(), name.c_str(), value);
  if (status::IsFailure(set)) set = pm_status::kFailure;
  const Status filled = made.FillStatus(set);
  return made.Finish(status::IsFailure(filled) ? filled : set, reply);
}

Status SimClientRequests::SelectNLPSolver(std::int32_t run_type, DseMessage* request,
                                          DseMessage** reply) {
  SimOpenNLPSelection* manager = Selection(run_type);
  if (manager == nullptr) return pm_status::kFailure;
  std::string name;
  const Status read = run_type == kRunEstimation ? ReadBoundedText(*request, kLongName, &name)
                                                 : ReadText(*request, &name);
  if (status::IsFailure(read)) return read;
  SimReply made(*request);
  if (!made.ReserveStatus()) return pm_status::kFailure;
  Status chosen = status::kOk;
  if (IsBuiltInSqpb(name)) {
    QLNDenseOptimiser* optimiser =
        CreateDenseOptimiser(run_type, kOptimiserSqpb, 0, 0, 0, nullptr, &chosen);
    if (optimiser != nullptr) {
      delete optimiser;
      chosen = run_type == kRunEstimation ? LoadOpenNLPSolverForEstimation(name.c_str())
                                          : LoadOpenNLPSolverForOptimisation(name.c_str());
      if (chosen == 0) {
        platform::IUnknown* factory = OpenNLPFactory(run_type);
        chosen = WriteSolverOptions(factory, made.Body());
        if (factory != nullptr) factory->Release();
      }
    } else if (!status::IsFailure(chosen)) {
      chosen = pm_status::kFailure;
    }
  } else {
    chosen = manager->SelectOpenNLPSolver(name.c_str(), 1, &made.Body());
  }
  const Status filled = made.FillStatus(chosen);
  return made.Finish(status::IsFailure(filled) ? filled : read, reply);
}

Status SimClientRequests::SetNLPSolverOption(std::int32_t run_type, DseMessage* request,
                                             DseMessage** reply) {
  SimOpenNLPSelection* manager = Selection(run_type);
  if (manager == nullptr) return pm_status::kFailure;
  std::string solver;
  std::string option;
  Status read = ReadText(*request, &solver);
  if (!status::IsFailure(read)) read = ReadText(*request, &option);
  if (status::IsFailure(read)) return read;
  SimReply made(*request);
  if (!made.ReserveStatus()) return pm_status::kFailure;
  const Status set =
      solver == kBuiltInSqpb
          ? SetNamedOption(*request, solver.c_str(), option.c_str())
          : manager->SetOpenNLPSolverOption(solver.c_str(), option.c_str(), request, &made.Body());
  const Status filled = made.FillStatus(set);
  return made.Finish(status::IsFailure(filled) ? filled : set, reply);
}

Status SimClientRequests::DescribeMethod(DseMessage* request, DseMessage** reply) {
  std::string name;
  Status read = ReadBoundedText(*request, kShortName, &name);
  if (status::IsFailure(read)) return read;
  std::uint16_t item = 0;
  read = request->GetUInt16(&item);
  if (status::IsFailure(read)) return read;
  SimReply made(*request);
  if (!made.ReserveStatus()) return pm_status::kFailure;
  Status made_status = status::kOk;
  QLNGroupMethod* method = CreateGroupMethod(kMethodLinear30, kLinearSolverMfl, &made_status);
  Status described = made_status;
  if (method != nullptr) {
    // The linear proxies write their solver's parameters into a message.
    described = method->Operation6(static_cast<BvuBinaryStream*>(&made.Body()));
    delete method;
  } else if (!status::IsFailure(described)) {
    described = pm_status::kFailure;
  }
  const Status filled = made.FillStatus(described);
  return made.Finish(status::IsFailure(filled) ? filled : read, reply);
}

Status SimClientRequests::NamedOption(DseMessage* request, DseMessage** reply) {
  std::string component;
  std::string option;
  Status read = ReadText(*request, &component);
  if (!status::IsFailure(read)) read = ReadText(*request, &option);
  if (status::IsFailure(read)) return read;
  SimReply made(*request);
  if (!made.ReserveStatus()) return pm_status::kFailure;
  const Status set = SetNamedOption(*request, component.c_str(), option.c_str());
  const Status filled = made.FillStatus(set);
  return made.Finish(status::IsFailure(filled) ? filled : set, reply);
}
