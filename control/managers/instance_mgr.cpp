#include "control/managers/instance_mgr.h"

#include <string>
#include <vector>

#include "control/managers/instance_shadow.h"
#include "control/managers/tree_place.h"
#include "control/problem/problem_manager.h"
#include "daes/model/services.h"
#include "daes/problem/problem.h"
#include "foundation/directory/id_path.h"
#include "foundation/directory/name_path.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/messages/su_print.h"
#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/sending.h"

namespace {

// Value type codes of 144 and 145: the typed-value codes, and the 24 (real)
// and 68 (string) of the named-option requests, which clients use too.
constexpr std::uint16_t kRealAlias = 24;
constexpr std::uint16_t kStringAlias = 68;

std::uint16_t TypedValueCode(std::uint16_t code) {
  if (code == kRealAlias) return SUValue::kReal;
  if (code == kStringAlias) return SUValue::kString;
  return code;
}

// The controller as the peer of service 86.
class ControllerPeer : public SimValuePeer {
 public:
  Status Send(DseMessage* request, DseClientCB* client, bool wait) override {
    const Status sent = wait ? DseSendAndWait(request, 0, client, nullptr, nullptr, 0)
                             : DseSendMessage(request, 0, client, nullptr, nullptr, -1);
    // Without a controller the message stays the caller's.
    if (DseCurrentController() == nullptr) delete request;
    return sent;
  }
};

ControllerPeer g_controller_peer;

// A name component against a node name; a client may leave out the "." a
// member's name carries.
bool SameComponent(const char* name, const std::string& component) {
  if (name == nullptr) return false;
  if (SameNameAnyCase(name, component.c_str())) return true;
  return component.size() > 1 && component[0] == '.' &&
         SameNameAnyCase(name, component.c_str() + 1);
}

// The first child in index order that matches the component.
BvuDirectoryNode* FirstChildNamed(BvuDirectoryNode* node, const std::string& component) {
  if (auto* table = dynamic_cast<BvuDirectoryProper*>(node)) {
    std::int32_t index = table->FirstIndexNamedAnyCase(component.c_str());
    if (component.size() > 1 && component[0] == '.') {
      const std::int32_t bare = table->FirstIndexNamedAnyCase(component.c_str() + 1);
      if (bare >= 0 && (index < 0 || bare < index)) index = bare;
    }
    return index >= 0 ? node->ChildAt(index) : nullptr;
  }
  for (std::int32_t i = NextChildIndex(node, node->LowIndex()); i <= node->HighIndex();
       i = NextChildIndex(node, i + 1)) {
    BvuDirectoryNode* child = node->ChildAt(i);
    if (child != nullptr && SameComponent(child->Name(), component)) return child;
  }
  return nullptr;
}

DAESVarTableEntry* ValueEntry(BvuDirectoryNode* node) {
  return node != nullptr ? static_cast<DAESVarTableEntry*>(node->AsValueEntry()) : nullptr;
}

// Reads the three names of 144 and 145.
Status ReadNames(BvuBinaryStream& body, std::vector<std::string>* names) {
  char buffer[SimInstanceMgr::kNameRoom];
  for (int i = 0; i < 3; ++i) {
    buffer[0] = '\0';
    const Status read = body.GetStringInto(buffer, SimInstanceMgr::kNameRoom);
    if (status::IsFailure(read)) return read;
    names->emplace_back(buffer);
  }
  return status::kOk;
}

// An optional u16 at the end of the body: 0 when absent.
std::uint16_t OptionalUInt16(BvuBinaryStream& body) {
  std::uint16_t value = 0;
  std::uint8_t* before = body.Tell();
  if (status::IsFailure(body.GetUInt16(&value))) {
    body.Seek(before);
    return 0;
  }
  return value;
}

}  // namespace

SimInstanceMgr::SimInstanceMgr() : DAESInstanceNode(nullptr, nullptr), peer_(&g_controller_peer) {}

SimInstanceMgr::~SimInstanceMgr() { BvuDirectoryProper::DeleteBelow(this); }

Status SimInstanceMgr::FindVariable(const char* name, DAESVarTableEntry** variable) {
  DAESVarTableEntry* found = ValueEntry(FindByName(name));
  if (variable != nullptr) *variable = found;
  return found != nullptr ? status::kOk : kNoSuchVariable;
}

