// Snapshot use: comparing a snapshot's use data with the problem, the
// staged and client assignments, and the use requests and commands against
// the run's own file and another one, whose other snapshots must survive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "framework/messaging/message.h"
#include "results/manager/results_mgr.h"
#include "results/snapshots/snap_import.h"
#include "results/use/use_mgr.h"
#include "tests/framework/message_helpers.h"
#include "tests/results/results_mgr_fakes.h"
#include "tests/results/snapshot_fakes.h"
#include "tests/results/snapshot_text_fakes.h"

namespace {

using resultstest::FakeProblem;
using resultstest::FakeVariable;
using testsupport::Bytes;

// Reads a reply body as the client does.
class ReplyReader {
 public:
  explicit ReplyReader(const Bytes& bytes) : bytes_(bytes) {}
  template <typename T>
  T Get() {
    T value{};
    if (at_ + sizeof(T) > bytes_.size()) {
      ok_ = false;
      return value;
    }
    std::memcpy(&value, bytes_.data() + at_, sizeof(T));
    at_ += sizeof(T);
    return value;
  }
  std::string Text() {
    // The length counts the closing NUL.
    const std::uint32_t low = Get<std::uint8_t>();
    const std::uint32_t middle = Get<std::uint8_t>();
    const std::uint32_t length = low | (middle << 8) | (Get<std::uint8_t>() << 16);
    if (length == 0 || at_ + length > bytes_.size()) {
      ok_ = false;
      return {};
    }
    std::string text(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                     bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + length - 1));
    at_ += length;
    return text;
  }
  Bytes Rest() const { return Bytes(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), bytes_.end()); }
  bool ok() const { return ok_; }

 private:
  const Bytes& bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

class UseProblem : public FakeProblem {
 public:
  explicit UseProblem(std::vector<std::string> names) : FakeProblem(names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      variables.push_back(std::make_unique<FakeVariable>("Plant." + names[i],
                                                         static_cast<std::int32_t>(i), 0.0));
      by_index[static_cast<std::int32_t>(i)] = variables.back().get();
    }
  }
  bool RunActive() override { return running; }
  void NotifyDelayManager() override { ++delay_notices; }
  void AddRequestBits(std::uint32_t bits) override { request_bits |= bits; }
  void SetRestartTime(double time) override { restart_time = time; }
  FakeVariable& Var(std::size_t i) { return *variables[i]; }

  std::vector<std::unique_ptr<FakeVariable>> variables;
  bool running = false;
  int delay_notices = 0;
  std::uint32_t request_bits = 0;
  double restart_time = -1;
};

class SnapshotUse : public snaptest::SnapshotFolder {
 protected:
  Status Command(SimResultsMgr& manager, std::uint32_t number, std::vector<const char*> strings,
                 std::vector<std::int32_t> integers) {
    return manager.HandleCommand(55, number, static_cast<std::uint32_t>(strings.size()),
                                 strings.data(), static_cast<std::uint32_t>(integers.size()),
                                 integers.data(), 0, nullptr);
  }
  // The request as received; its reply body (empty when none) and status.
  static Bytes Request(SimResultsMgr& manager, DseMessage& sent, Status* result) {
    auto request = testsupport::Received(sent);
    DseMessage* reply = nullptr;
    DseTemplate* kept = nullptr;
    *result = manager.HandleRequest(55, request.get(), &reply, &kept);
    delete kept;
    if (reply == nullptr) return {};
    Bytes bytes = testsupport::BodyOf(*reply);
    delete reply;
    return bytes;
  }
  static std::uint32_t Take(SimResultsMgr& manager, const char* name, double time) {
    manager.AfterRunStep(time, 1, 1, RunResultsSeam::kStepEvent, time, 1e-9, false);
    std::uint32_t id = 0;
    EXPECT_EQ(manager.TakeNamedSnapshot(name, &id, true, false), 0u);
    return id;
  }
  // The names of the live snapshots of a file, newest first.
  static std::vector<std::string> Names(const char* file) {
    SputSnapshotMgr store;
    std::vector<std::string> names;
    if (status::IsFailure(store.OpenFile(file, nullptr, false))) return names;
    for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
         h = SputSnapshotMgr::NextHeader(h))
      names.emplace_back(h->name);
    return names;
  }
  // The listing of a file as request 19 writes it.
  static Bytes Listing(const char* file) {
    SputSnapshotMgr store;
    DseMessage out(55, DseMessage::kRequest);
    if (status::IsFailure(store.OpenFile(file, nullptr, false))) return {};
    store.ListSnapshots(&out);
    return testsupport::BodyOf(out);
  }
};

