// Result templates on id-path lists and the client's set-item through the
// results manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/directory/id_path.h"
#include "framework/messaging/message.h"
#include "results/manager/result_items.h"
#include "results/manager/results_mgr.h"
#include "tests/framework/message_helpers.h"
#include "tests/results/quiet_result_object.h"
#include "tests/results/results_mgr_fakes.h"
#include "tests/results/snapshot_fakes.h"

namespace {

using resultstest::FakeProblem;
using testsupport::Bytes;

class FakeObject : public QuietResultObject {
 public:
  FakeObject(std::string name, bool variable, SUValue value)
      : name_(std::move(name)), variable_(variable), value_(std::move(value)) {}
  bool IsVariable() const override { return variable_; }
  std::string Name() const override { return name_; }
  std::uint16_t TypeCode() const override { return value_.type; }
  std::uint32_t Flags() const override { return flags; }
  std::int32_t Index() const override { return index; }
  double RealValue() const override { return value_.payload.real; }
  void GetTypedValue(SUValue* out) const override {
    out->SetType(SUValue::kNoType);
    out->Assign(value_);
  }
  void SetReal(double v) override { value_.SetReal(v); }
  Status SetTypedValue(const SUValue& v) override {
    value_.SetType(SUValue::kNoType);
    value_.Assign(v);
    return 0;
  }
  ResultObject* Companion() override { return companion; }
  void Bounds(double* l, double* u) const override {
    *l = lower;
    *u = upper;
  }
  void SetBounds(double l, double u) override {
    lower = l;
    upper = u;
  }
  Status SetSpecification(std::uint32_t code) override {
    specification = code;
    return structure_answer;
  }
  std::uint32_t Specification() const override { return specification; }
  void SetFirstSwitch(bool on) override { first_switch = on; }
  void SetSecondSwitch(bool on) override { second_switch = on; }

  std::uint32_t flags = 0;
  std::int32_t index = -1;
  ResultObject* companion = nullptr;
  double lower = 0;
  double upper = 10;
  std::uint32_t specification = 0;
  Status structure_answer = 0;
  bool first_switch = false;
  bool second_switch = true;

 private:
  std::string name_;
  bool variable_;
  SUValue value_;
};

SUValue Real(double v) {
  SUValue value;
  value.SetType(SUValue::kReal);
  value.SetReal(v);
  return value;
}

class ItemsProblem : public FakeProblem {
 public:
  ItemsProblem() : FakeProblem({"x", "y"}) {}
  ResultObject* ResolveObject(const BvuIdPath& path) override {
    if (path.count() != 1) return nullptr;
    auto found = objects.find(path.ids()[0]);
    return found != objects.end() ? found->second : nullptr;
  }
  AssignableVariable* Assignable(ResultObject* object) override {
    std::unique_ptr<resultstest::FakeVariable>& held = assignables[object];
    if (held == nullptr)
      held = std::make_unique<resultstest::FakeVariable>(object->Name(), object->Index());
    return held.get();
  }
  bool RunActive() override { return running; }
  void SpecificationChanged(std::int32_t which) override { notices.push_back(which); }

  std::map<std::uint32_t, ResultObject*> objects;
  std::map<ResultObject*, std::unique_ptr<resultstest::FakeVariable>> assignables;
  bool running = false;
  std::vector<std::int32_t> notices;
};

// Body of a subtype-7 request: the period, then per item its path of one
// id, the attribute and the unused word.
testsupport::MessagePtr ResultRequest(
    const std::vector<std::pair<std::uint32_t, std::uint16_t>>& items, bool names = false) {
  DseMessage sent(55, DseMessage::kIdPathRead);
  sent.PutDouble(0.5);
  for (const auto& [id, attribute] : items) {
    BvuIdPath path(names);
    path.Append(id, names ? "n" : nullptr);
    path.Write(sent);
    sent.PutUInt16(attribute);
    sent.PutUInt16(0);
  }
  return testsupport::Received(sent);
}

double Float28() { return static_cast<double>(1e28f); }

class ResultItems : public snaptest::SnapshotFolder {
 protected:
  ResultItems()
      : x_("P.x", true, Real(2.5)), y_("P.y", true, Real(std::numeric_limits<double>::infinity())),
        count_("P.n", false, SUValue::ConstructInt(7, SUValue::kInteger)),
        word_("P.s", false, SUValue()), manager_(&problem_) {
    word_.SetTypedValue([] {
      SUValue s;
      s.SetType(SUValue::kString);
      s.SetString("abc");
      return s;
    }());
    x_.flags = 0x80 | 0x1;  // fixed, and a bit outside the mask
    x_.index = 0;
    problem_.objects = {{1, &x_}, {2, &y_}, {3, &count_}, {4, &word_}};
    RunPosition at;
    manager_.OpenSnapshotFile(2, problem_.Values({2.5, 0}), &at, false, false);
  }

  std::unique_ptr<SimResultResponse> Start(testsupport::MessagePtr request) {
    DseTemplate* kept = nullptr;
    EXPECT_EQ(manager_.HandleRequest(55, request.get(), nullptr, &kept), 0u);
    return std::unique_ptr<SimResultResponse>(static_cast<SimResultResponse*>(kept));
  }

