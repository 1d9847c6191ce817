// The property manager: selects and loads one property package (an outside
// library with the GPP_ entry points), reads the components, component
// lists and property names it offers, keeps the property objects the client
// defines (service 66), numbers the objects equations use, hands the package
// the tables of all numbered objects before a run, and writes the properties
// part of generated code. Server thread only.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "control/managers/subsystem_manager.h"
#include "control/problem/client_requests.h"
#include "daes/model/services.h"
#include "foundation/collections/mixins.h"
#include "foundation/values/typed_value.h"
#include "framework/servers/server_callback.h"
#include "solve/ifaces/executive.h"
#include "solve/ifaces/property_package.h"

class XosDynamicLibrary;

namespace gppi_status {
inline constexpr Status kFailed = 0x8000FFFFu;
inline constexpr Status kMissingEntry = 0x80000015u;
inline constexpr Status kIniRefused = 0x8000000Bu;
inline constexpr Status kQueryFailed = 0x8000000Du;
inline constexpr Status kNoMemory = 0x80000007u;
inline constexpr Status kBadKind = 0x80000026u;
inline constexpr Status kNoPackage = 0xA000FFFFu;
inline constexpr Status kBadArguments = 0x80070057u;
inline constexpr Status kInitial = 2;
}  // namespace gppi_status

struct GppiComponentID {
  std::string names[3];
};

struct GppiPropertyName {
  std::string name;
  // The component of the same name, -1 for none.
  std::int32_t component = -1;
};

// A component list: its name and the components it holds.
struct GppiCogDefinition {
  std::string name;
  std::vector<std::int32_t> components;
};

struct GppiPropertyOption {
  std::string option;
  std::string group;
};

// A named set of components and options the client defines; its id is
// given when an equation first asks for it.
struct GppiPropertyObject {
  std::string name;
  std::uint32_t id = 0;
  std::uint8_t flag = 0;
  std::vector<std::string> components;
  std::vector<GppiPropertyOption> options;
  // Values the client set by name (request 115).
  std::vector<std::pair<std::string, SUValue>> values;
};

// One loaded package.
struct GppiPackage {
  enum State : std::int32_t { kNotLoaded = 0, kLoaded = 2, kFailed = 3 };

  XosDynamicLibrary* library = nullptr;
  std::string name;
  std::int32_t state = kNotLoaded;
  gppi::LoadEntry load = nullptr;
  gppi::UnloadEntry unload = nullptr;
  gppi::IniEntry ini = nullptr;
  gppi::EndEntry end = nullptr;
  gppi::QueryEntry query = nullptr;
  gppi::OptionsEntry options = nullptr;
  std::vector<GppiComponentID> components;
  std::vector<GppiPropertyName> property_names;
  std::vector<GppiCogDefinition> lists;
  std::vector<GppiPropertyOption> offered_options;

  void ClearLists();
  // Empties the lists and lets the library go, calling nothing of it.
  void Release();
};