void SimInstanceMgr::SetValuePeer(SimValuePeer* peer) {
  peer_ = peer != nullptr ? peer : &g_controller_peer;
}

// --- manager operations ---

Status SimInstanceMgr::AttachProblem(const char*, const char*) {
  Global();
  return status::kOk;
}

Status SimInstanceMgr::ProblemEdited() { return ClearMarks(); }

// The tree holds nothing of a discarded problem.
Status SimInstanceMgr::DiscardProblem() { return status::kOk; }

Status SimInstanceMgr::DetachProblem(const char*, const char*) {
  BvuDirectoryProper::DeleteBelow(this);
  item_copies_.clear();
  return status::kOk;
}

BvuDirectoryNode* SimInstanceMgr::Global() {
  if (HighIndex() >= kGlobalIndex && LowIndex() <= kGlobalIndex) {
    if (BvuDirectoryNode* global = ChildAt(kGlobalIndex)) return global;
  }
  auto* global = new DAESInstanceNode(this, kGlobalName);
  if (status::IsFailure(InsertChildAt(kGlobalIndex, global))) {
    DestroyTreeNode(global);
    return nullptr;
  }
  return global;
}

BvuDirectoryNode* SimInstanceMgr::FindByName(const char* name) {
  std::vector<std::string> components;
  if (name == nullptr || name[0] == '\0' || SplitNamePath(name, &components) == 0) return nullptr;
  BvuDirectoryNode* node = this;
  for (const std::string& component : components) {
    node = FirstChildNamed(node, component);
    if (node == nullptr) return nullptr;
  }
  return node;
}

// --- requests ---

Status SimInstanceMgr::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                     DseTemplate** kept) {
  if (request->subtype != DseMessage::kRequest) {
    return DseServerCB::HandleRequest(type, request, reply, kept);
  }
  return ServeRequest(*request, request, reply);
}

Status SimInstanceMgr::ServeRequest(BvuBinaryStream& body, DseMessage* request,
                                    DseMessage** reply) {
  if (reply != nullptr) *reply = nullptr;
  std::uint16_t kind = 0;
  const Status read = body.GetUInt16(&kind);
  if (status::IsFailure(read)) return read;
  switch (kind) {
    case kValueById:
      return ValueById(body, request, reply);
    case kGetValue:
    case kSetValue:
      return GetOrSetValue(kind, body, request, reply);
    case kReplace:
    case kDelete:
    case kCreate:
    case kResolve:
    case kResolveContainer:
      return EditTree(kind, body);
    default:
      return kUnknownRequest;
  }
}

namespace {
DseMessage* NewReply(DseMessage* request) {
  return request != nullptr ? DseMessage::DseMessageAsReply(*request)
                            : new DseMessage(SimInstanceMgr::kService, DseMessage::kRequest);
}
}  // namespace

Status SimInstanceMgr::ValueById(BvuBinaryStream& body, DseMessage* request, DseMessage** reply) {
  Status read = status::kOk;
  const BvuIdPath path(body, &read);
  std::uint16_t passed = 0;
  if (status::IsSuccess(read)) read = body.GetUInt16(&passed);
  if (status::IsFailure(read)) return read;
  BvuDirectoryNode* node = nullptr;
  const Status resolved = ResolveIdPath(path.ids(), &node);
  DAESVarTableEntry* entry = status::IsFailure(resolved) ? nullptr : ValueEntry(node);
  if (entry == nullptr) return kUnknownRequest;
  DseMessage* out = NewReply(request);
  Status put = out->PutUInt16(kValueById);
  if (status::IsSuccess(put)) put = out->PutDouble(entry->GetRealValue());
  if (status::IsFailure(put) || reply == nullptr) {
    delete out;
    return put;
  }
  *reply = out;
  return status::kOk;
}

