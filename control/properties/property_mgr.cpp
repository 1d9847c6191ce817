#include "control/properties/property_mgr.h"

#include <strings.h>

#include <algorithm>
#include <exception>
#include <new>

#include "control/problem/problem_manager.h"
#include "foundation/directory/id_path.h"
#include "foundation/messages/su_print.h"
#include "framework/libraries/library_loader.h"
#include "framework/messaging/message.h"
#include "platform/unknown.h"

namespace {

GppiPropertyMgr* g_property_mgr = nullptr;
bool g_package_loaded = false;

constexpr char kGeneralException[] = "GppiLoadPackage() caught general exception ";
constexpr Status kBusy = 0x0032000Au;
// The wire code of a u32 item.
constexpr std::uint32_t kWordCode = 4;
// Query requests: counts and items of components, then of lists.
constexpr gppi::PackageInt kComponentCount = 1;
constexpr gppi::PackageInt kComponentItem = 2;
constexpr gppi::PackageInt kListCount = 3;
constexpr gppi::PackageInt kListItem = 4;
constexpr gppi::PackageInt kQueryFailure = 3;
constexpr std::uint32_t kTextRoom = gppi::kTextField + 1;
// More items than a reply can list is a package fault, not a count.
constexpr gppi::PackageInt kMostItems = 1 << 20;

bool SameName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// A text of at most 40 characters from the request.
Status ReadText(BvuBinaryStream& body, std::string* text) {
  char buffer[kTextRoom] = {};
  const Status read = body.GetStringInto(buffer, kTextRoom);
  if (status::IsFailure(read)) return read;
  *text = buffer;
  return status::kOk;
}

}  // namespace

void GppiPackage::ClearLists() {
  components.clear();
  property_names.clear();
  lists.clear();
  offered_options.clear();
}

void GppiPackage::Release() {
  ClearLists();
  if (library != nullptr) library->Release();
  library = nullptr;
  load = nullptr;
  unload = nullptr;
  ini = nullptr;
  end = nullptr;
  query = nullptr;
  options = nullptr;
  state = kNotLoaded;
}

GppiPropertyMgr::GppiPropertyMgr() : BvuError(gppi_status::kInitial) {
  g_property_mgr = this;
  daes::SetPropertyServices(this);
}

GppiPropertyMgr::~GppiPropertyMgr() {
  objects_.clear();
  if (package_ != nullptr) package_->Release();
  g_package_loaded = false;
  if (daes::PropertyServices() == this) daes::SetPropertyServices(nullptr);
  if (g_property_mgr == this) g_property_mgr = nullptr;
}

GppiPropertyMgr* GppiPropertyMgr::Instance() { return g_property_mgr; }

bool GppiPropertyMgr::PackageIsLoaded() { return g_package_loaded; }

void GppiPropertyMgr::Changed() {
  rebuild_tables_ = true;
  if (SimProblemMgr* manager = SimProblemMgr::Instance()) {
    manager->NotifySolversChanged();
    manager->MarkCheckProblem();
  }
}

// --- requests ---

Status GppiPropertyMgr::HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                                      DseTemplate** kept) {
  if (type != kService) return gppi_status::kFailed;
  if (request != nullptr && request->subtype == DseMessage::kIdPathRead) {
    return DseServerCB::HandleRequest(type, request, reply, kept);
  }
  return ServeRequest(*request, request, reply);
}

Status GppiPropertyMgr::GetItem(std::uint32_t, const BvuIdPath& ids, std::uint32_t first,
                                std::uint32_t, std::uint32_t* type_code, void** value_address) {
  *type_code = 0;
  *value_address = nullptr;
  if (first != kSelect && first != kUnload) return gppi_status::kBadKind;
  // The package's tables are handed over before a run; not while it runs.
  const SimProblemMgr* manager = SimProblemMgr::Instance();
  if (manager != nullptr && manager->StepScheduled()) return kBusy;
  std::vector<std::string> names;
  if (ids.with_names()) {
    for (std::size_t i = 0; i < ids.count(); ++i) {
      const std::uint32_t id = ids.ids()[i];
      if (id != kIdPathRoot && id != kIdPathEnd) names.push_back(ids.NameAt(i));
    }
  }
  const char* name = names.empty() ? nullptr : names.back().c_str();
  const char* text1 = names.size() >= 2 ? names[0].c_str() : "";
  const char* text2 = names.size() >= 3 ? names[1].c_str() : "";
  const Status selected = SelectItem(first, text1, text2, name);
  if (status::IsFailure(selected)) return selected;
  item_state_ = package_ != nullptr ? static_cast<std::uint32_t>(package_->state) : 0;
  *type_code = kWordCode;
  *value_address = &item_state_;
  return status::kOk;
}

