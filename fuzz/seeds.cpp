// Writes the seed inputs of every fuzz target with the project's own
// writers: vantor_fuzz_seeds <folder> makes <folder>/<target>/seed-NN.
// Texts that the project only reads (configuration, registry and command
// lines, printer formats) are written as their users write them.
#include <elf.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "analysis/control_design/cdi_mgr.h"
#include "analysis/estimation/estimation_mgr.h"
#include "analysis/homotopy/homotopy_mgr.h"
#include "analysis/optimisation/opt_manager.h"
#include "analysis/sensitivity/sensitivity_mgr.h"
#include "codegen/build/build_driver.h"
#include "codegen/build/makefile_writer.h"
#include "control/actions/action_mgr.h"
#include "control/actions/monitor.h"
#include "control/actions/sync_action.h"
#include "control/managers/instance_mgr.h"
#include "control/managers/library_mgr.h"
#include "control/properties/property_mgr.h"
#include "daes/delays/delay_mgr.h"
#include "daes/equations/row_element.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "daes/procedures/su_proc_def.h"
#include "expr/tree/proc_call_expression.h"
#include "expr/tree/system_function.h"
#include "expr/tree/var_ref_expression.h"
#include "foundation/collections/ordered.h"
#include "foundation/collections/set.h"
#include "foundation/collections/slist.h"
#include "foundation/directory/directory_node.h"
#include "foundation/directory/id_path.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/memory_stream.h"
#include "foundation/persistence/persistence.h"
#include "foundation/values/packed_value.h"
#include "foundation/values/typed_value.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "framework/processes/process_manager.h"
#include "fuzz/byte_stream.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/results_problem.h"
#include "fuzz/sensitivity_answers.h"
#include "fuzz/snapshot_participant.h"
#include "platform/byte_order.h"
#include "platform/child_process.h"
#include "platform/loader_environment.h"
#include "platform/posix_acl.h"
#include "results/plot/plot_history_mgr.h"
#include "results/snapshots/snap_import.h"
#include "results/snapshots/snapshot_mgr.h"
#include "results/snapshots/snapshot_text.h"
#include "tests/analysis/definition_writer.h"
#include "tests/analysis/opt_fakes.h"
#include "tests/analysis/opt_model.h"
#include "tests/expr/expr_builders.h"
#include "tests/expr/old_layout_streams.h"
#include "tests/foundation/graph_files.h"
#include "tests/results/plot_model_fakes.h"
#include "tests/results/snapshot_text_fakes.h"
#include "tests/support/elf_library.h"
#include "tools/action_messages.h"
#include "tools/client.h"
#include "tools/model_writer/sample_models.h"

