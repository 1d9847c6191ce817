#include "codegen/files/proc_files.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "codegen/build/build_driver.h"
#include "codegen/build/makefile_writer.h"
#include "codegen/build/product_folders.h"
#include "codegen/name_tree.h"
#include "codegen/names.h"
#include "codegen/output_folder.h"
#include "foundation/messages/status_and_msg.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/libraries/library_loader.h"
#include "framework/messaging/message.h"
#include "framework/servers/server_registry.h"
#include "platform/safe_write.h"
#include "platform/status.h"

namespace codegen {
namespace {
constexpr Status kUnsupported = 0x80000028u;

// The C-type locale of the user's default on this thread while a request
// runs, "C" again on every way out; the process-wide locale is untouched.
class UserCharacterTypes {
 public:
  UserCharacterTypes() {
    user_ = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (user_ != static_cast<locale_t>(nullptr)) previous_ = uselocale(user_);
  }
  ~UserCharacterTypes() {
    if (user_ == static_cast<locale_t>(nullptr)) return;
    uselocale(previous_);
    freelocale(user_);
  }
  UserCharacterTypes(const UserCharacterTypes&) = delete;
  UserCharacterTypes& operator=(const UserCharacterTypes&) = delete;

 private:
  locale_t user_ = static_cast<locale_t>(nullptr);
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

std::string Cased(const std::string& text, int (*change)(int)) {
  std::string out = text;
  std::transform(out.begin(), out.end(), out.begin(),
                 [change](unsigned char c) { return static_cast<char>(change(c)); });
  return out;
}

const char* LanguageName(std::uint32_t language) {
  switch (language) {
    case procdef::kLanguageFortran:
      return "FORTRAN";
    case procdef::kLanguageCpp:
      return "C++";
    default:
      return "C";
  }
}

const char* LanguageSuffix(std::uint32_t language) {
  switch (language) {
    case procdef::kLanguageFortran:
      return ".f";
    case procdef::kLanguageCpp:
      return ".cpp";
    default:
      return ".c";
  }
}

// Owns a string read from the request.
struct Text {
  char* text = nullptr;
  ~Text() { delete[] text; }
  const char* c_str() const { return text != nullptr ? text : ""; }
};

Status ReadString(BvuBinaryStream& in, Text* text) {
  delete[] text->text;
  text->text = nullptr;
  return in.GetStringNew(&text->text);
}

// A definition read for code generation keeps the name it was sent under:
// the generated files and the messages show that name, not the routine's.
class NamedDefinition final : public SUProcDef {
 public:
  const char* DisplayName() const override { return display_.c_str(); }
  void SetDisplayName(const char* name) override { display_ = name != nullptr ? name : ""; }

