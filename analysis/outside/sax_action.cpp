#include "analysis/outside/sax_action.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "framework/libraries/call_context_block.h"
#include "framework/libraries/qln_dynamic_library.h"
#include "framework/messaging/message.h"

namespace {

std::int32_t g_sax = 0;
std::int32_t g_oll = 0;

constexpr Status kReadFailed = 0xA000FFFFu;
constexpr Status kNoMemory = 0x80000213u;

using UserProc = std::int32_t (*)(std::int32_t, double, std::int32_t, std::int64_t*, std::int32_t,
                                  std::int64_t*, void*);

// A path read into 260 characters, losing one pair of surrounding quotes.
Status ReadPath(BvuBinaryStream& body, std::string* path) {
  char buffer[260];
  const Status s = body.GetStringInto(buffer, sizeof buffer);
  if (status::IsFailure(s)) return s;
  std::string text = buffer;
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
  }
  *path = text;
  return status::kOk;
}

Status ReadString(BvuBinaryStream& body, std::string* out) {
  char* text = nullptr;
  const Status s = body.GetStringNew(&text);
  if (status::IsFailure(s)) {
    delete[] text;
    return s;
  }
  *out = text != nullptr ? text : "";
  delete[] text;
  return status::kOk;
}

// The k (byte id, double) pairs of an item.
Status ReadPairs(BvuBinaryStream& body, std::uint16_t k, std::vector<std::int32_t>* ids,
                 std::vector<double>* values) {
  for (std::uint16_t i = 0; i < k; ++i) {
    std::uint8_t id = 0;
    double value = 0.0;
    Status s = body.GetUInt8(&id);
    if (status::IsFailure(s)) return s;
    if (body.TryGet8(&value) != 1) return kReadFailed;
    ids->push_back(id);
    values->push_back(value);
  }
  return status::kOk;
}

void ItemRecord(BvuBinaryStream& out, OLLExternalProcedure& oll, const std::string& name,
                std::int32_t item, Status status) {
  out.PutUInt16(static_cast<std::uint16_t>(item));
  out.PutUInt32(status);
  out.PutString(oll.GetUOM(name.c_str(), item).c_str());
}

}  // namespace

std::int32_t SaxSwitch() { return g_sax; }
std::int32_t OllSwitch() { return g_oll; }

std::string OllGroupName(std::uint16_t key) {
  char name[20];
  std::snprintf(name, sizeof name, "OLL%sGroup%d", (key & 0xFF) == 1 ? "Input" : "Output",
                key >> 8);
  return name;
}

ExternalProcedure::~ExternalProcedure() = default;

SAXExternalProcedure::~SAXExternalProcedure() { delete function_; }

std::int32_t SAXExternalProcedure::CallEvent(std::int32_t event, double time, void* context) {
  if (function_ == nullptr) return static_cast<std::int32_t>(0x80000015u);
  if (function_->Library() != nullptr && function_->Entry() == nullptr) {
    function_->Library()->ResolveFunctionsAgain();
  }
  if (function_->Entry() == nullptr) return static_cast<std::int32_t>(0xA0000033u);
  auto f = reinterpret_cast<UserProc>(function_->Entry());
  return f(event, time, static_cast<std::int32_t>(list_a.size()),
           list_a.empty() ? nullptr : list_a.data(), static_cast<std::int32_t>(list_b.size()),
           list_b.empty() ? nullptr : list_b.data(), context);
}

const char* const OLLExternalProcedure::kNames[kEntries] = {
    "OLLConnectToServer",   "OLLSetParameters",   "OLLCreateGroup", "OLLSetGroupParameters",
    "OLLSetItemParameters", "OLLModifyItemTag",   "OLLRemoveItem",  "OLLAddItem",
    "OLLEnableItem",        "OLLSimulationEvent", "OLLGetUOM"};

OLLExternalProcedure::~OLLExternalProcedure() {
  for (XosDynamicFunction*& f : entries_) {
    delete f;
    f = nullptr;
  }
}