Status SimInstanceMgr::GetOrSetValue(std::uint16_t kind, BvuBinaryStream& body, DseMessage* request,
                                     DseMessage** reply) {
  std::vector<std::string> names;
  Status read = ReadNames(body, &names);
  if (status::IsFailure(read)) return read;
  // 145 carries the value next; what a client adds after it (two u16 for
  // 145, one for 144) travels on with a forwarded request.
  SUValue value;
  if (kind == kSetValue) {
    std::uint16_t code = 0;
    read = body.GetUInt16(&code);
    if (status::IsSuccess(read)) read = value.ReadBinary(body, TypedValueCode(code));
    if (status::IsFailure(read)) return read;
  }
  const std::uint16_t first = OptionalUInt16(body);
  const std::uint16_t second = kind == kSetValue ? OptionalUInt16(body) : 0;

  DAESVarTableEntry* entry = FindValue(names);
  const char* texts[3] = {names[0].c_str(), names[1].c_str(), names[2].c_str()};
  if (entry == nullptr) return Forward(kind, texts, first, second, &value, request, reply);
  if (kind == kGetValue) return ReplyValue(*entry, request, reply);
  // The run thread owns the values while a step computes.
  if (StepScheduled()) return kBusy;
  return SetValue(entry, value);
}

DAESVarTableEntry* SimInstanceMgr::FindValue(const std::vector<std::string>& names) {
  BvuDirectoryNode* node = FindByName(names[0].c_str());
  const std::size_t dot = names[0].rfind('.');
  if (node == nullptr && dot != std::string::npos && dot > 0 && !names[1].empty()) {
    // The first name's instance with the second name as the member.
    const char* separator = names[1][0] == '.' ? "" : ".";
    node = FindByName((names[0].substr(0, dot) + separator + names[1]).c_str());
  }
  return ValueEntry(node);
}

Status SimInstanceMgr::SetValue(DAESVarTableEntry* entry, const SUValue& value) {
  const std::uint16_t kind = value.Kind();
  if (kind == SUValue::kReal || kind == SUValue::kInteger || kind == SUValue::kLogical) {
    const double real =
        kind == SUValue::kReal ? value.payload.real : static_cast<double>(value.payload.integer);
    const Status set = entry->SetValue(real);
    if (status::IsFailure(set)) return set;
    entry->SetAdvised((kSetterFlags & daes::kAdvised) != 0);
    return set;
  }
  if (entry->ValueType() != value.type) return status::kBadArguments;
  entry->SetTypedValue(value);
  return status::kOk;
}

Status SimInstanceMgr::ReplyValue(DAESVarTableEntry& entry, DseMessage* request,
                                  DseMessage** reply) {
  DseMessage* out = NewReply(request);
  Status put = out->PutUInt16(kGetValue);
  if (status::IsSuccess(put)) {
    if (entry.ValueType() == SUValue::kReal || !SUValue::IsTransferable(entry.ValueType())) {
      put = out->PutUInt16(SUValue::kReal);
      if (status::IsSuccess(put)) put = out->PutDouble(entry.GetRealValue());
    } else {
      put = entry.TypedValue().WriteBinary(*out, true);
    }
  }
  if (status::IsFailure(put) || reply == nullptr) {
    delete out;
    return put;
  }
  *reply = out;
  return status::kOk;
}

Status SimInstanceMgr::Forward(std::uint16_t kind, const char* const* names, std::uint16_t first,
                               std::uint16_t second, const SUValue* value, DseMessage* request,
                               DseMessage** reply) {
  auto* message = new DseMessage(kPeerService, DseMessage::kRequest);
  Status put = message->PutUInt16(kind);
  for (int i = 0; i < 3 && status::IsSuccess(put); ++i) put = message->PutString(names[i]);
  if (status::IsSuccess(put)) put = message->PutUInt16(first);
  if (kind == kSetValue) {
    if (status::IsSuccess(put)) put = message->PutUInt16(second);
    if (status::IsSuccess(put)) put = value->WriteBinary(*message, true);
  }
  if (status::IsFailure(put)) {
    delete message;
    return put;
  }
  if (kind == kSetValue) return peer_->Send(message, this, false);

  pending_value_.SetType(SUValue::kNoType);
  pending_value_.status = SUValue::kUnknown;
  pending_status_ = kUnknownRequest;
  const Status sent = peer_->Send(message, this, true);
  if (status::IsFailure(sent)) return sent;
  if (status::IsFailure(pending_status_)) return pending_status_;
  // The peer's value goes to the client in the form of a local answer.
  DseMessage* out = NewReply(request);
  put = out->PutUInt16(kGetValue);
  if (status::IsSuccess(put)) put = pending_value_.WriteBinary(*out, true);
  if (status::IsFailure(put) || reply == nullptr) {
    delete out;
    return status::IsFailure(put) ? put : pending_status_;
  }
  *reply = out;
  return pending_status_;
}

