// The property manager against the fake packages the tests build: loading
// and its failures, the texts and integers that cross, property objects of
// service 66, ids and load tables, reselecting and unloading, and the
// generated properties code.
#include "control/properties/property_mgr.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "foundation/directory/id_path.h"
#include "framework/libraries/library_loader.h"
#include "framework/messaging/template.h"
#include "framework/servers/server_registry.h"
#include "tests/framework/message_helpers.h"

namespace {

using testsupport::MessagePtr;

// The fake's own controls, reached in the library the manager loaded.
struct Fake {
  explicit Fake(const char* name = "fake_gpp") : library(XosDynamicLibrary::Load(name, nullptr)) {
    if (library == nullptr) return;
    set = reinterpret_cast<void (*)(int, long long)>(library->LookUpSymbol("fake_gpp_set", ""));
    log = reinterpret_cast<const char* (*)()>(library->LookUpSymbol("fake_gpp_log", ""));
    reset = reinterpret_cast<void (*)()>(library->LookUpSymbol("fake_gpp_reset", ""));
    reset();
  }
  ~Fake() {
    if (library != nullptr) library->Release();
  }
  std::string Log() const { return log(); }

  XosDynamicLibrary* library;
  void (*set)(int, long long) = nullptr;
  const char* (*log)() = nullptr;
  void (*reset)() = nullptr;
};

std::string Field(const std::string& text) {
  return "[" + text + std::string(40 - text.size(), ' ') + "]40";
}

class PropertyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { XosDynamicLibrary::AddSearchPath(VANTOR_FAKE_GPP_DIR); }
  void SetUp() override {
    ASSERT_NE(fake_.library, nullptr) << XosDynamicLibrary::LastErrorText();
    unsetenv("FAKE_GPP_SETUP_LEVEL");
  }

  Status Select(const char* name = "fake_gpp") {
    return manager_.SelectItem(GppiPropertyMgr::kSelect, "props.lmtpdf", "Steam", name);
  }
  // Request 5 for an object with these components and (option, group) pairs.
  Status Define(const char* name, std::vector<const char*> components,
                std::vector<std::pair<const char*, const char*>> options) {
    DseMessage body(66, DseMessage::kRequest);
    body.PutUInt16(GppiPropertyMgr::kDefineRequest);
    body.PutString(name);
    body.PutUInt8(0);
    body.PutUInt16(static_cast<std::uint16_t>(components.size()));
    for (const char* c : components) body.PutString(c);
    body.PutUInt16(static_cast<std::uint16_t>(options.size()));
    for (auto [o, g] : options) {
      body.PutString(o);
      body.PutString(g);
    }
    MessagePtr request = testsupport::Received(body);
    DseMessage* reply = nullptr;
    const Status served = manager_.HandleRequest(66, request.get(), &reply, nullptr);
    delete reply;
    return served;
  }

  GppiPropertyMgr manager_;
  Fake fake_;
};

TEST_F(PropertyTest, LoadingPassesFixedTextsAndReadsTheOffer) {
  ASSERT_EQ(Select(), 0u);
  EXPECT_TRUE(GppiPropertyMgr::PackageIsLoaded());
  EXPECT_EQ(manager_.LastState(), GppiPackage::kLoaded);
  const std::string log = fake_.Log();
  // The texts blank padded to 40 without a NUL, the lengths by value.
  EXPECT_EQ(log.substr(0, log.find('\n') + 1),
            "INI" + Field("props.lmtpdf") + Field("Steam") + " status1\n");
  EXPECT_NE(log.find("QUERY 1 0 40 40 40\nQUERY 2 1 40 40 40\n"), std::string::npos);
  EXPECT_NE(log.find("QUERY 4 3 40 40 40\nOPTIONS 0 0\n"), std::string::npos);
  const GppiPackage* package = manager_.Package();
  ASSERT_NE(package, nullptr);
  ASSERT_EQ(package->components.size(), 3u);
  // Trailing blanks are gone.
  EXPECT_EQ(package->components[1].names[0], "ETHANOL");
  EXPECT_EQ(package->components[1].names[2], "64-17-5");
  ASSERT_EQ(package->lists.size(), 2u);
  EXPECT_EQ(package->lists[0].name, "Liquids");
  EXPECT_EQ(package->lists[0].components, (std::vector<std::int32_t>{0, 1}));
  EXPECT_EQ(package->offered_options.size(), 3u);
}

