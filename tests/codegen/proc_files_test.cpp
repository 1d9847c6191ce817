// The procedure-file manager: requests of service 113 from their bytes.
#include "codegen/files/proc_files.h"

#include <sys/stat.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codegen/build/build_driver.h"
#include "codegen_helpers.h"
#include "framework/libraries/library_loader.h"
#include "fuzz/byte_stream.h"
#include "platform/status.h"

using namespace codegen_test;
namespace fs = std::filesystem;
using vantor_fuzz::ByteStream;

namespace {

struct Request {
  Reports reports;
  std::unique_ptr<ByteStream> reply;
  std::string server_folder;
  codegen::ProcFilesContext Context() {
    codegen::ProcFilesContext context;
    context.report = reports.Callback();
    context.server_folder = server_folder;
    context.make_reply = [this]() -> BvuBinaryStream* {
      reply = std::make_unique<ByteStream>();
      return reply.get();
    };
    return context;
  }
  Status Run(ByteStream& body) {
    ByteStream in(body.Bytes());
    return codegen::HandleProcFilesRequest(in, Context());
  }
};

// The header of a generation request and its definitions.
ByteStream GenerateBody(std::uint32_t options, const fs::path& folder,
                        const std::vector<const SUProcDef*>& definitions, bool build) {
  ByteStream body;
  body.PutUInt16(0);
  body.PutUInt32(options);
  body.PutString(folder.c_str());
  body.PutUInt32(static_cast<std::uint32_t>(definitions.size()));
  body.PutString("");
  body.PutUInt8(build ? 1 : 0);
  for (const SUProcDef* d : definitions) {
    d->WriteDefinition(body);
    body.PutUInt32(0);
  }
  return body;
}

void Procedure(SUProcDef* def, const char* name, std::uint32_t language, const char* library,
               const char* source, std::uint32_t version = 3) {
  Define(def, name, language, 0, {{procdef::kReal, 0, "x"}}, {{procdef::kReal, 0, "y"}}, version);
  if (library != nullptr) def->SetLibrary(library);
  if (source != nullptr) def->SetSourceFile(source, false);
}

bool Has(const Reports& reports, const std::string& text) {
  for (const auto& t : reports.texts) {
    if (t == text) return true;
  }
  return false;
}

TEST(ProcFiles, LibraryFoldersStopAtTheirProcedure) {
  const fs::path folder = FreshFolder("pfolders");
  SUProcDef first, missing, absolute, nameless;
  Procedure(&first, "first", procdef::kLanguageC, "lib", "first.c");
  Procedure(&missing, "second", procdef::kLanguageC, "sub/lib", "second.c");
  Procedure(&absolute, "third", procdef::kLanguageC, "/no/such/folder/lib", "third.c");
  Procedure(&nameless, "fourth", procdef::kLanguageC, nullptr, "fourth.c");
  for (auto [def, message] :
       {std::pair{&missing,
                  "Directory " + (folder / "sub").string() + " for dll sub/lib not found.\n"},
        {&absolute,
         std::string("Directory /no/such/folder for dll /no/such/folder/lib not found.\n")},
        {&nameless, std::string("Library name in procedure fourth is NULL (not defined).\n")}}) {
    Request request;
    ByteStream body = GenerateBody(0x5, folder, {&first, def}, false);
    EXPECT_EQ(request.Run(body), codegen::kFailed);
    EXPECT_TRUE(Has(request.reports, message)) << message;
    EXPECT_TRUE(fs::exists(folder / "first.c"));
    EXPECT_FALSE(fs::exists(folder / "second.c"));
    EXPECT_FALSE(fs::exists(folder / "MakeUserCode"));
    EXPECT_EQ(codegen::ErrorCount(), 1);
    fs::remove(folder / "first.c");
    fs::remove(folder / "first.h");
  }
  // A folder without any write bit, whoever runs the test.
  fs::create_directories(folder / "ro");
  chmod((folder / "ro").c_str(), 0555);
  SUProcDef read_only;
  Procedure(&read_only, "fifth", procdef::kLanguageC, "ro/lib", "fifth.c");
  Request request;
  ByteStream body = GenerateBody(0x5, folder, {&read_only}, false);
  EXPECT_EQ(request.Run(body), codegen::kFailed);
  EXPECT_TRUE(Has(request.reports, "Directory " + (folder / "ro").string() +
                                       " for dll ro/lib cannot be written to.\n"));
  EXPECT_EQ(std::string(std::setlocale(LC_CTYPE, nullptr)), "C");
  chmod((folder / "ro").c_str(), 0755);
  if (!HasFailure()) fs::remove_all(folder);
}

// A name make or the shell would read as code stops the request at its
// procedure, before anything is written for it; earlier procedures keep
// their files, and no makefile is written.
TEST(ProcFiles, NamesThatAreNotPlainStopAtTheirProcedure) {
  const fs::path folder = FreshFolder("pnames");
  SUProcDef first, library, name, source;
  Procedure(&first, "first", procdef::kLanguageC, "lib", "first.c");
  Procedure(&library, "second", procdef::kLanguageC, "lib$(shell id)", "second.c");
  Procedure(&name, "th`id`ird", procdef::kLanguageC, "lib", "third.c");
  Procedure(&source, "fourth", procdef::kLanguageC, "lib", "fourth\n\tid.c");
  for (auto [def, shown] : {std::pair{&library, "lib$(shell id)"},
                            {&name, "th`id`ird"},
                            {&source, "fourth\\n\\tid.c"}}) {
    Request request;
    ByteStream body = GenerateBody(0x7, folder, {&first, def}, true);
    EXPECT_EQ(request.Run(body), codegen::kFailed) << shown;
    EXPECT_TRUE(Has(request.reports, std::string("\"") + shown +
                                         "\" is not a plain file name; nothing is generated or "
                                         "built for it.\n"))
        << ::testing::PrintToString(request.reports.texts);
    EXPECT_TRUE(fs::exists(folder / "first.c"));
    EXPECT_FALSE(fs::exists(folder / "MakeUserCode"));
    EXPECT_EQ(codegen::ErrorCount(), 1);
    fs::remove(folder / "first.c");
    fs::remove(folder / "first.h");
  }
  // A user include file is checked before any procedure.
  Request request;
  ByteStream body;
  body.PutUInt16(0);
  body.PutUInt32(0x7);
  body.PutString(folder.c_str());
  body.PutUInt32(1);
  body.PutString("inc\nall:;id");
  body.PutUInt8(0);
  first.WriteDefinition(body);
  body.PutUInt32(0);
  EXPECT_EQ(request.Run(body), codegen::kFailed);
  EXPECT_TRUE(fs::is_empty(folder));
  // Windows paths and blanks are plain paths.
  SUProcDef spaced;
  Procedure(&spaced, "spaced", procdef::kLanguageC, "lib", "src dir\\spaced.c");
  Request plain;
  ByteStream generate = GenerateBody(0x1, folder, {&spaced}, false);
  EXPECT_EQ(plain.Run(generate), 0u) << ::testing::PrintToString(plain.reports.texts);
  EXPECT_TRUE(fs::exists(folder / "MakeUserCode"));
  if (!HasFailure()) fs::remove_all(folder);
}

TEST(ProcFiles, ExistingSourcesAndMissingSourceNames) {
  const fs::path folder = FreshFolder("pexisting");
  std::ofstream(folder / "kept.c") << "user code\n";
  SUProcDef kept, unnamed;
  Procedure(&kept, "Kept", procdef::kLanguageC, "lib", "kept.c");
  Procedure(&unnamed, "Unnamed", procdef::kLanguageFortran, "lib", nullptr);
  ScopedVariable server("QLNSERVERDIR", nullptr);
  Request request;
  request.server_folder = (MakeInstallation(folder) / "bin").string();
  ByteStream body = GenerateBody(0x7, folder, {&kept, &unnamed}, false);
  EXPECT_EQ(request.Run(body), 0u);
  EXPECT_EQ(ReadText(folder / "kept.c"), "user code\n");
  EXPECT_TRUE(Has(request.reports, "Template for Kept not generated, " +
                                       (folder / "kept.c").string() + " already exists"));
  EXPECT_TRUE(Has(request.reports, "Unable to generate template for Unnamed, no source file name"));
  EXPECT_EQ(codegen::WarningCount(), 1);
  // The wrapper of the FORTRAN procedure and the makefile naming both.
  EXPECT_TRUE(fs::exists(folder / "unnamedI.f"));
  const std::string makefile = ReadText(folder / "MakeUserCode");
  EXPECT_NE(makefile.find("Library1_Objects = kept$(OBJ) \\\n                   unnamedI$(OBJ) \n"),
            std::string::npos)
      << makefile;
  EXPECT_EQ(request.reports.texts.back(),
            "1 warning generating procedure code. See above for more details.\n");
  if (!HasFailure()) fs::remove_all(folder);
}

// A definition as the modelling environment sends it: its own name first,
// then the name of the routine that implements it.
class Named : public SUProcDef {
 public:
  explicit Named(const char* name) : name_(name) {}
  const char* DisplayName() const override { return name_; }