Status OLLExternalProcedure::Load(const std::string& path, SaxServices& services) {
  Status last = status::kOk;
  for (int i = 0; i < kEntries; ++i) {
    Status result = status::kOk;
    XosDynamicFunction* f = QLNDynamicLibrary::FindInNamedLibrary(
        kNames[i], path.c_str(), ProcedureCallBlock(), nullptr, &result);
    if (f != nullptr && !status::IsFailure(result) && f->Entry() != nullptr) {
      entries_[i] = f;
      continue;
    }
    delete f;
    if ((result & 0xFFFFu) == 52) {
      char text[400];
      std::snprintf(text, sizeof text, "Could not find the OLL Interface library %s\n",
                    path.c_str());
      services.Print(kMissing, text);
      return kMissing;
    }
    char text[400];
    std::snprintf(text, sizeof text,
                  "Could not find the function %s in the OLL Interface library %s\n", kNames[i],
                  path.c_str());
    services.Print(result == 0 ? kMissing : result, text);
    last = result == 0 ? kMissing : result;
  }
  return last;
}

void* OLLExternalProcedure::Address(int entry) const {
  XosDynamicFunction* f = entries_[entry];
  if (f == nullptr) return nullptr;
  if (f->Entry() == nullptr && f->Library() != nullptr) f->Library()->ResolveFunctionsAgain();
  return f->Entry();
}

std::int32_t OLLExternalProcedure::CallEvent(std::int32_t event, double time, void* context) {
  auto f = reinterpret_cast<std::int32_t (*)(std::int32_t, double, void*)>(Address(9));
  return f == nullptr ? 0 : f(event, time, context);
}

Status OLLExternalProcedure::ConnectToServer(const char* name, std::int32_t connection,
                                             void* context) {
  auto f = reinterpret_cast<std::int32_t (*)(const char*, std::int32_t, void*)>(Address(0));
  if (f == nullptr) return kMissing;
  f(name, connection, context);
  return status::kOk;
}

Status OLLExternalProcedure::SetParameters(const std::int32_t p[6]) {
  auto f =
      reinterpret_cast<std::int32_t (*)(std::int32_t, const std::int32_t*, const std::int32_t*)>(
          Address(1));
  if (f == nullptr) return kMissing;
  // The fifth and sixth values change places; the library expects it.
  static const std::int32_t ids[6] = {2, 5, 3, 4, 1, 6};
  const std::int32_t values[6] = {p[0], p[1], p[2], p[3], p[5], p[4]};
  f(6, ids, values);
  return status::kOk;
}

Status OLLExternalProcedure::CreateGroup(const char* name, std::int32_t m,
                                         const std::int64_t* handles, const char* const* tags,
                                         std::int32_t g1, std::int32_t v, std::int32_t g2,
                                         std::int32_t flags, std::int32_t* results) {
  auto f = reinterpret_cast<std::int32_t (*)(
      const char*, std::int32_t, const std::int64_t*, const char* const*, std::int32_t,
      std::int32_t, std::int32_t, std::int32_t, std::int32_t*)>(Address(2));
  if (f == nullptr) return kMissing;
  return static_cast<Status>(f(name, m, handles, tags, g1, v, g2, flags, results));
}

Status OLLExternalProcedure::SetGroupParameters(const char* name, std::int32_t n,
                                                const std::int32_t* ids,
                                                const std::int32_t* values) {
  auto f = reinterpret_cast<std::int32_t (*)(const char*, std::int32_t, const std::int32_t*,
                                             const std::int32_t*)>(Address(3));
  if (f == nullptr) return kMissing;
  f(name, n, ids, values);
  return status::kOk;
}

Status OLLExternalProcedure::SetItemParameters(const char* name, std::int32_t item, std::int32_t k,
                                               const std::int32_t* ids, const double* values) {
  auto f = reinterpret_cast<std::int32_t (*)(const char*, std::int32_t, std::int32_t,
                                             const std::int32_t*, const double*)>(Address(4));
  if (f == nullptr) return kMissing;
  f(name, item, k, ids, values);
  return status::kOk;
}

Status OLLExternalProcedure::ModifyItemTag(const char* name, std::int32_t item, const char* tag) {
  auto f = reinterpret_cast<std::int32_t (*)(const char*, std::int32_t, const char*)>(Address(5));
  if (f == nullptr) return kMissing;
  return f(name, item, tag) != 0 ? status::kOk : kMissing;
}

Status OLLExternalProcedure::RemoveItem(const char* name, std::int32_t item) {
  auto f = reinterpret_cast<std::int32_t (*)(const char*, std::int32_t)>(Address(6));
  if (f == nullptr) return kMissing;
  return static_cast<Status>(f(name, item));
}