TEST_F(PropertyTest, EveryLoadFailureGivesItsStatus) {
  setenv("FAKE_GPP_SETUP_LEVEL", "3", 1);
  EXPECT_EQ(Select(), 0x8000FFFFu);
  unsetenv("FAKE_GPP_SETUP_LEVEL");
  EXPECT_EQ(Select("fake_gpp_nooptions"), 0x80000015u);
  fake_.set(0, 2);
  EXPECT_EQ(Select(), 0x8000000Bu);
  fake_.set(0, 1);
  fake_.set(1, 4);
  EXPECT_EQ(Select(), 0x8000000Du);
  EXPECT_FALSE(GppiPropertyMgr::PackageIsLoaded());
  EXPECT_EQ(Select("no_such_package"), 0x8000FFFFu);
  EXPECT_EQ(manager_.LastState(), GppiPackage::kFailed);
  EXPECT_EQ(manager_.Package(), nullptr);
  EXPECT_EQ(manager_.SelectItem(7, nullptr, nullptr, nullptr), 0x80000026u);
  EXPECT_EQ(manager_.SelectItem(GppiPropertyMgr::kSelect, "", "", nullptr), 0xA000FFFFu);
}

TEST_F(PropertyTest, PropertyObjectsAreCheckedAgainstTheOffer) {
  ASSERT_EQ(Select(), 0u);
  ASSERT_EQ(Define("Water", {"water"}, {{"Density", "Liquids"}}), 0u);
  EXPECT_EQ(Define("Bad", {"WATER", "MERCURY"}, {}), 0x80000015u);
  EXPECT_EQ(Define("Bad2", {"WATER"}, {{"Density", "Solids"}}), 0x80000015u);
  ASSERT_EQ(manager_.Objects().size(), 1u);
  // Redefining empties the object and fills it again.
  ASSERT_EQ(Define("WATER", {"ETHANOL", "METHANE"}, {}), 0u);
  ASSERT_EQ(manager_.Objects().size(), 1u);
  EXPECT_EQ(manager_.Objects()[0]->components, (std::vector<std::string>{"ETHANOL", "METHANE"}));
  EXPECT_TRUE(manager_.Objects()[0]->options.empty());
  // A failed redefinition removes it.
  EXPECT_EQ(Define("Water", {"LEAD"}, {}), 0x80000015u);
  EXPECT_TRUE(manager_.Objects().empty());

  ASSERT_EQ(Define("Mix", {"WATER"}, {{"Enthalpy", "Liquids"}}), 0u);
  DseMessage ask(66, DseMessage::kRequest);
  ask.PutUInt16(GppiPropertyMgr::kListRequest);
  MessagePtr request = testsupport::Received(ask);
  DseMessage* reply = nullptr;
  ASSERT_EQ(manager_.HandleRequest(66, request.get(), &reply, nullptr), 0u);
  MessagePtr owned(reply);
  MessagePtr back = testsupport::Received(*reply);
  std::uint16_t code = 0, lists = 0, count = 0, objects = 0;
  char text[64];
  back->GetUInt16(&code);
  back->GetUInt16(&lists);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(lists, 2);
  back->GetStringInto(text, sizeof text);
  EXPECT_STREQ(text, "Liquids");
  back->GetUInt16(&count);
  EXPECT_EQ(count, 2);
  for (int i = 0; i < 2; ++i) back->GetStringInto(text, sizeof text);
  back->GetStringInto(text, sizeof text);
  EXPECT_STREQ(text, "Gases");
  back->GetUInt16(&count);
  EXPECT_EQ(count, 0);
  back->GetUInt16(&objects);
  EXPECT_EQ(objects, 1);
  back->GetStringInto(text, sizeof text);
  EXPECT_STREQ(text, "Mix");
  // Kind 66 only, and only with a package.
  EXPECT_EQ(manager_.HandleRequest(65, request.get(), &reply, nullptr), 0x8000FFFFu);
}