  ItemsProblem problem_;
  FakeObject x_, y_, count_, word_;
  SimResultsMgr manager_;
};

TEST_F(ResultItems, KindsAndValuesKeepEveryItemsPlace) {
  auto response = Start(ResultRequest({{1, 1}, {2, 1}, {9, 1}, {3, 1}, {4, 1}, {1, 13}}));
  ASSERT_NE(response, nullptr);
  DseMessage* header = nullptr;
  ASSERT_EQ(response->BuildHeader(&header), 0u);
  testsupport::MessagePtr owned_header(header);
  EXPECT_EQ(header->flags & DseMessage::kTemplateBuilt, DseMessage::kTemplateBuilt);
  // The header goes in the control class, not in the request's.
  EXPECT_EQ(header->message_class, DseMessage::kControlClass);
  EXPECT_NE(response->message_class, DseMessage::kControlClass);
  DseMessage kinds(0, 0);
  ASSERT_EQ(response->WriteKinds(kinds), 0u);
  EXPECT_EQ(testsupport::BodyOf(kinds), (Bytes{56, 0, 56, 0, 24, 0, 4, 0, 68, 0, 24, 0}));

  for (int fill = 0; fill < 2; ++fill) {
    DseMessage* values = nullptr;
    ASSERT_EQ(response->Fill(&values), 0u);
    auto received = testsupport::Received(*values);
    delete values;
    double d = 0;
    std::uint32_t u = 0;
    received->TryGet8(&d);
    EXPECT_EQ(d, 2.5);
    received->GetUInt32(&u);
    EXPECT_EQ(u, 0x80u);  // only the bits of the mask
    received->TryGet8(&d);
    EXPECT_EQ(d, Float28());  // not finite
    received->GetUInt32(&u);
    received->TryGet8(&d);
    EXPECT_EQ(d, Float28());  // unresolved, in its place
    received->GetUInt32(&u);
    EXPECT_EQ(u, 7u);
    char* text = nullptr;
    received->GetStringNew(&text);
    EXPECT_STREQ(text, "abc");
    delete[] text;
    received->TryGet8(&d);
    EXPECT_EQ(d, Float28());  // control elements: none yet
    EXPECT_EQ(received->RemainingBytes(), 0u);
  }
  // Each item's message once per template, not at every refill.
  EXPECT_EQ(problem_.printed.size(), 3u);
  EXPECT_EQ(problem_.printed[0], "Value of variable P.y is not finite.");

  // A refill reads the variable, not the table.
  x_.SetReal(4.0);
  DseMessage* values = nullptr;
  ASSERT_EQ(response->Fill(&values), 0u);
  auto received = testsupport::Received(*values);
  delete values;
  double d = 0;
  received->TryGet8(&d);
  EXPECT_EQ(d, 4.0);
}

// Objects that go (an edit deleted their variables) read as having no
// value in their items' places, each in its kind's layout, and a template
// kept past its manager fills without it.
TEST_F(ResultItems, ForgottenObjectsKeepTheirItemsPlaceAndKind) {
  auto response = Start(ResultRequest({{1, 1}, {3, 1}, {4, 1}, {2, 1}}));
  ASSERT_NE(response, nullptr);
  for (const ResultObject* gone : std::vector<const ResultObject*>{&x_, &count_, &word_})
    manager_.ForgetObject(gone);
  for (int fill = 0; fill < 2; ++fill) {
    DseMessage* values = nullptr;
    ASSERT_EQ(response->Fill(&values), 0u);
    auto received = testsupport::Received(*values);
    delete values;
    double d = 0;
    std::uint32_t u = 0;
    received->TryGet8(&d);
    EXPECT_EQ(d, Float28());
    received->GetUInt32(&u);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    received->GetUInt32(&u);
    EXPECT_EQ(u, 0u);
    char* text = nullptr;
    received->GetStringNew(&text);
    EXPECT_STREQ(text, "");
    delete[] text;
    received->TryGet8(&d);
    EXPECT_EQ(d, Float28());  // P.y stays, not finite
    received->GetUInt32(&u);
    EXPECT_EQ(received->RemainingBytes(), 0u);
  }
  EXPECT_EQ(std::count(problem_.printed.begin(), problem_.printed.end(),
                       "Result item P.x has no value to send."),
            1);

  auto other = std::make_unique<SimResultsMgr>(&problem_);
  DseTemplate* kept = nullptr;
  ASSERT_EQ(other->HandleRequest(55, ResultRequest({{1, 1}}).get(), nullptr, &kept), 0u);
  std::unique_ptr<SimResultResponse> outlives(static_cast<SimResultResponse*>(kept));
  other.reset();
  DseMessage* values = nullptr;
  EXPECT_EQ(outlives->Fill(&values), 0u);
  delete values;
}

TEST_F(ResultItems, EmptyBodiesNamedPathsAndCutLists) {
  auto empty = Start(ResultRequest({}));
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->Items().empty());
  DseMessage* values = nullptr;
  ASSERT_EQ(empty->Fill(&values), 0u);
  EXPECT_TRUE(testsupport::BodyOf(*values).empty());
  delete values;