Status OLLExternalProcedure::AddItem(const char* name, std::int64_t handle, const char* tag,
                                     std::int32_t* two) {
  auto f =
      reinterpret_cast<std::int32_t (*)(const char*, std::int64_t, const char*, std::int32_t*)>(
          Address(7));
  if (f == nullptr) return kMissing;
  return static_cast<Status>(f(name, handle, tag, two));
}

Status OLLExternalProcedure::EnableItem(const char* name, std::int32_t item, std::int32_t a,
                                        std::int32_t b) {
  auto f =
      reinterpret_cast<std::int32_t (*)(const char*, std::int32_t, std::int32_t, std::int32_t)>(
          Address(8));
  if (f == nullptr) return kMissing;
  f(name, item, a, b);
  return status::kOk;
}

std::string OLLExternalProcedure::GetUOM(const char* name, std::int32_t item) {
  auto f = reinterpret_cast<std::int32_t (*)(const char*, std::int32_t, const char**)>(Address(10));
  if (f == nullptr) return std::string();
  const char* text = nullptr;
  f(name, item, &text);
  return text != nullptr ? std::string(text) : std::string();
}

// --- the action ---

SAXAction::SAXAction(SaxServices& services) : SimSingleAction(kActionName), services_(services) {
  hook_modes.fill(kNotHooked);
  services_.RegisterActionFactory(this);
}

// The switches are process-wide: a later action must not start with
// procedures it does not hold switched on.
SAXAction::~SAXAction() {
  procedures_.clear();
  g_sax = 0;
  g_oll = 0;
}

std::int32_t SAXAction::EventOfHook(std::int32_t hook, std::uint32_t flags) {
  struct Row {
    std::int32_t hook;
    std::uint32_t flag;
    std::int32_t event;
  };
  static const Row rows[] = {{5, 0x1, 3},  {6, 0x2, 4},   {7, 0x40, 5}, {8, 0x80, 6},
                             {9, 0x10, 7}, {10, 0x20, 8}, {11, 0x4, 9}, {12, 0x8, 10}};
  for (const Row& r : rows) {
    if (r.hook == hook) return (flags & r.flag) != 0 ? r.event : 0;
  }
  return 0;
}

void SAXAction::SetHookFlags(std::uint32_t flags) {
  hook_flags_ |= flags;
  hook_modes.fill(kNotHooked);
  for (std::size_t point : {0u, 1u, 2u, 4u}) hook_modes[point] = 1;
  for (std::int32_t hook = 5; hook <= 12; ++hook) {
    if (EventOfHook(hook, hook_flags_) != 0) hook_modes[static_cast<std::size_t>(hook)] = 1;
  }
  Restart();
}

void SAXAction::Restart() {
  if (active_) services_.RemoveAction(this);
  active_ = !status::IsFailure(services_.CreateAction(kActionName));
}

void SAXAction::Clear() {
  if (g_sax != 0) {
    const double time = services_.CurrentTime();
    for (auto& p : procedures_) p->CallEvent(11, time, services_.Context());
  }
  procedures_.clear();
  procedures_.shrink_to_fit();
  g_sax = 0;
  g_oll = 0;
  if (active_) {
    services_.RemoveAction(this);
    active_ = false;
  }
  started_ = 0;
}

Status SAXAction::StartRun(std::int32_t) {
  Restart();
  started_ = 0;
  return status::kOk;
}

Status SAXAction::DetachProblem(const char*, const char*) {
  Clear();
  return status::kOk;
}

void SAXAction::Append(std::unique_ptr<ExternalProcedure> procedure) {
  if (procedures_.size() % 4 == 0) procedures_.reserve(procedures_.size() + 4);
  procedures_.push_back(std::move(procedure));
}

bool SAXAction::AnyEnabled() {
  return std::any_of(procedures_.begin(), procedures_.end(),
                     [](const auto& p) { return p->IsEnabled() != 0; });
}

OLLExternalProcedure* SAXAction::OllOfKey(std::uint16_t key) {
  const std::uint32_t id = key >> 8;
  for (auto& p : procedures_) {
    if (p->GetId() == id) return static_cast<OLLExternalProcedure*>(p.get());
  }
  return nullptr;
}