Status GppiPropertyMgr::ServeRequest(BvuBinaryStream& body, DseMessage* request,
                                     DseMessage** reply) {
  std::uint16_t code = 0;
  const Status read = body.GetUInt16(&code);
  if (status::IsFailure(read)) return read;
  const bool loaded = package_ != nullptr && package_->state == GppiPackage::kLoaded;
  if (!loaded) return gppi_status::kFailed;
  if (code == kListRequest) {
    std::unique_ptr<DseMessage> made(request != nullptr ? DseMessage::DseMessageAsReply(*request)
                                                        : new (std::nothrow)
                                                              DseMessage(kService, 12));
    if (made == nullptr) return gppi_status::kNoMemory;
    if (request != nullptr) made->sequence = request->sequence + 1;
    Status put = made->PutUInt16(kListRequest);
    if (status::IsSuccess(put)) put = WriteOffer(*made);
    if (status::IsFailure(put)) return put;
    if (reply != nullptr) *reply = made.release();
    return put;
  }
  if (code == kDefineRequest) {
    const Status defined = DefineObject(body);
    Changed();
    return defined;
  }
  return gppi_status::kFailed;
}

Status GppiPropertyMgr::WriteOffer(DseMessage& reply) {
  Status put = reply.PutUInt16(static_cast<std::uint16_t>(package_->lists.size()));
  for (const GppiCogDefinition& list : package_->lists) {
    if (status::IsSuccess(put)) put = reply.PutString(list.name.c_str());
    if (status::IsSuccess(put))
      put = reply.PutUInt16(static_cast<std::uint16_t>(list.components.size()));
    for (std::int32_t c : list.components) {
      if (status::IsSuccess(put)) put = reply.PutString(package_->components[c].names[0].c_str());
    }
  }
  if (status::IsSuccess(put)) put = reply.PutUInt16(static_cast<std::uint16_t>(objects_.size()));
  for (const auto& object : objects_) {
    if (status::IsSuccess(put)) put = reply.PutString(object->name.c_str());
    if (status::IsSuccess(put)) put = reply.PutUInt32(object->id);
    if (status::IsSuccess(put))
      put = reply.PutUInt16(static_cast<std::uint16_t>(object->components.size()));
    for (const std::string& c : object->components) {
      if (status::IsSuccess(put)) put = reply.PutString(c.c_str());
    }
    if (status::IsSuccess(put))
      put = reply.PutUInt16(static_cast<std::uint16_t>(object->options.size()));
    for (const GppiPropertyOption& o : object->options) {
      if (status::IsSuccess(put)) put = reply.PutString(o.option.c_str());
      if (status::IsSuccess(put)) put = reply.PutString(o.group.c_str());
    }
  }
  return status::IsFailure(put) ? put : status::kOk;
}

std::int32_t GppiPropertyMgr::ComponentIndex(const std::string& name) const {
  if (package_ == nullptr || name.empty()) return -1;
  for (std::size_t i = 0; i < package_->components.size(); ++i) {
    if (SameName(package_->components[i].names[0], name)) return static_cast<std::int32_t>(i);
  }
  return -1;
}

GppiPropertyObject* GppiPropertyMgr::FindObject(const char* name) const {
  if (name == nullptr) return nullptr;
  for (const auto& object : objects_) {
    if (SameName(object->name, name)) return object.get();
  }
  return nullptr;
}

