// SimInstanceMgr: the root of the model-instance tree and the server of the
// client's instance requests (service 62). The client builds the tree with
// edit requests (create, replace, delete, fill an instance with an item
// list); value requests read and set variables by id path or by full name,
// and a name the tree does not know goes on to the peer serving service 86.
// The problem manager owns the one instance manager; server thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "control/managers/subsystem_manager.h"
#include "control/problem/client_requests.h"
#include "daes/instance/instance_node.h"
#include "daes/model/services.h"
#include "foundation/values/typed_value.h"
#include "framework/servers/client_callback.h"
#include "framework/servers/server_callback.h"

class DAESVarTableEntry;
class DseMessage;

// Where value requests the tree cannot answer go: the peer of service 86.
// The default sends through the controller; tests put a fake peer here.
class SimValuePeer {
 public:
  // Sends the request (taken) with the client for its replies. With `wait`
  // the call returns once the request completed.
  virtual Status Send(DseMessage* request, DseClientCB* client, bool wait) = 0;

 protected:
  ~SimValuePeer() = default;
};

class SimInstanceMgr : public DseServerCB,
                       public QLNSubSystemManager,
                       public DAESInstanceNode,
                       public DseClientCB,
                       public SimInstanceRoot,
                       public DAESVariableTable {
 public:
  static constexpr std::uint32_t kService = 62;
  static constexpr std::uint32_t kPeerService = 86;
  static constexpr std::int32_t kGlobalIndex = 1;
  static constexpr char kGlobalName[] = "Global";

  // Request kinds.
  static constexpr std::uint16_t kReplace = 3;
  static constexpr std::uint16_t kDelete = 4;
  static constexpr std::uint16_t kCreate = 5;
  static constexpr std::uint16_t kResolve = 11;
  static constexpr std::uint16_t kResolveContainer = 12;
  static constexpr std::uint16_t kValueById = 143;
  static constexpr std::uint16_t kGetValue = 144;
  static constexpr std::uint16_t kSetValue = 145;
  // Item tags of edits.
  static constexpr std::uint16_t kEquationTag = 2;
  static constexpr std::uint16_t kListTag = 3;
  static constexpr std::uint16_t kInstanceTag = 5;
  static constexpr std::uint16_t kDescriptionTag = 10;
  static constexpr std::uint16_t kDescriptionTagToo = 11;
  static constexpr std::uint16_t kGlobalDescriptionTag = 28;

  // Statuses.
  static constexpr Status kUnknownRequest = 0xA000FFFFu;
  static constexpr Status kNoSuchPath = 10;
  static constexpr Status kItemNotServed = 19;
  static constexpr Status kBusy = 0x0032000Au;
  static constexpr Status kNoSuchVariable = 0x8031FFFFu;
  // Names of 144 and 145 are read into buffers of this many bytes.
  static constexpr std::uint32_t kNameRoom = 256;
  // Value setter arguments of 145: a real, marked as set from outside.
  static constexpr std::uint16_t kSetterType = 24;
  static constexpr std::uint32_t kSetterFlags = 0x2000000;

  SimInstanceMgr();
  // Deletes the tree below the root.
  ~SimInstanceMgr() override;

  // Subsystem-manager operations.
  Status AttachProblem(const char* folder, const char* name) override;
  // Drops the run's marks of the tree (the events its switches hold).
  Status ProblemEdited() override;
  Status DiscardProblem() override;
  Status DetachProblem(const char* folder, const char* sub_folder) override;

  // DseServerCB.
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  // Item kind (the first selector) 5: the variable the path names, as the
  // address of its value (type 24).
  Status GetItem(std::uint32_t type, const BvuIdPath& ids, std::uint32_t first,
                 std::uint32_t second, std::uint32_t* type_code, void** value_address) override;
  // The request body without its message; `request` (may be null) gives
  // the header of the reply.
  Status ServeRequest(BvuBinaryStream& body, DseMessage* request, DseMessage** reply);

  // DseClientCB: a forwarded request's reply (u16 kind, u16 type, value)
  // and its completion.
  Status HandleReply(std::uint32_t type, DseMessage* reply, void* context) override;
  Status RequestComplete(Status status, void* context) override;
  const SUValue& PendingValue() const { return pending_value_; }
  Status PendingStatus() const { return pending_status_; }

  // The library tree that expression paths of items resolve in (not owned;
  // null: none).
  void SetExpressionTree(BvuDirectoryNode* tree) { expression_tree_ = tree; }
  // Null restores the controller. Not owned.
  void SetValuePeer(SimValuePeer* peer);

  // The "Global" node, made when missing.
  BvuDirectoryNode* Global();
  // Equations find their variables again by full name when a problem is
  // built, so an edit that replaced a variable leaves no stale binding.
  Status FindVariable(const char* name, DAESVarTableEntry** variable) override;
  // The tree request 75 resolves its paths in.
  BvuDirectoryNode* InstanceRoot() override { return this; }
  // The node of a full name ("FirstOrder.x"), letters in any case; null
  // when none.
  BvuDirectoryNode* FindByName(const char* name);

  // An edit invalidates the problem built from the tree (and from the
  // library's definitions it is bound to).
  void GiveUpBuiltProblem();
  // Whether the run thread computes a step, walking the tree and the
  // problem built from it.
  static bool StepScheduled();

 private:
  Status ValueById(BvuBinaryStream& body, DseMessage* request, DseMessage** reply);
  Status GetOrSetValue(std::uint16_t kind, BvuBinaryStream& body, DseMessage* request,
                       DseMessage** reply);
  // The variable of a full name, or of the first name's instance and the
  // second name.
  DAESVarTableEntry* FindValue(const std::vector<std::string>& names);
  // The value setter of 145: a number as a real, marked as set from outside.
  Status SetValue(DAESVarTableEntry* entry, const SUValue& value);
  // u16 144, u16 type, the value.
  Status ReplyValue(DAESVarTableEntry& entry, DseMessage* request, DseMessage** reply);
  Status Forward(std::uint16_t kind, const char* const* names, std::uint16_t first,
                 std::uint16_t second, const SUValue* value, DseMessage* request,
                 DseMessage** reply);
  Status EditTree(std::uint16_t kind, BvuBinaryStream& body);
  Status DeleteAt(std::uint16_t tag, BvuBinaryStream& body);
  // Creates and replaces alike: an instance already there stays; a node of
  // another kind gives its children to the new instance and goes.
  Status PlaceInstance(BvuDirectoryNode* parent, std::int32_t index, const std::string& name);
  // Reads the item list into the node; a list that does not read cleanly
  // leaves the tree as it was.
  Status ReadDescription(BvuDirectoryNode* node, BvuBinaryStream& body);
  // Reads the list on a stand-in copy of the tree; the body is left where
  // it was. *lost: the reader lost its place in the bytes.
  Status TryDescription(BvuDirectoryNode* node, BvuBinaryStream& body, bool* lost);

  SUValue pending_value_;
  Status pending_status_ = 0;
  BvuDirectoryNode* expression_tree_ = nullptr;
  SimValuePeer* peer_;
  // Values handed out by GetItem that are not stored as a double.
  std::map<const void*, double> item_copies_;
};