Status SAXAction::Execute(std::int32_t* request, SimActionControl* element,
                          const SimExplicitEvent*) {
  std::int32_t next = 1;
  std::uint32_t record = SimActionControl::kDone;
  const Status s = RunHook(services_.CurrentHookPoint(), &next, &record);
  if (request != nullptr) *request = next;
  if (element != nullptr) element->state = record;
  return s;
}

Status SAXAction::RunHook(std::int32_t hook, std::int32_t* next, std::uint32_t* record) {
  if (!AnyEnabled()) {
    *next = 1;
    *record = SimActionControl::kDone;
    return status::kOk;
  }
  void* context = services_.Context();
  const double time = services_.CurrentTime();
  std::int32_t r = 1;
  if (hook == 4 || (hook >= 5 && hook <= 12 && started_ == 0)) {
    for (auto& p : procedures_) {
      if (p->IsEnabled() == 0) continue;
      if (started_ == 0) p->CallEvent(1, time, context);
      r = std::max(r, p->CallEvent(2, time, context));
    }
    started_ = 1;
  }
  std::int32_t event = 0;
  if (hook == 0) {
    event = 1;
    started_ = 1;
  } else if (hook == 1 || hook == 2) {
    if (started_ != 0) {
      event = 11;
      started_ = 0;
    }
  } else if (hook >= 5 && hook <= 12) {
    event = EventOfHook(hook, hook_flags_);
  }
  *record = 1;  // running
  if (r == 1 && event != 0) {
    bool first = true;
    for (auto& p : procedures_) {
      if (p->IsEnabled() == 0) continue;
      const std::int32_t answer = p->CallEvent(event, time, context);
      r = first ? answer : std::max(r, answer);
      first = false;
    }
  }
  if (r > 5) {
    *record = SimActionControl::kDone;
    *next = 6;
    return status::kOk;
  }
  static const std::int32_t map[6] = {0, 1, 3, 4, 5, 6};
  if (r == 0) {
    *next = 0;  // called again: the record stays running
    return status::kOk;
  }
  *next = r > 0 ? map[r] : 1;
  *record = SimActionControl::kDone;
  return status::kOk;
}

Status SAXAction::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                DseTemplate** kept) {
  if (request == nullptr || request->subtype != DseMessage::kRequest) {
    return DseServerCB::HandleRequest(type, request, reply, kept);
  }
  DseMessage* made = nullptr;
  const Status result = Serve(*request, &made);
  if (made != nullptr) {
    made->type = type;
    *reply = made;
  }
  return result;
}

Status SAXAction::SetUpUserProcedure(BvuBinaryStream& body) {
  std::string path, name;
  Status s = ReadPath(body, &path);
  if (status::IsFailure(s)) return s;
  s = ReadString(body, &name);
  if (status::IsFailure(s)) return s;
  std::uint8_t bytes[6];
  for (std::uint8_t& b : bytes) {
    s = body.GetUInt8(&b);
    if (status::IsFailure(s)) return s;
  }
  std::uint8_t enable = 0;
  s = body.GetUInt8(&enable);
  if (status::IsFailure(s)) return s;

  Status found = status::kOk;
  XosDynamicFunction* f = QLNDynamicLibrary::FindInNamedLibrary(
      name.c_str(), path.c_str(), ProcedureCallBlock(), nullptr, &found);
  if (f == nullptr && !status::IsFailure(found)) found = 0x8000FFFFu;
  if (f != nullptr && status::IsFailure(found)) {
    delete f;
    f = nullptr;
  }
  std::unique_ptr<SAXExternalProcedure> procedure;
  if (f != nullptr) procedure = std::make_unique<SAXExternalProcedure>(f);

  std::uint32_t flags = 0;
  for (int i = 0; i < 6; ++i) {
    if (bytes[i] != 0) flags |= 1u << i;
  }
  if (flags & 0x1) flags |= 0x40;
  if (flags & 0x2) flags |= 0x80;
  SetHookFlags(flags);

  if (procedure == nullptr && enable != 0) {
    char text[800];
    std::snprintf(text, sizeof text,
                  "Failed to find procedure %s in the DLL %s\nSAX interface has been disabled "
                  "for this session.",
                  name.c_str(), path.c_str());
    services_.Print(found, text);
  }
  g_sax = (procedure != nullptr && enable != 0) ? 1 : 0;

  Status result = status::kOk;
  for (std::vector<std::int64_t>* list :
       {procedure ? &procedure->list_a : nullptr, procedure ? &procedure->list_b : nullptr}) {
    std::uint32_t count = 0;
    s = body.GetUInt32(&count);
    if (status::IsFailure(s)) return s;
    std::vector<std::int64_t> handles;
    bool ok = true;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::int64_t handle = 0;
      if (status::IsFailure(services_.ReadVariableHandle(body, &handle))) {
        ok = false;
        result = kReadFailed;
        break;
      }
      try {
        handles.push_back(handle);
      } catch (const std::bad_alloc&) {
        ok = false;
        result = kNoMemory;
        break;
      }
    }
    if (list != nullptr && ok && count != 0) list->swap(handles);
    if (!ok) break;
  }
  if (procedure != nullptr) Append(std::move(procedure));
  return result;
}