class GppiPropertyMgr final : public QLNSubSystemManager,
                              public DseServerCB,
                              public BvuError,
                              public IQLNPropertiesManager,
                              public SimPropertyValues,
                              public DAESPropertyServices {
 public:
  static constexpr std::uint32_t kService = 66;
  static constexpr std::uint16_t kListRequest = 2;
  static constexpr std::uint16_t kDefineRequest = 5;
  static constexpr std::uint32_t kSelect = 4;
  static constexpr std::uint32_t kUnload = 9;
  static constexpr std::size_t kSetupNameRoom = 100;

  GppiPropertyMgr();
  ~GppiPropertyMgr() override;
  GppiPropertyMgr(const GppiPropertyMgr&) = delete;
  GppiPropertyMgr& operator=(const GppiPropertyMgr&) = delete;

  // The one manager of the process, or null.
  static GppiPropertyMgr* Instance();
  // Whether a package is loaded (state 2): the process-wide flag.
  static bool PackageIsLoaded();

  // Service 66, message kind 66 only: 2 lists the offer and the objects, 5
  // defines an object. Id-path reads go to GetItem.
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
  // An id-path read whose first selector is the item kind: 4 selects the
  // package, 9 unloads it (SelectItem). For kind 4 the path's named steps
  // give the arguments: the last names the package, the ones before it the
  // two texts for GPP_INI, in order. The item reads as the package's load
  // state (u32, 2 loaded, 0 none); a refused selection answers its status.
  Status GetItem(std::uint32_t type, const BvuIdPath& ids, std::uint32_t first,
                 std::uint32_t second, std::uint32_t* type_code, void** value_address) override;
  Status ServeRequest(BvuBinaryStream& body, DseMessage* request, DseMessage** reply);
  // Kind 4 selects the package `name` (texts 1 and 2 go to GPP_INI); kind
  // 9 unloads it; others give 0x80000026.
  Status SelectItem(std::uint32_t kind, const char* text1, const char* text2, const char* name);
  // Takes a package whose entry points are found already (one linked into
  // the process) and reads its offer as a selection does.
  Status AdoptPackage(std::unique_ptr<GppiPackage> package, const char* text1, const char* text2);
  Status GetPropertyId(const char* name, std::uint32_t* id);
  Status LoadProperties();
  // The properties part of generated C code.
  void WritePropertiesCode(std::ostream& out);
  // Solver option 77 changed: the package hears of it.
  Status OptionsChanged();
  // The run thread's set-up: nothing to do.
  Status ThreadSetUp() { return status::kOk; }
  // Back to no package and no objects.
  void Reset();
  Status DetachProblem(const char*, const char*) override {
    Reset();
    return status::kOk;
  }

  // --- the properties interface: the object at a position (from 1) ---
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override { return ++references_; }
  std::uint32_t Release() override { return references_ > 0 ? --references_ : 0; }
  // data: a `const GppiPropertyObject**` that gets the object.
  Status Forward(std::uint32_t position, void* data) override;

  // --- request 115 ---
  Status SetNamedValue(const char* object, const char* name, const SUValue& value) override;

  // --- what equations ask ---
  std::int32_t GetPropertyId(const char* name) override;
  bool PackageLoaded() override { return PackageIsLoaded(); }

  const GppiPackage* Package() const { return package_.get(); }
  // The state the last selection left: 2 loaded, 3 the library failed.
  std::int32_t LastState() const { return last_state_; }
  const std::vector<std::unique_ptr<GppiPropertyObject>>& Objects() const { return objects_; }
  GppiPropertyObject* FindObject(const char* name) const;

 private:
  Status SelectPackage(const char* text1, const char* text2, const char* name);
  Status LoadPackageLibrary(const char* name);
  Status LoadOffer(const char* text1, const char* text2);
  Status QueryList(std::int64_t count_request, std::int64_t item_request, bool components);
  void AddListRow(const std::string& list, const std::string& property,
                  const std::string& component);
  Status UnloadObjects();
  Status UnloadPackage();
  Status DefineObject(BvuBinaryStream& body);
  Status WriteOffer(DseMessage& reply);
  void Changed();
  void ReleaseTables();
  std::int32_t ComponentIndex(const std::string& name) const;

  std::unique_ptr<GppiPackage> package_;
  std::vector<std::unique_ptr<GppiPropertyObject>> objects_;
  std::uint32_t next_id_ = 0;
  bool rebuild_tables_ = true;
  bool tables_built_ = false;
  std::vector<gppi::PackageInt> component_counts_;
  std::vector<gppi::PackageInt> option_counts_;
  std::vector<char> component_table_;
  std::vector<char> option_names_;
  std::vector<char> option_groups_;
  std::uint32_t references_ = 1;
  std::int32_t last_state_ = GppiPackage::kNotLoaded;
  // What the last selecting or unloading read answers.
  std::uint32_t item_state_ = 0;
};

// The package test before a run: the tables handed to the package, or no
// package at all; negative when the package refused them.
Status GppiPropertiesForRun();