Status SimInstanceMgr::HandleReply(std::uint32_t, DseMessage* reply, void*) {
  std::uint16_t kind = 0;
  std::uint16_t code = 0;
  Status read = reply->GetUInt16(&kind);
  if (status::IsSuccess(read)) read = reply->GetUInt16(&code);
  if (status::IsFailure(read)) return read;
  SUValue value;
  read = value.ReadBinary(*reply, TypedValueCode(code));
  if (status::IsFailure(read)) return read;
  pending_value_.SetType(SUValue::kNoType);
  pending_value_.Assign(value);
  return status::kOk;
}

Status SimInstanceMgr::RequestComplete(Status status, void*) {
  pending_status_ = status;
  return status::kOk;
}

Status SimInstanceMgr::GetItem(std::uint32_t, const BvuIdPath& ids, std::uint32_t first,
                               std::uint32_t, std::uint32_t* type_code, void** value_address) {
  *type_code = 0;
  *value_address = nullptr;
  if (first != kInstanceTag) return kItemNotServed;
  BvuDirectoryNode* node = nullptr;
  const Status resolved = ResolveIdPath(ids.ids(), &node);
  if (status::IsFailure(resolved)) return resolved;
  DAESVarTableEntry* entry = ValueEntry(node);
  if (entry == nullptr) return status::kUnhandled;
  *type_code = 24;
  if (entry->ValueType() == SUValue::kReal) {
    *value_address = &entry->ValuePointer()->payload.real;
  } else {
    // Refreshed at every call: the framework asks again before each fill.
    double& copy = item_copies_[node];
    copy = entry->GetRealValue();
    *value_address = &copy;
  }
  return status::kOk;
}

// --- tree edits ---

bool SimInstanceMgr::StepScheduled() {
  const SimProblemMgr* manager = SimProblemMgr::Instance();
  return manager != nullptr && manager->StepScheduled();
}

void SimInstanceMgr::GiveUpBuiltProblem() {
  if (GetCurrentProblem() == nullptr) return;
  if (SimMasterManager* master = GetMasterManager()) {
    master->ProblemEdited();
    master->ReleaseSolvers();
  }
  // The problem points into the tree that is about to change.
  SimProblemMgr::DeleteProblem(GetCurrentProblem());
  item_copies_.clear();
  if (SimProblemMgr* manager = SimProblemMgr::Instance()) {
    manager->MarkCheckProblem();
    // Nothing is left for a light preparation to keep.
    manager->MarkProblemGivenUp();
    manager->ClearStatusBits(run_bits::kProblemBits);
  }
}

Status SimInstanceMgr::EditTree(std::uint16_t kind, BvuBinaryStream& body) {
  std::uint16_t tag = 0;
  const Status read = body.GetUInt16(&tag);
  if (status::IsFailure(read)) return read;
  // The run thread walks the tree while a step computes.
  if (StepScheduled()) return kBusy;
  GiveUpBuiltProblem();
  if (kind == kDelete) return DeleteAt(tag, body);
  if (kind == kResolveContainer) {
    // The path names the container itself.
    Status s = status::kOk;
    const BvuIdPath path(body, &s);
    if (status::IsFailure(s)) return s;
    BvuDirectoryNode* node = nullptr;
    return ResolveIdPath(path.ids(), &node);
  }
  if (kind == kResolve) {
    BvuDirectoryNode* parent = nullptr;
    std::int32_t index = -1;
    return ReadTreePlace(this, body, &parent, &index);
  }

  BvuDirectoryNode* target = nullptr;
  if (kind == kReplace && tag == kGlobalDescriptionTag) {
    target = Global();
    if (target == nullptr) return DseMessage::kNoMemory;
    return ReadDescription(target, body);
  }
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  std::string name;
  const Status placed = ReadIdPathWithNames(body, &parent, &index, &name, false);
  if (status::IsFailure(placed)) return placed;
  switch (tag) {
    case kInstanceTag:
      return PlaceInstance(parent, index, name);
    case kDescriptionTag:
    case kDescriptionTagToo:
    case kGlobalDescriptionTag:
      target = parent->ChildAt(index);
      if (target == nullptr) return kBvuNoSuchChild;
      return ReadDescription(target, body);
    default:
      return kUnknownRequest;
  }
}