Status SAXAction::SetUpOll(BvuBinaryStream& body, BvuBinaryStream& out) {
  std::string path;
  Status s = ReadPath(body, &path);
  if (status::IsFailure(s)) return s;
  auto procedure = std::make_unique<OLLExternalProcedure>();
  const Status loaded = procedure->Load(path, services_);
  OLLExternalProcedure& oll = *procedure;
  Append(std::move(procedure));

  std::uint8_t id = 0;
  s = body.GetUInt8(&id);
  if (status::IsFailure(s)) return s;
  oll.SetId(id);
  out.PutInt8(static_cast<std::int8_t>(id));

  std::uint8_t connection = 0;
  s = body.GetUInt8(&connection);
  if (status::IsFailure(s)) return s;
  std::string server;
  s = ReadString(body, &server);
  if (status::IsFailure(s)) return s;
  bool connected = false;
  if (!server.empty() && oll.Has(0)) {
    oll.ConnectToServer(server.c_str(), connection, services_.Context());
    connected = true;
  }
  std::uint8_t enable = 0;
  s = body.GetUInt8(&enable);
  if (status::IsFailure(s)) return s;
  g_oll = (enable != 0 && loaded == status::kOk && connected) ? enable : 0;

  std::int32_t p[6] = {enable, 0, 0, 0, 0, 0};
  for (int i = 1; i < 6; ++i) {
    std::uint8_t b = 0;
    s = body.GetUInt8(&b);
    if (status::IsFailure(s)) return s;
    p[i] = b;
  }
  out.PutUInt32(oll.SetParameters(p));

  std::uint16_t n = 0;
  s = body.GetUInt16(&n);
  if (status::IsFailure(s)) return s;
  out.PutUInt16(n);
  for (std::uint16_t g = 0; g < n; ++g) {
    std::uint16_t key = 0;
    std::uint8_t f = 0, g1 = 0, g2 = 0;
    std::uint32_t v = 0;
    if (status::IsFailure(s = body.GetUInt16(&key))) return s;
    out.PutUInt16(key);
    if (status::IsFailure(s = body.GetUInt8(&f))) return s;
    SetHookFlags(f);
    if (status::IsFailure(s = body.GetUInt8(&g1))) return s;
    if (status::IsFailure(s = body.GetUInt8(&g2))) return s;
    s = body.GetUInt32(&v);
    out.PutUInt32(status::IsFailure(s) ? s : 0);
    if (status::IsFailure(s)) return s;
    std::uint16_t m = 0;
    if (status::IsFailure(s = body.GetUInt16(&m))) return s;
    out.PutUInt16(m);
    struct Item {
      std::int64_t handle = 0;
      std::string tag;
      std::uint8_t a = 0, b = 0;
      std::vector<std::int32_t> ids;
      std::vector<double> values;
    };
    std::vector<Item> items;
    Status item_read = status::kOk;
    for (std::uint16_t i = 0; i < m; ++i) {
      Item item;
      std::uint16_t k = 0;
      if (status::IsFailure(item_read = services_.ReadVariableHandle(body, &item.handle)) ||
          status::IsFailure(item_read = ReadString(body, &item.tag)) ||
          status::IsFailure(item_read = body.GetUInt8(&item.a)) ||
          status::IsFailure(item_read = body.GetUInt8(&item.b)) ||
          status::IsFailure(item_read = body.GetUInt16(&k)) ||
          status::IsFailure(item_read = ReadPairs(body, k, &item.ids, &item.values))) {
        break;
      }
      items.push_back(std::move(item));
    }
    const std::string name = OllGroupName(key);
    const std::int32_t count = static_cast<std::int32_t>(items.size());
    std::vector<std::int64_t> handles;
    std::vector<const char*> tags;
    for (const Item& item : items) {
      handles.push_back(item.handle);
      tags.push_back(item.tag.c_str());
    }
    std::vector<std::int32_t> results(items.size(), 0);
    oll.CreateGroup(name.c_str(), count, handles.data(), tags.data(), g1,
                    static_cast<std::int32_t>(v), g2, f, results.data());
    if (key == current_key_) {
      const std::int32_t id35 = 35, one = 1;
      oll.SetGroupParameters(name.c_str(), 1, &id35, &one);
    }
    for (std::int32_t i = 0; i < count; ++i) {
      const Item& item = items[i];
      if (item.a == 0 || item.b != 0) oll.EnableItem(name.c_str(), i, item.a, item.b);
      if (!item.ids.empty()) {
        oll.SetItemParameters(name.c_str(), i, static_cast<std::int32_t>(item.ids.size()),
                              item.ids.data(), item.values.data());
      }
      ItemRecord(out, oll, name, i, static_cast<Status>(results[i]));
    }
    if (status::IsFailure(item_read)) return item_read;
  }
  return status::kOk;
}