namespace {

namespace fs = std::filesystem;
using vantor_fuzz::Bytes;

class SeedFolder {
 public:
  SeedFolder(const fs::path& root, const std::string& target) : folder_(root / target) {
    fs::create_directories(folder_);
  }
  void Add(const Bytes& bytes) {
    char name[24];
    std::snprintf(name, sizeof name, "seed-%02d", ++count_);
    std::ofstream(folder_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  void Add(const std::string& text) { Add(Bytes(text.begin(), text.end())); }

 private:
  fs::path folder_;
  int count_ = 0;
};

Bytes Prefixed(std::initializer_list<std::uint8_t> head, const Bytes& tail) {
  Bytes bytes(head);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

void ObjectGraphs(const fs::path& root) {
  using namespace testobjects;
  Value one{1}, two{2}, three{3};
  Link a, b;
  a.target = &b;
  b.target = &a;
  ClSlistCollectables list;
  list.Append(&one);
  list.Append(nullptr);
  list.Append(&two);
  ClHashTable table;
  table.Insert(&two);
  ClSet set;
  set.Insert(&three);
  set.Insert(&list);
  ClIdentitySet identity;
  identity.Insert(&one);
  identity.Insert(&a);
  ClOrdered top;
  for (ClCollectable* c :
       {static_cast<ClCollectable*>(&list), static_cast<ClCollectable*>(&table),
        static_cast<ClCollectable*>(&set), static_cast<ClCollectable*>(&identity),
        static_cast<ClCollectable*>(&b), static_cast<ClCollectable*>(nullptr)}) {
    top.Append(c);
  }
  SeedFolder binary(root, "graph_binary");
  SeedFolder stream(root, "graph_stream");
  for (const ClCollectable* object :
       {static_cast<const ClCollectable*>(&top), static_cast<const ClCollectable*>(&set),
        static_cast<const ClCollectable*>(&a), static_cast<const ClCollectable*>(nullptr)}) {
    binary.Add(SaveToBytes(object));
    stream.Add(SaveToText(object));
  }
}

std::vector<SUValue> SampleValues() {
  std::vector<SUValue> values;
  values.push_back(SUValue::ConstructInt(42, SUValue::kInteger));
  values.push_back(SUValue::ConstructInt(1, SUValue::kLogical));
  values.push_back(SUValue::ConstructInt(SUValue::kFixed, SUValue::kSpecification));
  SUValue real;
  real.SetType(SUValue::kReal);
  real.SetReal(2.5);
  values.push_back(std::move(real));
  for (std::uint16_t code : {SUValue::kString, SUValue::kName}) {
    SUValue text;
    text.SetType(code);
    text.SetString("Tank.Level");
    values.push_back(std::move(text));
  }
  for (std::uint16_t code : {SUValue::kIntSet, SUValue::kOrderedIntSet}) {
    SUValue set;
    set.SetType(code);
    for (std::int32_t v : {5, -3, 9}) set.AddInt(v);
    values.push_back(std::move(set));
  }
  for (std::uint16_t code : {SUValue::kStringSet, SUValue::kOrderedStringSet}) {
    SUValue set;
    set.SetType(code);
    for (const char* t : {"b", "A", "c"}) set.AddString(t);
    values.push_back(std::move(set));
  }
  SUValue array;
  array.Resize(3);
  array.SetElement(0, values[0]);
  array.SetElement(1, values[3]);
  array.SetElement(2, values[4]);
  values.push_back(std::move(array));
  return values;
}

void TypedValues(const fs::path& root) {
  SeedFolder message(root, "typed_message");
  SeedFolder stream(root, "typed_stream");
  for (const SUValue& value : SampleValues()) {
    if (SUValue::IsTransferable(value.type)) {
      vantor_fuzz::ByteStream body;
      value.WriteBinary(body, true);
      message.Add(body.Bytes());
    }
    ClMemoryOutStream out;
    value.SaveToVStream(out);
    stream.Add(out.Text());
  }
}

void PackedValues(const fs::path& root) {
  const std::vector<SUValue> values = SampleValues();
  SUPackedValueTable table;
  table.Resize(6);
  table.Record(0).SetInt(42);
  table.Record(1).SetReal(2.5);
  table.Record(2).SetString("Tank.Level", table.Pool());
  table.Record(3).SetValue(values[6], table.Pool());  // integer set
  table.Record(4).SetValue(values[8], table.Pool());  // string set
  SeedFolder seeds(root, "packed_values");
  vantor_fuzz::ByteStream stream;
  table.Save(stream);
  seeds.Add(Prefixed({0}, stream.Bytes()));
  const Bytes image = table.GetImage();
  const std::uint32_t size = static_cast<std::uint32_t>(image.size());
  Bytes snapshot =
      Prefixed({1, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                static_cast<std::uint8_t>(size >> 16), static_cast<std::uint8_t>(size >> 24)},
               image);
  snapshot.insert(snapshot.end(), table.Pool().Data(), table.Pool().Data() + table.Pool().Used());
  seeds.Add(snapshot);
}

void PrinterFormats(const fs::path& root) {
  SeedFolder seeds(root, "printer");
  for (const char* format :
       {"Iteration %d: residual %g", "%s at %f%%", "@ns is %e    ", "%5.2f %-8s|%x",
        "%ld %lf %c %o %u", "%&partial line", "%#.4096g", "text \\n with \"quotes\""}) {
    seeds.Add(std::string(format));
  }
}

// A node of kind 12, which the target's reader builds from a flagged record.
class ValueRecordNode : public BvuDirectoryProper {
 public:
  using BvuDirectoryProper::BvuDirectoryProper;
  std::int32_t GetKind() override { return 12; }
};

Status WriteValueRecord(BvuDirectoryNode* node, BvuBinaryStream& stream, void*) {
  if (node->GetKind() != 12) return stream.PutUInt8(0);
  const Status s = stream.PutUInt8(1);
  return status::IsSuccess(s) ? stream.PutUInt32(41) : s;
}

void TreeTransfer(const fs::path& root) {
  SeedFolder seeds(root, "tree_transfer");
  auto* top = new BvuDirectoryProper(nullptr, "R");
  auto* a = new BvuDirectoryProper(top, "a");
  top->InsertChildAt(0, a);
  top->InsertChildAt(2, new BvuDirectoryProper(top, ".b"));
  a->InsertChildAt(5, new BvuDirectoryProper(a, "c"));
  a->InsertChildAt(6, new ValueRecordNode(a, "v"));
  // Names past 254 bytes, as a model's top node can carry them.
  top->InsertChildAt(3, new BvuDirectoryProper(top, std::string(255, 'n').c_str()));
  top->InsertChildAt(4, new BvuDirectoryProper(top, std::string(3979, 'm').c_str()));
  for (BvuTreeWriter writer : {static_cast<BvuTreeWriter>(nullptr), &WriteValueRecord}) {
    vantor_fuzz::ByteStream stream;
    top->WriteTree(stream, writer, nullptr);
    seeds.Add(stream.Bytes());
  }
  for (bool named : {false, true}) {
    BvuIdPath path(named);
    path.Append(1, named ? "A" : nullptr);
    path.Append(5, named ? "c" : nullptr);
    vantor_fuzz::ByteStream stream;
    path.Write(stream);
    seeds.Add(stream.Bytes());
  }
  top->DeleteChildren();
  delete top;
}

void RegistryFiles(const fs::path& root) {
  SeedFolder seeds(root, "registry_file");
  seeds.Add(std::string(
      "; an installation\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Customization]\n"
      "DebugPropertyCalls = dword:0000002a\n"
      "[hkey_local_machine\\software\\brunvald\\qvsystem\\38.0\\Dir]\n"
      "@ = the default\n"
      "Root = /opt/qvsystem\n"
      "Bin = \"dword:1\"\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Brunvald\\QVSystem\\38.0\\Compatibility\\LumetSystem]\n"
      "1 = 12.1\n"));
}

void LibraryFiles(const fs::path& root) {
  SeedFolder seeds(root, "library_names");
  using testsupport::ElfLibrary;
  seeds.Add(ElfLibrary({{DT_NEEDED, "libdep.so"}, {DT_RUNPATH, "$ORIGIN:/opt/lib"}}));
  seeds.Add(ElfLibrary({{DT_NEEDED, "libdep.so"}, {DT_RPATH, "${ORIGIN}/../lib"}}));
  // Entries the loader takes as written, and dependencies named by a path.
  seeds.Add(ElfLibrary({{DT_NEEDED, "./libdepx.so"}, {DT_RUNPATH, ".:/tmp"}}));
  seeds.Add(ElfLibrary({{DT_NEEDED, "/tmp/libdepx.so"},
                        {DT_RPATH, "$LIB::/usr/$PLATFORM"},
                        {DT_RUNPATH, "$ORIGIN/$LIB:"}}));
  // Names that only look like the loader's tokens, and ones it reads.
  seeds.Add(ElfLibrary({{DT_NEEDED, "$ORIGINX/libdepx.so"},
                        {DT_NEEDED, "libmid.so"},
                        {DT_RPATH, "${ORIGIN}_x:$ORIGIN-x"},
                        {DT_RUNPATH, "$ORIGIN_lib:${ORIGIN}/$PLATFORM"}}));
}

// Access and default ACLs as the kernel keeps them: a folder shared with
// one user and one group, the write masked away, and the minimal form.
void AclAttributes(const fs::path& root) {
  SeedFolder seeds(root, "acl_bytes");
  constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  seeds.Add(platform::AclBytes({{platform::kAclUserObj, 7, kNone},
                                {platform::kAclUser, 7, 65534},
                                {platform::kAclGroupObj, 5, kNone},
                                {platform::kAclGroup, 6, 100},
                                {platform::kAclMask, 7, kNone},
                                {platform::kAclOther, 0, kNone}}));
  seeds.Add(platform::AclBytes({{platform::kAclUserObj, 7, kNone},
                                {platform::kAclUser, 7, 1000},
                                {platform::kAclGroupObj, 0, kNone},
                                {platform::kAclMask, 5, kNone},
                                {platform::kAclOther, 2, kNone}}));
  seeds.Add(platform::AclBytes({{platform::kAclUserObj, 6, kNone},
                                {platform::kAclGroupObj, 4, kNone},
                                {platform::kAclOther, 4, kNone}}));
}

// The values the engine keeps of its own environment, as it writes them
// for its restart and for a build's programs.
void SearchEntries(const fs::path& root) {
  SeedFolder seeds(root, "search_entries");
  const std::vector<std::pair<std::string, const char*>> settings = {
      {"PATH", "/usr/bin::bin:/bin"},
      {"LD_PRELOAD", "a.so ./b.so:/opt/c.so"},
      {"LD_AUDIT", "x/audit.so"},
      {"GCONV_PATH", "gconv:/usr/lib/gconv"}};
  std::vector<std::pair<std::string, std::string>> saved;
  for (const auto& [name, value] : settings) {
    if (const char* old = std::getenv(name.c_str())) saved.emplace_back(name, old);
    ::setenv(name.c_str(), value, 1);
  }
  std::vector<std::string> dropped;
  std::string seed = platform::TrustedSearchEntries("/usr/lib;/$ORIGIN/../lib:/opt/lib", &dropped);
  const std::vector<std::string> environment = platform::ToolEnvironment(&dropped);
  for (const auto& [name, value] : settings) {
    std::string kept;
    for (const std::string& setting : environment) {
      if (setting.rfind(name + "=", 0) == 0) kept = setting.substr(name.size() + 1);
    }
    seed += '\0' + kept;
    ::unsetenv(name.c_str());
  }
  for (const auto& [name, value] : saved) ::setenv(name.c_str(), value.c_str(), 1);
  seeds.Add(seed);
}

void ProcessConfigurations(const fs::path& root) {
  SeedFolder seeds(root, "process_config");
  seeds.Add(
      std::string("# the machines and the processes of a session\n"
                  "localhost is a unix using rsh username u password \"P w\" directory /d\n"
                  "p1 runs /bin/x on localhost hidden display ws\n"
                  "p2 debugs \"/opt/q/engine\" on 127.0.0.1\n"));
}

void FileRequests(const fs::path& root) {
  SeedFolder seeds(root, "file_service");
  const std::vector<std::pair<std::uint16_t, std::vector<std::string>>> requests = {
      {10, {}},         {11, {"a"}},          {12, {}},     {13, {"made"}},
      {14, {"made"}},   {20, {"list", "*x"}}, {21, {"x*"}}, {22, {"x"}},
      {23, {"x", "y"}}, {24, {"y", "z"}},     {25, {"*z"}}, {26, {"x"}}};
  for (const auto& [command, fields] : requests) {
    vantor_fuzz::ByteStream body;
    body.PutUInt16(command);
    for (const std::string& field : fields) body.PutString(field.c_str());
    seeds.Add(body.Bytes());
  }
  vantor_fuzz::ByteStream drive;
  drive.PutUInt16(27);
  drive.PutUInt16(7);
  seeds.Add(drive.Bytes());
}

Bytes Wire(DseMessage& message) {
  message.Pack(true);
  Bytes bytes;
  for (DseSegment* s = message.FirstSegment(); s != nullptr; s = s->next) {
    bytes.insert(bytes.end(), s->frame, s->frame + s->FrameSize());
  }
  return bytes;
}

// A message's one frame in the long form, saying it is the first of
// `count` segments (more than a peer may hold).
Bytes Widened(DseMessage& message, std::uint32_t count) {
  Bytes frame = Wire(message);
  constexpr std::size_t kShift = DseSegment::kDataStartWide - DseSegment::kDataStart;
  frame.insert(frame.begin() + DseSegment::kDataStart, kShift, 0);
  const auto length = static_cast<std::uint16_t>(frame.size() - 5);
  platform::StoreLE16(frame.data() + 1, length);
  platform::StoreLE16(frame.data() + 3, static_cast<std::uint16_t>(~length));
  frame[5] = DseSegment::kFormatWide;
  platform::StoreLE32(frame.data() + 14, count);
  platform::StoreLE32(frame.data() + 18, 1);
  return frame;
}

void ReceiveStack(const fs::path& root) {
  SeedFolder seeds(root, "receive_stack");
  // The harness plays the handshake; a second peer list is for the fuzzer.
  DseMessage peers(DseMessage::kConnectionType, DseMessage::kPeerList);
  peers.message_class = DseMessage::kControlClass;
  peers.PutUInt32(0);
  const Bytes list = Wire(peers);
  auto command = vantor_client::MakeCommand(60, 5, {1, 2}, {0.5}, {"text"});
  const char* lines[] = {"a line", "another"};
  std::unique_ptr<DseMessage> event(DseMessage::MakeEvent(2, 7, 2, lines));
  // An id-path read once and every second, an id-path write, a request and
  // a notice.
  DseMessage read(60, DseMessage::kIdPathRead);
  DseMessage periodic(60, DseMessage::kIdPathRead);
  periodic.flags = DseMessage::kPeriodicRequest | DseMessage::kPeriodic;
  periodic.PutDouble(1.0);
  DseMessage write(60, DseMessage::kIdPathWrite);
  BvuIdPath path;
  path.Append(1);
  for (DseMessage* m : {&read, &periodic, &write}) {
    path.Write(*m);
    m->PutUInt16(1);
    m->PutUInt16(0);
  }
  write.PutUInt16(2);
  write.PutUInt32(5);
  DseMessage request(60, DseMessage::kRequest);
  request.flags = DseMessage::kKeepPending;
  request.PutUInt16(2);
  DseMessage notice(60, DseMessage::kNotice);
  Bytes all = Prefixed({0}, list);
  for (DseMessage* m : {static_cast<DseMessage*>(command.get()), event.get(), &read, &periodic,
                        &write, &request, &notice}) {
    const Bytes bytes = Wire(*m);
    all.insert(all.end(), bytes.begin(), bytes.end());
    seeds.Add(Prefixed({0}, bytes));
  }
  seeds.Add(all);
  all[0] = 3;  // the same bytes three at a time
  seeds.Add(all);
  // A request refused for its size, then one of three segments.
  DseMessage oversize(60, DseMessage::kRequest);
  oversize.PutUInt16(2);
  DseMessage longer(60, DseMessage::kRequest);
  for (std::uint32_t i = 0; i < 2 * DseSegment::kMaxData; i += 4) longer.PutUInt32(i);
  Bytes refused = Prefixed({0}, Widened(oversize, 0xFFFFFFFFu));
  const Bytes after = Wire(longer);
  refused.insert(refused.end(), after.begin(), after.end());
  seeds.Add(refused);
}

void ClientCommandLines(const fs::path& root) {
  SeedFolder seeds(root, "client_command_line");
  const std::vector<std::vector<std::string>> lines = {
      {"--tcp", "--timeout=500", "--arg=a=b", "engine", "request", "60", "0100 ff", "listen", "10"},
      {"engine", "command", "60", "5", "-1", "0x10", "command", "0x3C", "0"},
      {"--timeout=30000", "engine", "first-order", "/tmp/work"},
      {"engine", "first-order", "/tmp/work", "listen", "1"},
      {"--timeout=60000", "engine", "robertson", "/tmp/work"},
      {"--bad"},
  };
  for (const auto& words : lines) {
    Bytes bytes;
    for (const std::string& word : words) {
      if (!bytes.empty()) bytes.push_back(0);
      bytes.insert(bytes.end(), word.begin(), word.end());
    }
    seeds.Add(bytes);
  }
}

// The engine's command line as the process manager writes a child's, in
// the words the child's start splits it into, and the client's TCP form.
void EngineCommandLines(const fs::path& root) {
  SeedFolder seeds(root, "engine_command_line");
  DseProcessManager manager(nullptr);
  std::vector<std::string> lines;
  for (const std::string& folder :
       {std::string(), std::string("/tmp/run \"folder\""), "/tmp/" + std::string(140, 'w')}) {
    DseProcess process;
    process.number = 1;
    process.directory = folder;
    lines.push_back(manager.ChildCommandLine(process, 0));
  }
  lines.push_back("-ChildNo=1 -SessionId=4242 -ParentNode=0:40123:127.0.0.1");
  for (const std::string& line : lines) {
    Bytes bytes;
    for (const std::string& word : platform::SplitCommandLine(line)) {
      if (!bytes.empty()) bytes.push_back(0);
      bytes.insert(bytes.end(), word.begin(), word.end());
    }
    seeds.Add(bytes);
  }
}

// The compact form of trees that the readers meet at their limits: a
// procedure call, lists nested as deep as a read may nest them, sums of
// many terms of either shape, and a slice (built without the folding of
// the builders, so that the reader folds it).
std::vector<exprtest::Ref> LimitTrees() {
  using namespace exprtest;
  std::vector<Ref> trees;
  const Ref x = Var(0), y = Var(1), two = Real(2.0);
  const Ref in = ListOf<ProcIOListExpression>({&x, &two}, 0);
  const Ref out = ListOf<ProcIOListExpression>({&y}, 0);
  trees.push_back(Hold(new ProcCallExpression(static_cast<ProcIOListExpression*>(in.get()),
                                              static_cast<ProcIOListExpression*>(out.get()))));
  Ref nested = Var(2);
  for (int i = 0; i < (kMaxExpressionDepth - 1) / 3; ++i) nested = ListOf({&nested});
  trees.push_back(std::move(nested));
  Ref left = Var(0), right = Var(0);
  for (std::uint32_t i = 1; i < 5000; ++i) {
    left = Hold(new BinaryExpression(kAdd, left.get(), Var(i % 16).get(), 0));
    right = Hold(new BinaryExpression(kAdd, Var(i % 16).get(), right.get(), 0));
  }
  trees.push_back(std::move(left));
  trees.push_back(std::move(right));
  const Ref slice = Hold(new BinaryExpression(kSlice, Int(1).get(), Int(1000).get(), 0));
  trees.push_back(U(kSigma, slice));
  // Functions nested one in the other as deep as a read takes them.
  Ref chain = Var(3);
  for (int i = 1; i < kMaxExpressionDepth - 1; ++i) chain = U(i % 2 == 0 ? kSin : kCos, chain);
  trees.push_back(std::move(chain));
  // The root of a sum of 20,000 terms, which fails for negative sums and
  // then prints the sum as its part at fault.
  auto* terms = new ExpressionList(20000);
  for (std::uint32_t i = 0; i < 20000; ++i) terms->Append(Var(i % 16).get());
  const Ref sum = U(kSigma, Hold(new HomListExpression(terms, 0x100)));
  trees.push_back(U(kSqrt, sum));
  return trees;
}

Bytes CompactBytes(const Expression* tree) {
  vantor_fuzz::ByteStream body;
  tree->WriteCompactToMessage(body);
  return body.Bytes();
}

void InstanceItems(const fs::path& root) {
  using namespace modelwriter;
  SeedFolder seeds(root, "instance_items");
  vantor_fuzz::ByteStream tank;
  Writer w(tank);
  Tank(w);
  seeds.Add(tank.Bytes());
  // The tank inside lists nested to the limit.
  vantor_fuzz::ByteStream deep;
  Writer d(deep);
  for (int i = 0; i < kMaxExpressionDepth - 1; ++i) d.List(1), d.Item(kNestedList);
  Tank(d);
  seeds.Add(deep.Bytes());
  // One variable and an equation over each of the trees at the limits.
  for (const exprtest::Ref& tree : LimitTrees()) {
    vantor_fuzz::ByteStream body;
    Writer e(body);
    e.List(2);
    e.Item(kRealVariable);
    e.Placement({T101(), {1, ".x"}});
    e.Value(1.0), e.End();
    e.Item(kInlineEquation);
    e.U32(0);
    for (std::uint8_t byte : CompactBytes(tree.get())) e.U8(byte);
    e.Placement({T101(), {2, ".Limit"}});
    e.EquationHead(1);
    e.Reference({2, 1});
    seeds.Add(body.Bytes());
  }
  // An equation whose reference is an array chain at the depth bound and
  // one past it, and a wide nested array of two members a level.
  for (const auto& shape : {std::pair{daes::kMostArrayDimensions, 1u},
                            std::pair{daes::kMostArrayDimensions + 1, 1u}, std::pair{8u, 2u}}) {
    const std::uint32_t depth = shape.first, width = shape.second;
    vantor_fuzz::ByteStream body;
    Writer e(body);
    e.List(2);
    e.Item(kRealVariable);
    e.Placement({T101(), {1, ".x"}});
    e.Value(1.0), e.End();
    e.Item(kInlineEquation);
    e.U32(0);
    e.Expression(Var(0));
    e.Placement({T101(), {2, ".Deep"}});
    e.EquationHead(1);
    e.ArrayReference(static_cast<std::uint8_t>(depth), width);
    std::function<void(std::uint32_t)> level = [&](std::uint32_t left) {
      for (std::uint32_t k = 0; k < width; ++k) {
        if (left == 0) {
          e.Member({2, 1});
        } else {
          e.SubArray(width);
          level(left - 1);
        }
      }
    };
    level(depth - 1);
    seeds.Add(body.Bytes());
  }
  // The hybrid items: an IF with its branch lists, a switch with its state
  // lists and a transition each, and a transition alone.
  namespace mw = modelwriter;
  const mw::Step t101 = mw::T101();
  {
    vantor_fuzz::ByteStream out;
    mw::Writer h(out);
    h.List(1);
    h.IfHead({1}, {t101, {8, ".Weir"}});
    h.EquationHead(1);
    h.Reference({2, 1});
    for (std::uint32_t b = 1; b <= 2; ++b) {
      h.List(1);
      h.Item(mw::kInlineEquation);
      h.U32(0);
      h.Expression(mw::Sub(mw::Var(0), mw::Real(b)));
      h.Placement({t101, {8, ".Weir"}, {b, ".B"}, {1, ".Q"}});
      h.EquationHead(1);
      h.Reference({2, 3});
    }
    seeds.Add(out.Bytes());
  }
  {
    vantor_fuzz::ByteStream out;
    mw::Writer h(out);
    h.List(1);
    h.SwitchHead({t101, {10, ".Valve"}}, {"Open", "Closed"});
    for (std::uint32_t k = 0; k < 2; ++k) {
      h.List(2);
      h.Item(mw::kInlineEquation);
      h.U32(0);
      h.Expression(mw::Sub(mw::Var(0), mw::Real(k)));
      h.Placement({t101, {10, ".Valve"}, {k, ".S"}, {1, ".Eq"}});
      h.EquationHead(1);
      h.Reference({2, 3});
      h.TransitionHead({1}, {t101, {10, ".Valve"}, {k, ".S"}, {5, ".T"}, {1, ".Go"}});
      h.EquationHead(1);
      h.Reference({2, 1});
      h.TargetState(k == 0 ? "closed" : "OPEN");
    }
    h.InitialState("Open");
    seeds.Add(out.Bytes());
  }
  // In-line calls as the client writes them: scalars, and arrays in and out.
  {
    vantor_fuzz::ByteStream out;
    mw::Writer h(out);
    h.List(2);
    h.Item(mw::kInlineEquation);
    h.U32(0);
    h.Expression(mw::ProcCall({mw::Var(0), mw::TypedVar(1, 2)}, {mw::Var(2)}, 3));
    h.Placement({t101, {8, ".Call"}});
    h.EquationHead(3);
    h.Reference({2, 2}), h.Reference({2, 3}), h.Reference({2, 4});
    h.Item(mw::kInlineEquation);
    h.U32(0);
    h.Expression(mw::ProcCall({mw::TypedVar(0, 0x104)}, {mw::TypedVar(1, 0x104)}, 4));
    h.Placement({t101, {9, ".Wide"}});
    h.EquationHead(2);
    h.ArrayReference(1, 2), h.Member({2, 2}), h.Member({2, 3});
    h.ArrayReference(1, 2), h.Member({2, 4}), h.Member({2, 5});
    seeds.Add(out.Bytes());
  }
  // A procedure call from the library (index 3) with its component list.
  {
    vantor_fuzz::ByteStream out;
    mw::Writer h(out);
    h.List(1);
    h.Item(mw::kEquation);
    h.U32(0x40);
    h.IdPath({3});
    h.Placement({t101, {8, ".Call"}});
    h.U32(7);
    h.Text("Liquids");
    h.U32(2);
    h.Reference({2, 2});
    h.Reference({2, 3});
    seeds.Add(out.Bytes());
  }
  // Five calls of the library's array call (index 4), each of 1024 inputs
  // and 1024 outputs: the fifth passes what a model's calls may keep. The
  // first takes the variable x; the others a parameter, whose entries count
  // all the same but which no row registers, so that the input stays
  // within a fuzz run's time-out.
  {
    constexpr std::uint32_t kWidth = 1024, kCalls = 5;
    vantor_fuzz::ByteStream out;
    mw::Writer h(out);
    h.List(2 + kWidth + kCalls);
    h.Item(mw::kRealVariable);
    h.Placement({t101, {1, ".x"}});
    h.Value(1.0), h.End();
    h.Item(mw::kRealParameter);
    h.Placement({t101, {2, ".p"}});
    h.Value(2.0), h.End();
    for (std::uint32_t i = 0; i < kWidth; ++i) {
      h.Item(mw::kRealVariable);
      h.Placement({t101, {100 + i, ".y" + std::to_string(i)}});
      h.Value(0.0), h.End();
    }
    for (std::uint32_t k = 0; k < kCalls; ++k) {
      h.Item(mw::kEquation);
      h.U32(0x40);
      h.IdPath({4});
      h.Placement({t101, {10 + k, ".Call" + std::to_string(k)}});
      h.U32(0);
      h.Text("");
      h.U32(2);
      h.ArrayReference(1, kWidth);
      for (std::uint32_t i = 0; i < kWidth; ++i) h.Member({2, k == 0 ? 1u : 2u});
      h.ArrayReference(1, kWidth);
      for (std::uint32_t i = 0; i < kWidth; ++i) h.Member({2, 100 + i});
    }
    seeds.Add(out.Bytes());
  }
}

// Delay histories: the header and block the manager writes, for managers
// whose names match the target's (x, y), are reordered, or are fewer.
void DelayHistories(const fs::path& root) {
  SeedFolder seeds(root, "delay_history");
  const std::vector<std::vector<const char*>> name_sets = {{"x", "y"}, {"Y", "z", "x"}, {"x"}};
  for (std::size_t set = 0; set < name_sets.size(); ++set) {
    auto* tree = new DAESInstanceNode(nullptr, nullptr);
    DelayMgr mgr;
    std::int32_t index = 0;
    for (const char* name : name_sets[set]) {
      auto* v = new DAESRealVariable(tree, name);
      tree->InsertChildAt(++index, v);
      v->RegisterDelay();
    }
    mgr.InitHistory();
    // A short history and, for the first set, one that has wrapped.
    const int rows = set == 0 ? 10010 : 5;
    for (int k = 0; k < rows; ++k) {
      for (std::int32_t i = 0; i < mgr.DelayedVariableCount(); ++i)
        mgr.VariableAt(i)->SetValue(k + i);
      mgr.RecordAll(0.5 * k);
      // The short ones jump at their third row: two rows at one time.
      if (rows < 10 && k == 2) {
        mgr.KeepBeforeJump(0.5 * k);
        for (std::int32_t i = 0; i < mgr.DelayedVariableCount(); ++i)
          mgr.VariableAt(i)->SetValue(-k - i);
        mgr.RecordAll(0.5 * k);
      }
      // And restart at their fourth, a break carried from a sum of lags
      // a little past its time.
      if (rows < 10 && k == 3) mgr.History().KeepBeforeJump(0.5 * k, 2, 1.1e-16);
    }
    vantor_fuzz::ByteStream header;
    mgr.WriteHeader(delays::kHistoryKind, header);
    const Bytes head = header.Bytes();
    const std::uint8_t* whole_block = nullptr;
    std::uint32_t whole_length = 0;
    mgr.SectionData(delays::kHistoryKind, &whole_block, &whole_length);
    // The image alone, as blocks were written before their breaks.
    const auto* block = reinterpret_cast<const std::uint8_t*>(mgr.History().Data());
    const std::uint32_t length = mgr.History().Size() * 8u;
    for (std::uint8_t mode : {0, 1}) {
      vantor_fuzz::ByteStream start;
      start.PutUInt32(static_cast<std::uint32_t>(head.size()));
      Bytes seed = start.Bytes();
      seed.insert(seed.end(), head.begin(), head.end());
      seed.push_back(mode);
      // The ring indices, then the first rows' times.
      seed.insert(seed.end(), block + length - 8, block + length);
      seed.insert(seed.end(), block, block + std::min<std::uint32_t>(length - 8, 64));
      seeds.Add(seed);
      if (set == 1 && mode == 0) {
        // The same history with its second time endless, either way.
        const std::size_t second_time = 4 + head.size() + 1 + 8 + 8;
        for (double endless : {HUGE_VAL, -HUGE_VAL}) {
          Bytes damaged = seed;
          std::memcpy(damaged.data() + second_time, &endless, sizeof endless);
          seeds.Add(damaged);
        }
      }
    }
    if (set != 0) {
      // The whole block with its breaks, and an older one without.
      const std::pair<const std::uint8_t*, std::uint32_t> forms[] = {{whole_block, whole_length},
                                                                     {block, length}};
      for (const auto& [from, bytes] : forms) {
        Bytes whole(4, 0);
        platform::StoreLE32(whole.data(), static_cast<std::uint32_t>(head.size()));
        whole.insert(whole.end(), head.begin(), head.end());
        whole.push_back(2);
        whole.insert(whole.end(), from, from + bytes);
        seeds.Add(whole);
      }
    }
    BvuDirectoryProper::DeleteBelow(tree);
    delete tree;
  }
}

// A definition with every kind of field, in the three forms, each behind
// the byte that chooses its form.
void ProcDefinitions(const fs::path& root) {
  SeedFolder seeds(root, "proc_definition");
  SUProcDef d;
  d.SetLanguage(2);
  d.SetImplementationName("flash");
  d.SetLibrary("props");
  d.SetSourceFile("flash", false);
  d.SetInterfaceVersion(4);
  d.SetOptions(0x12);
  d.SetArgumentCounts(2, 1);
  d.SetInputDescriptor(0, 4);
  d.SetInputDescriptor(1, 0x204);
  d.SetOutputDescriptor(0, 5);
  d.SetInputName(0, "x");
  d.SetSavedInputName(1, "a");
  d.AddInputFlags(1, 1);
  d.SetInputDimName(1, 0, "n");
  vantor_fuzz::ByteStream message;
  message.PutUInt8(0);
  d.WriteDefinition(message);
  seeds.Add(message.Bytes());
  ClMemoryOutStream text;
  d.SaveToVStream(text);
  seeds.Add("\x01" + text.Text());
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return;
  ClFileStream stream(file);
  d.SaveToFile(stream);
  const long size = std::ftell(file);
  std::rewind(file);
  Bytes bytes(static_cast<std::size_t>(size > 0 ? size : 0) + 1, 2);
  if (size > 0 && std::fread(bytes.data() + 1, 1, static_cast<std::size_t>(size), file) == 0) {
    bytes.resize(1);
  }
  std::fclose(file);
  seeds.Add(bytes);
}

Bytes FileBytes(const fs::path& name) {
  std::ifstream in(name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

platform::LocalDateTime SeedClock() { return {2026, 12, 7, 13, 45, 30}; }

// Files the store writes: empty, one snapshot, and three with a structure
// record, a kept one, a freed one and a description; made in the scratch
// folder, since the store works in the current folder.
void SnapshotFiles(const fs::path& root) {
  SeedFolder seeds(root, "snapshot_file");
  const fs::path before = fs::current_path();
  const fs::path folder = fs::path(vantor_fuzz::ScratchFolder()) / "snapshot-seeds";
  fs::create_directories(folder);
  if (::chdir(folder.c_str()) != 0) return;
  snapshot::SetSnapshotClock(&SeedClock);
  for (int snapshots : {0, 1, 3}) {
    vantor_fuzz::SnapshotParticipant a(1, snapshots == 3 ? 40 : 0), b(2);
    SputSnapshotMgr store;
    store.AddParticipant(&a);
    store.AddParticipant(&b);
    if (store.CreateFile("seed.snp") != status::kOk) continue;
    std::vector<std::uint32_t> ids;
    for (int k = 1; k <= snapshots; ++k) {
      a.section.assign(static_cast<std::size_t>(12 * k), static_cast<std::uint8_t>(k));
      b.section.assign(k == 2 ? 0 : 5, static_cast<std::uint8_t>(0x40 + k));
      std::uint32_t id = snapshot::kNewId;
      store.TakeSnapshot({0.5 * k, 1, static_cast<std::int16_t>(k)}, k == 1 ? "first" : "s", true,
                         &id, k == 3, nullptr);
      ids.push_back(id);
    }
    if (snapshots == 3) {
      store.SetAutoCompress(false);
      store.SetSnapshotDescription(ids[2], "a description");
      store.DeleteSnapshot(ids[1]);
    }
    const std::uint64_t newest = store.FirstHeader() != nullptr ? store.FirstHeader()->position : 0;
    store.CloseFile();
    const Bytes bytes = FileBytes("seed.snp");
    seeds.Add(bytes);
    fs::remove("seed.snp");
    if (snapshots != 1 || newest + 44 > bytes.size()) continue;
    // The newest id set to the largest the listing carries (no new id is
    // left) and to one past it (the file is refused).
    for (std::uint32_t id : {snapshot::kLargestId, snapshot::kLargestId + 6}) {
      Bytes changed = bytes;
      platform::StoreLE32(changed.data() + newest + 40, snapshot::kLiveFlag | id);
      seeds.Add(changed);
    }
  }
  fs::current_path(before);
}

// The compact message form and both stored forms of trees that cover the
// leaf classes and the operator groups.
void SnapshotTexts(const fs::path& root) {
  SeedFolder seeds(root, "snapshot_text");
  for (std::uint16_t kind : {std::uint16_t{139}, SimSnapshotTextRecord::kTextKind}) {
    SimSnapshotTextRecord record;
    record.kind = kind;
    record.id = 3;
    record.name = "Steady State";
    record.description = "seed";
    record.text = "Snapshot snap0003\r\n";
    record.position = {1.5, 2, 1};
    auto& values = record.Values();
    snaptext::AddUseData(record.Tree(), {"A", ".X", ".v"}, snaptext::AddReal(values, 2.5), 4);
    snaptext::AddUseData(record.Tree(), {"A", ".X", ".v", ".Derivative"},
                         snaptext::AddReal(values, 0), 8);
    snaptext::AddUseData(record.Tree(), {"B", ".X", ".s"},
                         snaptext::AddTyped(values, SUValue::kString, 0, "q\"t"), 1);
    SimUseData* array = snaptext::AddUseData(record.Tree(), {"B", ".T"}, SimUseData::kArray, 0);
    array->elements = {3};
    snaptext::AddUseData(record.Tree(), {"B", ".T", "(1)"},
                         snaptext::AddTyped(values, SUValue::kLogical, 1, nullptr), 2);
    vantor_fuzz::ByteStream stream;
    record.WriteToMessage(stream);
    seeds.Add(stream.Bytes());
  }
}

// A snapshot file the results manager wrote, and an import of two
// snapshots of the same variables; each behind its selector byte.
void ResultsFiles(const fs::path& root) {
  SeedFolder seeds(root, "results_files");
  const fs::path before = fs::current_path();
  const fs::path folder = fs::path(vantor_fuzz::ScratchFolder()) / "results_seeds";
  fs::create_directories(folder);
  fs::current_path(folder);
  {
    vantor_fuzz::ResultsProblem problem;
    SimResultsMgr manager(&problem);
    RunPosition at;
    manager.OpenSnapshotFile(3, vantor_fuzz::ResultsProblem::Values(1, 2, 3), &at, false, false);
    for (int k = 1; k <= 2; ++k) {
      manager.AfterRunStep(k, 1, 1, RunResultsSeam::kStepEvent, k, 1e-9, false);
      std::uint32_t id = 0;
      manager.TakeNamedSnapshot(k == 1 ? "first" : "second", &id, true, k == 2);
    }
    manager.Store().Clear(true);
  }
  std::ifstream in("snapshot.snp", std::ios::binary);
  Bytes file{0};
  file.insert(file.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  seeds.Add(file);
  fs::current_path(before);

  vantor_fuzz::ResultsProblem problem;
  SputSSBlockHeader first, second;
  first.SetName("imported");
  first.SetRunPosition({0.5, 1, 1});
  first.flags = snapshot::kLiveFlag | 7;
  second.SetName("also imported");
  second.SetDescription("kept by the client");
  second.flags = snapshot::kLiveFlag | 8;
  auto a = vantor_fuzz::ResultsProblem::Values(1, 2, 3);
  auto b = vantor_fuzz::ResultsProblem::Values(4, 5, 6);
  vantor_fuzz::ByteStream stream;
  SputSnapImport::Write(stream, {&first, &second}, {a.get(), b.get()}, problem.VariableTree());
  seeds.Add(Prefixed({1}, stream.Bytes()));

  const std::string exclusions = "hidden \r\n\nnever\n";
  seeds.Add(Prefixed({2}, Bytes(exclusions.begin(), exclusions.end())));
}

// Id-path lists of result requests (with and without names) and set-item
// bodies of a real, an integer and a text value.
void ResultsItems(const fs::path& root) {
  SeedFolder seeds(root, "results_items");
  for (bool names : {false, true}) {
    vantor_fuzz::ByteStream list;
    for (std::uint32_t id = 0; id < 4; ++id) {
      BvuIdPath path(names);
      path.Append(kIdPathRoot, nullptr);
      path.Append(id, names ? "v" : nullptr);
      path.Write(list);
      list.PutUInt16(id == 3 ? 10 : 1);
      list.PutUInt16(0);
    }
    seeds.Add(Prefixed({0}, list.Bytes()));
  }
  for (std::uint32_t id = 0; id < 3; ++id) {
    vantor_fuzz::ByteStream item;
    BvuIdPath path;
    path.Append(id);
    path.Write(item);
    item.PutUInt32(id == 0 ? 1 : id == 1 ? 1 : 18);
    SUValue value;
    if (id == 0) {
      value.SetType(SUValue::kReal);
      value.SetReal(5.0);
    } else if (id == 1) {
      value.SetType(SUValue::kInteger);
      value.SetInt(7);
    } else {
      value.SetType(SUValue::kString);
      value.SetString("text");
    }
    item.PutUInt16(value.type);
    value.WriteBinary(item, false);
    seeds.Add(Prefixed({1}, item.Bytes()));
  }
  // Numbered requests: 19, 58 with its flag, 135 with a tolerance, 154.
  seeds.Add(Bytes{2, 19, 0});
  seeds.Add(Bytes{2, 58, 0, 1, 0});
  seeds.Add(Bytes{2, 135, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F});
  seeds.Add(Bytes{2, 154, 0});
  // The client's readers: kinds 56, 24, 68 and their values; a request-58
  // reply.
  {
    vantor_fuzz::ByteStream kinds;
    for (std::uint16_t kind : {56, 24, 68}) kinds.PutUInt16(kind);
    vantor_fuzz::ByteStream values;
    values.PutDouble(2.5);
    values.PutUInt32(0x80);
    values.PutDouble(5.0);
    values.PutUInt24(4);
    for (char c : std::string("abc")) values.PutUInt8(static_cast<std::uint8_t>(c));
    values.PutUInt8(0);
    const Bytes kind_bytes = kinds.Bytes();
    const Bytes value_bytes = values.Bytes();
    Bytes seed{0, static_cast<std::uint8_t>(kind_bytes.size())};
    seed.insert(seed.end(), kind_bytes.begin(), kind_bytes.end());
    seed.insert(seed.end(), value_bytes.begin(), value_bytes.end());
    SeedFolder replies(root, "result_replies");
    replies.Add(seed);
    // A time plot of one variable with a jump, and a reply of request 146.
    vantor_fuzz::ByteStream header;
    header.PutUInt32(1);
    header.PutUInt32(24);
    vantor_fuzz::ByteStream plot;
    plot.PutUInt32(1);
    plot.PutUInt24(0);
    plot.PutUInt32(3);
    for (double v : {0.0, 0.1, 0.05, 2.0, 2.999999950695069e28, 0.05, 2.1, 2.2, 2.3, 2.4})
      plot.PutDouble(v);
    const Bytes header_bytes = header.Bytes();
    const Bytes plot_bytes = plot.Bytes();
    Bytes plot_seed{3, static_cast<std::uint8_t>(header_bytes.size())};
    plot_seed.insert(plot_seed.end(), header_bytes.begin(), header_bytes.end());
    plot_seed.insert(plot_seed.end(), plot_bytes.begin(), plot_bytes.end());
    replies.Add(plot_seed);
    // A profile of two variables at two times.
    vantor_fuzz::ByteStream profile;
    profile.PutUInt32(2);
    profile.PutUInt24(0);
    profile.PutUInt32(2);
    for (double v : {0.0, 0.5, 2.0, 3.8, 4.0, 7.6}) profile.PutDouble(v);
    const Bytes profile_bytes = profile.Bytes();
    Bytes profile_seed{3, static_cast<std::uint8_t>(header_bytes.size())};
    profile_seed.insert(profile_seed.end(), header_bytes.begin(), header_bytes.end());
    profile_seed.insert(profile_seed.end(), profile_bytes.begin(), profile_bytes.end());
    replies.Add(profile_seed);
    vantor_fuzz::ByteStream use;
    use.PutUInt16(20);
    use.PutUInt32(1);
    use.PutString("Plant.a");
    use.PutUInt32(1);
    use.PutUInt8(24);
    use.PutDouble(2.5);
    use.PutUInt32(0x100);
    use.PutUInt32(0x20A3180);
    use.PutString("Plant.b");
    replies.Add(Prefixed({13}, use.Bytes()));
    vantor_fuzz::ByteStream compared;
    compared.PutUInt16(20);
    compared.PutUInt32(0);
    compared.PutUInt32(0);
    replies.Add(Prefixed({5}, compared.Bytes()));
    vantor_fuzz::ByteStream list;
    list.PutUInt24(1);
    SputSSBlockHeader listed;
    listed.SetName("Initial Specification");
    listed.flags = snapshot::kLiveFlag | 1;
    listed.WriteToMessage(&list);
    replies.Add(Prefixed({7}, list.Bytes()));
    // A sent snapshot (request 33): its header, a variable tree of one
    // model with one variable under it, and the values.
    vantor_fuzz::ByteStream sent;
    sent.PutUInt16(33);
    sent.PutUInt32(3);
    sent.PutString("Kept");
    sent.PutString("at 0.3");
    sent.PutUInt32(1);
    sent.PutUInt32(2);
    sent.PutDouble(0.3);
    sent.PutUInt16(1);
    sent.PutUInt16(1);
    BvuDirectoryProper tree(nullptr, "");
    auto* model = new BvuDirectoryProper(&tree, "Model");
    tree.InsertChildAt(1, model);
    auto* x = new SimUseData(model, ".x");
    x->variable_index = 0;
    x->type = SUValue::kReal;
    x->attribute = 4;
    model->InsertChildAt(2, x);
    WriteUseDataTree(&tree, sent);
    SUPackedValueTable kept_values;
    kept_values.Resize(1);
    kept_values.Save(sent);
    BvuDirectoryProper::DeleteBelow(&tree);
    replies.Add(Prefixed({7}, sent.Bytes()));
    vantor_fuzz::ByteStream files;
    files.PutUInt24(2);
    files.PutString("snpa0001.snp");
    files.PutString("other.snp");
    replies.Add(Prefixed({7}, files.Bytes()));
    vantor_fuzz::ByteStream restore;
    restore.PutUInt16(58);
    restore.PutUInt32(0);
    restore.PutDouble(2.5);
    restore.PutUInt32(2);
    restore.PutUInt24(7);
    for (char c : std::string("newest")) restore.PutUInt8(static_cast<std::uint8_t>(c));
    restore.PutUInt8(0);
    restore.PutUInt32(1);
    restore.PutUInt32(2);
    replies.Add(Prefixed({1}, restore.Bytes()));
  }
  {
    // What follows a creation body: a monitor's firing, its end, and a
    // synchronisation exchange.
    SeedFolder actions(root, "client_action_messages");
    Bytes firing{1, 1, 0};
    const Bytes reply = vantor_client::MonitorReply(42, 1, 7);  // handle, count 1, tag 7
    firing.insert(firing.end(), reply.begin(), reply.end());
    actions.Add(firing);
    // The same firing with the engine's sample: time 1, a real and a string.
    SUValue values[2];
    values[0].SetType(SUValue::kReal);
    values[0].SetReal(2.5);
    values[1].SetType(SUValue::kString);
    values[1].SetString("x");
    const std::uint32_t reported_as[2] = {SUValue::kReal, SUValue::kString};
    vantor_fuzz::ByteStream sample;
    WriteMonitorValues(sample, 1.0, 2, values, reported_as);
    const Bytes tail = sample.Bytes();
    Bytes sampled = firing;
    sampled.insert(sampled.end(), tail.begin(), tail.end());
    actions.Add(sampled);
    actions.Add(Bytes{1, 2, 0});
    actions.Add(Bytes{0, 1, 0});
  }
  // Commands 18 and 152 with one integer.
  seeds.Add(Bytes{3, 18, 0xE8, 3, 0, 0});
  seeds.Add(Bytes{3, 152, 1, 0, 0, 0});
}

// Snapshot use: a snapshot file the manager wrote (for the use sequence
// over it), and use requests as the client writes them.
void ResultsUse(const fs::path& root) {
  SeedFolder seeds(root, "results_use");
  const fs::path before = fs::current_path();
  const fs::path folder = fs::path(vantor_fuzz::ScratchFolder()) / "results_use_seeds";
  fs::create_directories(folder);
  fs::current_path(folder);
  {
    vantor_fuzz::ResultsProblem problem;
    SimResultsMgr manager(&problem);
    RunPosition at;
    manager.OpenSnapshotFile(3, vantor_fuzz::ResultsProblem::Values(7, 8, 9), &at, false, false);
    for (int k = 1; k <= 2; ++k) {
      manager.AfterRunStep(k, 1, 1, RunResultsSeam::kStepEvent, k, 1e-9, false);
      std::uint32_t id = 0;
      manager.TakeNamedSnapshot(k == 1 ? "first" : "second", &id, true, false);
    }
    manager.Store().Clear(true);
  }
  {
    std::ifstream in("snapshot.snp", std::ios::binary);
    Bytes file{0};
    file.insert(file.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    seeds.Add(file);
  }
  fs::remove("snapshot.snp");
  fs::current_path(before);
  const auto request = [&](std::uint16_t number,
                           const std::function<void(vantor_fuzz::ByteStream&)>& fill) {
    vantor_fuzz::ByteStream body;
    body.PutUInt16(number);
    fill(body);
    seeds.Add(Prefixed({1}, body.Bytes()));
  };
  for (std::uint16_t number : {30, 108}) {
    request(number, [](vantor_fuzz::ByteStream& b) {
      b.PutString("x");
      b.PutString("other.snp");
    });
  }
  request(138, [](vantor_fuzz::ByteStream& b) { b.PutString("other.snp"); });
  for (std::uint16_t number : {20, 146}) {
    request(number, [](vantor_fuzz::ByteStream& b) {
      b.PutUInt32(1);
      b.PutUInt16(0x11);
      b.PutString("");
      b.PutString("~");
      b.PutString("");
    });
  }
  request(110, [](vantor_fuzz::ByteStream& b) {
    b.PutString("x");
    b.PutString("other.snp");
    b.PutUInt16(1);
  });
  request(33, [](vantor_fuzz::ByteStream& b) { b.PutUInt16(1); });
  request(25, [](vantor_fuzz::ByteStream&) {});
  request(106, [](vantor_fuzz::ByteStream&) {});
  vantor_fuzz::ResultsProblem problem;
  SputSSBlockHeader header;
  header.SetName("imported");
  header.flags = snapshot::kLiveFlag | 3;
  auto values = vantor_fuzz::ResultsProblem::Values(1, 2, 3);
  for (std::uint16_t number : {38, 116}) {
    request(number, [&](vantor_fuzz::ByteStream& b) {
      SputSnapImport::Write(b, {&header}, {values.get()}, problem.VariableTree());
    });
  }
}

void Expressions(const fs::path& root) {
  using namespace exprtest;
  SeedFolder message(root, "expr_message");
  SeedFolder binary(root, "expr_binary");
  SeedFolder stream(root, "expr_stream");
  const Ref v1 = Var(0), two = Real(2.0);
  const Ref shared = U(kExp, Var(1));
  const std::vector<Ref> trees = [&] {
    std::vector<Ref> t;
    t.push_back(B(kAdd, Real(1.0), Var(0)));
    t.push_back(B(kGt, Var(0), Var(1)));
    t.push_back(B(kAnd, Logical(true), B(kLe, Int(3), Int(7))));
    t.push_back(U(kMinus, U(kSqrt, Var(2))));
    t.push_back(Text("ab"));
    t.push_back(IntSet({1, 4, 9}));
    t.push_back(Ref(NewSysFunExpression(FindOrRegisterSystemFunction("Time"))));
    t.push_back(ListOf({&v1, &two}));
    t.push_back(ListOf<ListExpression>({&v1, &shared}));
    t.push_back(B(kMul, shared, U(kSigma, ListOf({&v1, &shared}))));
    t.push_back(B(kPow, Var(3), Int(2)));
    return t;
  }();
  const std::vector<Ref> limits = LimitTrees();
  for (const std::vector<Ref>* group : {&trees, &limits}) {
    for (const Ref& tree : *group) {
      message.Add(CompactBytes(tree.get()));
      binary.Add(testobjects::SaveToBytes(tree.get()));
      stream.Add(testobjects::SaveToText(tree.get()));
    }
  }
  // A tree restored from a binary file names no result types, and is sent
  // so: its sums and products take theirs from their operands when read.
  for (const Ref& tree : trees) {
    auto* restored = dynamic_cast<Expression*>(
        testobjects::RestoreFromBytes(testobjects::SaveToBytes(tree.get())));
    if (restored == nullptr) continue;
    restored->AddRef();
    message.Add(CompactBytes(restored));
    restored->Release();
  }
}

}  // namespace

// Service-67 requests as the client writes them: a create, removals now and
// later (of the handles the target's two actions get), an unknown kind.
void ActionRequests(const fs::path& root) {
  SeedFolder seeds(root, "action_requests");
  auto request = [](std::uint32_t kind) {
    vantor_fuzz::ByteStream body;
    body.PutString("Monitor");
    body.PutUInt32(kind);
    return body;
  };
  seeds.Add(request(SimActionMgr::kCreate).Bytes());
  for (std::uint8_t now : {0, 1}) {
    vantor_fuzz::ByteStream remove = request(SimActionMgr::kRemove);
    remove.PutUInt8(now);
    remove.PutUInt16(2);
    remove.PutUInt64(2);
    remove.PutUInt64(1);
    seeds.Add(remove.Bytes());
  }
  seeds.Add(request(9).Bytes());
}

// Service-67 creations of monitors of every kind and of a synchronisation
// action, as the client writes them (the time monitor is the one of the
// FirstOrder road: hook point 12, list 0, tag 7, t = 1).
void MonitorRequests(const fs::path& root) {
  SeedFolder seeds(root, "monitor_requests");
  auto head = [](std::uint16_t kind, bool values) {
    vantor_fuzz::ByteStream body;
    body.PutString(SimMonitorMgr::kName);
    body.PutUInt32(SimActionMgr::kCreate);
    body.PutString("EndTime");
    body.PutUInt16(kind);
    body.PutUInt32(1);
    body.PutUInt32(12);
    body.PutUInt32(0);
    body.PutUInt32(1);
    body.PutUInt32(7);
    body.PutUInt8(values ? 1 : 0);
    body.PutUInt8(0);
    if (values) {
      body.PutUInt32(1);
      BvuIdPath path;
      path.Append(1);
      path.Write(body);
    }
    return body;
  };
  vantor_fuzz::ByteStream time = head(SimMonitor::kTime, true);
  time.PutDouble(1.0);
  time.PutUInt8(1);
  seeds.Add(time.Bytes());
  vantor_fuzz::ByteStream step = head(SimMonitor::kStep, false);
  step.PutUInt16(3);
  seeds.Add(step.Bytes());
  seeds.Add(head(SimMonitor::kPlain, false).Bytes());
  for (std::uint8_t kind : {0, 2, 4}) {
    vantor_fuzz::ByteStream expr = head(SimMonitor::kExpression, false);
    Expression* e = MakeBinaryExpression(kGt, new VarRefExpression(0), new TerminalExpression(3.5));
    e->WriteCompactToMessage(expr);
    e->Release();
    expr.PutUInt8(1);
    expr.PutString("FirstOrder");
    expr.PutUInt16(1);
    expr.PutString("x");
    expr.PutUInt8(kind);
    if (kind == 0) BvuIdPath().Write(expr);
    if (kind == 2) expr.PutUInt32(4);
    if (kind == 4) expr.PutDouble(3.6);
    seeds.Add(expr.Bytes());
  }
  for (std::uint8_t linear : {0, 1}) {
    vantor_fuzz::ByteStream ramp = head(SimMonitor::kRamp, false);
    ramp.PutUInt8(1);
    ramp.PutString("u");
    ramp.PutUInt32(SimRampMonitor::kRealType);
    ramp.PutDouble(1.0);
    ramp.PutDouble(1.0);
    ramp.PutDouble(5.0);
    ramp.PutDouble(0.0);
    ramp.PutDouble(0.0);
    ramp.PutUInt8(linear);
    ramp.PutUInt8(linear != 0 ? 1 : 2);
    seeds.Add(ramp.Bytes());
  }
  vantor_fuzz::ByteStream sync;
  sync.PutString(SimSyncMgr::kName);
  sync.PutUInt32(SimActionMgr::kCreate);
  sync.PutString("Sync1");
  seeds.Add(sync.Bytes());
}

// Service-66 requests as the client writes them, each after its u16 length:
// objects defined (one refused for an unknown component), one redefined,
// and the offer listed.
void PropertyRequests(const fs::path& root) {
  SeedFolder seeds(root, "property_requests");
  auto define = [](const char* name, std::vector<const char*> components,
                   std::vector<std::pair<const char*, const char*>> options) {
    vantor_fuzz::ByteStream body;
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
    return body.Bytes();
  };
  vantor_fuzz::ByteStream list;
  list.PutUInt16(GppiPropertyMgr::kListRequest);
  const std::vector<Bytes> requests = {define("Water", {"WATER"}, {{"Density", "Liquids"}}),
                                       define("Mix", {"WATER", "ETHANOL", "METHANE"},
                                              {{"Enthalpy", "Liquids"}, {"Density", "Gases"}}),
                                       define("Bad", {"LEAD"}, {}),
                                       define("water", {"ETHANOL"}, {}), list.Bytes()};
  Bytes all;
  for (const Bytes& r : requests) {
    all.push_back(static_cast<std::uint8_t>(r.size() & 0xFF));
    all.push_back(static_cast<std::uint8_t>(r.size() >> 8));
    all.insert(all.end(), r.begin(), r.end());
    Bytes one = {static_cast<std::uint8_t>(r.size() & 0xFF),
                 static_cast<std::uint8_t>(r.size() >> 8)};
    one.insert(one.end(), r.begin(), r.end());
    seeds.Add(one);
  }
  seeds.Add(all);
}

// Id-path reads of service 66 as the client sends them (see the property
// manager's tests): the package selected with and without GPP_INI's texts,
// unloaded, and an unknown selector; alone and all in one read.
void PropertyIdReads(const fs::path& root) {
  SeedFolder seeds(root, "property_ids");
  auto item = [](vantor_fuzz::ByteStream& body, std::uint32_t kind,
                 const std::vector<const char*>& names) {
    BvuIdPath path(true);
    for (std::size_t i = 0; i < names.size(); ++i) {
      path.Append(static_cast<std::uint32_t>(i + 1), names[i]);
    }
    path.Write(body);
    body.PutUInt16(static_cast<std::uint16_t>(kind));
    body.PutUInt16(0);
  };
  auto framed = [](const Bytes& body) {
    Bytes one = {static_cast<std::uint8_t>(body.size() & 0xFF),
                 static_cast<std::uint8_t>(body.size() >> 8)};
    one.insert(one.end(), body.begin(), body.end());
    return one;
  };
  const std::vector<std::pair<std::uint32_t, std::vector<const char*>>> items = {
      {GppiPropertyMgr::kSelect, {"props.def", "Ideal", "linked"}},
      {GppiPropertyMgr::kSelect, {"LINKED"}},
      {GppiPropertyMgr::kUnload, {}},
      {7, {"linked"}}};
  Bytes all;
  vantor_fuzz::ByteStream together;
  together.PutDouble(0.0);
  for (const auto& [kind, names] : items) {
    vantor_fuzz::ByteStream body;
    body.PutDouble(0.0);
    item(body, kind, names);
    item(together, kind, names);
    const Bytes one = framed(body.Bytes());
    seeds.Add(one);
    all.insert(all.end(), one.begin(), one.end());
  }
  seeds.Add(all);
  seeds.Add(framed(together.Bytes()));
}

// Definition files of the property package, as the tests write them.
void PropertyFiles(const fs::path& root) {
  SeedFolder seeds(root, "property_file");
  seeds.Add(
      std::string("# two gases\ncomponent METHANE CH4 74-82-8\n"
                  "component ARGON Ar 7440-37-1\nrow Fuel Density METHANE\n"
                  "row Fuel Density ARGON\n"));
  seeds.Add(std::string("component WATER H2O 7732-18-5\nrow Water Enthalpy WATER\n"));
  seeds.Add(std::string("component A-NAME-LONGER-THAN-ITS-FORTY-CHARACTER-FIELD x y\n"));
  seeds.Add(std::string("row Only Density NONE\nbroken line\n"));
}

// Service-62 requests as the client sends them, several to a seed: the
// tank created and filled, read by id path and by name, set by name (found
// and forwarded), "Global" filled, places resolved, the tank deleted, and
// loaded or described again.
void InstanceRequests(const fs::path& root) {
  using namespace modelwriter;
  SeedFolder seeds(root, "instance_requests");
  vantor_fuzz::ByteStream load;
  Writer w(load);
  w.U16(SimInstanceMgr::kCreate), w.U16(SimInstanceMgr::kInstanceTag), w.Placement({T101()});
  w.U16(SimInstanceMgr::kReplace), w.U16(SimInstanceMgr::kDescriptionTag), w.IdPath({2});
  Tank(w);
  seeds.Add(load.Bytes());

  vantor_fuzz::ByteStream values(load.Bytes());
  Writer v(values);
  v.U16(SimInstanceMgr::kValueById), v.IdPath({2, 1}), v.U16(0);
  v.U16(SimInstanceMgr::kSetValue), v.Text("T101.F_in"), v.Text(""), v.Text("");
  v.U16(SUValue::kReal), v.F64(0.75);
  v.U16(SimInstanceMgr::kGetValue), v.Text("T101.nothing"), v.Text("h"), v.Text("");
  v.U16(SimInstanceMgr::kSetValue), v.Text("Plant.F"), v.Text("F"), v.Text("m");
  v.U16(24), v.F64(1.5), v.U16(1), v.U16(2);
  v.U16(SimInstanceMgr::kGetValue), v.Text("Plant.F"), v.Text("F"), v.Text("m"), v.U16(0);
  seeds.Add(values.Bytes());

  vantor_fuzz::ByteStream edits(load.Bytes());
  Writer e(edits);
  e.U16(SimInstanceMgr::kReplace), e.U16(SimInstanceMgr::kGlobalDescriptionTag);
  e.List(1), e.Item(kRealVariable), e.Placement({{1, "Global"}, {1, ".g"}}), e.Value(9.81), e.End();
  e.U16(SimInstanceMgr::kResolve), e.U16(0), e.IdPath({2, 3});
  e.U16(SimInstanceMgr::kResolveContainer), e.U16(0), e.IdPath({2});
  e.U16(SimInstanceMgr::kReplace), e.U16(SimInstanceMgr::kInstanceTag), e.Placement({{3, "U"}});
  e.U16(SimInstanceMgr::kDelete), e.U16(SimInstanceMgr::kEquationTag), e.IdPath({2, 7});
  e.U16(SimInstanceMgr::kDelete), e.U16(SimInstanceMgr::kInstanceTag), e.IdPath({2});
  seeds.Add(edits.Bytes());

  // An item list cut short inside its last item: refused whole.
  Bytes cut = load.Bytes();
  cut.resize(cut.size() - 9);
  seeds.Add(cut);

  // What the session held of the tank's variables outlives them: the tank
  // deleted and loaded again at the same places. And described again in
  // place, where they stay.
  vantor_fuzz::ByteStream again(load.Bytes());
  Writer a(again);
  a.U16(SimInstanceMgr::kDelete), a.U16(SimInstanceMgr::kInstanceTag), a.IdPath({2});
  a.U16(SimInstanceMgr::kCreate), a.U16(SimInstanceMgr::kInstanceTag), a.Placement({T101()});
  a.U16(SimInstanceMgr::kReplace), a.U16(SimInstanceMgr::kDescriptionTag), a.IdPath({2});
  Tank(a);
  seeds.Add(again.Bytes());
  vantor_fuzz::ByteStream described(load.Bytes());
  Writer d(described);
  d.U16(SimInstanceMgr::kReplace), d.U16(SimInstanceMgr::kDescriptionTag), d.IdPath({2});
  Tank(d);
  seeds.Add(described.Bytes());
}

// Service-61 requests, several to a seed: an expression, a condition with
// an expression below it replaced by another condition, a procedure
// definition with further data, deletes.
void LibraryRequests(const fs::path& root) {
  using namespace modelwriter;
  SeedFolder seeds(root, "library_requests");
  SUProcDef d;
  d.SetImplementationName("flash");
  d.SetLibrary("props");
  d.SetArgumentCounts(1, 1);
  vantor_fuzz::ByteStream body;
  Writer w(body);
  w.U16(SimLibraryMgr::kSet), w.U16(SimLibraryMgr::kExpressionItem), w.Placement({{1, "E"}});
  w.Expression(Sub(Var(0), Mul(Real(2.0), Var(1))));
  w.U16(SimLibraryMgr::kSet), w.U16(SimLibraryMgr::kConditionItem), w.Placement({{2, "C"}});
  w.Expression(Greater(Var(0), Real(0.5)));
  w.U16(SimLibraryMgr::kSet), w.U16(SimLibraryMgr::kExpressionItem);
  w.Placement({{2, "C"}, {1, ".e"}}), w.Expression(Real(1.0));
  w.U16(SimLibraryMgr::kReplace), w.U16(SimLibraryMgr::kConditionItem), w.Placement({{2, ""}});
  w.Expression(Greater(Var(0), Real(1.5)));
  w.U16(SimLibraryMgr::kSet), w.U16(SimLibraryMgr::kProcedureItem), w.Placement({{3, "P"}});
  d.WriteDefinition(body);
  w.U16(SimLibraryMgr::kAddData), w.U16(SimLibraryMgr::kProcedureItem), w.IdPath({3});
  d.WriteDefinition(body);
  w.U16(SimLibraryMgr::kDelete), w.U16(0), w.IdPath({1});
  w.U16(SimLibraryMgr::kDelete), w.U16(0), w.IdPath({9});
  seeds.Add(body.Bytes());
  // A definition as the client writes it: arrays, a text and an integer.
  vantor_fuzz::ByteStream client;
  Writer c(client);
  Procedure p;
  p.name = p.implementation = "rmatvec";
  p.library = "road_fortran";
  p.language = 1;
  p.options = 0x2 | 0x4 | 0x10;
  p.inputs = {{0x204, "a", {"2", "2"}}, {0x104, "x", {"n"}}, {5, "s", {}}, {2, "k", {}}};
  p.outputs = {{0x104, "y", {"n"}}};
  c.U16(SimLibraryMgr::kSet), c.U16(SimLibraryMgr::kProcedureItem), c.Placement({{4, "M"}});
  c.Definition(p);
  seeds.Add(client.Bytes());
}

// Plot histories the manager writes: new, recorded with chains, restarts and
// a stop, and truncated so that the free chain holds blocks.
void PlotFiles(const fs::path& root) {
  SeedFolder seeds(root, "plot_file");
  const fs::path before = fs::current_path();
  const fs::path folder = fs::path(vantor_fuzz::ScratchFolder()) / "plot-seeds";
  for (int kind = 0; kind < 3; ++kind) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    fs::create_directories(folder);
    if (::chdir(folder.c_str()) != 0) return;
    {
      plottest::FakeModel model;
      for (const char* name : {"v0", "v1", "B1.T"}) model.Add(name, 1.0);
      SputPlotHistoryMgr mgr(&model);
      if (mgr.Open(false) != status::kOk) continue;
      for (int i = 0; kind > 0 && i < model.VariableCount(); ++i)
        mgr.AddVariable(model.VariableAt(i));
      for (int k = 0; kind > 0 && k < 40; ++k) {
        for (int i = 0; i < model.VariableCount(); ++i)
          model.list[static_cast<std::size_t>(i)]->value = (k * (i + 1)) % 7;
        mgr.RecordValues(k, nullptr);
        if (k == 20) mgr.AddVariable(model.VariableAt(0));
      }
      if (kind == 2) {
        mgr.StopVariable(model.VariableAt(2));
        mgr.TruncateAt(17.5, false);
      }
    }
    std::ifstream in(plot::kFileName, std::ios::binary);
    seeds.Add(Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  }
  fs::current_path(before);
}

// Report requests as the client writes them: the kind byte, the kind's
// fields, the run number and the variables' id paths (ids 100 to 102 are
// the fuzz model's, 7 is unknown).
void PlotReportRequests(const fs::path& root) {
  SeedFolder seeds(root, "plot_report");
  const std::vector<std::vector<double>> fields = {{-1.0, 7.5}, {3.0, 2.0, 1.0}, {0.0, 2.5}};
  for (std::uint8_t kind = 0; kind < 3; ++kind) {
    vantor_fuzz::ByteStream body;
    body.PutUInt8(kind);
    if (kind == 1) body.PutUInt32(3);
    for (double r : fields[kind]) body.PutDouble(r);
    body.PutUInt32(kind + 1u);
    body.PutUInt32(3);
    for (std::uint32_t id : {100u, 7u, 102u}) {
      BvuIdPath path(kind == 2);
      path.Append(id, kind == 2 ? "name" : nullptr);
      path.Write(body);
    }
    seeds.Add(body.Bytes());
  }
}

// Hand-built streams of every old layout (nothing in the program writes them).
void OldExpressions(const fs::path& root) {
  using namespace oldlayout;
  SeedFolder seeds(root, "expr_old_stream");
  const auto code = [](std::uint16_t op) {
    return static_cast<std::int16_t>(OperatorTable[op].code);
  };
  const Body x = VarRef(0), y = VarRef(1), two = Terminal(RealValue(2.0));
  const Body items = ItemList({x, two});
  SUValue text;
  text.SetType(SUValue::kString);
  text.SetString("feed");
  const Body seeds_made[] = {
      Terminal(text),
      two,
      x,
      Node(oldclass::kVariable, code(kTerm), RealValue(0.0),
           [](Clvostream& s) {
             s.PutU32(2);
             WriteCollectable(nullptr, s);
           }),
      Unary(code(kSin), Typed(SUValue::kReal), x, 2),
      Binary(code(kMul), Typed(SUValue::kReal), x, Unary(code(kExp), Typed(SUValue::kReal), y, 2),
             4),
      List(oldclass::kList, Typed(0x104), items, 3),
      List(oldclass::kHomList, Typed(0x104), items, 3),
      ProcCall(List(oldclass::kProcIOList, Typed(0), ItemList({x}), 1),
               List(oldclass::kProcIOList, Typed(0), ItemList({y}), 1), Null(), two, "flash", 3),
  };
  for (const Body& body : seeds_made) seeds.Add(Text(body));
}

// Analyse-specification request bodies: the modes, the switches and one
// requested variable of the tank (T101.F_out, must be free).
void PartitionRequests(const fs::path& root) {
  SeedFolder seeds(root, "partition_request");
  const std::uint16_t heads[][3] = {{0, 0, 0}, {0, 0, 1}, {4, 0, 0}, {5, 0, 1}, {1, 1, 0}};
  for (const auto& head : heads) {
    vantor_fuzz::ByteStream body;
    for (std::uint16_t v : head) body.PutUInt16(v);
    body.PutUInt16(0);
    seeds.Add(body.Bytes());
  }
  vantor_fuzz::ByteStream item;
  for (std::uint16_t v : {0, 0, 1, 1}) item.PutUInt16(v);
  item.PutUInt8(0);
  item.PutUInt16(2);
  item.PutUInt24(2);
  item.PutUInt24(3);
  item.PutUInt16(1);
  seeds.Add(item.Bytes());
  // Both flows named as must be free, each with its switch, iterating: the
  // lists of variables without equations and of the equations that hold
  // them are written and printed.
  vantor_fuzz::ByteStream both;
  for (std::uint16_t v : {0, 0, 1, 2}) both.PutUInt16(v);
  for (std::uint32_t id : {2u, 3u}) {
    both.PutUInt8(0);
    both.PutUInt16(2);
    both.PutUInt24(2);
    both.PutUInt24(id);
    both.PutUInt16(1);
  }
  seeds.Add(both.Bytes());
}

// Command lists as the fuzz target reads them: number, strings, integers and
// single floats, each list with a count byte.
void ClientCommands(const fs::path& root) {
  SeedFolder seeds(root, "client_commands");
  struct Command {
    std::uint32_t number;
    std::vector<const char*> texts;
    std::vector<std::int32_t> integers;
    std::vector<float> reals;
  };
  auto write = [&](const std::vector<Command>& commands) {
    vantor_fuzz::ByteStream body;
    for (const Command& command : commands) {
      body.PutUInt32(command.number);
      body.PutUInt8(static_cast<std::uint8_t>(command.texts.size()));
      for (const char* text : command.texts) body.PutString(text);
      body.PutUInt8(static_cast<std::uint8_t>(command.integers.size()));
      for (std::int32_t value : command.integers) body.PutUInt32(static_cast<std::uint32_t>(value));
      body.PutUInt8(static_cast<std::uint8_t>(command.reals.size()));
      for (float value : command.reals) body.PutFloat(value);
    }
    seeds.Add(body.Bytes());
  };
  write({{6, {}, {0, 0}, {}}, {9, {}, {}, {}}, {10, {}, {}, {}}, {8, {}, {}, {}}});
  write({{29, {}, {0}, {}}, {6, {}, {}, {}}, {14, {}, {}, {}}, {150, {}, {}, {}}});
  write({{94, {}, {}, {0.1f}}, {130, {"Seconds"}, {}, {3600.0f}}, {41, {}, {1}, {}}});
  write({{57, {}, {1}, {}}, {80, {}, {1}, {}}, {81, {}, {0}, {}}, {39, {}, {2}, {}}});
  write({{32, {"a"}, {1}, {1.0f}}, {142, {}, {}, {}}, {2, {}, {}, {}}, {151, {}, {}, {}}});
}

// Problem-manager requests: the set-up byte of the target, then the body as
// the client writes it.
void ProblemRequests(const fs::path& root) {
  SeedFolder seeds(root, "problem_requests");
  auto body = [](std::uint8_t setup, std::uint16_t code) {
    vantor_fuzz::ByteStream b;
    b.PutUInt8(setup);
    b.PutUInt16(code);
    return b;
  };
  for (std::uint16_t code : {5, 14, 31, 34, 129, 134}) seeds.Add(body(3, code).Bytes());
  const std::vector<std::pair<std::uint16_t, std::vector<std::uint32_t>>> paths = {
      {35, {0}},           {35, {0, 1}},  {36, {0, 1}},     {36, {0, 1, 1}}, {37, {0, 1}},
      {131, {0, 1, 1, 1}}, {132, {0, 1}}, {133, {0, 1, 2}}, {36, {7}}};
  for (const auto& [code, indices] : paths) {
    vantor_fuzz::ByteStream b = body(3, code);
    b.PutUInt16(static_cast<std::uint16_t>(indices.size()));
    for (std::uint32_t index : indices) b.PutUInt32(index);
    seeds.Add(b.Bytes());
  }
  vantor_fuzz::ByteStream analyse = body(1, 75);
  for (std::uint16_t field : {0, 1, 0, 0}) analyse.PutUInt16(field);
  seeds.Add(analyse.Bytes());
  auto option = [&](std::uint16_t code, const char* a, const char* b, std::uint16_t type) {
    vantor_fuzz::ByteStream o = body(0, code);
    o.PutString(a);
    o.PutString(b);
    o.PutUInt16(type);
    if (type == 4) o.PutUInt32(7);
    if (type == 24) o.PutDouble(2.5);
    if (type == 68) o.PutString("text");
    return o;
  };
  for (std::uint16_t type : {4, 24, 68, 9})
    seeds.Add(option(149, "solver", "option", type).Bytes());
  seeds.Add(option(122, "_KVS_SQPB", "MaxIter", 4).Bytes());
  seeds.Add(option(115, "Water", "Density", 24).Bytes());
  vantor_fuzz::ByteStream describe = body(0, 148);
  describe.PutString("linear");
  describe.PutUInt16(1);
  seeds.Add(describe.Bytes());
  vantor_fuzz::ByteStream select = body(0, 118);
  select.PutString("kvs_sqpb.dll");
  seeds.Add(select.Bytes());
}

// Build output: the piece-size byte, then what a build prints (the script
// the driver writes, echoed, and make's lines, one longer than a line).
void BuildOutputs(const fs::path& root) {
  SeedFolder seeds(root, "build_output");
  seeds.Add(std::string(1, '\0') + codegen::BuildScriptText("/opt/env.sh", "/tmp/b",
                                                            "/usr/bin/make", "MakeLib", 022,
                                                            "/usr/bin:/bin"));
  seeds.Add(std::string(1, '\x7f') +
            "gcc -c -fPIC -fvisibility=hidden -O2 -I/p \"a.c\" -oa.o\n"
            "a.c:3:1: error: expected ';'\nmake: *** [MakeLib:12: a.o] Error 1\n" +
            std::string(1500, 'x') + "\nno line break");
}

// Makefiles as the writer makes them, with a user's search folders set
// in the text a request adds, then an environment entry.
void MakeSearches(const fs::path& root) {
  SeedFolder seeds(root, "make_search");
  const fs::path folder =
      fs::temp_directory_path() / ("vantor-seed-make-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  {
    auto out = WriteMakefileGenericPart(
        CodegenReport(), folder.c_str(), folder.c_str(), false, nullptr,
        "USERINCLUDEPATHS = -I$(TOP)/incl -isystem /u/sys\nUSERLIBPATHS = -L /u/lib -Wl,-L,/u/l2\n"
        "VPATH = /u/src:$(TOP)\nvpath %.h /u/h\n-include $(TOP)/extra.mk\n",
        "seed", true, false, false, false, false);
    if (out) {
      *out << "ifdef DEBUG_BUILD\nTOP = /u/debug\nendif\nseed.o: seed.c\n"
              "\t$(C) $(CDEBUG) $(INCLUDEPATHS) $(USERINCLUDEPATHS) \"seed.c\" \\\n"
              "\t  -o seed.o $(USERLIBPATHS)\nx: ; echo $(shell true) `date` $$HOME\n"
              // Lines make reads otherwise than they look: a tab-led line
              // outside a rule, settings named as directives, a vpath
              // pattern from a variable, evaluated text, globs.
              "A = 1\n\tinclude /u/tab.mk\ninclude = -I/u/inc\nvpath = x\nP = %.c /u/p\n"
              "vpath $(P)\n$(eval B = -I/u/b)\n$($(E) x)\n-include /u/*.mk ~/a.mk [ab].mk\n"
              "y: Y = 1\n\tCFLAGS += -I/u/y\n.RECIPEPREFIX = >\n";
      out->close();
    }
  }
  std::ifstream in(folder / "Makeseed", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  seeds.Add(text);
  seeds.Add(text + std::string(1, '\0') + "TOP=/env/top");
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

// Service-113 bodies as the fuzz target reads them: a sub-kind byte, a
// definition-count byte, then what follows the request header.
void ProcFilesRequests(const fs::path& root) {
  SeedFolder seeds(root, "proc_files_request");
  SUProcDef d;
  d.SetLanguage(1);
  d.SetImplementationName("flash");
  d.SetLibrary("props");
  d.SetSourceFile("flash.f", false);
  d.SetInterfaceVersion(3);
  d.SetArgumentCounts(1, 1);
  d.SetInputDescriptor(0, 4);
  d.SetOutputDescriptor(0, 4);
  d.SetInputName(0, "x");
  vantor_fuzz::ByteStream generate;
  generate.PutUInt8(0);
  generate.PutUInt8(1);
  d.WriteDefinition(generate);
  generate.PutUInt32(0);
  seeds.Add(generate.Bytes());
  vantor_fuzz::ByteStream unload;
  unload.PutUInt8(2);
  unload.PutUInt8(0);
  unload.PutUInt32(2);
  unload.PutString("props");
  unload.PutString("tcex1");
  seeds.Add(unload.Bytes());
  vantor_fuzz::ByteStream name;
  name.PutUInt8(3);
  name.PutUInt8(0);
  name.PutString("props");
  seeds.Add(name.Bytes());
  // A flowsheet export: one material port of two variables, one setting.
  vantor_fuzz::ByteStream port;
  port.PutUInt8(5);
  port.PutUInt8(3);
  port.PutUInt16(1);
  port.PutString("feed");
  port.PutUInt16(1);
  port.PutUInt16(2);
  port.PutUInt16(2);
  port.PutUInt16(1);
  port.PutString("water");
  port.PutUInt16(0);
  port.PutUInt32(2);
  port.PutUInt32(4);
  for (std::uint32_t word : {1u, 0u, 0u, 0u, 0u, 0u}) port.PutUInt32(word);
  port.PutUInt32(0);
  port.PutUInt32(0);
  port.PutUInt32(0);
  port.PutUInt32(1);
  port.PutUInt32(2);
  port.PutUInt32(7);
  port.PutUInt32(0);
  port.PutDouble(2.0);
  port.PutDouble(0.5);
  seeds.Add(port.Bytes());
  // A type export of two units and one extra header, from the debug flag on.
  vantor_fuzz::ByteStream type;
  type.PutUInt8(6);
  type.PutUInt8(0);
  for (std::uint32_t word : {1u, 0u, 1u}) type.PutUInt32(word);
  type.PutUInt32(1);
  type.PutString("ver");
  type.PutUInt32(1);
  type.PutUInt32(0);
  type.PutUInt32(2);
  type.PutString("unita");
  type.PutString("unitb");
  type.PutUInt32(1);
  type.PutString("extra.h");
  seeds.Add(type.Bytes());
  // Names make or the shell would read as commands, refused before anything
  // is written: a definition's library, name and source file; a type
  // export's name, resource, unit and header; a flowsheet export's name.
  SUProcDef hostile = d;
  hostile.SetImplementationName("p`touch injected`");
  hostile.SetLibrary("lib$(shell touch injected)");
  hostile.SetSourceFile("s\n\ttouch injected.c", false);
  vantor_fuzz::ByteStream generate_hostile;
  generate_hostile.PutUInt8(0);
  generate_hostile.PutUInt8(1);
  hostile.WriteDefinition(generate_hostile);
  generate_hostile.PutUInt32(0);
  seeds.Add(generate_hostile.Bytes());
  const auto named = [](std::uint8_t selector, const std::string& name) {
    vantor_fuzz::ByteStream out;
    out.PutUInt8(selector);
    out.PutUInt8(0x80);
    out.PutUInt8(static_cast<std::uint8_t>(name.size()));
    for (char c : name) out.PutUInt8(static_cast<std::uint8_t>(c));
    return out;
  };
  vantor_fuzz::ByteStream type_hostile = named(6, "x$(touch injected)`id`\n\t\"'");
  for (std::uint32_t word : {0u, 1u, 1u}) type_hostile.PutUInt32(word);
  type_hostile.PutUInt32(1);
  type_hostile.PutString("r$(shell touch injected)");
  type_hostile.PutUInt32(0);
  type_hostile.PutUInt32(0);
  type_hostile.PutUInt32(1);
  type_hostile.PutString("u\n\ttouch injected");
  type_hostile.PutUInt32(1);
  type_hostile.PutString("h\"; touch injected; \"");
  seeds.Add(type_hostile.Bytes());
  vantor_fuzz::ByteStream flowsheet_hostile = named(5, "fs`touch injected`;\"\n");
  flowsheet_hostile.PutUInt16(0);
  for (int i = 0; i < 10; ++i) flowsheet_hostile.PutUInt32(0);
  seeds.Add(flowsheet_hostile.Bytes());
}

// Sensitivity requests: lists with an unknown reference, switches, the
// values reply and a clear.
void SensitivityRequests(const fs::path& root) {
  SeedFolder seeds(root, "sensitivity_requests");
  analysis_fakes::BodyWriter w;
  w.U16(SensitivityMgr::kSetLists).U16(3).U32(1).U32(2).U32(99).U16(3).U32(5).U32(6).U32(14);
  w.U16(0).U16(SensitivityMgr::kEnable).U16(0).U16(SensitivityMgr::kValues).U16(0);
  seeds.Add(w.bytes);
  analysis_fakes::BodyWriter v;
  v.U16(SensitivityMgr::kSetLists).U16(1).U32(13).U16(1).U32(13).U16(0);
  v.U16(SensitivityMgr::kDisable).U16(0).U16(SensitivityMgr::kClear).U16(0);
  v.U16(SensitivityMgr::kValues).U16(0);
  seeds.Add(v.bytes);
}

// Homotopy requests: a set-up of two targets, start, lambda and stop.
void HomotopyRequests(const fs::path& root) {
  SeedFolder seeds(root, "homotopy_requests");
  analysis_fakes::BodyWriter w;
  w.U16(HomotopyMgr::kSetUp).U16(2).U32(1).F64(5.0).U32(2).F64(-3.0);
  w.U16(HomotopyMgr::kStart).U16(HomotopyMgr::kLambda).U16(HomotopyMgr::kStop);
  seeds.Add(w.bytes);
}

// Control-design requests: a set-up with every option, step-response and STM
// blocks, then a computation and a clear.
void CdiRequests(const fs::path& root) {
  SeedFolder seeds(root, "cdi_requests");
  analysis_fakes::BodyWriter w;
  w.U16(CDIManager::kSetUp).U16(0x3FF).F64(0.0).U32(1).U32(1).U32(1);
  w.U32(1).F64(1.0).U32(2).F64(1.0).U32(1).F64(2.0);
  w.F64(1.0).F64(1e-5).F64(1e-5).F64(0.01).F64(0.01).U16(15).U16(60).U16(2);
  w.F64(1.0).F64(0.25).F64(0.0).U32(0);
  w.U16(CDIManager::kCompute).U16(CDIManager::kClear);
  seeds.Add(w.bytes);
  // Outputs that are no unknowns: the input, then a variable outside.
  for (std::uint32_t output : {2u, 3u}) {
    analysis_fakes::BodyWriter refused;
    refused.U16(CDIManager::kSetUp).U16(0x1F).F64(0.0).U32(1).U32(1).U32(1);
    refused.U32(1).F64(1.0).U32(2).F64(1.0).U32(output).F64(1.0);
    refused.U16(CDIManager::kCompute);
    seeds.Add(refused.bytes);
  }
  // Step responses: more settled intervals than allowed, and the longest
  // one a request can ask for.
  for (std::uint16_t settled : {std::uint16_t{20}, std::uint16_t{0xFFFF}}) {
    analysis_fakes::BodyWriter step;
    step.U16(CDIManager::kSetUp).U16(0x10A).F64(0.0).U32(1).U32(1).U32(1);
    step.U32(1).F64(1.0).U32(2).F64(1.0).U32(1).F64(1.0);
    step.F64(1.0).F64(1e-5).F64(1e-5).F64(0.01).F64(0.01);
    step.U16(settled).U16(settled == 20 ? 10 : 0xFFFF).U16(0xFFFF);
    step.U16(CDIManager::kCompute);
    seeds.Add(step.bytes);
  }
  // A state transition of more steps than t + h can count.
  analysis_fakes::BodyWriter stm;
  stm.U16(CDIManager::kSetUp).U16(0x201).F64(0.0).U32(1).U32(1).U32(1);
  stm.U32(1).F64(1.0).U32(2).F64(1.0).U32(1).F64(1.0);
  stm.F64(1e15).F64(1e-5).F64(0.0).U32(0).U16(CDIManager::kCompute);
  seeds.Add(stm.bytes);
}

// Outside-procedure requests without a library: switches, groups, items.
void SaxRequests(const fs::path& root) {
  SeedFolder seeds(root, "sax_requests");
  analysis_fakes::BodyWriter w;
  w.U16(87).U16(97).U16(0x0501).U8(3).U8(0).U32(6).U16(99).U16(0x0501);
  w.U16(98).U16(0x0501).U16(1).U8(0).U8(1).U16(1).U8(2).F64(0.5);
  w.U16(101).U16(0x0501).U16(1).Str("tag").U16(102).U16(104).U16(0x0501).U16(1);
  w.U16(103).U16(0x0501).U16(2).U32(3).Str("T").U8(0).U8(1).U16(0).U16(88).U16(89);
  seeds.Add(w.bytes);
}

// Estimation definitions as the client writes them: a steady-state and a
// dynamic experiment with reconciled measurements, then a start, results
// and a stop.
void EstimationRequests(const fs::path& root) {
  using namespace analysis_fakes;
  SeedFolder seeds(root, "estimation_requests");
  DefinitionRecord d;
  d.estimated = {{1, 1.0, 0.0}, {2, 2.0, 1.0}};
  ExperimentRecord steady;
  steady.name = "SS";
  steady.inputs = {{3, {{0.0, 1.0}}}};
  steady.measured = {4, 13};
  steady.entries = {{4, 0, 1.0, false, 0}, {13, 0, 2.0, true, 3.0}};
  steady.snapshot = "start";
  ExperimentRecord dynamic;
  dynamic.name = "DYN";
  dynamic.dynamic = true;
  dynamic.initial_values = {{4, 0.5}};
  dynamic.initial_rates = {{5, 0.0}};
  dynamic.inputs = {{3, {{0.0, 1.0}, {1.0, 2.0}}}};
  dynamic.measured = {4, 14};
  dynamic.entries = {{4, 1.0, 1.0, false, 0}, {14, 1.0, 2.0, true, 0.5}, {4, 2.0, 3.0, false, 0}};
  d.experiments = {steady, dynamic};
  d.heteroscedasticity = 1;
  d.records = {{4, 0.2, 1.0, 0.0}, {13, 0.1, 1.0, 0.0}};
  d.single = 1;
  for (std::uint8_t objective : {0, 1}) {
    BodyWriter w = DefinitionMessage(d);
    w.U16(EstimationMgr::kStart).U16(EstimationMgr::kResults).U16(EstimationMgr::kContinue).U8(0);
    seeds.Add(Prefixed({objective}, w.bytes));
  }
  BodyWriter clear;
  clear.U16(EstimationMgr::kResultsKeep).U16(EstimationMgr::kClear);
  seeds.Add(Prefixed({0}, clear.bytes));
  BodyWriter options;
  options.U16(4).U32(7).U16(24).F64(0.5).U16(68).Str("text");
  seeds.Add(Prefixed({2}, options.bytes));
  // A second definition that measures one more variable than the first,
  // whose pass has already sized the sensitivities.
  DefinitionRecord first;
  first.estimated = {{1, 1.0, 0.0}};
  ExperimentRecord one = steady;
  one.measured = {4};
  one.entries = {{4, 0, 1.0, false, 0}};
  first.experiments = {one};
  first.records = {{4, 0.2, 1.0, 0.0}};
  DefinitionRecord second = first;
  ExperimentRecord two = one;
  two.measured = {4, 5};
  two.entries = {{4, 0, 1.0, false, 0}, {5, 0, 2.0, false, 0}};
  second.experiments = {two};
  second.records = {{4, 0.2, 1.0, 0.0}, {5, 0.1, 1.0, 0.0}};
  BodyWriter grown = DefinitionMessage(first);
  const BodyWriter more = DefinitionMessage(second);
  grown.Raw(more.bytes.data(), more.bytes.size());
  seeds.Add(Prefixed({0}, grown.bytes));
}

// Optimisation definitions as the client writes them: a dynamic one with
// moving elements, linear controls and constraints, and a steady-state one,
// each with a start, mode switches and results; then Open NLP options.
void OptimisationRequests(const fs::path& root) {
  using namespace analysis_fakes;
  SeedFolder seeds(root, "optimisation_requests");
  OptDefinitionRecord dynamic = opt_model::Dynamic();
  OptDefinitionRecord steady = opt_model::Steady();
  // A control with a maximum move over more elements than the run's dense
  // arrays could hold.
  OptDefinitionRecord large = opt_model::MovesOverElements(6000);
  for (const OptDefinitionRecord* d : {&dynamic, &steady, &large}) {
    BodyWriter w;
    w.U16(OptimisationMgr::kStartStop).U8(1);
    w.Raw(d->Body().bytes.data(), d->Body().bytes.size());
    w.U16(OptimisationMgr::kResults).U16(OptimisationMgr::kSteadyState);
    w.U16(OptimisationMgr::kDynamic).U16(70).U16(OptimisationMgr::kStartStop).U8(0);
    seeds.Add(Prefixed({0x10}, w.bytes));
  }
  // A definition with other counts sent while a run of the first goes on;
  // its first element is shorter than the event tolerance, so no run of
  // it starts before the failed step of the old one is passed on.
  OptDefinitionRecord tiny = dynamic;
  tiny.interior = {1e-6};
  for (const auto& [first, then] : {std::pair{&steady, &tiny}, std::pair{&dynamic, &steady}}) {
    BodyWriter w;
    w.U16(OptimisationMgr::kStartStop).U8(1);
    w.Raw(first->Body().bytes.data(), first->Body().bytes.size());
    w.Raw(then->Body().bytes.data(), then->Body().bytes.size());
    w.U16(OptimisationMgr::kResults);
    seeds.Add(Prefixed({0x00}, w.bytes));
  }
  BodyWriter clear;
  clear.U16(OptimisationMgr::kClear).U16(OptimisationMgr::kResults);
  seeds.Add(Prefixed({0x30}, clear.bytes));
  BodyWriter options;
  options.U16(4).U32(7).U16(24).F64(0.5).U16(68).Str("text");
  seeds.Add(Prefixed({2}, options.bytes));
}

// What our integrator server answers: one item per problem variable in
// order, the sensitivity items flagged, in batches of 32.
void SensitivityTransfers(const fs::path& root) {
  SeedFolder seeds(root, "sensitivity_transfer");
  for (const auto& [shape, variables] :
       std::vector<std::pair<std::uint8_t, std::uint8_t>>{{0x01, 3}, {0x56, 40}, {0xCB, 7}}) {
    vantor_fuzz::SensitivityAnswers answers;
    answers.shape = shape;
    answers.variables = variables;
    for (std::uint8_t i = 0; i < variables; i += 32) {
      vantor_fuzz::SensitivityBatch batch;
      for (std::uint8_t k = i; k < variables && k < i + 32; ++k) {
        batch.items.emplace_back(static_cast<std::uint8_t>(k % 2 == 0 ? 1 : 0), k);
      }
      batch.next_result = batch.items.size() < 32 ? 1 : 0;
      answers.batches.push_back(batch);
    }
    seeds.Add(answers.Encode());
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vantor_fuzz_seeds FOLDER\n");
    return 2;
  }
  const fs::path root = fs::absolute(argv[1]);
  ObjectGraphs(root);
  TypedValues(root);
  PackedValues(root);
  PrinterFormats(root);
  TreeTransfer(root);
  RegistryFiles(root);
  LibraryFiles(root);
  SearchEntries(root);
  AclAttributes(root);
  ProcessConfigurations(root);
  FileRequests(root);
  ReceiveStack(root);
  ClientCommandLines(root);
  EngineCommandLines(root);
  InstanceItems(root);
  ProcDefinitions(root);
  SnapshotFiles(root);
  PlotFiles(root);
  SnapshotTexts(root);
  ResultsFiles(root);
  ResultsItems(root);
  ResultsUse(root);
  PlotReportRequests(root);
  DelayHistories(root);
  Expressions(root);
  ActionRequests(root);
  MonitorRequests(root);
  PropertyRequests(root);
  PropertyIdReads(root);
  PropertyFiles(root);
  InstanceRequests(root);
  LibraryRequests(root);
  OldExpressions(root);
  PartitionRequests(root);
  ClientCommands(root);
  ProblemRequests(root);
  BuildOutputs(root);
  ProcFilesRequests(root);
  MakeSearches(root);
  SensitivityRequests(root);
  EstimationRequests(root);
  OptimisationRequests(root);
  SensitivityTransfers(root);
  HomotopyRequests(root);
  CdiRequests(root);
  SaxRequests(root);
  return 0;
}