TEST_F(PropertyTest, IdsInOrderOfFirstRequestAndTablesByIdMinusOne) {
  ASSERT_EQ(Select(), 0u);
  // Nothing numbered yet: the package is not called.
  EXPECT_EQ(manager_.LoadProperties(), gppi_status::kInitial);
  EXPECT_EQ(fake_.Log().find("LOAD"), std::string::npos);
  ASSERT_EQ(Define("A", {"WATER"}, {}), 0u);
  ASSERT_EQ(Define("B", {"WATER", "ETHANOL", "METHANE"}, {{"Density", "Gases"}}), 0u);
  ASSERT_EQ(Define("C", {}, {}), 0u);
  std::uint32_t id = 0;
  EXPECT_EQ(manager_.GetPropertyId("b", &id), 0u);
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(manager_.GetPropertyId("A"), 2);
  EXPECT_EQ(manager_.GetPropertyId("B"), 1);
  EXPECT_EQ(manager_.GetPropertyId("nothing", &id), 0x80000015u);
  EXPECT_EQ(manager_.GetPropertyId(nullptr, &id), 0u);
  EXPECT_EQ(id, 0u);

  fake_.reset();
  ASSERT_EQ(manager_.LoadProperties(), 0u);
  const std::string blank = Field("");
  EXPECT_EQ(fake_.Log(),
            "LOAD 2 3 1 40 40 40\n"
            "object 1: 3 components, 1 options\n" +
                Field("WATER") + Field("ETHANOL") + Field("METHANE") + "\n" + Field("Density") +
                Field("Gases") + "\n" + "object 2: 1 components, 0 options\n" + Field("WATER") +
                blank + blank + "\n" + blank + blank + "\n");
  // Unchanged tables are not handed over again.
  fake_.reset();
  EXPECT_EQ(manager_.LoadProperties(), 0u);
  EXPECT_EQ(fake_.Log(), "");
  EXPECT_EQ(GppiPropertiesForRun(), 0u);
}

TEST_F(PropertyTest, ALoadFlagOtherThanOneOrTwoFailsTheRun) {
  ASSERT_EQ(Select(), 0u);
  ASSERT_EQ(Define("A", {"WATER"}, {}), 0u);
  manager_.GetPropertyId("A");
  fake_.set(2, 0);
  EXPECT_EQ(manager_.LoadProperties(), 0x8000FFFFu);
  EXPECT_EQ(GppiPropertiesForRun(), 0x8000FFFFu);
  fake_.set(2, 2);
  EXPECT_EQ(manager_.LoadProperties(), 0u);
}