Status SAXAction::AddItem(BvuBinaryStream& body, BvuBinaryStream& out) {
  std::uint16_t key = 0, w = 0, k = 0;
  std::int64_t handle = 0;
  std::string tag;
  std::uint8_t a = 0, b = 0;
  std::vector<std::int32_t> ids;
  std::vector<double> values;
  Status s = status::kOk;
  if (status::IsFailure(s = body.GetUInt16(&key)) || status::IsFailure(s = body.GetUInt16(&w)) ||
      status::IsFailure(s = services_.ReadVariableHandle(body, &handle)) ||
      status::IsFailure(s = ReadString(body, &tag)) || status::IsFailure(s = body.GetUInt8(&a)) ||
      status::IsFailure(s = body.GetUInt8(&b)) || status::IsFailure(s = body.GetUInt16(&k)) ||
      status::IsFailure(s = ReadPairs(body, k, &ids, &values))) {
    return s;
  }
  OLLExternalProcedure* oll = OllOfKey(key);
  if (oll == nullptr) return OLLExternalProcedure::kMissing;
  const std::string name = OllGroupName(key);
  std::int32_t two[2] = {0, a};
  Status r = oll->AddItem(name.c_str(), handle, tag.c_str(), two);
  const std::int32_t index = two[0];
  if (a == 0) oll->EnableItem(name.c_str(), index, 0, b);
  if (k != 0 && static_cast<std::int32_t>(r) >= 0) {
    r = oll->SetItemParameters(name.c_str(), index, k, ids.data(), values.data());
  }
  out.PutUInt16(key);
  out.PutUInt16(w);
  ItemRecord(out, *oll, name, index, r);
  return status::kOk;
}