 private:
  const char* name_;
};

// The files and the refusal of a library-less definition are followed
// through the engine by the procedure-file road test.
TEST(ProcFiles, MessagesShowTheDefinitionsNameOrItsRoutines) {
  const fs::path folder = FreshFolder("pdisplay");
  Named valve("ValveLaw"), nameless("");
  Procedure(&valve, "valveimpl", procdef::kLanguageFortran, "lib", "valve.f");
  Procedure(&nameless, "bareimpl", procdef::kLanguageC, "lib", "bare.c");
  std::ofstream(folder / "valve.f") << "user code\n";
  Request request;
  ByteStream body = GenerateBody(0x6, folder, {&valve, &nameless}, false);
  ASSERT_EQ(request.Run(body), 0u) << ::testing::PrintToString(request.reports.texts);
  EXPECT_TRUE(Has(request.reports, "Template for ValveLaw not generated, " +
                                       (folder / "valve.f").string() + " already exists"));
  // Sent without a name, a definition is shown by its routine's.
  EXPECT_NE(ReadText(folder / "bare.c").find(" * Code for Procedure Definition bareimpl\n"),
            std::string::npos);
  if (!HasFailure()) fs::remove_all(folder);
}

TEST(ProcFiles, ListNameUnloadAndUnknownKinds) {
  Request list;
  ByteStream two;
  two.PutUInt16(2);
  EXPECT_EQ(list.Run(two), 0u);
  ASSERT_NE(list.reply, nullptr);
  ByteStream answer(list.reply->Bytes());
  std::uint16_t kind = 0;
  std::uint32_t zero = 1, count = 99;
  EXPECT_EQ(answer.GetUInt16(&kind), 0u);
  EXPECT_EQ(answer.GetUInt32(&zero), 0u);
  EXPECT_EQ(answer.GetUInt32(&count), 0u);
  EXPECT_EQ(kind, 2);
  EXPECT_EQ(zero, 0u);
  std::uint32_t loaded = 0;
  for (XosDynamicLibrary* lib = XosDynamicLibrary::FirstLoaded(); lib != nullptr;
       lib = lib->NextLoaded()) {
    ++loaded;
  }
  EXPECT_EQ(count, loaded);

  Request name;
  ByteStream five;
  five.PutUInt16(5);
  five.PutString("no_such_library_here");
  EXPECT_EQ(name.Run(five), 0u);
  ASSERT_NE(name.reply, nullptr);
  ByteStream named(name.reply->Bytes());
  char* text = nullptr;
  named.GetUInt16(&kind);
  named.GetUInt32(&zero);
  EXPECT_FALSE(status::IsFailure(named.GetStringNew(&text)));
  EXPECT_EQ(kind, 5);
  EXPECT_STREQ(text, "");
  delete[] text;

  Request unload;
  bool released = false;
  ByteStream three;
  three.PutUInt16(3);
  three.PutUInt32(2);
  three.PutString("a");
  three.PutString("b");
  ByteStream in(three.Bytes());
  auto context = unload.Context();
  context.release_export = [&released] { released = true; };
  EXPECT_EQ(codegen::HandleProcFilesRequest(in, context), 0u);
  EXPECT_TRUE(released);
  EXPECT_EQ(unload.reply, nullptr);

  Request unknown;
  ByteStream six;
  six.PutUInt16(6);
  EXPECT_EQ(unknown.Run(six), codegen::kFailureReport);
  EXPECT_EQ(unknown.reply, nullptr);
  EXPECT_EQ(std::string(std::setlocale(LC_CTYPE, nullptr)), "C");
}

// The fields shared by both export kinds after the folder and name (and,
// for a flowsheet, the ports).
void ExportFields(ByteStream* body, bool build, bool clean, bool quiet,
                  const std::vector<std::string>& units) {
  body->PutUInt32(1);  // optimise
  body->PutUInt32(build ? 1 : 0);
  body->PutUInt32(0);  // debug
  body->PutUInt32(clean ? 1 : 0);
  body->PutUInt32(0);  // resource
  body->PutUInt32(1);
  body->PutString("icon");
  body->PutUInt32(quiet ? 1 : 0);
  body->PutUInt32(0);  // no-headers
  body->PutUInt32(static_cast<std::uint32_t>(units.size()));
  for (const auto& u : units) body->PutString(u.c_str());
}

// References as the fake resolver reads them: a u32, even numbers resolve
// to variable n / 2 with index n / 2 (0: no index), odd ones do not.
std::vector<int> g_variables(8);
QLNVariable* FakeVariable(std::uint32_t k) {
  return reinterpret_cast<QLNVariable*>(&g_variables[k]);
}

Status ReadFakeReference(BvuBinaryStream& in, codegen::ResolvedReference* resolved) {
  std::uint32_t id = 0;
  const Status s = in.GetUInt32(&id);
  if (status::IsFailure(s) || id % 2 != 0 || id / 2 >= g_variables.size()) return s;
  resolved->variable = FakeVariable(id / 2);
  resolved->index = static_cast<std::int32_t>(id / 2);
  return 0;
}

TEST(ProcFiles, FlowsheetExportReadsPortsAndSettings) {
  Request request;
  codegen::ExportRequest seen;
  auto context = request.Context();
  context.read_reference = ReadFakeReference;
  context.problem_variables = [] { return 3; };
  context.export_flowsheet = [&seen](const codegen::ExportRequest& r, std::int32_t* libraries) {
    seen = r;
    *libraries = 2;
    return Status{0};
  };
  ByteStream body;
  body.PutUInt16(1);
  body.PutString("/out");
  body.PutString("Plant");
  body.PutUInt16(2);
  body.PutString("feed");  // a material stream with attributes
  body.PutUInt16(1);
  body.PutUInt16(2);
  body.PutUInt16(2);
  body.PutUInt16(2);
  body.PutString("water");
  body.PutString("ethanol");
  body.PutUInt16(5);
  body.PutUInt32(2);
  body.PutUInt32(4);
  body.PutString("duty");  // unspecified: no components, no attributes
  body.PutUInt16(0);
  body.PutUInt16(7);
  body.PutUInt16(1);
  body.PutUInt32(6);
  ExportFields(&body, true, false, true, {"u1"});
  body.PutUInt32(3);
  body.PutUInt32(4);  // variable 2: entry 1
  body.PutUInt32(9);
  body.PutUInt32(0);
  body.PutDouble(2.5);
  body.PutDouble(-1.0);
  body.PutUInt32(0);  // no index: read and skipped
  body.PutUInt32(1);
  body.PutUInt32(1);  // mode 1: no scale or offset
  body.PutUInt32(2);  // variable 1: entry 0
  body.PutUInt32(3);
  body.PutUInt32(1);
  ByteStream in(body.Bytes());
  EXPECT_EQ(codegen::HandleProcFilesRequest(in, context), 0u);
  EXPECT_TRUE(Has(request.reports,
                  "\nExporting flowsheet Plant as dynamically loadable code in directory /out"));
  ASSERT_EQ(seen.ports.size(), 2u);
  EXPECT_EQ(seen.name, "Plant");
  EXPECT_EQ(seen.ports[0].name, "feed");
  EXPECT_EQ(seen.ports[0].direction, 1u);
  EXPECT_EQ(seen.ports[0].type, 2u);
  EXPECT_EQ(seen.ports[0].attributes, 5u);
  EXPECT_EQ(seen.ports[0].components, (std::vector<std::string>{"water", "ethanol"}));
  EXPECT_EQ(seen.ports[0].variables, (std::vector<QLNVariable*>{FakeVariable(1), FakeVariable(2)}));
  EXPECT_EQ(seen.ports[0].block_indexes, (std::vector<std::int32_t>{-1, -1}));
  EXPECT_EQ(seen.ports[1].type, 7u);
  EXPECT_TRUE(seen.ports[1].components.empty());
  EXPECT_EQ(seen.ports[1].variables, (std::vector<QLNVariable*>{FakeVariable(3)}));
  EXPECT_TRUE(seen.optimise && seen.build && seen.quiet);
  EXPECT_FALSE(seen.debug || seen.clean || seen.resource || seen.no_headers);
  EXPECT_EQ(seen.resources, (std::vector<std::string>{"icon"}));
  EXPECT_EQ(seen.units, (std::vector<std::string>{"u1"}));
  // Three variables in the problem, three settings: three entries.
  ASSERT_EQ(seen.settings.size(), 3u);
  EXPECT_EQ(seen.settings[1].first, 9u);
  EXPECT_EQ(seen.settings[1].scale, 2.5);
  EXPECT_EQ(seen.settings[1].offset, -1.0);
  EXPECT_EQ(seen.settings[0].mode, 1u);
  EXPECT_EQ(seen.settings[0].first, 3u);
  EXPECT_EQ(seen.settings[0].scale, 1.0);
  EXPECT_EQ(seen.settings[2].scale, 1.0);
  // Quiet: the summary closes the request with the library count.
  EXPECT_EQ(request.reports.texts.back(),
            "2 DLLs referenced by flowsheet export. See above for more details.\n");
  EXPECT_EQ(std::string(std::setlocale(LC_CTYPE, nullptr)), "C");

  // No ports: the line, and the export goes on.
  Request empty;
  auto empty_context = empty.Context();
  bool exported = false;
  empty_context.export_flowsheet = [&exported](const codegen::ExportRequest&, std::int32_t*) {
    exported = true;
    return Status{0};
  };
  ByteStream none;
  none.PutUInt16(1);
  none.PutString("/out");
  none.PutString("Bare");
  none.PutUInt16(0);
  ExportFields(&none, false, false, false, {});
  none.PutUInt32(0);
  ByteStream none_in(none.Bytes());
  EXPECT_EQ(codegen::HandleProcFilesRequest(none_in, empty_context), 0u);
  EXPECT_TRUE(Has(empty.reports, "Flowsheet has no exportable ports."));
  EXPECT_TRUE(exported);

  // A reference that does not resolve ends the request; without an
  // exporter the export is refused.
  for (std::uint32_t reference : {1u, 2u}) {
    Request bad;
    auto bad_context = bad.Context();
    bad_context.read_reference = ReadFakeReference;
    ByteStream port;
    port.PutUInt16(1);
    port.PutString("/out");
    port.PutString("Bad");
    port.PutUInt16(1);
    port.PutString("p");
    port.PutUInt16(1);
    port.PutUInt16(0);
    port.PutUInt16(1);
    port.PutUInt32(reference);
    ExportFields(&port, false, false, false, {});
    port.PutUInt32(0);
    ByteStream port_in(port.Bytes());
    EXPECT_EQ(codegen::HandleProcFilesRequest(port_in, bad_context),
              reference == 1 ? codegen::kFailed : 0x80000028u);
  }
}

TEST(ProcFiles, TypeExportWritesItsMakefile) {
  const fs::path folder = FreshFolder("ptype");
  ScopedVariable registry("VANTOR_REGISTRY", (folder / "none.ini").c_str());
  ScopedVariable server("QLNSERVERDIR", nullptr);
  const fs::path prefix = MakeInstallation(folder);
  std::ofstream(prefix / "procedures" / "tanq_defs.inc") << "QVSYSTEM_TOP = /q\n";
  for (bool quiet : {false, true}) {
    Request request;
    request.server_folder = (prefix / "bin").string();
    ByteStream body;
    body.PutUInt16(4);
    body.PutString(folder.c_str());
    body.PutString("typelib");
    ExportFields(&body, false, false, quiet, {"unit1", "unit2"});
    body.PutUInt32(1);
    body.PutString("extra");
    EXPECT_EQ(request.Run(body), 0u);
    EXPECT_TRUE(Has(request.reports,
                    "\nExporting type typelib as dynamically loadable code in "
                    "directory " +
                        folder.string()));
    const std::string text = ReadText(folder / "Maketypelib");
    // No registry: each product line keeps its "%" text, closed by a full stop.
    EXPECT_NE(text.find("TANQ_TOP = \"%TANQ.\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("GRAVIK_TOP = \"%Gravik.\"\n"), std::string::npos);
    EXPECT_NE(text.find("unit2$(OBJ)"), std::string::npos);
    EXPECT_NE(text.find("extra"), std::string::npos);
    EXPECT_EQ(codegen::WarningCount(), 3);
    // Quiet: no warning of its own, the summary closes the request.
    EXPECT_EQ(request.reports.texts.size(), quiet ? 2u : 6u)
        << ::testing::PrintToString(request.reports.texts);
    if (quiet) {
      EXPECT_EQ(request.reports.texts.back(),
                "3 warnings type export. See above for more details.\n");
    }
  }
  if (!HasFailure()) fs::remove_all(folder);
}

// Seeded random bodies: a status, never a crash; generation stays in its
// own folder with nothing requested.
TEST(ProcFiles, RandomRequestBodies) {
  const fs::path folder = FreshFolder("prandom");
  std::mt19937 random(113);
  SUProcDef def;
  Procedure(&def, "r", procdef::kLanguageC, "lib", "r.c");
  const std::vector<std::uint8_t> valid = GenerateBody(0, folder, {&def, &def}, false).Bytes();
  for (int round = 0; round < 400; ++round) {
    std::vector<std::uint8_t> bytes;
    if (round % 2 == 0) {
      bytes = valid;
      // Damage the definitions, not the header that names the folder.
      const std::size_t header = 2 + 4 + 4 + folder.string().size() + 8;
      for (int k = 0; k < 4 && bytes.size() > header; ++k) {
        bytes[header + random() % (bytes.size() - header)] = static_cast<std::uint8_t>(random());
      }
      bytes.resize(header + random() % (bytes.size() - header + 1));
    } else {
      const std::uint16_t kinds[] = {2, 3, 5, 9};
      bytes = {static_cast<std::uint8_t>(kinds[random() % 4]), 0};
      for (int k = static_cast<int>(random() % 40); k > 0; --k) {
        bytes.push_back(static_cast<std::uint8_t>(random()));
      }
    }
    ByteStream body(bytes);
    Request request;
    request.Run(body);
  }
  if (!HasFailure()) fs::remove_all(folder);
}

// Sub-kind 0 end to end: sources, makefile, the build and the library.
TEST(CodegenCompile, ProcedureFilesRequestBuildsALibrary) {
  ScopedVariable environment("VSENVBATFILE", nullptr);
  const fs::path folder = FreshFolder("pbuild");
  const fs::path prefix = MakeInstallation(folder);
  const fs::path work = folder / "work";
  fs::create_directories(work);
  std::ofstream(work / "twice.c") << "#include \"bvdll.h\"\n"
                                     "DLL_C_AS_C(double) TWICE(double x) { return 2 * x; }\n";
  std::ofstream(work / "olduser.c") << "#include \"oldcI.h\"\n"
                                       "void OLDC_C(double *x, double *y, int *iflag, int *props) "
                                       "{ *y = 11 * *x; *iflag = 1; (void)props; }\n";
  SUProcDef c, f, old_c, old_f;
  Procedure(&c, "Twice", procdef::kLanguageC, "built", "twice.c");
  Procedure(&f, "FProc", procdef::kLanguageFortran, "built", "fproc.f");
  Procedure(&old_c, "OldC", procdef::kLanguageC, "built", "olduser.c", 1);
  Procedure(&old_f, "OldF", procdef::kLanguageFortran, "built", "oldf.f", 2);
  Request request;
  auto context = request.Context();
  context.server_folder = (prefix / "bin").string();
  ScopedVariable server("QLNSERVERDIR", nullptr);
  ByteStream body = GenerateBody(0x7, work, {&c, &f, &old_c, &old_f}, true);
  ByteStream in(body.Bytes());
  EXPECT_EQ(codegen::HandleProcFilesRequest(in, context), 0u);
  std::string log;
  for (const auto& t : request.reports.texts) log += t;
  EXPECT_TRUE(Has(request.reports, "Building DLL...\n"));
  EXPECT_TRUE(Has(request.reports, "make -f MakeUserCode command succeeded\n")) << log;
  EXPECT_EQ(codegen::ErrorCount(), 0) << log;
  XosDynamicLibrary* library = XosDynamicLibrary::Load((work / "built.so").c_str(), nullptr);
  ASSERT_NE(library, nullptr) << XosDynamicLibrary::LastErrorText();
  auto twice = reinterpret_cast<double (*)(double)>(library->LookUpSymbol("TWICE", nullptr));
  ASSERT_NE(twice, nullptr);
  EXPECT_EQ(twice(21.0), 42.0);
  EXPECT_NE(library->LookUpSymbol("QLN13_FPROC", nullptr), nullptr);
  EXPECT_NE(library->LookUpSymbol("SU55IF_OLDF", nullptr), nullptr);
  using OldEntry = void (*)(double*, int*, double*, int*, int*, int*, int*, int*, double*, int*,
                            double*, int*, int*, int*);
  auto old_entry = reinterpret_cast<OldEntry>(library->LookUpSymbol("SU55IF_OLDC", nullptr));
  ASSERT_NE(old_entry, nullptr);
  double x = 2.0, out = 0, work_area = 0, deriv = 0;
  int sizes = 0, offs = 0, ifail = 0, props = 0, wsize = 0, nout = 1, nin = 1, icall = 0;
  old_entry(&x, &sizes, &out, &sizes, &offs, &offs, &ifail, &props, &work_area, &wsize, &deriv,
            &nout, &nin, &icall);
  EXPECT_EQ(out, 22.0);
  library->Release();
  if (!HasFailure()) fs::remove_all(folder);
}

// Sub-kind 4 with build and clean: the library is built, then the clean
// target removes the objects and the makefile goes.
TEST(CodegenCompile, TypeExportBuildsAndCleans) {
  ScopedVariable environment("VSENVBATFILE", nullptr);
  ScopedVariable server("QLNSERVERDIR", nullptr);
  const fs::path folder = FreshFolder("ptypebuild");
  ScopedVariable registry("VANTOR_REGISTRY", (folder / "none.ini").c_str());
  const fs::path prefix = MakeInstallation(folder);
  fs::create_directories(prefix / "incl");
  fs::create_directories(prefix / "lib");
  std::ofstream(prefix / "procedures" / "qlnexp.a") << "!<arch>\n";
  std::ofstream(prefix / "procedures" / "tanq_defs.inc")
      << "QVSYSTEM_TOP = " << prefix.string() << "\n";
  const fs::path work = folder / "work";
  fs::create_directories(work);
  std::ofstream(work / "seven.cpp")
      << "extern \"C\" __attribute__((visibility(\"default\"))) int SEVEN() { return 7; }\n";
  Request request;
  request.server_folder = (prefix / "bin").string();
  ByteStream body;
  body.PutUInt16(4);
  body.PutString(work.c_str());
  body.PutString("typelib");
  ExportFields(&body, true, true, false, {"seven"});
  body.PutUInt32(0);
  EXPECT_EQ(request.Run(body), 0u);
  std::string log;
  for (const auto& t : request.reports.texts) log += t;
  EXPECT_TRUE(Has(request.reports, "Compiling and linking exported type object code...\n"));
  EXPECT_NE(log.find("make -f Maketypelib clean command succeeded"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(work / "Maketypelib"));
  EXPECT_FALSE(fs::exists(work / "seven.o"));
  XosDynamicLibrary* library = XosDynamicLibrary::Load((work / "typelib.so").c_str(), nullptr);
  ASSERT_NE(library, nullptr) << XosDynamicLibrary::LastErrorText() << log;
  auto seven = reinterpret_cast<int (*)()>(library->LookUpSymbol("SEVEN", nullptr));
  ASSERT_NE(seven, nullptr);
  EXPECT_EQ(seven(), 7);
  library->Release();
  if (!HasFailure()) fs::remove_all(folder);
}

}  // namespace