Status GppiPropertyMgr::DefineObject(BvuBinaryStream& body) {
  std::string name;
  Status read = ReadText(body, &name);
  if (status::IsFailure(read)) return read;
  GppiPropertyObject* object = FindObject(name.c_str());
  if (object == nullptr) {
    auto made = std::unique_ptr<GppiPropertyObject>(new (std::nothrow) GppiPropertyObject);
    if (made == nullptr) return gppi_status::kNoMemory;
    made->name = name;
    object = made.get();
    objects_.push_back(std::move(made));
  }
  object->components.clear();
  object->options.clear();
  auto fail = [&](Status failure) {
    objects_.erase(std::remove_if(objects_.begin(), objects_.end(),
                                  [object](const auto& o) { return o.get() == object; }),
                   objects_.end());
    return failure;
  };
  std::uint16_t count = 0;
  if (status::IsFailure(read = body.GetUInt8(&object->flag))) return fail(read);
  if (status::IsFailure(read = body.GetUInt16(&count))) return fail(read);
  for (std::uint16_t i = 0; i < count; ++i) {
    std::string component;
    if (status::IsFailure(read = ReadText(body, &component))) return fail(read);
    if (ComponentIndex(component) < 0) return fail(gppi_status::kMissingEntry);
    object->components.push_back(component);
  }
  if (status::IsFailure(read = body.GetUInt16(&count))) return fail(read);
  for (std::uint16_t i = 0; i < count; ++i) {
    GppiPropertyOption option;
    if (status::IsFailure(read = ReadText(body, &option.option))) return fail(read);
    if (status::IsFailure(read = ReadText(body, &option.group))) return fail(read);
    const bool offered =
        std::any_of(package_->offered_options.begin(), package_->offered_options.end(),
                    [&](const GppiPropertyOption& o) {
                      return SameName(o.option, option.option) && SameName(o.group, option.group);
                    });
    if (!offered) return fail(gppi_status::kMissingEntry);
    object->options.push_back(std::move(option));
  }
  return status::kOk;
}

// --- selecting and loading a package ---

Status GppiPropertyMgr::SelectItem(std::uint32_t kind, const char* text1, const char* text2,
                                   const char* name) {
  if (kind == kSelect) return SelectPackage(text1, text2, name);
  if (kind == kUnload) return UnloadPackage();
  return gppi_status::kBadKind;
}

Status GppiPropertyMgr::SelectPackage(const char* text1, const char* text2, const char* name) {
  if (package_ != nullptr && (name == nullptr || !SameName(package_->name, name))) {
    package_->Release();
    package_.reset();
    g_package_loaded = false;
  }
  Status result = status::kOk;
  if (package_ != nullptr) {
    // The same package again: its library stays, its offer is read anew.
    Changed();
    UnloadObjects();
    package_->ClearLists();
    result = LoadOffer(text1, text2);
  } else if (name != nullptr && name[0] != '\0') {
    result = LoadPackageLibrary(name);
    if (!status::IsFailure(result)) result = LoadOffer(text1, text2);
  } else {
    return gppi_status::kNoPackage;
  }
  if (!status::IsFailure(result)) {
    gppi::PackageInt first = 0;
    gppi::PackageInt second = 0;
    package_->options(&first, &second);
    result = static_cast<Status>(second);
  }
  if (status::IsFailure(result)) {
    last_state_ = package_ != nullptr && package_->state == GppiPackage::kFailed
                      ? GppiPackage::kFailed
                      : GppiPackage::kNotLoaded;
    if (package_ != nullptr) package_->Release();
    package_.reset();
    g_package_loaded = false;
    return result;
  }
  package_->state = last_state_ = GppiPackage::kLoaded;
  g_package_loaded = true;
  rebuild_tables_ = true;
  return result;
}