TEST(UseMasks, FlagBitsSelectSpecifications) {
  EXPECT_EQ(SputUseMgr::MaskOf(0x1), 36u);
  EXPECT_EQ(SputUseMgr::MaskOf(0x2), 17u);
  EXPECT_EQ(SputUseMgr::MaskOf(0x3), 53u);
  EXPECT_EQ(SputUseMgr::MaskOf(0x4), 2u);
  EXPECT_EQ(SputUseMgr::MaskOf(0x8), 64u);
  EXPECT_EQ(SputUseMgr::MaskOf(0xF), 119u);
  EXPECT_EQ(SputUseMgr::MaskOf(0x0), 0u);
}

// A use-data tree and value table handed to the use manager directly.
class ApplyUseData : public SnapshotUse {
 protected:
  ApplyUseData() : problem_({"a", "b", "c", "d", "e", "f", "g"}), manager_(&problem_) {
    tree_ = new BvuDirectoryProper(nullptr, "");
    const char* names[] = {".a", ".b", ".c", ".d", ".e", ".f", ".g"};
    for (std::uint32_t i = 0; i < 7; ++i) snaptext::AddUseData(tree_, {"Plant", names[i]}, i, 4);
    snaptext::AddReal(values_, 50.0);                                   // a: above its bound
    snaptext::AddTyped(values_, SUValue::kInteger, 7, nullptr);         // b
    snaptext::AddTyped(values_, SUValue::kString, 0, "new text");       // c
    snaptext::AddReal(values_, 2.0);                                    // d: structural
    snaptext::AddTyped(values_, SUValue::kIntSet, 0, nullptr);          // e: a set
    snaptext::AddTyped(values_, SUValue::kString, 0, "not a real");     // f: type mismatch
    snaptext::AddReal(values_, 3.0);                                    // g: unchanged
    for (std::int32_t i = 0; i < values_.Count(); ++i) values_.Record(i).attribute = 4;
    values_.Record(0).flags = 0x100;

    problem_.Var(0).upper = 10.0;
    problem_.Var(1).typed.SetType(SUValue::kInteger);
    problem_.Var(1).typed.SetInt(3);
    problem_.Var(2).typed.SetType(SUValue::kString);
    problem_.Var(2).typed.SetString("old text");
    problem_.Var(3).SetValue(1.0);
    problem_.Var(3).flags = AssignableVariable::kStructuralBit;
    problem_.Var(4).typed.SetType(SUValue::kIntSet);
    problem_.Var(4).typed.MakeIntRange(1, 2);
    problem_.Var(6).SetValue(3.0);
    problem_.options[74] = 1e-6;
    use().SetTree(tree_);
    use().SetValues(&values_);
  }
  SputUseMgr& use() { return manager_.UseMgr(); }

  UseProblem problem_;
  SimResultsMgr manager_;
  BvuDirectoryProper* tree_;
  SUPackedValueTable values_;
};

TEST_F(ApplyUseData, ValuesAreComparedByTypeClippedAndStructuralOnesReported) {
  // A flag byte without a current mask does nothing, not even look.
  use().SetValues(nullptr);
  EXPECT_EQ(use().ApplyUseData(&manager_, SputUseMgr::kNoId, 0x0F, "", "", "", true), 0u);
  EXPECT_EQ(use().ApplyUseData(&manager_, SputUseMgr::kNoId, 0xFF, "", "", "", true), 0xA000FFFFu);
  use().SetValues(&values_);

  ASSERT_EQ(use().ApplyUseData(&manager_, SputUseMgr::kNoId, 0xFF, "", "", "", true), 0u);
  const auto& staged = manager_.Staged();
  ASSERT_EQ(staged.size(), 4u);
  EXPECT_EQ(staged[0]->variable, &problem_.Var(0));
  EXPECT_EQ(staged[0]->kind, 24u);
  EXPECT_EQ(staged[0]->real, 10.0);  // clipped to the upper bound
  EXPECT_EQ(staged[0]->pattern, 0x100u);
  EXPECT_EQ(staged[0]->mask, SputUseMgr::kAssignMask);
  EXPECT_EQ(staged[1]->kind, 4u);
  EXPECT_EQ(staged[1]->typed.payload.integer, 7);
  EXPECT_EQ(staged[1]->mask, 0u);  // a fresh flag word: no flags to set
  EXPECT_EQ(staged[2]->kind, 68u);
  EXPECT_STREQ(staged[2]->typed.GetString(), "new text");
  EXPECT_EQ(staged[3]->kind, 255u);
  EXPECT_EQ(staged[3]->variable, &problem_.Var(4));
  ASSERT_EQ(manager_.ReplyItems().size(), 1u);
  EXPECT_EQ(manager_.ReplyItems()[0]->variable, &problem_.Var(3));
  EXPECT_EQ(manager_.ReplyItems()[0]->real, 2.0);
  ASSERT_EQ(problem_.printed.size(), 1u);
  EXPECT_EQ(problem_.printed[0], "Structural parameter Plant.d will change from 1 to 2");

  // Within option 74 a structural parameter counts as unchanged.
  problem_.options[74] = 5.0;
  problem_.printed.clear();
  ASSERT_EQ(use().ApplyUseData(&manager_, SputUseMgr::kNoId, 0xFF, "", "", "", true), 0u);
  EXPECT_TRUE(problem_.printed.empty());
}