  auto named = Start(ResultRequest({{1, 1}, {3, 1}}, true));
  ASSERT_NE(named, nullptr);
  EXPECT_EQ(named->Items().size(), 2u);

  // A list cut inside an item is refused and no template is left.
  DseMessage sent(55, DseMessage::kIdPathRead);
  sent.PutDouble(0.5);
  sent.PutUInt8(0);
  sent.PutUInt16(3);
  sent.PutUInt8(1);
  auto cut = testsupport::Received(sent);
  DseTemplate* kept = nullptr;
  EXPECT_NE(manager_.HandleRequest(55, cut.get(), nullptr, &kept), 0u);
  EXPECT_EQ(kept, nullptr);
}

TEST_F(ResultItems, SetItemQueuesBetweenStepsAndWaitsWhileOneComputes) {
  BvuIdPath path;
  path.Append(1);
  SUValue five = Real(5.0);
  EXPECT_EQ(manager_.SetItem(55, path, 0, 1, &five), 0u);
  EXPECT_EQ(manager_.QueuedCount(), 1u);
  EXPECT_EQ(x_.RealValue(), 2.5);

  // The problem is the run thread's: every attribute waits, nothing moves.
  problem_.running = true;
  x_.index = 1;
  manager_.Values()->Record(1).flags = 0x2000000u | 0x10;
  for (std::uint32_t attribute : {1u, 7u, 8u, 9u, 11u, 15u}) {
    EXPECT_EQ(manager_.SetItem(55, path, 0, attribute, &five), SimResultsMgr::kBusy)
        << attribute;
  }
  EXPECT_EQ(x_.RealValue(), 2.5);
  EXPECT_EQ(manager_.Values()->Record(1).flags, 0x2000000u | 0x10u);
  EXPECT_EQ(manager_.QueuedCount(), 1u);
  problem_.running = false;

  // A variable without a record is the one set at once.
  x_.index = -1;
  EXPECT_EQ(manager_.SetItem(55, path, 0, 1, &five), 0u);
  EXPECT_EQ(x_.RealValue(), 5.0);
  EXPECT_EQ(manager_.QueuedCount(), 1u);

  BvuIdPath unknown;
  unknown.Append(99);
  EXPECT_EQ(manager_.SetItem(55, unknown, 0, 1, &five), 0x80000015u);
  EXPECT_EQ(manager_.SetItem(55, path, 0, 10, &five), 0x8000FFFFu);  // no companion
  EXPECT_EQ(manager_.SetItem(55, path, 0, 99, &five), 0x8000FFFFu);
}

TEST_F(ResultItems, SetItemAttributesOfVariablesAndValueObjects) {
  BvuIdPath path;
  path.Append(1);
  SUValue low = Real(-1.0);
  EXPECT_EQ(manager_.SetItem(55, path, 0, 7, &low), 0u);
  SUValue high = Real(3.0);
  EXPECT_EQ(manager_.SetItem(55, path, 0, 8, &high), 0u);
  EXPECT_EQ(x_.lower, -1.0);
  EXPECT_EQ(x_.upper, 3.0);

  SUValue code = SUValue::ConstructInt(2, SUValue::kInteger);
  EXPECT_EQ(manager_.SetItem(55, path, 0, 11, &code), 0u);
  EXPECT_EQ(x_.specification, 2u);
  EXPECT_EQ(manager_.Values()->Record(0).attribute, 2u);
  EXPECT_EQ(problem_.integrator_notices, 1);
  x_.structure_answer = 1;
  EXPECT_EQ(manager_.SetItem(55, path, 0, 11, &code), 0u);
  EXPECT_EQ(problem_.structure_changes, 1);
  EXPECT_EQ(problem_.notices, (std::vector<std::int32_t>{0, 0}));

  SUValue on = SUValue::ConstructInt(1, SUValue::kInteger);
  EXPECT_EQ(manager_.SetItem(55, path, 0, 16, &on), 0u);
  EXPECT_TRUE(x_.first_switch);
  EXPECT_FALSE(x_.second_switch);
  FakeObject partner("P.xc", true, Real(0));
  x_.companion = &partner;
  EXPECT_EQ(manager_.SetItem(55, path, 0, 22, &on), 0u);
  EXPECT_TRUE(partner.second_switch);

  BvuIdPath object;
  object.Append(3);
  count_.index = 1;
  SUValue nine = SUValue::ConstructInt(9, SUValue::kInteger);
  EXPECT_EQ(manager_.SetItem(55, object, 0, 1, &nine), 0u);
  SUValue read;
  count_.GetTypedValue(&read);
  EXPECT_EQ(read.payload.integer, 9);
  EXPECT_EQ(manager_.Values()->Record(1).payload.real, 9.0);
  EXPECT_EQ(manager_.SetItem(55, object, 0, 7, &nine), 0x8000FFFFu);
}

}  // namespace