Status GppiPropertyMgr::AdoptPackage(std::unique_ptr<GppiPackage> package, const char* text1,
                                     const char* text2) {
  if (package == nullptr || package->ini == nullptr || package->query == nullptr ||
      package->options == nullptr) {
    return gppi_status::kMissingEntry;
  }
  UnloadPackage();
  package_ = std::move(package);
  Status result = LoadOffer(text1, text2);
  if (!status::IsFailure(result)) {
    gppi::PackageInt first = 0;
    gppi::PackageInt second = 0;
    package_->options(&first, &second);
    result = static_cast<Status>(second);
  }
  if (status::IsFailure(result)) {
    package_->Release();
    package_.reset();
    return result;
  }
  package_->state = last_state_ = GppiPackage::kLoaded;
  g_package_loaded = true;
  rebuild_tables_ = true;
  return result;
}

Status GppiPropertyMgr::LoadPackageLibrary(const char* name) {
  package_.reset(new (std::nothrow) GppiPackage);
  if (package_ == nullptr) return gppi_status::kNoMemory;
  package_->name = name;
  const std::string setup_name = std::string(name) + "_setup";
  if (setup_name.size() < kSetupNameRoom) {
    if (XosDynamicLibrary* setup = XosDynamicLibrary::Load(setup_name.c_str(), nullptr)) {
      auto entry = reinterpret_cast<gppi::SetupEntry>(setup->LookUpSymbol("GPP_SETUP", ""));
      gppi::PackageInt level = 1;
      if (entry != nullptr) entry(&level);
      setup->Release();
      if (level > 2) {
        package_->state = GppiPackage::kFailed;
        return gppi_status::kFailed;
      }
    }
  }
  package_->library = XosDynamicLibrary::Load(name, nullptr);
  if (package_->library == nullptr) {
    package_->state = GppiPackage::kFailed;
    return gppi_status::kFailed;
  }
  XosDynamicLibrary* library = package_->library;
  package_->load =
      reinterpret_cast<gppi::LoadEntry>(library->LookUpSymbol("GPP_LOAD", "IICICCIII"));
  package_->unload = reinterpret_cast<gppi::UnloadEntry>(library->LookUpSymbol("GPP_UNLOAD", ""));
  package_->ini = reinterpret_cast<gppi::IniEntry>(library->LookUpSymbol("GPP_INI", "CCI"));
  package_->end = reinterpret_cast<gppi::EndEntry>(library->LookUpSymbol("GPP_END", ""));
  package_->query =
      reinterpret_cast<gppi::QueryEntry>(library->LookUpSymbol("GPP_QUERY", "IICCCI"));
  package_->options =
      reinterpret_cast<gppi::OptionsEntry>(library->LookUpSymbol("GPP_OPTIONS", "II"));
  const bool all = package_->load != nullptr && package_->unload != nullptr &&
                   package_->ini != nullptr && package_->end != nullptr &&
                   package_->query != nullptr && package_->options != nullptr;
  return all ? status::kOk : gppi_status::kMissingEntry;
}

Status GppiPropertyMgr::LoadOffer(const char* text1, const char* text2) {
  try {
    char first[gppi::kTextField];
    char second[gppi::kTextField];
    gppi::ToField(text1 != nullptr ? text1 : "", first);
    gppi::ToField(text2 != nullptr ? text2 : "", second);
    gppi::PackageInt answer = 1;
    package_->ini(first, second, &answer, gppi::kTextField, gppi::kTextField);
    if (answer != 1) return gppi_status::kIniRefused;
    Status read = QueryList(kComponentCount, kComponentItem, true);
    if (!status::IsFailure(read)) read = QueryList(kListCount, kListItem, false);
    return read;
  } catch (const std::exception&) {
    SuPrint(gppi_status::kFailed, kGeneralException);
    return gppi_status::kFailed;
  }
}

