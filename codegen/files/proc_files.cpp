#include "codegen/files/proc_files.h"

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
#include "codegen/name_tree.h"
#include "codegen/names.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/libraries/library_loader.h"
#include "framework/libraries/qln_dynamic_library.h"
#include "framework/messaging/message.h"
#include "framework/servers/server_registry.h"
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

// A definition read for code generation: the definition, then its word.
struct ReadDefinition {
  SUProcDef definition;
  std::uint32_t word = 0;
};

bool AbsoluteLibraryPath(const std::string& library) {
  if (!library.empty() && IsSeparator(library[0])) return true;
  return library.size() >= 3 && library[1] == ':' && IsSeparator(library[2]);
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
    const std::string display = def.ImplementationName();
    if (def.Library().empty()) {
      Failure(report, "Library name in procedure %s is NULL (not defined).\n", display.c_str());
      s = kFailed;
      break;
    }
    s = CheckLibraryFolder(report, folder.c_str(), def.Library().c_str());
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
  bool fortran = false;
  s = WriteProcedureLibraryMakefilePart(report, &tree, context.server_folder.c_str(),
                                        (options & kRequestDebug) != 0,
                                        (options & kOptionMakefile) == 0, &fortran, folder.c_str(),
                                        include.c_str(), nullptr, nullptr);
  if (build != 0) {
    Progress(report, "Building DLL...\n", nullptr);
    if (!fortran && any_fortran) fortran = (options & kOptionFortranEnvironment) != 0;
    // The build's own result reaches the client through its messages.
    RunNmakeBuild(report, nullptr, folder.c_str(), nullptr, true, false, nullptr, false, fortran);
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
  std::string file;
  if (name.c_str()[0] != '\0') {
    if (XosDynamicLibrary* lib = QLNDynamicLibrary::Load(name.c_str(), nullptr)) {
      file = lib->ModulePath();
      lib->Release();
    }
  }
  Status r = reply->PutUInt16(5);
  if (!status::IsFailure(r)) r = reply->PutUInt32(0);
  if (!status::IsFailure(r)) r = reply->PutString(file.c_str());
  return r;
}
}  // namespace

Status CheckLibraryFolder(const CodegenReport& report, const char* output_folder,
                          const char* library) {
  const std::string name = library != nullptr ? library : "";
  std::string path = AbsoluteLibraryPath(name) ? name : JoinFolderAndName(output_folder, library);
  const std::size_t cut = path.find_last_of("/\\");
  std::string folder = cut == std::string::npos ? "." : path.substr(0, cut == 0 ? 1 : cut);
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
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
      std::FILE* file = std::fopen(path.c_str(), "w");
      if (file == nullptr) {
        const int error = errno;
        if (error != 0) {
          Failure(report, "Failed to generate %s (system message: %s)", path.c_str(),
                  std::strerror(error));
        } else {
          Failure(report, "Failed to generate %s", path.c_str());
        }
        return kFailed;
      }
      std::fputs(def.PlainSource().c_str(), file);
      std::fputs("\n", file);
      std::fclose(file);
    } else if (options & kRequestTemplates) {
      const std::string path = ResolvePathInFolder(output_folder, def.SourceFile().c_str());
      struct stat info {};
      if (stat(path.c_str(), &info) == 0) {
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
      Failure(context.report, "Export of a %s is not available in this engine",
              kind == 1 ? "flowsheet" : "type");
      return kUnsupported;
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