TEST_F(PropertyTest, ReselectingInAnotherCaseKeepsTheLibraryAndUnloadingCallsUnload) {
  ASSERT_EQ(Select(), 0u);
  const XosDynamicLibrary* library = manager_.Package()->library;
  const std::int32_t references = library->ReferenceCount();
  ASSERT_EQ(Define("A", {"WATER"}, {}), 0u);
  fake_.reset();
  ASSERT_EQ(Select("FAKE_GPP"), 0u);
  EXPECT_EQ(manager_.Package()->library, library);
  EXPECT_EQ(library->ReferenceCount(), references);
  EXPECT_TRUE(manager_.Objects().empty());
  const std::string log = fake_.Log();
  EXPECT_EQ(log.rfind("UNLOAD 0\nINI", 0), 0u) << log;
  EXPECT_EQ(manager_.Package()->components.size(), 3u);

  fake_.reset();
  EXPECT_EQ(manager_.OptionsChanged(), 0u);
  EXPECT_EQ(fake_.Log(), "OPTIONS 0 0\n");

  ASSERT_EQ(Define("A", {"WATER"}, {}), 0u);
  fake_.reset();
  EXPECT_EQ(manager_.SelectItem(GppiPropertyMgr::kUnload, nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(fake_.Log(), "UNLOAD 0\n");
  EXPECT_TRUE(manager_.Objects().empty());
  EXPECT_FALSE(GppiPropertyMgr::PackageIsLoaded());
  // No package: option changes reach nobody.
  fake_.reset();
  EXPECT_EQ(manager_.OptionsChanged(), 0u);
  EXPECT_EQ(fake_.Log(), "");
}

// An id-path read of service 66 through the registry, as a client sends
// it: selector `kind`, the path's named steps the arguments. The item's
// type code and value (0 and 0 when the read was refused).
std::pair<std::uint32_t, std::uint32_t> ReadItem(DseServerRegistry& registry, std::uint16_t kind,
                                                 const std::vector<std::string>& names) {
  DseMessage body(66, DseMessage::kIdPathRead);
  body.PutDouble(0.0);
  BvuIdPath path(true);
  for (std::size_t i = 0; i < names.size(); ++i) {
    path.Append(static_cast<std::uint32_t>(i + 1), names[i].c_str());
  }
  path.Write(body);
  body.PutUInt16(kind);
  body.PutUInt16(0);
  MessagePtr request = testsupport::Received(body);
  DseMessage* reply = nullptr;
  DseTemplate* kept = nullptr;
  EXPECT_EQ(registry.ExecuteRequest(request.get(), &reply, &kept), 0u);
  std::unique_ptr<DseTemplate> response(kept);
  EXPECT_EQ(reply, nullptr);
  if (response == nullptr) return {0xFFFF, 0};
  DseMessage* made = nullptr;
  EXPECT_EQ(response->BuildHeader(&made), 0u);
  MessagePtr header(made);
  EXPECT_EQ(response->Fill(&made), 0u);
  MessagePtr values(made);
  const testsupport::Bytes codes = testsupport::BodyOf(*header);
  const testsupport::Bytes bytes = testsupport::BodyOf(*values);
  std::uint32_t value = 0;
  if (bytes.size() >= 4) std::memcpy(&value, bytes.data(), 4);
  return {codes.size() >= 2 ? codes[0] : 0xFFFFu, value};
}

TEST_F(PropertyTest, AnIdPathReadSelectsReselectsAndUnloads) {
  DseServerRegistry registry;
  registry.Register(GppiPropertyMgr::kService, &manager_);
  // The path's last name is the package, the ones before it GPP_INI's texts.
  EXPECT_EQ(ReadItem(registry, 4, {"props.lmtpdf", "Steam", "fake_gpp"}),
            (std::pair<std::uint32_t, std::uint32_t>{4, 2}));
  EXPECT_TRUE(GppiPropertyMgr::PackageIsLoaded());
  const std::string log = fake_.Log();
  EXPECT_EQ(log.substr(0, log.find('\n') + 1),
            "INI" + Field("props.lmtpdf") + Field("Steam") + " status1\n");
  ASSERT_EQ(Define("A", {"WATER"}, {}), 0u);
  // The package alone: empty texts; the same package keeps its library and
  // drops the objects.
  fake_.reset();
  EXPECT_EQ(ReadItem(registry, 4, {"FAKE_GPP"}), (std::pair<std::uint32_t, std::uint32_t>{4, 2}));
  EXPECT_EQ(fake_.Log().rfind("UNLOAD 0\nINI" + Field("") + Field(""), 0), 0u) << fake_.Log();
  EXPECT_TRUE(manager_.Objects().empty());
  // A refused selection reads as nothing; the package is gone.
  fake_.set(0, 2);
  EXPECT_EQ(ReadItem(registry, 4, {"fake_gpp"}), (std::pair<std::uint32_t, std::uint32_t>{0, 0}));
  EXPECT_FALSE(GppiPropertyMgr::PackageIsLoaded());
  fake_.set(0, 1);
  EXPECT_EQ(ReadItem(registry, 4, {"a", "b", "fake_gpp"}).second, 2u);
  fake_.reset();
  EXPECT_EQ(ReadItem(registry, 9, {}), (std::pair<std::uint32_t, std::uint32_t>{4, 0}));
  EXPECT_EQ(fake_.Log(), "UNLOAD 0\n");
  EXPECT_FALSE(GppiPropertyMgr::PackageIsLoaded());
  // Other kinds are no items of the manager.
  EXPECT_EQ(ReadItem(registry, 7, {"fake_gpp"}).first, 0u);
  EXPECT_EQ(manager_.Package(), nullptr);
}

TEST_F(PropertyTest, ThePropertiesInterfaceByPosition) {
  ASSERT_EQ(Select(), 0u);
  ASSERT_EQ(Define("A", {"WATER"}, {}), 0u);
  ASSERT_EQ(Define("B", {"METHANE"}, {}), 0u);
  const GppiPropertyObject* object = nullptr;
  EXPECT_EQ(manager_.Forward(2, &object), 0u);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->name, "B");
  EXPECT_EQ(manager_.Forward(0, &object), 0x80070057u);
  EXPECT_EQ(manager_.Forward(3, &object), 0x80070057u);
  EXPECT_EQ(manager_.Forward(1, nullptr), 0x80070057u);
  SUValue value;
  value.SetType(SUValue::kReal);
  value.SetReal(998.0);
  EXPECT_EQ(manager_.SetNamedValue("a", "Density", value), 0u);
  EXPECT_EQ(manager_.SetNamedValue("Z", "Density", value), 0x80000015u);
}

TEST_F(PropertyTest, WithoutAPackageTheCodeHasEmptyFunctions) {
  std::ostringstream out;
  manager_.WritePropertiesCode(out);
  EXPECT_EQ(out.str(),
            "int PropertiesInitialize(void)\n{\n  return 0;\n}\n\n"
            "void PropertiesFinalize(void)\n{\n}\n");
}

TEST_F(PropertyTest, WithAPackageTheCodeCarriesTheNumberedObjects) {
  ASSERT_EQ(Select(), 0u);
  ASSERT_EQ(Define("B", {"WATER", "ETHANOL"}, {{"Density", "Liquids"}}), 0u);
  manager_.GetPropertyId("B");
  std::ostringstream out;
  manager_.WritePropertiesCode(out);
  const std::string pad(35, ' ');
  const std::string expected =
      "#include <dlfcn.h>\n#include <stdio.h>\n\n"
      "#define PROPS_LISTS 1\n#define PROPS_MAX_COMPONENTS 2\n#define PROPS_MAX_OPTIONS 1\n\n"
      "typedef void (*GPP_LOAD_ENTRY)(long long*, long long*, char*, long long*, char*, char*, "
      "long long*, long long*, long long*, size_t, size_t, size_t);\n"
      "typedef void (*GPP_ID_ENTRY)(long long*);\n\n"
      "typedef struct PropertiesInfo {\n"
      "  long long iLists;\n"
      "  const char* pszListNames[PROPS_LISTS];\n"
      "  long long iMaxComponents;\n"
      "  long long iMaxOptions;\n"
      "  long long iComponents[PROPS_LISTS];\n"
      "  char szComponents[PROPS_LISTS][PROPS_MAX_COMPONENTS][40];\n"
      "  long long iOptions[PROPS_LISTS];\n"
      "  char szOptions[PROPS_LISTS][PROPS_MAX_OPTIONS][40];\n"
      "  char szGroups[PROPS_LISTS][PROPS_MAX_OPTIONS][40];\n"
      "  void* hLibrary;\n"
      "  long long iLoadFlag;\n"
      "  GPP_ID_ENTRY GPP_SET_ID;\n"
      "  long long iPropertiesID;\n"
      "} PropertiesInfo;\n\n"
      "PropertiesInfo g_PropertiesInfo = {\n  1,\n  {\"B\"},\n  2, 1,\n  {2},\n"
      "  {{\"WATER" +
      pad + "\", \"ETHANOL" + std::string(33, ' ') +
      "\"}},\n"
      "  {1},\n  {{\"Density" +
      std::string(33, ' ') +
      "\"}},\n"
      "  {{\"Liquids" +
      std::string(33, ' ') +
      "\"}},\n  0, 0, 0, 0\n};\n\n"
      "void PropertiesFinalize(void);\n\n";
  EXPECT_EQ(out.str().substr(0, expected.size()), expected);
  EXPECT_NE(out.str().find("dlopen(\"fake_gpp.so\", RTLD_NOW | RTLD_LOCAL)"), std::string::npos);
  EXPECT_NE(out.str().find("printf(\"Failed to load properties\\n\");"), std::string::npos);
}

// The package name is the client's: in the generated dlopen call it stays
// one C string whatever it holds.
TEST_F(PropertyTest, APackageNameStaysInsideItsLiteral) {
  const std::string name = "q\"); injected(); (void)(\"";
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("vantor_gpp_name_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(std::string(VANTOR_FAKE_GPP_DIR) + "/fake_gpp.so",
                             folder / (name + ".so"),
                             std::filesystem::copy_options::overwrite_existing);
  XosDynamicLibrary::AddSearchPath(folder.c_str());
  ASSERT_EQ(Select(name.c_str()), 0u) << XosDynamicLibrary::LastErrorText();
  ASSERT_EQ(Define("B", {"WATER"}, {}), 0u);
  manager_.GetPropertyId("B");
  std::ostringstream out;
  manager_.WritePropertiesCode(out);
  EXPECT_NE(out.str().find("dlopen(\"q\\\"); injected(); (void)(\\\".so\", RTLD_NOW | RTLD_LOCAL)"),
            std::string::npos)
      << out.str();
  manager_.SelectItem(GppiPropertyMgr::kUnload, nullptr, nullptr, nullptr);
  XosDynamicLibrary::RemoveSearchPath(folder.c_str());
  std::filesystem::remove_all(folder);
}

}  // namespace

namespace {

TEST(PackageTextTest, ReturnedTextsAreReadWithinTheirFortyCharacters) {
  char full[48];
  std::memset(full, 'X', sizeof full);
  EXPECT_EQ(gppi::FromField(full), std::string(40, 'X'));
  char padded[40];
  gppi::ToField("WATER", padded);
  EXPECT_EQ(std::string(padded, 40), "WATER" + std::string(35, ' '));
  EXPECT_EQ(gppi::FromField(padded), "WATER");
  padded[2] = '\0';
  EXPECT_EQ(gppi::FromField(padded), "WA");
  // A longer text is cut at the field.
  gppi::ToField(std::string(50, 'y'), padded);
  EXPECT_EQ(gppi::FromField(padded), std::string(40, 'y'));
}

}  // namespace
