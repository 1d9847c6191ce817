// The exported flowsheet: the block layer's names and port code, and a
// whole export compiled against small stand-ins for the host framework's
// headers, loaded and driven the way the host drives a block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "codegen/files/proc_files.h"
#include "codegen/flowsheet/compiled_flowsheet.h"
#include "codegen/flowsheet/export_layer.h"
#include "daes/model/variable.h"
#include "daes/problem/problem.h"
#include "daes/problem/solver_equation.h"
#include "foundation/values/packed_value.h"
#include "fuzz/byte_stream.h"
#include "platform/dynamic_library.h"
#include "tests/codegen/codegen_helpers.h"
#define FAKE_QVF_TYPES_ONLY
#include "tests/codegen/fake_qvf/qvfblock.h"
#include "tests/daes/daes_helpers.h"

namespace fs = std::filesystem;
using namespace codegen_test;

namespace {

const std::string kFakeHost = std::string(VANTOR_SOURCE_DIR) + "/tests/codegen/fake_qvf";

TEST(FlowsheetExport, IdentityPortAndComponentNames) {
  EXPECT_EQ(codegen::ExportIdentityName("my flow-sheet 2"), "MY_FLOW_SHEET_2");
  EXPECT_EQ(codegen::ExportIdentityName("A.b"), "A_B");
  EXPECT_EQ(codegen::PortHostName("blocks(\"Mix1\").Out"), "MIX1.OUT");
  EXPECT_EQ(codegen::PortHostName("a.blocks(\"x\").b.c"), "A.X.B.C");
  EXPECT_EQ(codegen::PortHostName("feed"), "FEED");
  EXPECT_EQ(codegen::ComponentField("WATER"), "WATER   ");
  EXPECT_EQ(codegen::ComponentField("METHANOL2"), "METHANOL");
}

TEST(FlowsheetExport, PortCodeCountsComponentsAndSkipsUnplacedVariables) {
  codegen::ExportPort port;
  port.name = "in";
  port.type = 2;
  port.attributes = 1;
  port.variables.assign(10, nullptr);
  port.block_indexes = {0, 1, -1, 3, 4, 5, 6, 7, 8, 9};
  port.components = {"WATER", "ETHANOL", "N2"};
  std::ostringstream out;
  codegen::WritePortDefinition(out, 2, port);
  const std::string text = out.str();
  EXPECT_NE(text.find("  pPort = (rt_port_tag *) (*IBP(blk_port(blkptr)+2));\n"),
            std::string::npos);
  EXPECT_NE(text.find("  qln_set_port_num_vars(pPort,10);\n"), std::string::npos);
  EXPECT_NE(text.find("  pPort->set_num_attrs(1);\n"), std::string::npos);
  EXPECT_NE(text.find("qln_define_port_components(pPort, 6, \"WATER   ETHANOL N2      \");\n"),
            std::string::npos);
  // Variable 2 has no place: no line, and 3 keeps its number.
  EXPECT_EQ(text.find("qln_add_port_var(pPort,2,"), std::string::npos);
  EXPECT_NE(text.find("  qln_add_port_var(pPort,3, iFirstVar+3); // \n"), std::string::npos);
  EXPECT_NE(text.find("  qln_add_port_var(pPort,1, iFirstVar+1); // \n"), std::string::npos);

  // Creation: a stream port, and an unspecified one of type 3.
  codegen::ExportPort other;
  other.name = "blocks(\"T\").Q";
  other.type = 3;
  other.direction = 1;
  std::ostringstream layer;
  codegen::WriteBlockFactoryLayer(layer, "x", {port, other}, "");
  EXPECT_NE(layer.str().find("pPort = vrkport_create(\"IN\",RT_PORT_TYPE_MATERIAL_STREAM,"
                             "RT_PORT_DIR_OUTPUT,RT_PORT_BASIS_FRAC);\n"),
            std::string::npos);
  EXPECT_NE(layer.str().find("pPort = vrkport_create(\"T.Q\",RT_PORT_TYPE_UNSPECIFIED,"
                             "RT_PORT_DIR_INPUT,RT_PORT_BASIS_UNSPECIFIED);\n"),
            std::string::npos);
}

// Names from the model inside generated C: a line break in a variable's
// name must not end the comment it stands in (the rest would be code), nor
// a quote or line break in a port or component name end its literal.
TEST(FlowsheetExport, ModelNamesStayInsideCommentsAndLiterals) {
  struct Named : QLNVariable {
    explicit Named(const char* text) : text(text) {}
    const char* GetNameText(std::int32_t) override { return text; }
    const char* text;
  };
  Named injected("x\nint injected = 1; //\\");
  codegen::ExportPort port;
  port.name = "in\"); system(\"id";
  port.type = 2;
  port.variables = {&injected, &injected};
  port.block_indexes = {0, 1};
  port.components = {"W\"\n"};
  std::ostringstream out;
  codegen::WritePortDefinition(out, 0, port);
  EXPECT_NE(out.str().find("  qln_add_port_var(pPort,0, iFirstVar+0); //x int injected = 1; //  \n"
                           "  qln_add_port_var(pPort,1, iFirstVar+1);"),
            std::string::npos)
      << out.str();
  EXPECT_NE(out.str().find("\"W\\\"\\n     \");"), std::string::npos) << out.str();
  std::ostringstream layer;
  codegen::WriteBlockFactoryLayer(layer, "x", {port}, "");
  EXPECT_NE(layer.str().find("vrkport_create(\"IN\\\"); SYSTEM(\\\"ID\","), std::string::npos);
}

// The layer of a two-port export as kept: identity, names, port texts.
TEST(FlowsheetExport, BlockLayerGolden) {
  codegen::ExportPort feed;
  feed.name = "blocks(\"Mix-1\").Feed";
  feed.direction = 1;
  feed.type = 2;
  feed.attributes = 1;
  feed.variables.assign(4, nullptr);
  feed.block_indexes = {4, 5, -1, 7};
  feed.components = {"WATER", "METHANOL"};
  codegen::ExportPort duty;
  duty.name = "Heater.Q";
  duty.type = 3;
  duty.variables.assign(1, nullptr);
  duty.block_indexes = {9};
  const fs::path folder = FreshFolder("layer_golden");
  {
    std::ofstream out(folder / "layer.cpp", std::ios::binary);
    codegen::WriteBlockFactoryLayer(out, "Plant 2-b", {feed, duty},
                                    "/* the options script */\n");
  }
  CheckGolden(folder, "layer.cpp", "export_layer.txt");
  fs::remove_all(folder);
}

// The host's factory list.
struct Factories : QVFFactoryLibrary {
  void AddFactory(QVFBlkFactory* f) override { list.push_back(f); }
  QVFBlkFactory* FindFactory(const char* identity) override {
    for (QVFBlkFactory* f : list) {
      if (std::string(f->Identity()) == identity) return f;
    }
    return nullptr;
  }
  void RemoveFactory(QVFBlkFactory* f) override { std::erase(list, f); }
  std::vector<QVFBlkFactory*> list;
};

using Init = int (*)(qvf_pipe*, QVFFactoryLibrary*, qvf_kernel_library*, qvf_param_dict*,
                     qvf_proc_table*, void*);
using Unload = int (*)(qvf_pipe*, QVFFactoryLibrary*, qvf_param_dict*, qvf_proc_table*,
                       qvf_solver_table*);
using Version = int (*)(const char*, int*, int*);

TEST(CodegenCompile, ExportedFlowsheetRunsAsAHostBlock) {
  daestest::Tree tree;
  ASSERT_EQ(tree.Read(daestest::Tank), 0u);
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> problem(DAESCreateProblem(tree.root, 0, &table));
  ASSERT_NE(problem, nullptr);
  const fs::path folder = FreshFolder("export");
  codegen::FlowsheetGeneration g;
  g.server_folder = (MakeInstallation(folder) / "bin").string();
  g.build = false;
  Reports reports;
  g.report = reports.Callback();
  // One port over the first two variables; the second has no place.
  std::vector<codegen::ExportPort> ports(1);
  ports[0].name = "blocks(\"T101\").Out";
  ports[0].type = 1;
  ports[0].variables = {problem->GetVariable(0), nullptr};
  ports[0].components = {"WATER"};
  codegen::FlowsheetExport request;
  request.folder = folder.string();
  request.name = "tank export";
  request.ports = &ports;
  std::int32_t libraries = -1;
  ASSERT_EQ(codegen::GenerateExportCode(g, problem.get(), request, &libraries), 0u)
      << ::testing::PrintToString(reports.texts);
  EXPECT_EQ(libraries, 0);
  EXPECT_EQ(ports[0].block_indexes[0], problem->ColumnOf(problem->GetVariable(0)) - 1);
  EXPECT_EQ(ports[0].block_indexes[1], -1);
  const fs::path source = folder / "tank export.cpp";
  std::string text = ReadText(source);
  EXPECT_EQ(text.rfind("#define TANQ_EXPORT\n#include \"flowsheetexportstub.cpp\"\n\n", 0), 0u);
  EXPECT_NE(text.find("  RegisterDummyOptionsHandler((void *)&DummyOptionsHandler);\n"),
            std::string::npos);
  EXPECT_NE(text.find("  if (iRes>=0) iRes = PropertiesInitialize();\n"), std::string::npos);
  EXPECT_EQ(text.find("CreateBlock((void **)&g_pInstance)"), std::string::npos);
  EXPECT_NE(text.find("const char *Identity() { return \"TANK_EXPORT\"; }"), std::string::npos);
  EXPECT_NE(text.find("\"This model library was generated from the tank export Quillon "
                      "simulation.\""),
            std::string::npos);
  for (const std::string& line : Lines(text)) {
    if (line.rfind("static void DefineEqns", 0) == 0 || line.rfind("/*", 0) == 0) {
      EXPECT_LT(line.size(), 255u) << line.substr(0, 60);
    }
  }
  EXPECT_TRUE(fs::exists(folder / "Maketank export") || !fs::is_empty(folder));

  // The source compiles against the host's headers as they are.
  const std::string flags = " -std=c++17 -I'" + kInstall + "' -I'" + kFakeHost + "' ";
  EXPECT_EQ(Shell("g++ -fsyntax-only -Wall" + flags + "'" + source.string() + "'"), "");

  // Built with a probe of its numeric derivative, loaded and driven.
  // The property package's start and end come from its archive in a real
  // link.
  text +=
      "extern \"C\" int PropertiesInitialize(void) { return 0; }\n"
      "extern \"C\" void PropertiesFinalize(void) {}\n"
      "DLL_C_AS_C(double) probe_pd(int iVar, int iEqn) {\n"
      "  p_func[iEqn](0); return PD(iVar, res, p_func[iEqn]);\n}\n";
  std::ofstream(folder / "probe.cpp") << text;
  const fs::path so = folder / "tankexport.so";
  ASSERT_EQ(Shell("g++ -shared -fPIC -O1 -w" + flags + "-o '" + so.string() + "' '" +
                (folder / "probe.cpp").string() + "'"),
            "");
  platform::LibraryOpen open = platform::OpenLibrary(so.string());
  ASSERT_NE(open.handle, nullptr) << open.error;
  auto symbol = [&](const char* name) { return platform::LibrarySymbol(open.handle, name); };
  auto version = reinterpret_cast<Version>(symbol("qvfdll_version"));
  auto init = reinterpret_cast<Init>(symbol("qvfdll_init"));
  auto unload = reinterpret_cast<Unload>(symbol("qvfdll_unload"));
  auto start = reinterpret_cast<int (*)()>(symbol("DLLINITIALIZE"));
  auto probe = reinterpret_cast<double (*)(int, int)>(symbol("probe_pd"));
  auto* printed = static_cast<char*>(symbol("g_fake_qvf_printed"));
  ASSERT_TRUE(version && init && unload && start && probe && printed);

  int major = 0, minor = 0;
  EXPECT_EQ(version("QVFDLL", &major, &minor), 0);
  EXPECT_EQ(major * 10 + minor, 110);
  EXPECT_EQ(version("QVFBLOCK", &major, &minor), 0);
  EXPECT_EQ(major * 10 + minor, 110);
  EXPECT_EQ(version("QVFBLKFACTORY", &major, &minor), 0);
  EXPECT_EQ(major * 10 + minor, 111);
  EXPECT_EQ(version("QVFPIPE", &major, &minor), 0);
  EXPECT_EQ(major * 10 + minor, 30);
  EXPECT_EQ(version("QVFOTHER", &major, &minor), 1);
  EXPECT_EQ(version("QVFDLL", nullptr, &minor), -1);
  EXPECT_EQ(version(nullptr, &major, &minor), 1);

  ASSERT_EQ(start(), 0);
  EXPECT_EQ(init(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_NE(std::string(printed).find("No factory library\n"), std::string::npos);
  Factories factories;
  ASSERT_EQ(init(nullptr, &factories, nullptr, nullptr, nullptr, nullptr), 0);
  ASSERT_EQ(factories.list.size(), 1u);
  QVFBlkFactory* factory = factories.list[0];
  EXPECT_STREQ(factory->Library()->Name(), "tank export Model Library");
  EXPECT_STREQ(factory->Library()->Producer(), "Quillon");

  rt_blk block;
  int error = 0;
  ASSERT_EQ(factory->CreateBlock(&block, &error), 0);
  ASSERT_EQ(error, 0);
  ASSERT_NE(block.methods, nullptr);
  ASSERT_EQ(block.ports.size(), 1u);
  EXPECT_EQ(block.ports[0]->name, "T101.OUT");
  EXPECT_EQ(block.ports[0]->type, RT_PORT_TYPE_MATERIAL_STREAM);
  EXPECT_TRUE(block.methods->inq_script(&block, "setoptions"));
  EXPECT_FALSE(block.methods->inq_script(&block, "Other"));
  int equations = 0, variables = 0, nonzeros = 0;
  block.methods->dim(&block, &equations, &variables, &nonzeros);
  EXPECT_EQ(equations, problem->EquationCount());
  EXPECT_EQ(variables, problem->VariableCount());
  block.x.assign(static_cast<std::size_t>(variables), 0.0);
  block.f.assign(static_cast<std::size_t>(equations), 0.0);
  block.jac.assign(static_cast<std::size_t>(nonzeros), 0.0);
  block.methods->ini(&block, &error);
  ASSERT_EQ(error, 0);
  // The port's variable sits in the block's place of the problem variable.
  EXPECT_EQ(block.ports[0]->variables[0], ports[0].block_indexes[0]);
  EXPECT_EQ(block.ports[0]->variables[1], -1);
  EXPECT_EQ(block.ports[0]->first_component, 1);
  EXPECT_EQ(block.ports[0]->components, "WATER   ");

  // Residuals and Jacobian at the problem's values equal the interpreter's.
  block.methods->res(&block, &error);
  block.methods->jac(&block, &error);
  ASSERT_EQ(block.eqn_names.size(), static_cast<std::size_t>(equations));
  std::map<std::pair<int, int>, double> jacobian;
  for (int k = 0; k < nonzeros; ++k) jacobian[{block.jrow[k], block.jcol[k]}] = block.jac[k];
  for (std::int32_t i = 0; i < equations; ++i) {
    auto* row = static_cast<DAESSolverEquation*>(problem->GetEquation(i));
    SCOPED_TRACE(row->GetNameText());
    EXPECT_EQ(block.eqn_names[i].rfind("B1.", 0), 0u);
    double interpreted = 0.0;
    ASSERT_EQ(row->Evaluate(daes::kEvalResidual | daes::kEvalDerivatives | daes::kEvalInterpreted,
                            nullptr),
              0u);
    row->ResidualValue(&interpreted);
    EXPECT_NEAR(block.f[i], interpreted, 1e-12 * std::max(1.0, std::fabs(interpreted)));
    for (std::int32_t c : row->ColumnPattern()) {
      DAESVarTableEntry* v = problem->GetVariable(c - 1);
      const int column = c - 1;
      const double analytic = row->ActiveEquation()->DerivativeFor(v);
      const auto entry = jacobian.find(std::make_pair(static_cast<int>(i), column));
      ASSERT_NE(entry, jacobian.end());
      EXPECT_NEAR(entry->second, analytic, 1e-10 * std::max(1.0, std::fabs(analytic)));
      // The difference quotient agrees to its own accuracy.
      EXPECT_NEAR(probe(column, i), analytic, 1e-3 * std::max(1.0, std::fabs(analytic)))
          << v->GetNameText();
    }
  }

  // One equation group at a time gives the same residual and entries.
  const std::vector<double> f = block.f;
  const std::vector<double> entries = block.jac;
  std::fill(block.f.begin(), block.f.end(), 0.0);
  std::fill(block.jac.begin(), block.jac.end(), 0.0);
  for (int i = 0; i < equations; ++i) {
    block.methods->group_res(&block, i, &error);
    EXPECT_EQ(error, 0);
    block.methods->group_jac(&block, i, &error);
    EXPECT_EQ(error, 0);
  }
  EXPECT_EQ(block.f, f);
  EXPECT_EQ(block.jac, entries);
  block.methods->group_res(&block, equations, &error);
  EXPECT_EQ(error, 1);

  // A factory with a block stays; without blocks it goes.
  EXPECT_EQ(unload(nullptr, &factories, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(factories.list.size(), 1u);
  block.methods->destroy(&block);
  EXPECT_EQ(unload(nullptr, &factories, nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(factories.list.empty());
  printed[0] = '\0';
  qvf_pipe* pipe = reinterpret_cast<qvf_pipe*>(&block);
  EXPECT_EQ(unload(pipe, &factories, nullptr, nullptr, nullptr), -2);
  EXPECT_STREQ(printed, "Unable to remove block factory from library.");
  auto finish = reinterpret_cast<int (*)()>(symbol("DLLFINALIZE"));
  ASSERT_NE(finish, nullptr);
  EXPECT_EQ(finish(), 0);
  std::string ignored;
  platform::CloseLibrary(open.handle, &ignored);
  if (!HasFailure()) fs::remove_all(folder);
}

// Service 113 sub-kind 1 against a real problem: the ports' references and
// the variable settings reach the source, and the makefile is written with
// the product-folder lines.
TEST(FlowsheetExport, RequestWritesTheSourceAndTheMakefile) {
  daestest::Tree tree;
  ASSERT_EQ(tree.Read(daestest::Tank), 0u);
  SUPackedValueTable table;
  std::unique_ptr<DAESProblem> problem(DAESCreateProblem(tree.root, 0, &table));
  ASSERT_NE(problem, nullptr);
  const fs::path folder = FreshFolder("export_request");
  const fs::path bin = MakeInstallation(folder) / "bin";
  DAESProblem* p = problem.get();
  Reports reports;
  codegen::ProcFilesContext context;
  context.report = reports.Callback();
  context.server_folder = bin.string();
  // A reference is the variable's column here.
  context.read_reference = [p](BvuBinaryStream& in, codegen::ResolvedReference* out) {
    std::uint32_t column = 0;
    const Status s = in.GetUInt32(&column);
    for (std::int32_t i = 0; i < p->VariableCount(); ++i) {
      if (p->ColumnOf(p->GetVariable(i)) == static_cast<std::int32_t>(column)) {
        out->variable = p->GetVariable(i);
        out->index = static_cast<std::int32_t>(column);
      }
    }
    return s;
  };
  context.problem_variables = [p] { return p->VariableCount(); };
  context.export_flowsheet = [p, &context, bin](const codegen::ExportRequest& request,
                                                std::int32_t* libraries) {
    codegen::FlowsheetGeneration g;
    g.report = context.report;
    g.server_folder = bin.string();
    g.build = request.build;
    std::vector<codegen::ExportPort> ports = request.ports;
    codegen::FlowsheetExport e;
    e.folder = request.folder;
    e.name = request.name;
    e.ports = &ports;
    e.settings = &request.settings;
    e.quiet = request.quiet;
    return codegen::GenerateExportCode(g, p, e, libraries);
  };
  vantor_fuzz::ByteStream body;
  body.PutUInt16(1);
  body.PutString(folder.string().c_str());
  body.PutString("Plant");
  body.PutUInt16(1);
  body.PutString("level");
  body.PutUInt16(2);
  body.PutUInt16(3);
  body.PutUInt16(1);
  body.PutUInt32(1);
  for (std::uint32_t word : {1u, 0u, 0u, 0u, 0u, 0u, 0u, 0u, 0u}) body.PutUInt32(word);
  // Column 1 goes over as 2 * value + 1 with physical type 7.
  body.PutUInt32(1);
  body.PutUInt32(1);
  body.PutUInt32(7);
  body.PutUInt32(0);
  body.PutDouble(2.0);
  body.PutDouble(1.0);
  vantor_fuzz::ByteStream in(body.Bytes());
  ASSERT_EQ(codegen::HandleProcFilesRequest(in, context), 0u)
      << ::testing::PrintToString(reports.texts);

  const std::string source = ReadText(folder / "Plant.cpp");
  ASSERT_FALSE(source.empty());
  DAESVarTableEntry* first = nullptr;
  for (std::int32_t i = 0; i < p->VariableCount(); ++i) {
    if (p->ColumnOf(p->GetVariable(i)) == 1) first = p->GetVariable(i);
  }
  ASSERT_NE(first, nullptr);
  char line[128];
  std::snprintf(line, sizeof line, "AddVar(%.15g,", 2.0 * first->GetRealValue() + 1.0);
  const std::size_t at = source.find("static void AddVars1(void) {\n");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(source.compare(at + 29, std::strlen(line), line), 0) << source.substr(at, 120);
  const std::string converted = source.substr(at + 29, source.find('\n', at + 29) - at - 29);
  EXPECT_NE(converted.find(",2,"), std::string::npos) << converted;
  EXPECT_NE(converted.find(",7,"), std::string::npos) << converted;
  EXPECT_EQ(converted.find("inf"), std::string::npos) << converted;
  EXPECT_NE(source.find("vrkport_create(\"LEVEL\",RT_PORT_TYPE_UNSPECIFIED,RT_PORT_DIR_OUTPUT,"),
            std::string::npos);
  EXPECT_NE(source.find("qln_add_port_var(pPort,0, iFirstVar+0); //"), std::string::npos);
  const std::string makefile = ReadText(folder / "MakePlant");
  EXPECT_NE(makefile.find("GRAVIK_TOP = \"%Gravik.\"\n"), std::string::npos) << makefile;
  EXPECT_NE(makefile.find("tanq_defs.inc"), std::string::npos);
  EXPECT_NE(makefile.find("Plant"), std::string::npos);
  if (!HasFailure()) fs::remove_all(folder);
}

}  // namespace