Status SAXAction::Serve(BvuBinaryStream& body, DseMessage** reply) {
  std::uint16_t kind = 0;
  Status s = body.GetUInt16(&kind);
  if (status::IsFailure(s)) return s;
  auto make_reply = [&]() -> std::unique_ptr<DseMessage> {
    std::unique_ptr<DseMessage> out(DseMessage::DseMessageDefault());
    if (out) out->PutUInt16(kind);
    return out;
  };
  switch (kind) {
    case 86:
      return SetUpUserProcedure(body);
    case 87:
      g_sax = 1;
      return status::kOk;
    case 88:
      g_sax = 0;
      return status::kOk;
    case 89:
      Clear();
      return status::kOk;
    case 95: {
      auto out = make_reply();
      if (!out) return DseMessage::kNoMemory;
      s = SetUpOll(body, *out);
      *reply = out.release();
      return s;
    }
    case 96: {
      std::uint8_t bytes[7];
      for (std::uint8_t& b : bytes)
        if (status::IsFailure(s = body.GetUInt8(&b))) return s;
      g_oll = bytes[1];
      std::int32_t p[6];
      for (int i = 0; i < 6; ++i) p[i] = bytes[i + 1];
      if (OLLExternalProcedure* oll = OllOfKey(static_cast<std::uint16_t>(bytes[0] << 8))) {
        oll->SetParameters(p);
      }
      return status::kOk;
    }
    case 97: {
      std::uint16_t key = 0;
      std::uint8_t v = 0, ignored = 0;
      std::uint32_t x = 0;
      if (status::IsFailure(s = body.GetUInt16(&key)) || status::IsFailure(s = body.GetUInt8(&v)) ||
          status::IsFailure(s = body.GetUInt8(&ignored)) ||
          status::IsFailure(s = body.GetUInt32(&x))) {
        return s;
      }
      SetHookFlags(v);
      if (OLLExternalProcedure* oll = OllOfKey(key)) {
        const std::int32_t ids[2] = {34, 36};
        const std::int32_t values[2] = {static_cast<std::int32_t>(x), v};
        oll->SetGroupParameters(OllGroupName(key).c_str(), 2, ids, values);
      }
      return status::kOk;
    }
    case 98: {
      std::uint16_t key = 0, item = 0, m = 0;
      std::uint8_t a = 0, b = 0;
      std::vector<std::int32_t> ids;
      std::vector<double> values;
      if (status::IsFailure(s = body.GetUInt16(&key)) ||
          status::IsFailure(s = body.GetUInt16(&item)) ||
          status::IsFailure(s = body.GetUInt8(&a)) || status::IsFailure(s = body.GetUInt8(&b)) ||
          status::IsFailure(s = body.GetUInt16(&m)) ||
          status::IsFailure(s = ReadPairs(body, m, &ids, &values))) {
        return s;
      }
      if (OLLExternalProcedure* oll = OllOfKey(key)) {
        const std::string name = OllGroupName(key);
        oll->EnableItem(name.c_str(), item, a, b);
        if (m != 0) oll->SetItemParameters(name.c_str(), item, m, ids.data(), values.data());
      }
      return status::kOk;
    }
    case 99:
    case 100: {
      std::uint16_t key = 0;
      if (status::IsFailure(s = body.GetUInt16(&key))) return s;
      if (OLLExternalProcedure* oll = OllOfKey(key)) {
        const std::int32_t id = 35, one = 1;
        oll->SetGroupParameters(OllGroupName(key).c_str(), 1, &id, &one);
      }
      current_key_ = key;
      return status::kOk;
    }
    case 101: {
      std::uint16_t key = 0, item = 0;
      std::string tag;
      if (status::IsFailure(s = body.GetUInt16(&key)) ||
          status::IsFailure(s = body.GetUInt16(&item)) ||
          status::IsFailure(s = ReadString(body, &tag))) {
        return s;
      }
      auto out = make_reply();
      if (!out) return DseMessage::kNoMemory;
      OLLExternalProcedure* oll = OllOfKey(key);
      if (oll != nullptr) {
        const std::string name = OllGroupName(key);
        const Status r = oll->ModifyItemTag(name.c_str(), item, tag.c_str());
        ItemRecord(*out, *oll, name, item, r);
      }
      *reply = out.release();
      return oll != nullptr ? status::kOk : OLLExternalProcedure::kMissing;
    }
    case 102:
      if (current_key_ != 0) {
        if (OLLExternalProcedure* oll = OllOfKey(current_key_)) {
          const std::int32_t id = 35, zero = 0;
          oll->SetGroupParameters(OllGroupName(current_key_).c_str(), 1, &id, &zero);
        }
        current_key_ = 0;
      }
      return status::kOk;
    case 103: {
      auto out = make_reply();
      if (!out) return DseMessage::kNoMemory;
      s = AddItem(body, *out);
      *reply = out.release();
      return s;
    }
    case 104: {
      std::uint16_t key = 0, item = 0;
      if (status::IsFailure(s = body.GetUInt16(&key)) ||
          status::IsFailure(s = body.GetUInt16(&item))) {
        return s;
      }
      auto out = make_reply();
      if (!out) return DseMessage::kNoMemory;
      OLLExternalProcedure* oll = OllOfKey(key);
      const Status r = oll != nullptr ? oll->RemoveItem(OllGroupName(key).c_str(), item)
                                      : OLLExternalProcedure::kMissing;
      out->PutUInt16(key);
      out->PutUInt16(item);
      out->PutUInt32(r);
      *reply = out.release();
      return status::kOk;
    }
    default:
      return kUnknownKind;
  }
}