Status GppiPropertyMgr::QueryList(std::int64_t count_request, std::int64_t item_request,
                                  bool components) {
  gppi::PackageInt request = count_request;
  gppi::PackageInt count = 0;
  gppi::PackageInt answer = 0;
  char a[gppi::kTextField];
  char b[gppi::kTextField];
  char c[gppi::kTextField];
  gppi::ToField("", a);
  gppi::ToField("", b);
  gppi::ToField("", c);
  package_->query(&request, &count, a, b, c, &answer, gppi::kTextField, gppi::kTextField,
                  gppi::kTextField);
  if (answer >= kQueryFailure) return gppi_status::kQueryFailed;
  count = std::min(count, kMostItems);
  for (gppi::PackageInt index = 1; index <= count && answer < kQueryFailure; ++index) {
    request = item_request;
    gppi::PackageInt at = index;
    gppi::ToField("", a);
    gppi::ToField("", b);
    gppi::ToField("", c);
    package_->query(&request, &at, a, b, c, &answer, gppi::kTextField, gppi::kTextField,
                    gppi::kTextField);
    if (answer >= kQueryFailure) break;
    if (components) {
      GppiComponentID id;
      id.names[0] = gppi::FromField(a);
      id.names[1] = gppi::FromField(b);
      id.names[2] = gppi::FromField(c);
      // A name already offered is not offered twice.
      if (ComponentIndex(id.names[0]) < 0) package_->components.push_back(std::move(id));
    } else {
      AddListRow(gppi::FromField(a), gppi::FromField(b), gppi::FromField(c));
    }
  }
  return answer >= kQueryFailure ? gppi_status::kQueryFailed : status::kOk;
}

// A row of a component list: the list, one of its property names and the
// component it refers to (blank for none). The package's options are the
// property names with their list as the group.
void GppiPropertyMgr::AddListRow(const std::string& list, const std::string& property,
                                 const std::string& component) {
  auto found = std::find_if(package_->lists.begin(), package_->lists.end(),
                            [&](const GppiCogDefinition& d) { return SameName(d.name, list); });
  if (found == package_->lists.end()) {
    package_->lists.push_back({list, {}});
    found = package_->lists.end() - 1;
  }
  const std::int32_t index = ComponentIndex(component);
  if (index >= 0 && std::find(found->components.begin(), found->components.end(), index) ==
                        found->components.end()) {
    found->components.push_back(index);
  }
  if (property.empty()) return;
  package_->property_names.push_back({property, index});
  const bool known = std::any_of(package_->offered_options.begin(), package_->offered_options.end(),
                                 [&](const GppiPropertyOption& o) {
                                   return SameName(o.option, property) && SameName(o.group, list);
                                 });
  if (!known) package_->offered_options.push_back({property, list});
}

Status GppiPropertyMgr::UnloadObjects() {
  if (package_ != nullptr && package_->unload != nullptr) {
    gppi::PackageInt flag = 0;
    package_->unload(&flag);
  }
  objects_.clear();
  ReleaseTables();
  return status::kOk;
}

Status GppiPropertyMgr::UnloadPackage() {
  if (package_ == nullptr) return status::kOk;
  UnloadObjects();
  package_->Release();
  package_.reset();
  g_package_loaded = false;
  Changed();
  return status::kOk;
}

void GppiPropertyMgr::Reset() {
  UnloadPackage();
  objects_.clear();
  next_id_ = 0;
  SetStatus(gppi_status::kInitial);
}

Status GppiPropertyMgr::OptionsChanged() {
  if (!PackageIsLoaded() || package_ == nullptr || package_->options == nullptr) return status::kOk;
  gppi::PackageInt first = 0;
  gppi::PackageInt second = 0;
  package_->options(&first, &second);
  return status::kOk;
}

// --- ids and tables ---

Status GppiPropertyMgr::GetPropertyId(const char* name, std::uint32_t* id) {
  *id = 0;
  if (name == nullptr) return status::kOk;
  GppiPropertyObject* object = FindObject(name);
  if (object == nullptr) return gppi_status::kMissingEntry;
  if (object->id == 0) {
    object->id = ++next_id_;
    rebuild_tables_ = true;
  }
  *id = object->id;
  return status::kOk;
}

std::int32_t GppiPropertyMgr::GetPropertyId(const char* name) {
  std::uint32_t id = 0;
  GetPropertyId(name, &id);
  return static_cast<std::int32_t>(id);
}

void GppiPropertyMgr::ReleaseTables() {
  component_counts_.clear();
  option_counts_.clear();
  component_table_.clear();
  option_names_.clear();
  option_groups_.clear();
  tables_built_ = false;
}