TEST_F(ApplyUseData, MasksFiltersAndSpecifications) {
  // The records say Fixed (4): a snapshot mask of Initial alone takes none.
  ASSERT_EQ(use().ApplyUseData(&manager_, SputUseMgr::kNoId, 0xF4, "", "", "", true), 0u);
  EXPECT_TRUE(manager_.Staged().empty());
  // A structural parameter's specification counts as 64.
  ASSERT_EQ(use().ApplyUseData(&manager_, SputUseMgr::kNoId, 0x81, "", "", "", true), 0u);
  ASSERT_EQ(manager_.Staged().size() + manager_.ReplyItems().size(), 1u);
  EXPECT_EQ(manager_.ReplyItems()[0]->variable, &problem_.Var(3));

  // A filter starting with a blank compares the two start nodes alone.
  manager_.HandleCommand(55, 22, 0, nullptr, 0, nullptr, 0, nullptr);
  problem_.printed.clear();
  ASSERT_EQ(use().ApplyUseData(&manager_, SputUseMgr::kNoId, 0x11, "Plant.a", " ", "Plant.a",
                               true),
            0u);
  ASSERT_EQ(manager_.Staged().size(), 1u);
  EXPECT_EQ(manager_.Staged()[0]->variable, &problem_.Var(0));
  EXPECT_NE(use().ApplyUseData(&manager_, SputUseMgr::kNoId, 0x11, "Plant.nothing", "", "", true),
            0u);

  // Specifications: a plain variable whose code differs gets kind 2; typed
  // ones are not plain variables.
  manager_.HandleCommand(55, 22, 0, nullptr, 0, nullptr, 0, nullptr);
  for (auto& v : problem_.variables) v->specification = 1;
  problem_.Var(3).flags = 0;
  ASSERT_EQ(use().ApplyUseData(&manager_, SputUseMgr::kNoId, 0xFF, "", "", "", false), 0u);
  std::vector<std::string> names;
  for (const auto& item : manager_.Staged()) {
    EXPECT_EQ(item->kind, 2u);
    EXPECT_EQ(item->word, 4u);
    names.push_back(item->variable->Name());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Plant.a", "Plant.d", "Plant.f", "Plant.g"}));
}

TEST_F(ApplyUseData, AnArrayPairsItsElementsAndSkipsResetIndices) {
  auto* tree = new BvuDirectoryProper(nullptr, "");
  SimUseData* array = snaptext::AddUseData(tree, {"Plant", ".a"}, SimUseData::kArray, 4);
  array->elements = {0, SimUseData::kArray};
  use().SetTree(tree);
  BvuDirectoryProper* model = problem_.VariableTree();
  auto* node = static_cast<SimUseData*>(snaptext::ChildNamed(snaptext::ChildNamed(model, "Plant"), ".a"));
  node->variable_index = SimUseData::kArray;
  node->elements = {6, 0};
  ASSERT_EQ(use().ApplyUseData(&manager_, SputUseMgr::kNoId, 0x11, "", "", "", true), 0u);
  // Record 0 (50) goes to variable 6 clipped by its own (wide) bounds.
  ASSERT_EQ(manager_.Staged().size(), 1u);
  EXPECT_EQ(manager_.Staged()[0]->variable, &problem_.Var(6));
  EXPECT_EQ(manager_.Staged()[0]->real, 50.0);
}

TEST_F(SnapshotUse, ClientAssignmentsQueueOrSetAndAreListed) {
  UseProblem problem({"a", "b"});
  SimResultsMgr manager(&problem);
  auto* tree = new BvuDirectoryProper(nullptr, "");
  snaptext::AddUseData(tree, {"Plant", ".a"}, 0, 4);
  snaptext::AddUseData(tree, {"Plant", ".b"}, 1, 4);
  SUPackedValueTable values;
  snaptext::AddReal(values, 5.0);
  snaptext::AddReal(values, 6.0);
  values.Record(0).attribute = values.Record(1).attribute = 4;
  manager.UseMgr().SetTree(tree);
  manager.UseMgr().SetValues(&values);
  problem.Var(1).flags = AssignableVariable::kFixedBit;
  ASSERT_EQ(manager.UseMgr().ApplyUseData(&manager, SputUseMgr::kNoId, 0x11, "", "", "", true), 0u);
  ASSERT_EQ(manager.Staged().size(), 2u);
  EXPECT_EQ(Command(manager, 21, {}, {}), 0u);
  EXPECT_TRUE(manager.Staged().empty());
  EXPECT_EQ(manager.ClientAssignments().size(), 2u);
  EXPECT_EQ(problem.delay_notices, 1);

  DseMessage list(55, DseMessage::kRequest);
  list.PutUInt16(25);
  Status s = 1;
  const Bytes reply = Request(manager, list, &s);
  ASSERT_EQ(s, 0u);
  ReplyReader r(reply);
  EXPECT_EQ(r.Get<std::uint16_t>(), 25);
  EXPECT_EQ(r.Get<std::uint32_t>(), 2u);
  EXPECT_EQ(r.Get<std::uint8_t>(), 24);
  EXPECT_EQ(r.Get<double>(), 5.0);
  r.Get<std::uint32_t>();
  r.Get<std::uint32_t>();
  EXPECT_EQ(r.Text(), "Plant.a");
  EXPECT_EQ(r.Get<std::uint16_t>(), 0);
  EXPECT_EQ(r.Get<std::uint8_t>(), 24);
  EXPECT_EQ(r.Get<double>(), 6.0);
  r.Get<std::uint32_t>();
  r.Get<std::uint32_t>();
  EXPECT_EQ(r.Text(), "Plant.b");
  EXPECT_EQ(r.Get<std::uint16_t>(), AssignableVariable::kFixedBit);
  EXPECT_TRUE(r.ok());
  EXPECT_TRUE(r.Rest().empty());

  // Without a value table the reals are set at once.
  EXPECT_EQ(Command(manager, 23, {}, {}), 0u);
  EXPECT_TRUE(manager.ClientAssignments().empty());
  EXPECT_EQ(problem.Var(0).Value(), 5.0);
  EXPECT_EQ(problem.Var(1).Value(), 6.0);
  EXPECT_EQ(problem.request_bits, 4096u);
  EXPECT_EQ(manager.QueuedCount(), 0u);

  // With one they are queued for the next step, structural ones left out.
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(2, problem.Values({0, 0}), &at, false, false), 0u);
  manager.UseMgr().SetTree(nullptr);
  manager.UseMgr().SetValues(&values);
  problem.Var(0).SetValue(0);
  problem.Var(1).SetValue(0);
  problem.Var(1).flags = AssignableVariable::kStructuralBit;
  ASSERT_EQ(manager.UseMgr().ApplyUseData(&manager, SputUseMgr::kNoId, 0xFF, "", "", "", true), 0u);
  EXPECT_EQ(manager.Staged().size(), 1u);
  EXPECT_EQ(manager.ReplyItems().size(), 1u);
  EXPECT_EQ(Command(manager, 21, {}, {}), 0u);
  EXPECT_EQ(Command(manager, 23, {}, {}), 0u);
  EXPECT_EQ(manager.QueuedCount(), 1u);
  EXPECT_EQ(problem.Var(0).Value(), 0.0);
  EXPECT_EQ(manager.RestoreTable(), nullptr);
  // While a step computes the problem is the run thread's: taking and
  // applying wait (busy), and nothing changes.
  problem.running = true;
  ASSERT_EQ(manager.UseMgr().ApplyUseData(&manager, SputUseMgr::kNoId, 0x11, "", "", "", true), 0u);
  EXPECT_EQ(Command(manager, 21, {}, {}), SimResultsMgr::kBusy);
  EXPECT_EQ(Command(manager, 23, {}, {}), SimResultsMgr::kBusy);
  EXPECT_EQ(Command(manager, 24, {}, {}), SimResultsMgr::kBusy);
  EXPECT_EQ(manager.QueuedCount(), 1u);
  EXPECT_EQ(manager.Staged().size(), 1u);
  EXPECT_EQ(problem.Var(0).Value(), 0.0);
  problem.running = false;
  // Command 24 releases them; 22 the staged ones.
  ASSERT_EQ(manager.UseMgr().ApplyUseData(&manager, SputUseMgr::kNoId, 0x11, "", "", "", true), 0u);
  EXPECT_EQ(Command(manager, 21, {}, {}), 0u);
  EXPECT_EQ(Command(manager, 24, {}, {}), 0u);
  EXPECT_TRUE(manager.ClientAssignments().empty());
  EXPECT_EQ(Command(manager, 22, {}, {}), 0u);
}

