// The outside-procedure action: calls procedures outside the engine at fixed
// points of every run, a user procedure looked up by name in a user library
// and connections to outside data servers through the OLL interface library.
// At once the single action "SAXAction", the server of service 115 and a
// subsystem manager. Messages on the server thread; the action and the
// outside procedures where the action framework calls it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "control/actions/action_mgr.h"
#include "control/managers/subsystem_manager.h"
#include "framework/servers/server_callback.h"
#include "platform/status.h"

class BvuBinaryStream;
class XosDynamicFunction;

// What the action asks of the problem manager and the action manager.
class SaxServices {
 public:
  virtual ~SaxServices() = default;
  // Reads a variable reference and gives the variable's external handle (0
  // when it does not resolve); a failure only when the read fails.
  virtual Status ReadVariableHandle(BvuBinaryStream& body, std::int64_t* handle) = 0;
  virtual void Print(Status status, const std::string& text) = 0;
  virtual double CurrentTime() = 0;
  // The problem manager's interface the outside procedures receive.
  virtual void* Context() = 0;
  virtual Status RegisterActionFactory(SimActionFactory* factory) = 0;
  virtual Status CreateAction(const char* name) = 0;
  virtual Status RemoveAction(NewSimAction* action) = 0;
  virtual std::int32_t CurrentHookPoint() = 0;
};

// The process-wide switches: user procedures, OLL procedures.
std::int32_t SaxSwitch();
std::int32_t OllSwitch();

class ExternalProcedure {
 public:
  virtual ~ExternalProcedure();
  virtual XosDynamicFunction* Entry() = 0;
  virtual std::int32_t CallEvent(std::int32_t event, double time, void* context) = 0;
  virtual std::int32_t IsEnabled() = 0;
  virtual std::uint32_t GetId() { return 0xFFFFFFFFu; }
};

// f(event, time, nA, A, nB, B, context).
class SAXExternalProcedure final : public ExternalProcedure {
 public:
  explicit SAXExternalProcedure(XosDynamicFunction* function) : function_(function) {}
  ~SAXExternalProcedure() override;
  XosDynamicFunction* Entry() override { return function_; }
  std::int32_t CallEvent(std::int32_t event, double time, void* context) override;
  std::int32_t IsEnabled() override { return SaxSwitch(); }
  std::vector<std::int64_t> list_a, list_b;

 private:
  XosDynamicFunction* function_;
};

class OLLExternalProcedure final : public ExternalProcedure {
 public:
  static constexpr int kEntries = 11;
  static const char* const kNames[kEntries];
  static constexpr Status kMissing = 0xA000FFFFu;

  OLLExternalProcedure() = default;
  ~OLLExternalProcedure() override;
  // Looks the eleven entry points up; prints what is missing; the last
  // failure, or 0. A library that cannot be loaded answers 0xA000FFFF at once.
  Status Load(const std::string& path, SaxServices& services);
  XosDynamicFunction* Entry() override { return entries_[9]; }
  std::int32_t CallEvent(std::int32_t event, double time, void* context) override;
  std::int32_t IsEnabled() override { return OllSwitch(); }
  std::uint32_t GetId() override { return id_; }
  void SetId(std::uint32_t id) { id_ = id; }

  Status ConnectToServer(const char* name, std::int32_t connection, void* context);
  Status SetParameters(const std::int32_t values[6]);
  Status CreateGroup(const char* name, std::int32_t m, const std::int64_t* handles,
                     const char* const* tags, std::int32_t g1, std::int32_t v, std::int32_t g2,
                     std::int32_t f, std::int32_t* results);
  Status SetGroupParameters(const char* name, std::int32_t n, const std::int32_t* ids,
                            const std::int32_t* values);
  Status SetItemParameters(const char* name, std::int32_t item, std::int32_t k,
                           const std::int32_t* ids, const double* values);
  Status ModifyItemTag(const char* name, std::int32_t item, const char* tag);
  Status RemoveItem(const char* name, std::int32_t item);
  Status AddItem(const char* name, std::int64_t handle, const char* tag, std::int32_t* two);
  Status EnableItem(const char* name, std::int32_t item, std::int32_t a, std::int32_t b);
  // The unit text (not ours to free), empty when the entry point is missing.
  std::string GetUOM(const char* name, std::int32_t item);
  bool Has(int entry) const { return entries_[entry] != nullptr; }

 private:
  void* Address(int entry) const;
  XosDynamicFunction* entries_[kEntries] = {};
  std::uint32_t id_ = 0xFFFFFFFFu;
};

class SAXAction final : public SimSingleAction, public DseServerCB, public QLNSubSystemManager {
 public:
  static constexpr std::uint32_t kService = 115;
  static constexpr const char* kActionName = "SAXAction";
  static constexpr Status kUnknownKind = 0x800001F5u;

  explicit SAXAction(SaxServices& services);
  ~SAXAction() override;

  // --- QLNSubSystemManager ---
  Status StartRun(std::int32_t run_mode) override;
  Status DetachProblem(const char* folder, const char* sub_folder) override;

  // --- DseServerCB ---
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  Status Serve(BvuBinaryStream& body, DseMessage** reply);

  // --- the action ---
  Status Execute(std::int32_t* request, SimActionControl* element,
                 const SimExplicitEvent* event) override;
  Status RunHook(std::int32_t hook, std::int32_t* next, std::uint32_t* record);

  void SetHookFlags(std::uint32_t flags);
  void Restart();
  void Clear();
  // The event a hook point sends under the flags, 0 for none.
  static std::int32_t EventOfHook(std::int32_t hook, std::uint32_t flags);

  std::uint32_t HookFlags() const { return hook_flags_; }
  std::int32_t Started() const { return started_; }
  std::size_t ProcedureCount() const { return procedures_.size(); }
  std::size_t ProcedureSlots() const { return procedures_.capacity(); }
  ExternalProcedure* Procedure(std::size_t i) { return procedures_[i].get(); }
  std::uint16_t CurrentGroupKey() const { return current_key_; }

 private:
  Status SetUpUserProcedure(BvuBinaryStream& body);
  Status SetUpOll(BvuBinaryStream& body, BvuBinaryStream& out);
  Status AddItem(BvuBinaryStream& body, BvuBinaryStream& out);
  OLLExternalProcedure* OllOfKey(std::uint16_t key);
  void Append(std::unique_ptr<ExternalProcedure> procedure);
  bool AnyEnabled();

  SaxServices& services_;
  std::vector<std::unique_ptr<ExternalProcedure>> procedures_;
  std::uint32_t hook_flags_ = 0;
  std::int32_t started_ = 0;
  std::uint16_t current_key_ = 0;
  bool active_ = false;
};

// "OLLInputGroup3" / "OLLOutputGroup3" for a group key.
std::string OllGroupName(std::uint16_t key);