Status GppiPropertyMgr::LoadProperties() {
  if (tables_built_ && !rebuild_tables_) return GetStatus();
  std::size_t count = 0;
  std::size_t most_components = 0;
  std::size_t most_options = 0;
  for (const auto& object : objects_) {
    if (object->id == 0) continue;
    count = std::max<std::size_t>(count, object->id);
    most_components = std::max(most_components, object->components.size());
    most_options = std::max(most_options, object->options.size());
  }
  if (count == 0) return GetStatus();
  ReleaseTables();
  component_counts_.assign(count, 0);
  option_counts_.assign(count, 0);
  const std::size_t component_room = std::max<std::size_t>(most_components, 1);
  const std::size_t option_room = std::max<std::size_t>(most_options, 1);
  component_table_.assign(count * component_room * gppi::kTextField, ' ');
  option_names_.assign(count * option_room * gppi::kTextField, ' ');
  option_groups_.assign(count * option_room * gppi::kTextField, ' ');
  for (const auto& object : objects_) {
    if (object->id == 0) continue;
    const std::size_t row = object->id - 1;
    component_counts_[row] = static_cast<gppi::PackageInt>(object->components.size());
    option_counts_[row] = static_cast<gppi::PackageInt>(object->options.size());
    for (std::size_t i = 0; i < object->components.size(); ++i) {
      gppi::ToField(object->components[i],
                    &component_table_[(row * component_room + i) * gppi::kTextField]);
    }
    for (std::size_t i = 0; i < object->options.size(); ++i) {
      const std::size_t at = (row * option_room + i) * gppi::kTextField;
      gppi::ToField(object->options[i].option, &option_names_[at]);
      gppi::ToField(object->options[i].group, &option_groups_[at]);
    }
  }
  tables_built_ = true;
  rebuild_tables_ = false;
  gppi::PackageInt flag = 0;
  if (package_ != nullptr && package_->load != nullptr) {
    gppi::PackageInt objects = static_cast<gppi::PackageInt>(count);
    gppi::PackageInt largest_components = static_cast<gppi::PackageInt>(component_room);
    gppi::PackageInt largest_options = static_cast<gppi::PackageInt>(option_room);
    package_->load(&objects, component_counts_.data(), component_table_.data(),
                   option_counts_.data(), option_groups_.data(), option_names_.data(),
                   &largest_components, &largest_options, &flag, gppi::kTextField, gppi::kTextField,
                   gppi::kTextField);
  }
  if (flag != 1 && flag != 2) {
    ReleaseTables();
    return SetStatus(gppi_status::kFailed);
  }
  return SetStatus(status::kOk);
}

// --- the properties interface and request 115 ---

Status GppiPropertyMgr::QueryInterface(const platform::IID& iid, void** object) {
  if (object == nullptr) return gppi_status::kBadArguments;
  if (iid != platform::IID_IUnknown && iid != IID_IQLNPropertiesManager) return 0x80004002u;
  *object = static_cast<IQLNPropertiesManager*>(this);
  AddRef();
  return status::kOk;
}

Status GppiPropertyMgr::Forward(std::uint32_t position, void* data) {
  if (data == nullptr || position < 1 || position > objects_.size()) {
    return gppi_status::kBadArguments;
  }
  *static_cast<const GppiPropertyObject**>(data) = objects_[position - 1].get();
  return status::kOk;
}

Status GppiPropertyMgr::SetNamedValue(const char* object_name, const char* name,
                                      const SUValue& value) {
  GppiPropertyObject* object = FindObject(object_name);
  if (object == nullptr || name == nullptr || name[0] == '\0') return gppi_status::kMissingEntry;
  auto found = std::find_if(object->values.begin(), object->values.end(),
                            [&](const auto& v) { return SameName(v.first, name); });
  if (found == object->values.end()) {
    object->values.emplace_back(name, SUValue());
    found = object->values.end() - 1;
  }
  found->second.SetType(value.type);
  found->second.Assign(value);
  Changed();
  return status::kOk;
}

Status GppiPropertiesForRun() {
  GppiPropertyMgr* manager = GppiPropertyMgr::Instance();
  return manager != nullptr ? manager->LoadProperties() : status::kOk;
}
