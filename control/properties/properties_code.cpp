// The properties part of generated C code: the tables of the numbered
// property objects as the package's GPP_LOAD takes them, and the functions
// that load the package library when the compiled model starts and let it
// go when it ends. Without a package both functions are empty.
#include <algorithm>
#include <ostream>
#include <string>

#include "control/properties/property_mgr.h"
#include "expr/codegen/code_writer.h"

namespace {

// A C string literal of a 40-character field: blank padded, no NUL needed
// by the package, but a NUL ends the literal for C.
std::string FieldLiteral(const std::string& text) {
  std::string padded = text.substr(0, gppi::kTextField);
  padded.resize(gppi::kTextField, ' ');
  std::string out(1, '"');
  out += EscapedText(padded.c_str());
  out += '"';
  return out;
}

void WriteEmptyFunctions(std::ostream& out) {
  out << "int PropertiesInitialize(void)\n{\n  return 0;\n}\n\n";
  out << "void PropertiesFinalize(void)\n{\n}\n";
}

}  // namespace

void GppiPropertyMgr::WritePropertiesCode(std::ostream& out) {
  if (package_ == nullptr || package_->state != GppiPackage::kLoaded) {
    WriteEmptyFunctions(out);
    return;
  }
  std::vector<const GppiPropertyObject*> numbered(next_id_, nullptr);
  std::size_t most_components = 1;
  std::size_t most_options = 1;
  for (const auto& object : objects_) {
    if (object->id == 0 || object->id > next_id_) continue;
    numbered[object->id - 1] = object.get();
    most_components = std::max(most_components, object->components.size());
    most_options = std::max(most_options, object->options.size());
  }
  const std::size_t lists = std::max<std::size_t>(numbered.size(), 1);
  out << "#include <dlfcn.h>\n#include <stdio.h>\n\n";
  out << "#define PROPS_LISTS " << lists << "\n";
  out << "#define PROPS_MAX_COMPONENTS " << most_components << "\n";
  out << "#define PROPS_MAX_OPTIONS " << most_options << "\n\n";
  out << "typedef void (*GPP_LOAD_ENTRY)(long long*, long long*, char*, long long*, char*, "
         "char*, long long*, long long*, long long*, size_t, size_t, size_t);\n";
  out << "typedef void (*GPP_ID_ENTRY)(long long*);\n\n";
  out << "typedef struct PropertiesInfo {\n"
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
         "} PropertiesInfo;\n\n";
  out << "PropertiesInfo g_PropertiesInfo = {\n  " << numbered.size() << ",\n  {";
  for (std::size_t i = 0; i < lists; ++i) {
    const GppiPropertyObject* o = i < numbered.size() ? numbered[i] : nullptr;
    out << (i > 0 ? ", " : "") << "\"" << (o != nullptr ? o->name : "") << "\"";
  }
  out << "},\n  " << most_components << ", " << most_options << ",\n  {";
  for (std::size_t i = 0; i < lists; ++i) {
    const GppiPropertyObject* o = i < numbered.size() ? numbered[i] : nullptr;
    out << (i > 0 ? ", " : "") << (o != nullptr ? o->components.size() : 0);
  }
  out << "},\n  {";
  for (std::size_t i = 0; i < lists; ++i) {
    const GppiPropertyObject* o = i < numbered.size() ? numbered[i] : nullptr;
    out << (i > 0 ? ",\n   " : "") << "{";
    for (std::size_t c = 0; c < most_components; ++c) {
      const bool has = o != nullptr && c < o->components.size();
      out << (c > 0 ? ", " : "") << FieldLiteral(has ? o->components[c] : "");
    }
    out << "}";
  }
  out << "},\n  {";
  for (std::size_t i = 0; i < lists; ++i) {
    const GppiPropertyObject* o = i < numbered.size() ? numbered[i] : nullptr;
    out << (i > 0 ? ", " : "") << (o != nullptr ? o->options.size() : 0);
  }
  for (int pass = 0; pass < 2; ++pass) {
    out << "},\n  {";
    for (std::size_t i = 0; i < lists; ++i) {
      const GppiPropertyObject* o = i < numbered.size() ? numbered[i] : nullptr;
      out << (i > 0 ? ",\n   " : "") << "{";
      for (std::size_t k = 0; k < most_options; ++k) {
        const bool has = o != nullptr && k < o->options.size();
        const std::string text =
            has ? (pass == 0 ? o->options[k].option : o->options[k].group) : "";
        out << (k > 0 ? ", " : "") << FieldLiteral(text);
      }
      out << "}";
    }
  }
  out << "},\n  0, 0, 0, 0\n};\n\n";
  out << "void PropertiesFinalize(void);\n\n";
  out << "int PropertiesInitialize(void)\n{\n"
         "  long long n = g_PropertiesInfo.iLists;\n"
         "  GPP_LOAD_ENTRY load;\n"
         "  g_PropertiesInfo.hLibrary = dlopen(\""
      << EscapedText(package_->name.c_str())
      << ".so\", RTLD_NOW | RTLD_LOCAL);\n"
         "  load = g_PropertiesInfo.hLibrary ? (GPP_LOAD_ENTRY)dlsym(g_PropertiesInfo.hLibrary, "
         "\"GPP_LOAD\") : 0;\n"
         "  if (load) load(&n, g_PropertiesInfo.iComponents, "
         "&g_PropertiesInfo.szComponents[0][0][0], "
         "g_PropertiesInfo.iOptions, &g_PropertiesInfo.szGroups[0][0][0], "
         "&g_PropertiesInfo.szOptions[0][0][0], &g_PropertiesInfo.iMaxComponents, "
         "&g_PropertiesInfo.iMaxOptions, &g_PropertiesInfo.iLoadFlag, 40, 40, 40);\n"
         "  if (load && (g_PropertiesInfo.iLoadFlag == 1 || g_PropertiesInfo.iLoadFlag == 2)) {\n"
         "    g_PropertiesInfo.GPP_SET_ID = (GPP_ID_ENTRY)dlsym(g_PropertiesInfo.hLibrary, "
         "\"GPP_SET_ID\");\n"
         "    if (g_PropertiesInfo.GPP_SET_ID && dlsym(g_PropertiesInfo.hLibrary, "
         "\"GPP_GET_ID\")) return 0;\n"
         "  }\n"
         "  printf(\"Failed to load properties\\n\");\n"
         "  PropertiesFinalize();\n"
         "  return -1;\n"
         "}\n\n";
  out << "void PropertiesFinalize(void)\n{\n"
         "  if (g_PropertiesInfo.hLibrary) dlclose(g_PropertiesInfo.hLibrary);\n"
         "  g_PropertiesInfo.hLibrary = 0;\n"
         "  g_PropertiesInfo.GPP_SET_ID = 0;\n"
         "}\n";
}