 private:
  std::string display_;
};

// A definition read for code generation, then its word.
struct ReadDefinition {
  NamedDefinition definition;
  std::uint32_t word = 0;
};

bool AbsoluteLibraryPath(const std::string& library) {
  if (!library.empty() && IsSeparator(library[0])) return true;
  return library.size() >= 3 && library[1] == ':' && IsSeparator(library[2]);
}

// The file the makefile links for a library name: in the build folder
// unless the name is a path of its own.
std::string BuiltLibraryFile(const char* folder, const std::string& library) {
  return (AbsoluteLibraryPath(library) ? library : JoinFolderAndName(folder, library.c_str())) +
         ".so";
}

// Whether anything is under the name (a link not followed), looked at
// through its folder held open.
bool Exists(const std::string& path) {
  std::string name, link;
  int error = 0;
  const platform::FileDescriptor folder = FolderOfPath(path, &name, &link, &error);
  struct stat info {};
  return folder.valid() && ::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// 0, or 0x8000FFFF after the line when another user's link is on the way.
Status RefuseOthersLink(const CodegenReport& report, const char* path) {
  const std::string why = WhyPathLeadsThroughOthersLink(path);
  if (why.empty()) return 0;
  Failure(report, "Nothing is written through %s: %s\n", path[0] != '\0' ? path : ".",
          why.c_str());
  return kFailed;
}

Status GenerateRequest(BvuBinaryStream& in, const ProcFilesContext& context) {
  const CodegenReport& report = context.report;
  ResetErrorCount();
  ResetWarningCount();
  std::uint32_t options = 0, count = 0;
  Text folder, include;
  std::uint8_t build = 0;
  Status s = in.GetUInt32(&options);
  if (!status::IsFailure(s)) s = ReadString(in, &folder);
  if (!status::IsFailure(s)) s = in.GetUInt32(&count);
  if (!status::IsFailure(s)) s = ReadString(in, &include);
  if (!status::IsFailure(s)) s = in.GetUInt8(&build);
  if (status::IsFailure(s)) return s;
  const char* user_include = include.c_str();
  if (user_include[0] != '\0' &&
      RefuseUnplainName(report, user_include + (user_include[0] == '%' ? 1 : 0), Plain::kPath) !=
          0) {
    return kFailed;
  }

  // Not a file is written, nor a makefile replaced, through another user's
  // link: the folder is opened once, and what is made in it is made
  // through that.
  const OutputFolder held(folder.c_str());
  if (!held.others_link().empty()) {
    Failure(report, "%s", ThroughOthersLink(folder.c_str(), held.others_link()).c_str());
    return kFailed;
  }

  // The tree points at the definitions and names kept here until the
  // makefile writer has consumed it.
  std::deque<ReadDefinition> definitions;
  std::deque<std::string> names;
  CNameTree* tree = nullptr;
  bool any_fortran = false;
  for (std::uint32_t i = 0; i < count; ++i) {
    ReadDefinition& read = definitions.emplace_back();
    s = read.definition.ReadDefinition(in);
    if (!status::IsFailure(s)) s = in.GetUInt32(&read.word);
    if (status::IsFailure(s)) break;
    s = 0;
    const SUProcDef& def = read.definition;
    // A definition sent without a name is shown by its routine's name.
    const std::string display =
        def.DisplayName()[0] != '\0' ? def.DisplayName() : def.ImplementationName();
    if (def.Library().empty()) {
      Failure(report, "Library name in procedure %s is NULL (not defined).\n", display.c_str());
      s = kFailed;
      break;
    }
    s = RefuseUnplainNames(report, def);
    if (s != 0) break;
    s = CheckLibraryFolder(report, folder.c_str(), def.Library().c_str());
    if (s != 0) break;
    // Where its template is written and its library linked.
    if (def.HasSource() && !(def.Options() & procdef::kSourceIsText)) {
      s = RefuseOthersLink(report,
                           ResolvePathInFolder(folder.c_str(), def.SourceFile().c_str()).c_str());
    }
    if (s == 0 && AbsoluteLibraryPath(def.Library())) {
      s = RefuseOthersLink(report, def.Library().c_str());
    }
    if (s != 0) break;
    const SUCodeGenerate generate{&def, display, static_cast<std::int32_t>(read.word)};
    s = GenerateProcedureFiles(generate, report, options, folder.c_str(), &tree, &names);
    if (s != 0) break;
    if (def.Language() == procdef::kLanguageFortran) any_fortran = true;
  }
  if (s != 0) {
    delete tree;
    return s;
  }
  // The libraries the makefile builds, named before the writer consumes
  // the tree.
  std::vector<std::string> products, inputs, sources;
  for (const CNameTree* lib = tree; lib != nullptr; lib = lib->Next()) {
    products.push_back(BuiltLibraryFile(folder.c_str(), lib->Name()));
    // Kept when it is there: the user's to change, and the build's to read.
    const std::string name = lib->Name();
    const std::string base = name.substr(name.find_last_of("\\/") + 1);
    inputs.push_back(JoinFolderAndName(folder.c_str(), (base + ".rc").c_str()));
  }
  // The sources the engine does not write, which the build compiles.
  for (const ReadDefinition& read : definitions) {
    const SUProcDef& def = read.definition;
    if (def.HasSource() && !(def.Options() & procdef::kSourceIsText)) {
      inputs.push_back(ResolvePathInFolder(folder.c_str(), def.SourceFile().c_str()));
      sources.push_back(inputs.back());
    }
  }
  bool fortran = false;
  s = WriteProcedureLibraryMakefilePart(report, &tree, context.server_folder.c_str(),
                                        (options & kRequestDebug) != 0,
                                        (options & kOptionMakefile) == 0, &fortran, folder.c_str(),
                                        include.c_str(), nullptr, nullptr);
  // As with make's own failure, the refusal reaches the client through its
  // messages.
  if (build != 0 && RefuseOpenBuildInputs(report, inputs) == 0 &&
      RefuseOpenSourceFolders(report, folder.c_str(), sources) == 0 &&
      RefuseOpenSearchFolders(report, BuildSearchFolders(context.server_folder.c_str())) == 0) {
    Progress(report, "Building DLL...\n", nullptr);
    if (!fortran && any_fortran) fortran = (options & kOptionFortranEnvironment) != 0;
    // The build's own result reaches the client through its messages.
    if (RunNmakeBuild(report, nullptr, folder.c_str(), nullptr, true, false, nullptr, false,
                      fortran) == 0) {
      for (const std::string& product : products) CloseBuiltLibrary(report, product);
    }
  }
  SummariseBuildOutput(report, "generating procedure code", 0);
  return s;
}

Status ListLoaded(const ProcFilesContext& context) {
  BvuBinaryStream* reply = context.make_reply ? context.make_reply() : nullptr;
  if (reply == nullptr) return 0x80000213u;
  std::vector<const XosDynamicLibrary*> loaded;
  for (XosDynamicLibrary* lib = XosDynamicLibrary::FirstLoaded(); lib != nullptr;
       lib = lib->NextLoaded()) {
    if (lib->State() != XosDynamicLibrary::kUnloaded) loaded.push_back(lib);
  }
  Status s = reply->PutUInt16(2);
  if (!status::IsFailure(s)) s = reply->PutUInt32(0);
  if (!status::IsFailure(s)) s = reply->PutUInt32(static_cast<std::uint32_t>(loaded.size()));
  for (const XosDynamicLibrary* lib : loaded) {
    if (!status::IsFailure(s)) s = reply->PutString(lib->FullName().c_str());
  }
  return s;
}

Status ForceUnload(BvuBinaryStream& in, const ProcFilesContext& context) {
  std::uint32_t count = 0;
  Status s = in.GetUInt32(&count);
  if (status::IsFailure(s)) return s;
  std::vector<std::unique_ptr<Text>> names;
  std::vector<const char*> pointers;
  for (std::uint32_t i = 0; i < count && !status::IsFailure(s); ++i) {
    names.push_back(std::make_unique<Text>());
    s = ReadString(in, names.back().get());
    if (!status::IsFailure(s)) pointers.push_back(names.back()->c_str());
  }
  if (status::IsFailure(s)) return s;
  if (context.release_export) context.release_export();
  XosDynamicLibrary::ForceUnloadAll(pointers.data(), static_cast<std::int32_t>(pointers.size()));
  return 0;
}

Status LibraryFileName(BvuBinaryStream& in, const ProcFilesContext& context) {
  Text name;
  const Status s = ReadString(in, &name);
  if (status::IsFailure(s)) return s;
  BvuBinaryStream* reply = context.make_reply ? context.make_reply() : nullptr;
  if (reply == nullptr) return 0x80000213u;
  // Found, not loaded: a lookup must not run the code of whatever file the
  // search comes upon.
  const std::string file = XosDynamicLibrary::LocateFile(name.c_str());
  Status r = reply->PutUInt16(5);
  if (!status::IsFailure(r)) r = reply->PutUInt32(0);
  if (!status::IsFailure(r)) r = reply->PutString(file.c_str());
  return r;
}
// Reads a u32 count and that many strings.
Status ReadStrings(BvuBinaryStream& in, std::vector<std::string>* list) {
  std::uint32_t count = 0;
  Status s = in.GetUInt32(&count);
  for (std::uint32_t i = 0; i < count && !status::IsFailure(s); ++i) {
    Text text;
    s = ReadString(in, &text);
    if (!status::IsFailure(s)) list->push_back(text.c_str());
  }
  return s;
}

// Eight bytes of a double; a short read is the end of the body.
Status ReadDouble(BvuBinaryStream& in, double* value) {
  const Status s = in.TryGet8(value);
  return s == 1 ? 0 : status::IsFailure(s) ? s : kFailed;
}

Status ReadFlag(BvuBinaryStream& in, bool* flag) {
  std::uint32_t word = 0;
  const Status s = in.GetUInt32(&word);
  *flag = word != 0;
  return s;
}

// A reference that must resolve to a variable: 0x8000FFFF when it does not.
Status ReadReference(BvuBinaryStream& in, const ProcFilesContext& context,
                     ResolvedReference* resolved) {
  *resolved = ResolvedReference{};
  if (!context.read_reference) return kFailed;
  const Status s = context.read_reference(in, resolved);
  if (status::IsFailure(s)) return s;
  return resolved->variable != nullptr ? 0 : kFailed;
}

// The port records of a flowsheet export. A reference that does not
// resolve ends the reading.
Status ReadPorts(BvuBinaryStream& in, const ProcFilesContext& context,
                 std::vector<ExportPort>* ports) {
  std::uint16_t count = 0;
  Status s = in.GetUInt16(&count);
  for (std::uint16_t p = 0; p < count && !status::IsFailure(s); ++p) {
    ExportPort& port = ports->emplace_back();
    Text name;
    std::uint16_t direction = 0, type = 0, m = 0, n = 0, attributes = 0;
    s = ReadString(in, &name);
    if (!status::IsFailure(s)) s = in.GetUInt16(&direction);
    if (!status::IsFailure(s)) s = in.GetUInt16(&type);
    if (!status::IsFailure(s)) s = in.GetUInt16(&m);
    if (!status::IsFailure(s) && (type == 1 || type == 2)) s = in.GetUInt16(&n);
    for (std::uint16_t c = 0; c < n && !status::IsFailure(s); ++c) {
      Text component;
      s = ReadString(in, &component);
      if (!status::IsFailure(s)) port.components.push_back(component.c_str());
    }
    if (!status::IsFailure(s) && type == 2) s = in.GetUInt16(&attributes);
    port.name = name.c_str();
    port.direction = direction;
    port.type = type;
    port.attributes = attributes;
    for (std::uint16_t v = 0; v < m && !status::IsFailure(s); ++v) {
      ResolvedReference resolved;
      s = ReadReference(in, context, &resolved);
      if (!status::IsFailure(s)) port.variables.push_back(resolved.variable);
    }
    port.block_indexes.assign(port.variables.size(), -1);
  }
  return s;
}

// The variable settings of a flowsheet export, one entry per variable of
// the current problem (or per setting when there are more).
Status ReadSettings(BvuBinaryStream& in, const ProcFilesContext& context,
                    std::vector<ExportVariableSetting>* settings) {
  std::uint32_t count = 0;
  Status s = in.GetUInt32(&count);
  if (status::IsFailure(s) || count == 0) return s;
  const std::int32_t variables = context.problem_variables ? context.problem_variables() : -1;
  if (variables < 0) return 0;
  // The count comes from the request: the table grows as entries are
  // chosen, never ahead of the bytes read.
  settings->assign(static_cast<std::size_t>(variables), ExportVariableSetting{});
  for (std::uint32_t i = 0; i < count; ++i) {
    ResolvedReference resolved;
    s = ReadReference(in, context, &resolved);
    ExportVariableSetting setting;
    if (!status::IsFailure(s)) s = in.GetUInt32(&setting.first);
    if (!status::IsFailure(s)) s = in.GetUInt32(&setting.mode);
    if (!status::IsFailure(s) && setting.mode != 1) {
      s = ReadDouble(in, &setting.scale);
      if (!status::IsFailure(s)) s = ReadDouble(in, &setting.offset);
    }
    if (status::IsFailure(s)) return s;
    if (resolved.index <= 0) continue;  // a variable without an index
    const std::size_t entry = static_cast<std::size_t>(resolved.index - 1);
    if (settings->size() <= entry) settings->resize(entry + 1);
    (*settings)[entry] = setting;
  }
  if (settings->size() < count) settings->resize(count);
  return 0;
}

// The export's name and file lists reach the source, the makefile and the
// build script: refused, before anything is written, unless plain.
Status RefuseUnplainExportNames(const CodegenReport& report, const ExportRequest& request) {
  if (!request.name.empty() && RefuseUnplainName(report, request.name, Plain::kName) != 0)
    return kFailed;
  for (const auto* list : {&request.resources, &request.units, &request.extra_headers}) {
    for (const std::string& name : *list) {
      if (RefuseUnplainName(report, name, Plain::kToken) != 0) return kFailed;
    }
  }
  return 0;
}

Status ExportRequestOf(BvuBinaryStream& in, std::uint16_t kind, const ProcFilesContext& context) {
  const CodegenReport& report = context.report;
  const bool flowsheet = kind == 1;
  ResetErrorCount();
  ResetWarningCount();
  ExportRequest request;
  Text folder, name;
  Status s = ReadString(in, &folder);
  if (!status::IsFailure(s)) s = ReadString(in, &name);
  if (status::IsFailure(s)) return s;
  request.folder = folder.c_str();
  request.name = name.c_str();
  const std::string announce = std::string("\nExporting ") + (flowsheet ? "flowsheet" : "type") +
                               " %s as dynamically loadable code in directory %s";
  Progress(report, announce.c_str(), name.c_str(), folder.c_str());
  if (flowsheet) {
    s = ReadPorts(in, context, &request.ports);
    if (status::IsFailure(s)) return s;
    if (request.ports.empty()) Progress(report, "Flowsheet has no exportable ports.", nullptr);
  }
  s = ReadFlag(in, &request.optimise);
  if (!status::IsFailure(s)) s = ReadFlag(in, &request.build);
  if (!status::IsFailure(s)) s = ReadFlag(in, &request.debug);
  if (!status::IsFailure(s)) s = ReadFlag(in, &request.clean);
  if (!status::IsFailure(s)) s = ReadFlag(in, &request.resource);
  if (!status::IsFailure(s)) s = ReadStrings(in, &request.resources);
  if (!status::IsFailure(s)) s = ReadFlag(in, &request.quiet);
  if (!status::IsFailure(s)) s = ReadFlag(in, &request.no_headers);
  if (!status::IsFailure(s)) s = ReadStrings(in, &request.units);
  if (!status::IsFailure(s) && !flowsheet) s = ReadStrings(in, &request.extra_headers);
  if (!status::IsFailure(s) && flowsheet) s = ReadSettings(in, context, &request.settings);
  if (status::IsFailure(s)) return s;
  s = RefuseUnplainExportNames(report, request);
  if (s != 0) return s;
  const OutputFolder held(request.folder);
  if (!held.others_link().empty()) {
    Failure(report, "%s", ThroughOthersLink(request.folder, held.others_link()).c_str());
    return kFailed;
  }
  std::int32_t libraries = 0;
  if (!flowsheet) {
    s = context.export_type ? context.export_type(request)
                            : WriteExportMakefile(request, report, context.server_folder.c_str());
  } else if (context.export_flowsheet) {
    s = context.export_flowsheet(request, &libraries);
  } else {
    Failure(report, "Export of a %s is not available in this engine", "flowsheet");
    s = kUnsupported;
  }
  if (request.quiet) {
    SummariseBuildOutput(report, flowsheet ? "flowsheet export" : "type export", libraries);
  }
  return s;
}

}  // namespace

Status CheckLibraryFolder(const CodegenReport& report, const char* output_folder,
                          const char* library) {
  const std::string name = library != nullptr ? library : "";
  std::string path = AbsoluteLibraryPath(name) ? name : JoinFolderAndName(output_folder, library);
  const std::size_t cut = path.find_last_of("/\\");
  std::string folder = cut == std::string::npos ? "." : path.substr(0, cut == 0 ? 1 : cut);
  std::string last, link;
  int error = 0;
  const platform::FileDescriptor opened = FolderOfPath(path, &last, &link, &error);
  struct stat info {};
  if (!opened.valid() || ::fstat(opened.get(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    Failure(report, "Directory %s for dll %s not found.\n", folder.c_str(), name.c_str());
    return kFailed;
  }
  // No write bit at all: a test of access() would pass for root.
  if ((info.st_mode & 0222) == 0) {
    Failure(report, "Directory %s for dll %s cannot be written to.\n", folder.c_str(),
            name.c_str());
    return kFailed;
  }
  return 0;
}

Status GenerateProcedureFiles(const SUCodeGenerate& generate, const CodegenReport& report,
                              std::uint32_t options, const char* output_folder, CNameTree** tree,
                              std::deque<std::string>* names) {
  const SUProcDef& def = *generate.definition;
  const std::string lower = Cased(def.ImplementationName(), ::tolower);
  const std::string upper = Cased(def.ImplementationName(), ::toupper);
  const std::uint32_t version = def.InterfaceVersion();
  const bool fortran = def.Language() == procdef::kLanguageFortran;
  const bool wrapped = version == 1 || (fortran && version < 3);
  Status s = 0;
  if (def.HasSource()) {
    if (def.Options() & procdef::kSourceIsText) {
      char description[128];
      std::snprintf(description, sizeof description,
                    "(procedure definition supplied text) '%s' implementation file",
                    LanguageName(def.Language()));
      const std::string path = MakeGeneratedFileName(report, output_folder, false, lower.c_str(),
                                                     LanguageSuffix(def.Language()), description);
      OutputFile file = OpenForWriting(report, "generate", path);
      if (file.get() == nullptr) return kFailed;
      std::fputs(def.PlainSource().c_str(), file.get());
      std::fputs("\n", file.get());
      // Not written whole: the file there keeps its bytes.
      int error = 0;
      if (!file.Close(&error)) {
        OpenFailure(report, "write", path, error);
        return kFailed;
      }
    } else if (options & kRequestTemplates) {
      const std::string path = ResolvePathInFolder(output_folder, def.SourceFile().c_str());
      if (Exists(path)) {
        Progress(report, "Template for %s not generated, %s already exists",
                 generate.display_name.c_str(), path.c_str());
      } else if (fortran) {
        Progress(report, "Generating FORTRAN template file %s", path.c_str());
        s = version < 3
                ? WriteFortranTemplateOld(generate, report, options, path.c_str(), upper.c_str())
                : WriteFortranTemplate(generate, report, options, path.c_str(), upper.c_str());
      } else if (!wrapped) {
        Progress(report, "Generating 'C' template implementation file %s", path.c_str());
        s = version < 3 ? WriteCTemplateOld(generate, report, options, output_folder, false,
                                            lower.c_str(), upper.c_str(), path.c_str())
                        : WriteCTemplate(generate, report, options, output_folder, lower.c_str(),
                                         upper.c_str(), path.c_str());
      }
      if (s != 0) return s;
    }
  } else if (options & kRequestTemplates) {
    Warning(report, "Unable to generate template for %s, no source file name",
            generate.display_name.c_str());
  }
  if (options & kRequestWrappers) {
    if (version < 3) {
      if (wrapped || !def.HasSource()) {
        if (fortran) {
          s = WriteFortranWrapperOld(generate, report, options, output_folder, lower.c_str(),
                                     upper.c_str());
        } else if (wrapped) {
          s = WriteCTemplateOld(generate, report, options, output_folder, true, lower.c_str(),
                                upper.c_str(), nullptr);
        }
      }
    } else if (fortran) {
      s = WriteFortranWrapper(generate, report, options, output_folder, lower.c_str(),
                              upper.c_str());
    }
    if (s != 0) return s;
  }
  names->push_back(def.Library().empty() ? "libraryx" : def.Library());
  const char* library = names->back().c_str();
  names->push_back(lower);
  const char* entry = names->back().c_str();
  const auto data = reinterpret_cast<std::intptr_t>(&def);
  if (*tree == nullptr) {
    *tree = new CNameTree(library, data, entry);
  } else {
    (*tree)->Insert(library, data, entry);
  }
  return 0;
}

Status WriteExportMakefile(const ExportRequest& request, const CodegenReport& report,
                           const char* server_folder) {
  const std::string lines = ExportProductFolderLines(report, request.quiet);
  const char* folder = request.folder.c_str();
  const char* library = request.name.c_str();
  Status s = WriteExportLibraryMakefilePart(
      report, nullptr, server_folder, request.debug, request.optimise, request.quiet,
      request.resource, request.resources, request.no_headers, request.units, request.extra_headers,
      folder, "%tanq_defs.inc", lines.c_str(), library);
  if (s != 0 || !request.build) return s;
  if (RefuseOpenSearchFolders(report, BuildSearchFolders(server_folder, true)) != 0) return kFailed;
  if (!request.quiet) {
    Progress(report, "Compiling and linking exported type object code...\n", nullptr);
  }
  s = RunNmakeBuild(report, nullptr, folder, library, true, false, nullptr, request.quiet, false);
  if (s == 0) {
    s = CloseBuiltLibrary(request.quiet ? CodegenReport() : report,
                          BuiltLibraryFile(folder, library));
  }
  if (s != 0 || !request.clean) return s;
  return RunNmakeBuild(report, nullptr, folder, library, true, true, "clean", request.quiet, false);
}

Status HandleProcFilesRequest(BvuBinaryStream& request, const ProcFilesContext& context) {
  UserCharacterTypes locale;
  std::uint16_t kind = 0;
  const Status s = request.GetUInt16(&kind);
  if (status::IsFailure(s)) return s;
  switch (kind) {
    case 0:
      return GenerateRequest(request, context);
    case 2:
      return ListLoaded(context);
    case 3:
      return ForceUnload(request, context);
    case 5:
      return LibraryFileName(request, context);
    case 1:
    case 4:
      return ExportRequestOf(request, kind, context);
    default:
      return kFailureReport;
  }
}
}  // namespace codegen

Status SimProcFilesMgr::RegisterServices(DseServerRegistry* registry) {
  if (registry == nullptr) return 0x8000020Fu;
  return registry->Register(codegen::kProcFilesService, this);
}

Status SimProcFilesMgr::HandleRequest(std::uint32_t, DseMessage* request, DseMessage** reply,
                                      DseTemplate**) {
  *reply = nullptr;
  std::unique_ptr<DseMessage> made;
  codegen::ProcFilesContext context = context_;
  context.make_reply = [&made, request]() -> BvuBinaryStream* {
    made.reset(DseMessage::DseMessageAsReply(*request));
    if (made != nullptr) made->sequence = request->sequence + 1;
    return made.get();
  };
  const Status s = codegen::HandleProcFilesRequest(*request, context);
  *reply = made.release();
  return s;
}
