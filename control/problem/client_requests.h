// The client requests of the problem manager's own services: the requests
// that expect a reply, the replies they build, and the narrow faces of the
// neighbours some of them reach (the analysis managers, the property
// manager, the instance tree), which those neighbours implement as they
// join. A neighbour that is a subsystem manager is found in the master's
// list; until one is there its requests answer 0x8032FFFF.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/status.h"

class BvuBinaryStream;
class BvuDirectoryNode;
class DAESBlock;
class DAESSolverBlock;
class DseMessage;
class SimProblemMgr;
class SUValue;

namespace platform {
class IUnknown;
}

// The open-NLP selection of the optimisation or the estimation manager
// (requests 118 and 122, 123 and 127). Each writes its status into the
// reply's status slot.
class SimOpenNLPSelection {
 public:
  // kRunOptimisation or kRunEstimation.
  virtual std::int32_t OpenNLPRunType() = 0;
  virtual Status SelectOpenNLPSolver(const char* library, std::int32_t flag, DseMessage* reply) = 0;
  // Passes the option's typed value, read from the request, to the solver.
  virtual Status SetOpenNLPSolverOption(const char* solver, const char* option, DseMessage* request,
                                        DseMessage* reply) = 0;

 protected:
  ~SimOpenNLPSelection() = default;
};

// Named values of the property manager's objects (request 115).
class SimPropertyValues {
 public:
  virtual Status SetNamedValue(const char* object, const char* name, const SUValue& value) = 0;

 protected:
  ~SimPropertyValues() = default;
};

// The instance tree's root, which the structural analysis of request 75
// resolves the client's paths in.
class SimInstanceRoot {
 public:
  virtual BvuDirectoryNode* InstanceRoot() = 0;

 protected:
  ~SimInstanceRoot() = default;
};

// What the structure requests read of a solver object. The engine's
// decompositions are read through an adapter; another object can offer it
// itself.
class SimSolverObjectView {
 public:
  virtual ~SimSolverObjectView() = default;
  // The group-list report, with the request's indices as the path.
  virtual Status WriteGroupList(BvuBinaryStream& s, std::uint32_t level, const std::uint32_t* path,
                                std::uint32_t path_length) = 0;
  // The block of group `group` (1-based), or null.
  virtual DAESSolverBlock* GroupBlock(std::uint32_t group) = 0;
  // The object's groups in the order they are solved, so that an equation
  // list can name the earlier group that computes a variable; none here.
  virtual std::vector<DAESBlock*> Groups() = 0;
};

// A reply under construction. Failing paths let it go out of scope and it
// is deleted; Finish hands it out only on success.
class SimReply {
 public:
  explicit SimReply(const DseMessage& request);
  ~SimReply();
  SimReply(const SimReply&) = delete;
  SimReply& operator=(const SimReply&) = delete;

  bool Made() const { return message_ != nullptr; }
  DseMessage& Body() { return *message_; }
  // Reserves the four bytes of the status slot here; false without room.
  bool ReserveStatus();
  // Fills the slot, low byte first.
  Status FillStatus(Status value);
  Status EndMark();
  // Hands the reply out unless `result` is a failure; returns `result`.
  Status Finish(Status result, DseMessage** reply);

 private:
  std::unique_ptr<DseMessage> message_;
  std::uint8_t* low_ = nullptr;
  std::uint8_t* high_ = nullptr;
};

class SimClientRequests {
 public:
  static constexpr std::uint16_t kEndMark = 0xFFFF;
  static constexpr Status kNoSolvers = 0x8032025Bu;
  // The integrator's code that says no solvers can be made.
  static constexpr Status kNoSolversCode = 0x8000025Bu;
  static constexpr std::int32_t kSolverObjects = 8;

  explicit SimClientRequests(SimProblemMgr& manager) : manager_(manager) {}

  // A request of service 50 or 60, its code not yet read.
  Status Serve(DseMessage* request, DseMessage** reply);
  // Requests that touch the problem, the solvers or the integrator wait
  // while a step computes.
  static bool WaitsForStep(std::uint16_t code);
  // Reads the value's 16-bit type and the value (4 a 32-bit integer, 24 an
  // 8-byte real, 68 a string) and sets "component.option" in the solver
  // option table.
  static Status SetNamedOption(BvuBinaryStream& request, const char* component, const char* option);
  // The view of a solver object, or null; `scratch` keeps the adapter of an
  // engine decomposition.
  static SimSolverObjectView* ViewOf(platform::IUnknown* object,
                                     std::unique_ptr<SimSolverObjectView>* scratch);
  // Unloads a loaded open NLA solver, telling the integrator first.
  static void UnloadNLASolver(SimProblemMgr& manager);
  // A new nonlinear group method of code 60 over the linear solver option.
  static void RenewNonlinearMethod();

 private:
  Status StopRequest(DseMessage* request, DseMessage** reply);
  Status BeginRun();
  Status EndRun();
  Status Statistics(DseMessage* request, DseMessage** reply);
  Status Structure(std::uint16_t code, DseMessage* request, DseMessage** reply);
  Status Analyse(DseMessage* request, DseMessage** reply);
  Status SelectNLASolver(DseMessage* request, DseMessage** reply);
  Status SetPropertyValue(DseMessage* request, DseMessage** reply);
  Status SelectNLPSolver(std::int32_t run_type, DseMessage* request, DseMessage** reply);
  Status SetNLPSolverOption(std::int32_t run_type, DseMessage* request, DseMessage** reply);
  Status Equations(DseMessage* request, DseMessage** reply);
  Status DescribeMethod(DseMessage* request, DseMessage** reply);
  Status NamedOption(DseMessage* request, DseMessage** reply);
  // Prepares the problem when there is none, then applies the staged options.
  Status EnsureProblem();
  SimOpenNLPSelection* Selection(std::int32_t run_type);
  // Whether a problem exists whose solvers are set up.
  bool SolversSetUp();

  SimProblemMgr& manager_;
};