// A second file with two snapshots, made by another run of the same
// problem; the run's own file holds one.
class UseOfAnotherFile : public SnapshotUse {
 protected:
  void SetUp() override {
    {
      UseProblem other({"a", "b"});
      SimResultsMgr maker(&other);
      RunPosition at;
      ASSERT_EQ(maker.OpenSnapshotFile(2, other.Values({10, 20}), &at, false, false), 0u);
      for (std::int32_t i = 0; i < 2; ++i) maker.Values()->Record(i).attribute = 4;
      first_ = Take(maker, "first", 1.0);
      maker.Values()->Record(0).payload.real = 11;
      second_ = Take(maker, "second", 2.0);
      maker.Store().Clear(true);
    }
    std::filesystem::rename("snapshot.snp", "other.snp");
    RunPosition at;
    ASSERT_EQ(manager_.OpenSnapshotFile(2, problem_.Values({1, 2}), &at, false, false), 0u);
    own_ = Take(manager_, "own", 0.5);
  }
  Bytes Use(std::uint16_t number, std::vector<std::string> strings, std::vector<std::uint32_t> words,
            Status* s) {
    DseMessage sent(55, DseMessage::kRequest);
    sent.PutUInt16(number);
    if (number == 20 || number == 146) {
      sent.PutUInt32(words[0]);
      sent.PutUInt16(static_cast<std::uint16_t>(words[1]));
      words.clear();
    }
    for (const auto& text : strings) sent.PutString(text.c_str());
    for (std::uint32_t w : words) sent.PutUInt16(static_cast<std::uint16_t>(w));
    return Request(manager_, sent, s);
  }