Status SimInstanceMgr::DeleteAt(std::uint16_t tag, BvuBinaryStream& body) {
  BvuDirectoryNode* parent = nullptr;
  std::int32_t index = -1;
  const Status placed = ReadTreePlace(this, body, &parent, &index);
  if (placed == kBvuNoSuchChild) return kNoSuchPath;
  if (status::IsFailure(placed)) return placed;
  if (tag != kEquationTag && tag != kListTag && tag != kInstanceTag) return kUnknownRequest;
  BvuDirectoryNode* taken = nullptr;
  if (index < parent->LowIndex() || index > parent->HighIndex() ||
      parent->RemoveChildAt(index, &taken) != status::kOk || taken == nullptr) {
    return kNoSuchPath;
  }
  item_copies_.clear();
  DestroyTreeNode(taken);
  return placed;
}

Status SimInstanceMgr::PlaceInstance(BvuDirectoryNode* parent, std::int32_t index,
                                     const std::string& name) {
  BvuDirectoryNode* old = parent->ChildAt(index);
  const char* node_name = name.empty() && old != nullptr ? old->Name() : name.c_str();
  BvuDirectoryNode* made = DAESCreateModelItem(kInstanceTag, parent, node_name);
  if (made == nullptr) return DseMessage::kNoMemory;
  if (old == nullptr) {
    const Status inserted = parent->InsertChildAt(index, made);
    if (status::IsFailure(inserted)) DestroyTreeNode(made);
    return inserted;
  }
  if (old->GetKind() == made->GetKind()) {
    // The instance is there already.
    DestroyTreeNode(made);
    return status::kOk;
  }
  // The new node takes over what the old one held, all or nothing.
  const Status adopted = made->AdoptChildren(old);
  if (status::IsFailure(adopted) || parent->ReplaceChildAt(index, made) != old) {
    if (status::IsSuccess(adopted)) old->AdoptChildren(made);
    DestroyTreeNode(made);
    return status::IsFailure(adopted) ? adopted : status::kGeneralFailure;
  }
  item_copies_.clear();
  DestroyTreeNode(old);
  return status::kOk;
}

namespace {
void QuietPrinter(std::int32_t quiet) {
  platform::CriticalSectionLock hold(SuPrintCriticalSection());
  SetSuPrintQuiet(quiet);
}
}  // namespace

Status SimInstanceMgr::TryDescription(BvuDirectoryNode* node, BvuBinaryStream& body, bool* lost) {
  *lost = false;
  std::uint8_t* start = body.Tell();
  SimInstanceShadow shadow(this, node);
  auto* target = dynamic_cast<DAESInstanceNode*>(shadow.Target());
  if (target == nullptr) return status::kOk;
  // Nothing of the trial may reach the results set.
  DAESResultsServices* results = daes::ResultsServices();
  daes::SetResultsServices(nullptr);
  const Status trial = target->ReadFromMessage(body, shadow.Root(), expression_tree_, target);
  daes::SetResultsServices(results);
  *lost = target->LastReadLost();
  // A received message is read again from the start of the list; its
  // segments must all stay (Seek would cut it there).
  if (auto* message = dynamic_cast<DseMessage*>(&body)) {
    message->RereadFrom(start);
  } else {
    body.Seek(start);
  }
  return trial;
}

Status SimInstanceMgr::ReadDescription(BvuDirectoryNode* node, BvuBinaryStream& body) {
  item_copies_.clear();
  // The list is read on a stand-in first, silently. Items the reader refuses
  // but reads past are its own affair; bytes it loses its place in are not
  // an item list, and the tree is left as it was.
  bool lost = false;
  QuietPrinter(1);
  Status trial = TryDescription(node, body, &lost);
  QuietPrinter(0);
  if (lost) {
    // Again aloud, for the reader's own account of where it stopped.
    trial = TryDescription(node, body, &lost);
    SuPrint(trial, "Instance description refused: the model is left as it was");
    return status::IsFailure(trial) ? trial : status::kBadArguments;
  }
  return node->ReadFromMessage(body, this, expression_tree_, node);
}
