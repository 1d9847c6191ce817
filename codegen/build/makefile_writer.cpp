#include "codegen/build/makefile_writer.h"

#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codegen/name_tree.h"
#include "codegen/names.h"
#include "codegen/output_folder.h"
#include "codegen/resource_script.h"
#include "daes/procedures/su_proc_def.h"
#include "platform/dynamic_library.h"
#include "platform/posix_file.h"

namespace codegen {
namespace {
MakeDialect g_dialect = MakeDialect::kGnu;

bool Gnu() { return g_dialect == MakeDialect::kGnu; }
// The separator of fixed path texts.
std::string Sep() { return Gnu() ? "/" : "\\"; }
// "!ifdef X" and the like.
std::string Directive(const char* text) { return Gnu() ? text + 1 : text; }
// A recipe line the design indents by blanks.
std::string Recipe(const std::string& text) { return (Gnu() ? "\t" : "    ") + text; }
// A name in quotes in a prerequisite position.
std::string Prerequisite(const std::string& name) {
  return Gnu() ? MakeTargetName(name) : "\"" + name + "\"";
}
std::string ListName(const std::string& name) {
  return Gnu() ? MakeTargetName(name) : QuoteIfSpaced(name.c_str(), nullptr);
}

std::string ExecutableFolder() {
  char path[4096];
  const ssize_t got = readlink("/proc/self/exe", path, sizeof path - 1);
  if (got <= 0) return ".";
  std::string text(path, static_cast<std::size_t>(got));
  const std::size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

// Where the last separator + "bin" starts (case ignored), or npos.
std::size_t LastBin(const std::string& folder) {
  for (std::size_t at = folder.size(); at-- > 0;) {
    if (IsSeparator(folder[at]) && strncasecmp(folder.c_str() + at + 1, "bin", 3) == 0) {
      return at;
    }
  }
  return std::string::npos;
}

// Why the file's text must not go into a makefile (make runs what it
// says, as this user), or empty: someone else could have changed it.
std::string WhyNotCopied(const std::string& path) {
  if (!platform::PathExists(path.c_str())) return {};
  return platform::WhyFileIsUntrusted(path, nullptr, "usable");
}

// Copies a file's lines; false when it cannot be opened.
bool CopyFile(std::ostream& out, const std::string& path, bool add_break) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out << in.rdbuf();
  if (add_break) out << "\n";
  in.close();
  return true;
}

void CannotOpen(const CodegenReport& report, bool quiet, const char* what, const std::string& path,
                int error) {
  if (quiet) return;
  if (error != 0) {
    Failure(report, (std::string(what) + " (system message: %s)").c_str(), path.c_str(),
            std::strerror(error));
  } else {
    Failure(report, what, path.c_str());
  }
}

bool IsFortran(const SUProcDef* d) { return d->Language() == procdef::kLanguageFortran; }

// After the last '\', '/', ':' or '~', up to the last '.'.
std::string SourceBase(const std::string& source) {
  const std::size_t start = source.find_last_of("\\/:~");
  std::string base = start == std::string::npos ? source : source.substr(start + 1);
  const std::size_t dot = base.rfind('.');
  return dot == std::string::npos ? base : base.substr(0, dot);
}

std::string LanguageSuffix(const SUProcDef* d) {
  switch (d->Language()) {
    case procdef::kLanguageFortran:
      return ".f";
    case procdef::kLanguageCpp:
      return ".cpp";
    default:
      return ".c";
  }
}

// True when an earlier entry of the library names the same source.
bool SourceSeenBefore(const CNameTree* library, const CNameTree* entry) {
  const auto* def = reinterpret_cast<const SUProcDef*>(entry->Data());
  if (def->Options() & procdef::kSourceIsText) return false;
  for (const CNameTree* e = library->Child(); e != entry; e = e->Next()) {
    const auto* other = reinterpret_cast<const SUProcDef*>(e->Data());
    if (other != nullptr && !(other->Options() & procdef::kSourceIsText) && other->HasSource() &&
        strcasecmp(other->SourceFile().c_str(), def->SourceFile().c_str()) == 0) {
      return true;
    }
  }
  return false;
}

std::string CRule(const SUProcDef* d) {
  return d != nullptr && d->Language() != procdef::kLanguageCpp
             ? "\t$(C) $(CDEBUG) $(C_OPTC) $(INCLUDEPATHS) $(USERINCLUDEPATHS) "
             : "\t$(CPP) $(CPPDEBUG) $(CPP_OPTC) $(INCLUDEPATHS) $(USERINCLUDEPATHS) ";
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// A name the clean recipe removes: a blank in it is escaped for the shell,
// which would otherwise remove the word before it as a file of its own.
std::string RemovedName(const std::string& name) { return Gnu() ? MakeTargetName(name) : name; }
}  // namespace

void SetMakeDialect(MakeDialect dialect) { g_dialect = dialect; }
MakeDialect CurrentMakeDialect() { return g_dialect; }

std::string MakeTargetName(const std::string& name) {
  std::string text;
  for (char c : name) {
    if (c == ' ') text += '\\';
    text += c;
  }
  return text;
}

Status RefuseUnplainName(const CodegenReport& report, const std::string& name, Plain kind) {
  const bool plain = kind == Plain::kToken  ? IsPlainFileToken(name)
                     : kind == Plain::kName ? IsPlainName(name)
                                            : IsPlainPath(name);
  if (plain) return 0;
  Failure(report, "\"%s\" is not a plain file name; nothing is generated or built for it.\n",
          ShownName(name).c_str());
  return kFailed;
}

Status RefuseUnplainNames(const CodegenReport& report, const SUProcDef& definition) {
  // A missing library name is reported as such by the request.
  Status s = definition.Library().empty()
                 ? 0
                 : RefuseUnplainName(report, definition.Library(), Plain::kPath);
  if (s == 0) s = RefuseUnplainName(report, definition.ImplementationName(), Plain::kToken);
  if (s == 0 && definition.HasSource() && !(definition.Options() & procdef::kSourceIsText)) {
    s = RefuseUnplainName(report, definition.SourceFile(), Plain::kPath);
  }
  return s;
}

namespace {
// Every name of the tree that the procedure-library makefile writes.
Status RefuseUnplainTree(const CodegenReport& report, const CNameTree* tree) {
  for (const CNameTree* lib = tree; lib != nullptr; lib = lib->Next()) {
    if (RefuseUnplainName(report, lib->Name(), Plain::kPath) != 0) return kFailed;
    for (const CNameTree* e = lib->Child(); e != nullptr; e = e->Next()) {
      const auto* d = reinterpret_cast<const SUProcDef*>(e->Data());
      if (RefuseUnplainName(report, e->Name(), Plain::kName) != 0) return kFailed;
      if (d != nullptr && RefuseUnplainNames(report, *d) != 0) return kFailed;
    }
  }
  return 0;
}

// A user include file named in the request ("%" + name: in the
// procedures folder).
Status RefuseUnplainInclude(const CodegenReport& report, const char* include) {
  if (include == nullptr || *include == '\0') return 0;
  return RefuseUnplainName(report, include + (include[0] == '%' ? 1 : 0), Plain::kPath);
}
}  // namespace

MakeFolders DeriveMakeFolders(const char* server_folder) {
  const char* variable = std::getenv("QLNSERVERDIR");
  std::string top = variable != nullptr && *variable != '\0'             ? variable
                    : server_folder != nullptr && *server_folder != '\0' ? server_folder
                                                                         : ExecutableFolder();
  MakeFolders folders;
  folders.tool = top;
  if (!folders.tool.empty() && IsSeparator(folders.tool.back())) folders.tool.pop_back();
  const std::size_t bin = LastBin(top);
  const std::string cut = bin == std::string::npos ? top + Sep() + ".." : top.substr(0, bin);
  folders.procedures = cut + Sep() + "procedures";
  folders.top = cut;
  folders.quoted_include = "\"" + folders.procedures + "\"";
  return folders;
}
}  // namespace codegen

std::vector<std::string> codegen::BuildSearchFolders(const char* server_folder, bool exported) {
  const MakeFolders folders = DeriveMakeFolders(server_folder);
  if (!exported) return {folders.procedures, folders.tool};
  return {folders.procedures, folders.tool, folders.top + Sep() + "incl",
          folders.top + Sep() + "lib"};
}

std::unique_ptr<platform::FileOutStream> WriteMakefileGenericPart(
    const CodegenReport& report, const char* server_folder, const char* output_folder, bool win32,
    const char* user_include, const char* extra_text, const char* library, bool quiet, bool debug,
    bool intel_fortran, bool vs2017, bool vs2019) {
  using namespace codegen;
  const MakeFolders folders = DeriveMakeFolders(server_folder);
  const std::string stub = folders.procedures + Sep() + "makestub.int";
  const std::string path = MakefileName(output_folder, library);
  int error = 0;
  std::string name, link;
  const platform::FileDescriptor folder = FolderOfPath(path, &name, &link, &error);
  platform::NewFile file;
  if (folder.valid()) file = platform::NewFile::Make(folder.get(), name, &error);
  if (!file.valid()) {
    if (!link.empty()) {
      if (!quiet) Failure(report, "%s", ThroughOthersLink(path, link).c_str());
    } else {
      CannotOpen(report, quiet, "Cannot open %s", path, error);
    }
    return nullptr;
  }
  // Put in place when closed whole: a makefile cut short never replaces one.
  auto out = std::make_unique<platform::FileOutStream>(std::move(file));
  if (!quiet) Progress(report, "Generating makefile %s", path.c_str());
  std::ostream& o = *out;
  if (win32) o << "#!include <win32.mak>\n";
  o << "# Uncomment the following for DEBUG build, comment out for RELEASE build\n"
    << (debug ? "" : "#") << "DEBUG_BUILD = 1\n"
    << "# Uncomment this line for INTEL Fortran, comment out for any other, as yet "
       "unsupported, Fortran\n"
    << (intel_fortran ? "" : "#") << "INTEL_FORTRAN = 1\n"
    << "# Uncomment this line for VC16 (VS 2019) compatibility\n"
    << (vs2019 ? "" : "#") << "USING_VC16 = 1\n"
    << Directive("!ifndef USING_VC16") << "\n"
    << "# Uncomment this line for VC15 (VS 2017) compatibility\n"
    << (vs2017 ? "" : "#") << "USING_VC15 = 1\n"
    << Directive("!ifndef USING_VC15") << "\n"
    << Directive("!endif") << "\n"
    << Directive("!endif") << "\n"
    << "########################## Generic part of makefile #####################\n";
  if (const std::string why = WhyNotCopied(stub); !why.empty()) {
    if (!quiet) Failure(report, "The build does not use %s: %s\n", stub.c_str(), why.c_str());
    o << "### insert " << stub << " here ###\n";
  } else if (!CopyFile(o, stub, false)) {
    CannotOpen(report, quiet, "Cannot open makefile stub %s", stub, errno);
    o << "### insert " << stub << " here ###\n";
  }
  o << "#\n##################### End of generic part of makefile ###################\n#\n";
  o << "BVUTCFORPATH        = " << folders.procedures << "\n"
    << "BVUTCFORINCLUDEPATH = " << folders.quoted_include << "\n"
    << "QVSYSBIN            = " << folders.tool << "\n";
  if (extra_text != nullptr && *extra_text != '\0') o << "#\n" << extra_text;
  o << "#\n";
  if (user_include != nullptr && *user_include != '\0') {
    const std::string include = user_include[0] == '%'
                                    ? folders.procedures + Sep() + (user_include + 1)
                                    : std::string(user_include);
    if (const std::string why = WhyNotCopied(include); !why.empty()) {
      if (!quiet) Failure(report, "The build does not use %s: %s\n", include.c_str(), why.c_str());
      o << "### ERROR: Failed to insert \"" << include << "\" here ###\n";
    } else if (!CopyFile(o, include, true)) {
      CannotOpen(report, quiet, "Cannot open user specified include file %s", include, errno);
      o << "### ERROR: Failed to insert \"" << include << "\" here ###\n";
    }
  } else {
    o << "# no user include file supplied\n";
  }
  o << "#\n#\n################### Problem specific part ###############################\n";
  return out;
}

Status WriteProcedureLibraryMakefilePart(const CodegenReport& report, CNameTree** tree,
                                         const char* server_folder, bool debug, bool no_makefile,
                                         bool* fortran, const char* output_folder,
                                         const char* user_include, const char* extra_text,
                                         const char* library) {
  using namespace codegen;
  const bool single = library != nullptr && *library != '\0';
  if (no_makefile || single) {
    delete *tree;
    *tree = nullptr;
    if (no_makefile) return 0;
    *tree = new CNameTree(library, 0, library);
  }
  if (RefuseUnplainTree(report, *tree) != 0 || RefuseUnplainInclude(report, user_include) != 0) {
    delete *tree;
    *tree = nullptr;
    return kFailed;
  }
  bool win32 = false;
  for (const CNameTree* lib = *tree; lib != nullptr; lib = lib->Next()) {
    for (const CNameTree* e = lib->Child(); e != nullptr; e = e->Next()) {
      const auto* d = reinterpret_cast<const SUProcDef*>(e->Data());
      if (d == nullptr || !IsFortran(d)) win32 = true;
    }
  }
  const bool vs2019 = std::getenv("VS2019INSTALLDIR") != nullptr;
  const bool vs2017 = !vs2019 && std::getenv("VS2017INSTALLDIR") != nullptr;
  auto out = WriteMakefileGenericPart(report, server_folder, output_folder, win32, user_include,
                                      extra_text, library, false, debug, true, vs2017, vs2019);
  if (!out) {
    delete *tree;
    *tree = nullptr;
    return kFailureReport;
  }
  std::ostream& o = *out;
  o << "Libraries    =";
  for (const CNameTree* lib = *tree; lib != nullptr; lib = lib->Next()) {
    if (lib != *tree) o << " \\\n              ";
    o << " " << ListName(std::string(lib->Name()) + "$(DLL)");
  }
  o << "\n#\n";
  int k = 1;
  for (const CNameTree* lib = *tree; lib != nullptr; lib = lib->Next(), ++k) {
    o << "Library" << k << "_Objects = ";
    bool first = true;
    auto item = [&](const std::string& text) {
      if (!first) o << " \\\n                   ";
      o << text;
      first = false;
    };
    for (const CNameTree* e = lib->Child(); e != nullptr; e = e->Next()) {
      const auto* d = reinterpret_cast<const SUProcDef*>(e->Data());
      const std::string name = e->Name();
      if (d == nullptr) {
        item(name + "$(OBJ)");
        continue;
      }
      if (IsFortran(d) || d->InterfaceVersion() == 1) {
        item(name + "I$(OBJ) ");
        if (IsFortran(d) && fortran != nullptr) *fortran = true;
      }
      if (d->Options() & procdef::kSourceIsText) {
        item(name + "$(OBJ)");
      } else if (d->HasSource() && !SourceSeenBefore(lib, e)) {
        item(SourceBase(d->SourceFile()) + "$(OBJ)");
      }
    }
    o << "\n";
  }
  o << "#\n";
  if (!single) {
    o << Directive("!ifdef OTHER_COMPILER") << "\nLIBBVDLL = bvdll_support\n"
      << Directive("!else") << "\nLIBBVDLL = libbvdll\n"
      << Directive("!endif") << "\n";
  } else {
    o << "LIBBVDLL = libbvdll\n";
  }
  o << "#\n# Sets the image version number in the dll\n"
    << (Gnu() ? "VERSION =" : "VERSION = /VERSION:38.0") << "\n#\n#\nbuild: $(Libraries)\n";
  if (single) {
    o << "#\nclean:\n"
      << (Gnu() ? "\t-$(WIPE) " : "\t$(WIPE) ") << RemovedName(library) << "$(WIPEALL)\n";
  }
  o << "#\n";
  k = 1;
  for (const CNameTree* lib = *tree; lib != nullptr; lib = lib->Next(), ++k) {
    const std::string name = lib->Name();
    const std::size_t cut = name.find_last_of("\\/");
    const std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
    const std::string objects = "$(Library" + std::to_string(k) + "_Objects)";
    o << Prerequisite(name + "$(DLL)") << ": " << objects << " " << Prerequisite(base + ".res")
      << " $(USERTARGETS)\n"
      << "\t$(ECHO) Building Dynamic Link Library " << name << "$(DLL)\n"
      << "\t$(C_LINK) $(LINKDEBUG) $(C_OPTL) $(DLLOPT) $(VERSION) \"" << base << ".res\" "
      << objects << " \\\n"
      << "\t\"$(BVUTCFORPATH)" << Sep() << "$(LIBBVDLL)$(OLB)\"  \"$(QVSYSBIN)" << Sep()
      << "gpp$(OLB)\" \\\n"
      << "\t$(ALT_EXECUTABLE)\"" << name << "$(DLL)\" $(USERLIBPATHS) $(USERLIBS) \\\n"
      << "    $(SYSLIBS)\n"
      << "\t$(ECHO) Dynamic Link Library built\n#\n";
    WriteResourceScript(output_folder, base.c_str());
    o << "#\n# Version resource for " << name << "\n"
      << Prerequisite(base + ".res") << ": " << Prerequisite(base + ".rc") << "\n"
      << Recipe("$(ECHO) Compiling " + base + ".rc") << "\n"
      << Recipe("$(RSC) $(RSC_OPT) -fo \"" + base + ".res\" \"" + base + ".rc\"") << "\n#\n";
    const std::string bvdll = "$(BVUTCFORPATH)" + Sep() + "bvdll.h";
    const std::string bvutcfor = "$(BVUTCFORPATH)" + Sep() + "bvutcfor.h";
    for (const CNameTree* e = lib->Child(); e != nullptr; e = e->Next()) {
      const auto* d = reinterpret_cast<const SUProcDef*>(e->Data());
      const std::string entry = e->Name();
      if (d == nullptr) {
        const std::string source = entry + "$(CPPSUFFIX)";
        o << entry << "$(OBJ): " << Prerequisite(source) << " " << Prerequisite(bvdll) << "\n"
          << "\t$(ECHO) Compiling " << source << "\n"
          << CRule(nullptr) << Quoted(source) << " $(C_ALTOBJECT)" << entry << "$(OBJ)\n#\n";
        continue;
      }
      if (IsFortran(d)) {
        const std::string wrapper = entry + "I.f";
        o << entry << "I$(OBJ): " << wrapper << "\n"
          << "\t$(ECHO) Compiling " << wrapper << "\n"
          << "\t$(FORTRAN) $(FDEBUG) $(F_OPTC) " << wrapper << "\n#\n";
      } else if (d->InterfaceVersion() == 1) {
        const std::string wrapper = entry + "I.c";
        o << entry << "I$(OBJ): " << wrapper << " " << Prerequisite(bvutcfor) << "\n"
          << "\t$(ECHO) Compiling " << wrapper << "\n"
          << CRule(d) << wrapper << " $(C_ALTOBJECT)" << entry << "I$(OBJ)\n#\n";
      }
      std::string object, source;
      if (d->Options() & procdef::kSourceIsText) {
        object = entry;
        source = entry + LanguageSuffix(d);
      } else if (d->HasSource() && !SourceSeenBefore(lib, e)) {
        source = d->SourceFile();
        object = SourceBase(source);
      } else {
        continue;
      }
      if (IsFortran(d)) {
        o << object << "$(OBJ): " << Prerequisite(source) << "\n"
          << "\t$(ECHO) Compiling " << source << "\n"
          << "\t$(FORTRAN) $(FDEBUG) $(F_OPTC) " << Quoted(source) << "\n#\n";
      } else {
        o << object << "$(OBJ): " << Prerequisite(source) << " " << Prerequisite(bvutcfor) << "\n"
          << "\t$(ECHO) Compiling " << source << "\n"
          << CRule(d) << Quoted(source) << " $(C_ALTOBJECT)" << object << "$(OBJ)\n#\n";
      }
    }
    o << "#\n";
  }
  out->close();
  delete *tree;
  *tree = nullptr;
  Progress(report, "Makefile generation complete.", nullptr);
  return 0;
}

namespace {
using codegen::Directive;
using codegen::Prerequisite;

constexpr std::size_t kGroup = 30;

// The variables name + k, 30 items each; the number of groups.
std::size_t WriteGroups(std::ostream& o, const char* name, const std::vector<std::string>& items,
                        std::size_t indent) {
  std::size_t k = 0;
  for (std::size_t at = 0; at < items.size(); ++at) {
    if (at % kGroup == 0) {
      if (at != 0) o << "\n";
      o << name << ++k << " = ";
    } else {
      o << " \\\n" << std::string(indent, ' ');
    }
    o << items[at];
  }
  if (k != 0) o << "\n";
  return k;
}

void WriteSummary(std::ostream& o, const char* name, std::size_t groups, std::size_t indent) {
  o << name << " = ";
  for (std::size_t k = 1; k <= groups; ++k) {
    if (k != 1) o << " \\\n" << std::string(indent, ' ');
    o << "$(" << name << k << ")";
  }
  o << "\n";
}

std::string Wipe(const std::string& target) {
  return codegen::Gnu() ? "\t-$(WIPE) " + target : "\t-999 $(WIPE) /Q " + target;
}
}  // namespace

Status WriteExportLibraryMakefilePart(const CodegenReport& report, CNameTree** tree,
                                      const char* server_folder, bool debug, bool optimise,
                                      bool quiet, bool resource,
                                      const std::vector<std::string>& resources, bool no_headers,
                                      const std::vector<std::string>& units,
                                      const std::vector<std::string>& extra_headers,
                                      const char* output_folder, const char* user_include,
                                      const char* extra_text, const char* library) {
  using namespace codegen;
  if (tree != nullptr) {
    delete *tree;
    *tree = nullptr;
  }
  Status refused =
      library != nullptr && *library != '\0' ? RefuseUnplainName(report, library, Plain::kName) : 0;
  for (const auto* list : {&resources, &units, &extra_headers}) {
    for (const std::string& name : *list) {
      if (refused == 0) refused = RefuseUnplainName(report, name, Plain::kToken);
    }
  }
  if (refused == 0) refused = RefuseUnplainInclude(report, user_include);
  if (refused != 0) return refused;
  const bool vs2019 = std::getenv("VS2019INSTALLDIR") != nullptr;
  const bool vs2017 = !vs2019 && std::getenv("VS2017INSTALLDIR") != nullptr;
  auto out = WriteMakefileGenericPart(report, server_folder, output_folder, false, user_include,
                                      extra_text, library, quiet, debug, true, vs2017, vs2019);
  if (!out) return kFailureReport;
  std::ostream& o = *out;
  const std::string name = library != nullptr ? library : "";
  const std::size_t cut = name.find_last_of("\\/");
  const std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
  o << "#\n"
    << Directive("!ifdef DYNAMIC_BVDLL") << "\nLIBBVDLL = bvdll_support\n"
    << Directive("!else") << "\nLIBBVDLL = libbvdll\n"
    << Directive("!endif") << "\n#\nLIBEXPORT = qlnexp\n#\n";
  std::vector<std::string> objects, sources, headers;
  for (auto unit = units.rbegin(); unit != units.rend(); ++unit) {
    objects.push_back(*unit + "$(OBJ)");
    sources.push_back(*unit + "$(CPPSUFFIX)");
    headers.push_back(*unit + ".hpp");
  }
  for (const auto& header : extra_headers) headers.push_back(header + ".hpp");
  const std::size_t object_groups = WriteGroups(o, "Library_Objects", objects, 19);
  o << "#\n";
  WriteSummary(o, "Library_Objects", object_groups, 18);
  o << "#\n";
  const std::size_t source_groups = WriteGroups(o, "Library_Sources", sources, 19);
  const std::size_t header_groups = no_headers ? 0 : WriteGroups(o, "Library_Headers", headers, 19);
  const bool with_resources = resource && !resources.empty();
  std::size_t resource_groups = 0;
  if (with_resources) {
    o << "#\n";
    resource_groups = WriteGroups(o, "Library_Resources", resources, 21);
    WriteSummary(o, "Library_Resources", resource_groups, 20);
  }
  o << "#\nbuild: " << ListName(name + "$(DLL)") << "\n#\nclean:\n";
  for (std::size_t k = header_groups; k >= 1; --k) {
    o << Wipe("$(Library_Headers" + std::to_string(k) + ")") << "\n";
  }
  for (const std::string& target : {RemovedName(name) + "$(OLB)", RemovedName(name) + ".exp",
                                    RemovedName(name) + ".dll.manifest", std::string("*.pch")}) {
    o << Wipe(target) << "\n";
  }
  if (with_resources) o << Wipe(RemovedName(base) + ".res") << "\n";
  for (std::size_t k = std::max(object_groups, source_groups); k >= 1; --k) {
    o << Wipe("$(Library_Objects" + std::to_string(k) + ")") << "\n"
      << Wipe("$(Library_Sources" + std::to_string(k) + ")") << "\n";
  }
  for (std::size_t k = resource_groups; k >= 1; --k) {
    o << Wipe("$(Library_Resources" + std::to_string(k) + ")") << "\n";
  }
  o << "#\n";
  o << Prerequisite(name + "$(DLL)") << ": $(Library_Objects)"
    << (with_resources ? " " + Prerequisite(base + ".res") : std::string()) << " $(USERTARGETS)\n"
    << "\t$(ECHO) Building Dynamic Link Library " << name << "$(DLL)\n"
    << "\t$(C_LINK) $(LINKDEBUG) $(C_OPTL) $(DLLOPT) $(Library_Objects) \\\n";
  if (with_resources) o << "\t\"" << base << ".res\" \\\n";
  o << "\t\"$(BVUTCFORPATH)" << Sep() << "$(LIBEXPORT)$(OLB)\" \"$(BVUTCFORPATH)" << Sep()
    << "$(LIBBVDLL)$(OLB)\" \\\n"
    << "\t$(ALT_EXECUTABLE)\"" << name << "$(DLL)\" $(LIB_PATH)$(QVSYSTEM_TOP)" << Sep()
    << "lib $(USERLIBPATHS) $(USERLIBS) \\\n"
    << "  $(SYSLIBS)\n"
    << "\t$(ECHO) Dynamic Link Library built\n#\n";
  const std::string bvdll = "$(BVUTCFORPATH)" + Sep() + "bvdll.h";
  for (auto unit = units.rbegin(); unit != units.rend(); ++unit) {
    const std::string source = *unit + "$(CPPSUFFIX)";
    o << *unit << "$(OBJ): " << Prerequisite(source) << " " << Prerequisite(bvdll) << "\n"
      << "\t$(ECHO) Compiling " << source << "\n"
      << (optimise ? "\t$(CPP) $(C_OPTIMIZE) $(CPP_OPTC)" : "\t$(CPP) $(CPPDEBUG) $(CPP_OPTC)")
      << (Gnu() || vs2017 || vs2019 ? " " : "") << "$(INCLUDEPATHS) $(INCL) $(QVSYSTEM_TOP)"
      << Sep() << "incl $(USERINCLUDEPATHS) " << Quoted(source) << " $(C_ALTOBJECT)" << *unit
      << "$(OBJ)\n#\n";
  }
  if (with_resources) {
    o << Prerequisite(base + ".res") << ": " << Prerequisite(base + ".rc") << "\n"
      << "\t$(ECHO) Compiling " << base << ".rc\n"
      << "\t$(RSC) $(RSC_OPT) $(RSCDEBUG) " << base << ".rc\n#\n";
  }
  out->close();
  if (!quiet) Progress(report, "Makefile generation complete.", nullptr);
  return 0;
}