  UseProblem problem_{{"a", "b"}};
  SimResultsMgr manager_{&problem_};
  std::uint32_t first_ = 0;
  std::uint32_t second_ = 0;
  std::uint32_t own_ = 0;
};

TEST_F(UseOfAnotherFile, TheUseSequenceAppliesValuesAndLeavesTheFileWhole) {
  const Bytes listing = Listing("other.snp");
  ASSERT_FALSE(listing.empty());
  Status s = 1;
  Bytes reply = Use(30, {"x", "other.snp"}, {}, &s);
  ASSERT_EQ(s, 0u);
  EXPECT_EQ(Bytes(reply.begin() + 2, reply.end()), listing);
  EXPECT_EQ(reply[0], 30);
  reply = Use(138, {"other.snp"}, {}, &s);
  ASSERT_EQ(s, 0u);
  EXPECT_EQ(reply[0], 138);
  EXPECT_EQ(Bytes(reply.begin() + 2, reply.end()), listing);

  // Listing another file leaves the chosen one chosen.
  reply = Use(20, {"", "", ""}, {first_, 0x11}, &s);
  ASSERT_EQ(s, 0u);
  ReplyReader r(reply);
  EXPECT_EQ(r.Get<std::uint16_t>(), 20);
  EXPECT_EQ(r.Get<std::uint32_t>(), 2u);
  EXPECT_EQ(r.Get<std::uint32_t>(), 0u);
  EXPECT_TRUE(r.Rest().empty());
  ASSERT_EQ(manager_.Staged().size(), 2u);
  EXPECT_EQ(manager_.Staged()[0]->real, 10.0);
  EXPECT_EQ(manager_.Staged()[1]->real, 20.0);

  // Specifications: b is Free (1) now, Fixed (4) in the snapshot.
  problem_.Var(1).specification = 1;
  reply = Use(146, {"", "", ""}, {second_, 0x33}, &s);
  ASSERT_EQ(s, 0u);
  ReplyReader spec(reply);
  EXPECT_EQ(spec.Get<std::uint16_t>(), 20) << "one form for both requests";
  EXPECT_EQ(spec.Get<std::uint32_t>(), 1u);
  EXPECT_EQ(spec.Text(), "Plant.b");
  EXPECT_EQ(spec.Get<std::uint32_t>(), 0u);

  // A structural parameter is a reply item, written as an assignment.
  problem_.Var(1).flags = AssignableVariable::kStructuralBit;
  reply = Use(20, {"", "", ""}, {second_, 0xFF}, &s);
  ASSERT_EQ(s, 0u);
  ReplyReader items(reply);
  items.Get<std::uint16_t>();
  EXPECT_EQ(items.Get<std::uint32_t>(), 1u);
  EXPECT_EQ(items.Get<std::uint32_t>(), 1u);
  EXPECT_EQ(items.Get<std::uint8_t>(), 24);
  EXPECT_EQ(items.Get<double>(), 20.0);
  items.Get<std::uint32_t>();
  items.Get<std::uint32_t>();
  EXPECT_EQ(items.Text(), "Plant.b");
  EXPECT_TRUE(items.ok());
  EXPECT_TRUE(items.Rest().empty());
  problem_.Var(1).flags = 0;
  problem_.Var(1).specification = 4;

  // 21 and 23 queue the values of "second" for the next step.
  Use(20, {"", "", ""}, {second_, 0x11}, &s);
  EXPECT_EQ(Command(manager_, 21, {}, {}), 0u);
  EXPECT_EQ(Command(manager_, 23, {}, {}), 0u);
  EXPECT_EQ(manager_.QueuedCount(), 2u);
  bool restart = false;
  bool changed = false;
  manager_.ApplyAssignments(&restart, &changed, 0.5);
  EXPECT_EQ(problem_.Var(0).Value(), 11.0);
  EXPECT_EQ(problem_.Var(1).Value(), 20.0);

  // 106 ends the use; 108 chooses again without a list; 110 sends a
  // snapshot and deletes nothing.
  reply = Use(106, {}, {}, &s);
  EXPECT_EQ(s, 0u);
  EXPECT_TRUE(reply.empty());
  reply = Use(108, {"x", "other.snp"}, {}, &s);
  EXPECT_EQ(reply, (Bytes{108, 0}));
  reply = Use(110, {"x", "other.snp"}, {second_}, &s);
  ASSERT_EQ(s, 0u);
  ReplyReader sent(reply);
  EXPECT_EQ(sent.Get<std::uint16_t>(), 110);
  EXPECT_EQ(sent.Get<std::uint32_t>(), second_);
  EXPECT_EQ(sent.Text(), "second");
  EXPECT_TRUE(sent.ok());
  EXPECT_EQ(Names("other.snp"), (std::vector<std::string>{"second", "first"}));
  EXPECT_EQ(Listing("other.snp"), listing);

  // 107 deletes one snapshot of the file, 109 keeps another: the rest stay.
  EXPECT_EQ(Command(manager_, 107, {}, {static_cast<std::int32_t>(first_)}), status::kBadArguments);
  EXPECT_EQ(Command(manager_, 109, {"other.snp"}, {static_cast<std::int32_t>(second_)}),
            status::kBadArguments);
  EXPECT_EQ(Names("other.snp").size(), 2u);
  EXPECT_EQ(Command(manager_, 107, {"other.snp"}, {static_cast<std::int32_t>(first_)}), 0u);
  EXPECT_EQ(Names("other.snp"), (std::vector<std::string>{"second"}));
  EXPECT_EQ(Command(manager_, 109, {"other.snp", "kept"}, {static_cast<std::int32_t>(second_)}),
            0u);
  EXPECT_EQ(Names("other.snp"), (std::vector<std::string>{"kept"}));
  // The run's own file is untouched by all of it.
  EXPECT_EQ(Names("snapshot.snp"), (std::vector<std::string>{"own"}));
  // Only once its last snapshot went is the file removed.
  EXPECT_EQ(Command(manager_, 107, {"other.snp"}, {static_cast<std::int32_t>(second_)}), 0u);
  EXPECT_FALSE(Exists("other.snp"));
}

TEST_F(UseOfAnotherFile, EmptyNamesFallBackToTheOwnFileAndBadRequestsAnswerNothing) {
  Status s = 1;
  Bytes reply = Use(30, {"x", ""}, {}, &s);
  ASSERT_EQ(s, 0u);
  EXPECT_EQ(Bytes(reply.begin() + 2, reply.end()), Listing("snapshot.snp"));
  EXPECT_TRUE(manager_.UseMgr().OwnFile());
  reply = Use(20, {"", "", ""}, {own_, 0x11}, &s);
  ASSERT_EQ(s, 0u);
  EXPECT_EQ(manager_.Staged().size(), 0u);  // the own values are the problem's

  // Request 33 reads a snapshot of the own file into the restore table.
  reply = Use(33, {}, {own_}, &s);
  ASSERT_EQ(s, 0u);
  ReplyReader r(reply);
  EXPECT_EQ(r.Get<std::uint16_t>(), 33);
  EXPECT_EQ(r.Get<std::uint32_t>(), own_);
  EXPECT_EQ(r.Text(), "own");
  r.Text();
  r.Get<std::uint32_t>();
  r.Get<std::uint32_t>();
  EXPECT_EQ(r.Get<double>(), 0.5);
  EXPECT_TRUE(r.ok());

  // Unknown files, ids and cut bodies: a failure and no reply.
  reply = Use(30, {"x", "missing.snp"}, {}, &s);
  EXPECT_TRUE(status::IsFailure(s));
  EXPECT_TRUE(reply.empty());
  reply = Use(138, {}, {}, &s);
  EXPECT_TRUE(status::IsFailure(s));
  reply = Use(33, {}, {}, &s);
  EXPECT_TRUE(status::IsFailure(s));
  EXPECT_TRUE(reply.empty());
  reply = Use(110, {"x", "other.snp"}, {9999}, &s);
  EXPECT_TRUE(status::IsFailure(s));
  EXPECT_TRUE(reply.empty());
  // A failed comparison still answers kind 20 with two empty counts, and
  // the log says why.
  problem_.printed.clear();
  for (std::uint16_t number : {20, 146}) {
    reply = Use(number, {"", "", ""}, {9999, 0x11}, &s);
    EXPECT_EQ(s, 0u);
    EXPECT_EQ(reply, (Bytes{20, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  }
  ASSERT_EQ(problem_.printed.size(), 2u);
  EXPECT_EQ(problem_.printed[0], "Snapshot 9999 could not be compared with the problem");
  EXPECT_EQ(Names("other.snp").size(), 2u);

  // A file whose snapshots were all freed is listed, chosen and left, never
  // deleted: only deleting its last snapshot by command 107 removes it.
  {
    SputSnapshotMgr store;
    ASSERT_EQ(store.OpenFile("other.snp", nullptr, false), 0u);
    ASSERT_EQ(store.DeleteSnapshot(first_), 0u);
    ASSERT_EQ(store.DeleteSnapshot(second_), 0u);
    store.CloseFile();
  }
  reply = Use(138, {"other.snp"}, {}, &s);
  EXPECT_EQ(s, 0u);
  Use(30, {"x", "other.snp"}, {}, &s);
  Use(106, {}, {}, &s);
  EXPECT_EQ(Command(manager_, 109, {"other.snp", "k"}, {static_cast<std::int32_t>(first_)}),
            snapshot::kUnknownId);
  EXPECT_TRUE(Exists("other.snp"));
}

TEST_F(SnapshotUse, AllCompactsEveryReadableFileAndDeletesNone) {
  UseProblem problem({"a", "b"});
  {
    SimResultsMgr maker(&problem);
    RunPosition at;
    ASSERT_EQ(maker.OpenSnapshotFile(2, problem.Values({1, 2}), &at, false, false), 0u);
    for (int k = 1; k <= 4; ++k) Take(maker, snaptest::SnapName(k).c_str(), k);
    maker.DeleteSnapshot(2);
    maker.Store().Clear(true);
  }
  std::filesystem::copy_file("snapshot.snp", "snp_0001.snp");
  std::filesystem::copy_file("snapshot.snp", "SNP_0002.snp");
  std::filesystem::copy_file("snapshot.snp", "all");
  const auto full = std::filesystem::file_size("snapshot.snp");
  WriteAll("snp_0003.snp", {1, 2, 3});  // unreadable
  Bytes newer = ReadAll("snapshot.snp");
  snaptest::PutLE32(&newer, 0, 9);  // a version this engine cannot read
  WriteAll("snp_0004.snp", newer);
  std::filesystem::create_directory("snp_dir.snp");

  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(2, problem.Values({1, 2}), &at, true, false), 0u);
  EXPECT_TRUE(status::IsFailure(Command(manager, 128, {"All"}, {})));  // the last file failed
  for (const char* name : {"snapshot.snp", "snp_0001.snp", "SNP_0002.snp"}) {
    EXPECT_LT(std::filesystem::file_size(name), full) << name;
    EXPECT_EQ(Names(name).size(), 3u) << name;
  }
  EXPECT_EQ(ReadAll("snp_0003.snp"), (Bytes{1, 2, 3}));
  EXPECT_EQ(ReadAll("snp_0004.snp"), newer);
  EXPECT_EQ(std::filesystem::file_size("all"), full);
  EXPECT_TRUE(manager.Store().IsOpen());
  EXPECT_EQ(problem.printed.front(), "Compressing snapshot files: ");
  EXPECT_NE(std::find(problem.printed.begin(), problem.printed.end(),
                      "  File snp_0001.snp compressed."),
            problem.printed.end());
  // "all" in lower case names a file.
  EXPECT_TRUE(status::IsSuccess(Command(manager, 128, {"all"}, {})));
  EXPECT_LT(std::filesystem::file_size("all"), full);
}

TEST_F(SnapshotUse, ImportsBecomeTheUseTreeOrANewFile) {
  UseProblem problem({"a", "b"});
  SimResultsMgr manager(&problem);
  SputSSBlockHeader header;
  header.SetName("imported");
  header.flags = 0x80000000u | 1000u;
  SUPackedValueTable values;
  snaptext::AddReal(values, 4.0);
  snaptext::AddReal(values, 5.0);
  BvuDirectoryProper tree(nullptr, "");
  snaptext::AddUseData(&tree, {"Plant", ".a"}, 0, 4);
  snaptext::AddUseData(&tree, {"Plant", ".b"}, 1, 4);
  DseMessage sent(55, DseMessage::kRequest);
  sent.PutUInt16(38);
  ASSERT_EQ(SputSnapImport::Write(sent, {&header}, {&values}, &tree), 0u);
  Status s = 1;
  EXPECT_TRUE(Request(manager, sent, &s).empty());
  ASSERT_EQ(s, 0u);
  ASSERT_NE(manager.UseMgr().Tree(), nullptr);
  ASSERT_NE(manager.RestoreTable(), nullptr);
  EXPECT_EQ(manager.RestoreTable()->Record(1).payload.real, 5.0);
  BvuDirectoryProper::DeleteBelow(&tree);

  // 116 writes a new file under a free name, never over one.
  DseMessage file(55, DseMessage::kRequest);
  file.PutUInt16(116);
  BvuDirectoryProper again(nullptr, "");
  snaptext::AddUseData(&again, {"Plant", ".a"}, 0, 4);
  ASSERT_EQ(SputSnapImport::Write(file, {&header}, {&values}, &again), 0u);
  BvuDirectoryProper::DeleteBelow(&again);
  const char* next = manager.Store().NextFileName();
  const std::string taken = next;
  WriteAll(taken, {7});
  Request(manager, file, &s);
  EXPECT_TRUE(status::IsSuccess(s)) << std::hex << s;
  EXPECT_EQ(ReadAll(taken), (Bytes{7}));
  std::size_t made = 0;
  for (const auto& entry : std::filesystem::directory_iterator("."))
    if (Names(entry.path().filename().c_str()) == std::vector<std::string>{"imported"}) ++made;
  EXPECT_EQ(made, 1u);
}

// A version-1 file: its structure record names its types in the old codes.
TEST_F(SnapshotUse, AnOldFilesTreeIsTranslatedWhenChosen) {
  BvuDirectoryProper tree(nullptr, "");
  SimUseData* x = snaptext::AddUseData(&tree, {"Plant", ".a"}, 0, 4);
  SimUseData* y = snaptext::AddUseData(&tree, {"Plant", ".b"}, SimUseData::kArray, 4);
  x->type = 3;   // a real, in the old codes
  y->type = 11;
  y->elements = {1, 2};
  DseMessage structure(55, DseMessage::kRequest);
  ASSERT_EQ(WriteUseDataTree(&tree, structure), 0u);
  BvuDirectoryProper::DeleteBelow(&tree);
  Bytes record;
  ASSERT_EQ(snapshot::EncodeStructureRecord(1000, &structure, &record), 0u);
  // Version 1, one record (GCC 12 warns wrongly on an insert into a vector
  // of 8 bytes: room is made first).
  Bytes file;
  file.reserve(1024);
  for (std::uint8_t b : {1, 0, 0, 0, 1, 0, 0, 0}) file.push_back(b);
  snaptest::AppendBytes(&file, record);
  const auto header = [&](std::uint32_t length, std::uint32_t flags, const char* name) {
    Bytes h(snapshot::kHeaderSizeV1, 0);
    snaptest::PutLE32(&h, 0, static_cast<std::uint32_t>(file.size()));
    snaptest::PutLE32(&h, 4, length);
    snaptest::PutLE32(&h, 40, flags);
    std::memcpy(h.data() + 44, name, std::strlen(name));
    snaptest::AppendBytes(&file, h);
  };
  header(snapshot::kHeaderSizeV1 + 4, snapshot::kLiveFlag | 5, "old one");
  snaptest::AppendBytes(&file, Bytes{0, 0, 0, 0});
  header(0, 0, "EOF");
  WriteAll("old.snp", file);

  UseProblem problem({"a", "b"});
  SimResultsMgr manager(&problem);
  RunPosition at;
  ASSERT_EQ(manager.OpenSnapshotFile(2, problem.Values({1, 2}), &at, false, false), 0u);
  DseMessage choose(55, DseMessage::kRequest);
  choose.PutUInt16(30);
  choose.PutString("x");
  choose.PutString("old.snp");
  Status s = 1;
  const Bytes reply = Request(manager, choose, &s);
  ASSERT_EQ(s, 0u);
  EXPECT_FALSE(reply.empty());
  BvuDirectoryProper* read = manager.UseMgr().Tree();
  ASSERT_NE(read, nullptr);
  BvuDirectoryNode* plant = snaptext::ChildNamed(read, "Plant");
  ASSERT_NE(plant, nullptr);
  auto* a = static_cast<SimUseData*>(snaptext::ChildNamed(plant, ".a"));
  auto* b = static_cast<SimUseData*>(snaptext::ChildNamed(plant, ".b"));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->type, 4);
  EXPECT_EQ(b->type, 16);
  EXPECT_EQ(b->elements, (std::vector<std::uint32_t>{SimUseData::kArray, SimUseData::kArray}));
  // The run's own file keeps its structure: its event tree was not taken.
  EXPECT_EQ(manager.Store().Version(), snapshot::kCurrentVersion);
}

}  // namespace
