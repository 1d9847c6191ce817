// Services of the running engine as the modelling environment uses them,
// each through the wire: property packages selected, re-selected and
// unloaded by id-path reads of service 66 and asked for their offer; the
// header replies of id-path reads; option writes named by the path; an IF
// whose condition is a library condition; the numbered event lines of the
// results manager and its files-saved command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/tools/engine_road_fixture.h"
#include "tools/client.h"
#include "tools/model_writer/model_writer.h"
#include "tools/result_replies.h"

namespace {

using engineroad::EngineRoad;
using engineroad::kOptionService;
using engineroad::kProblemService;
using engineroad::kResultsService;
using engineroad::ModelEquation;
using engineroad::ModelVariable;
using engineroad::Node;
using engineroad::Reader;
using modelwriter::Writer;
using vantor_client::Bytes;
using vantor_client::MakeCommand;
using vantor_client::Request;

namespace mw = modelwriter;

constexpr std::uint32_t kPropertyService = 66;
constexpr std::uint32_t kLibraryService = 61;
constexpr std::uint32_t kInstanceService = 62;
constexpr Status kNoPackage = 0x8000FFFFu;
constexpr std::uint32_t kControlClass = 1;

// What an id-path read brought back: the header reply's class and its type
// codes, the values reply's class and bytes.
struct ItemRead {
  std::uint32_t header_class = 0;
  std::vector<std::uint16_t> codes;
  std::uint32_t values_class = 0;
  Bytes values;
  std::uint32_t Word() const {
    std::uint32_t word = 0;
    if (values.size() >= 4) std::memcpy(&word, values.data(), 4);
    return word;
  }
};

class ServicesRoad : public EngineRoad {
 protected:
  bool Start(const std::string& name = "Services") {
    vantor_client::EngineOptions engine = Engine();
    return StartEngine(engine, name);
  }

  // An id-path read of `type`; `items` writes the items after the period.
  bool ReadItems(std::uint32_t type, const std::function<void(Writer&)>& items,
                 const std::string& what, ItemRead* read) {
    return ReadRequest(
        type,
        [&](Request& request) {
          Writer w(request);
          items(w);
        },
        what, read);
  }
  bool ReadRequest(std::uint32_t type, const std::function<void(Request&)>& items,
                   const std::string& what, ItemRead* read) {
    auto request = std::make_unique<Request>(type, DseMessage::kIdPathRead);
    request->PutDouble(0.0);
    items(*request);
    std::uint32_t id = 0;
    if (status::IsFailure(client_->Send(std::move(request), &id))) return Fail(what + ": not sent");
    const Status waited = client_->WaitFor([&] {
      const vantor_client::Outcome* o = client_->Find(id);
      return o == nullptr || o->complete || (!o->headers.empty() && !o->replies.empty());
    });
    const vantor_client::Outcome* outcome = client_->Find(id);
    if (waited != 0 || outcome == nullptr || outcome->headers.empty() ||
        outcome->replies.empty()) {
      client_->Forget(id);
      return Fail(what + ": no header and values reply");
    }
    const vantor_client::Message& header = outcome->headers[0];
    read->header_class = header.message_class;
    read->codes.clear();
    for (std::size_t at = 0; at + 2 <= header.body.size(); at += 2) {
      std::uint16_t code = 0;
      std::memcpy(&code, header.body.data() + at, 2);
      read->codes.push_back(code);
    }
    read->values_class = outcome->replies[0].message_class;
    read->values = outcome->replies[0].body;
    client_->Forget(id);
    return true;
  }

  // Service 66, item kind `kind`: the path's names are the arguments.
  bool PackageItem(std::uint16_t kind, const std::vector<std::string>& names,
                   const std::string& what, ItemRead* read) {
    return ReadItems(
        kPropertyService,
        [&](Writer& w) {
          std::vector<mw::Step> steps;
          for (std::size_t i = 0; i < names.size(); ++i)
            steps.push_back({static_cast<std::uint32_t>(i + 1), names[i]});
          w.Placement(steps);
          w.U16(kind);
          w.U16(0);
        },
        what, read);
  }

  // Request 2 of service 66: the component lists (name: components) and
  // the property objects' names; its status.
  bool Offer(Status* result, std::vector<std::pair<std::string, std::vector<std::string>>>* lists,
             std::vector<std::string>* objects) {
    auto request = std::make_unique<Request>(kPropertyService);
    request->PutUInt16(2);
    std::vector<vantor_client::Message> replies;
    if (!road_->Exchange(std::move(request), "request 2", result, &replies)) return false;
    lists->clear();
    objects->clear();
    if (*result != 0) return true;
    if (replies.size() != 1) return Fail("request 2: no reply");
    Reader r(replies[0].body);
    if (r.Get<std::uint16_t>() != 2) return Fail("request 2: another request's reply");
    const std::uint16_t count = r.Get<std::uint16_t>();
    for (std::uint16_t i = 0; i < count && r.ok(); ++i) {
      std::pair<std::string, std::vector<std::string>> list{r.Text(), {}};
      const std::uint16_t members = r.Get<std::uint16_t>();
      for (std::uint16_t k = 0; k < members && r.ok(); ++k) list.second.push_back(r.Text());
      lists->push_back(list);
    }
    const std::uint16_t defined = r.Get<std::uint16_t>();
    for (std::uint16_t i = 0; i < defined && r.ok(); ++i) {
      objects->push_back(r.Text());
      r.Get<std::uint32_t>();  // its id
      const std::uint16_t components = r.Get<std::uint16_t>();
      for (std::uint16_t k = 0; k < components; ++k) r.Text();
      const std::uint16_t options = r.Get<std::uint16_t>();
      for (std::uint16_t k = 0; k < 2 * options; ++k) r.Text();
    }
    if (!r.ok()) return Fail("request 2: the reply does not read");
    return true;
  }

  // Request 5 of service 66.
  bool Define(const std::string& name, const std::vector<std::string>& components,
              const std::vector<std::pair<std::string, std::string>>& options, Status expected) {
    auto request = std::make_unique<Request>(kPropertyService);
    request->PutUInt16(5);
    request->PutString(name.c_str());
    request->PutUInt8(0);
    request->PutUInt16(static_cast<std::uint16_t>(components.size()));
    for (const std::string& c : components) request->PutString(c.c_str());
    request->PutUInt16(static_cast<std::uint16_t>(options.size()));
    for (const auto& [option, group] : options) {
      request->PutString(option.c_str());
      request->PutString(group.c_str());
    }
    return road_->Expect(std::move(request), "defining " + name, expected);
  }
};

using Lists = std::vector<std::pair<std::string, std::vector<std::string>>>;

TEST_F(ServicesRoad, APropertyPackageIsSelectedAskedReselectedAndUnloaded) {
  ASSERT_TRUE(Start()) << Failure();
  Status result = 0;
  Lists lists;
  std::vector<std::string> objects;
  ASSERT_TRUE(Offer(&result, &lists, &objects)) << Failure();
  EXPECT_EQ(result, kNoPackage) << "no package yet";

  // The package's folder is the client's to name.
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 4, {}, {}, {VANTOR_PROPERTIES_DIR}),
                            "command 4", 0xA032FFFFu))
      << Failure();
  ItemRead read;
  ASSERT_TRUE(PackageItem(4, {"", "Ideal", "vtprops"}, "selecting vtprops", &read)) << Failure();
  EXPECT_EQ(read.codes, (std::vector<std::uint16_t>{4}));
  EXPECT_EQ(read.Word(), 2u) << "loaded";
  ASSERT_TRUE(Offer(&result, &lists, &objects)) << Failure();
  ASSERT_EQ(result, 0u);
  EXPECT_EQ(lists, (Lists{{"Air", {"NITROGEN", "OXYGEN"}}, {"Water", {"WATER"}}}));
  EXPECT_TRUE(objects.empty());

  ASSERT_TRUE(Define("Air1", {"NITROGEN", "OXYGEN"}, {{"Density", "Air"}}, 0)) << Failure();
  ASSERT_TRUE(Define("Wrong", {"MERCURY"}, {}, 0x80000015u)) << Failure();
  ASSERT_TRUE(Offer(&result, &lists, &objects)) << Failure();
  EXPECT_EQ(objects, std::vector<std::string>{"Air1"});

  // The same package with a definition file of its own: the offer is read
  // anew and the objects are gone. The package takes the file's path in a
  // field of 40 characters: the file goes where its path fits, whatever
  // the temporary folder.
  const testsupport::TempDir definitions(std::filesystem::path("/tmp"));
  const std::string file = (definitions / "gases.def").string();
  ASSERT_LE(file.size(), 40u);
  std::ofstream(file) << "# two gases\ncomponent METHANE CH4 74-82-8\n"
                         "component ARGON Ar 7440-37-1\nrow Fuel Density METHANE\n"
                         "row Fuel Density ARGON\n";
  ASSERT_TRUE(PackageItem(4, {file, "Ideal", "VTPROPS"}, "reselecting", &read)) << Failure();
  EXPECT_EQ(read.Word(), 2u);
  ASSERT_TRUE(Offer(&result, &lists, &objects)) << Failure();
  EXPECT_EQ(lists, (Lists{{"Fuel", {"METHANE", "ARGON"}}}));
  EXPECT_TRUE(objects.empty());

  // A start the package refuses leaves no package.
  ASSERT_TRUE(PackageItem(4, {(definitions / "none.def").string(), "Ideal", "vtprops"},
                          "a missing file", &read))
      << Failure();
  EXPECT_EQ(read.codes, (std::vector<std::uint16_t>{0}));
  ASSERT_TRUE(Offer(&result, &lists, &objects)) << Failure();
  EXPECT_EQ(result, kNoPackage);

  ASSERT_TRUE(PackageItem(4, {"vtprops"}, "selecting again", &read)) << Failure();
  EXPECT_EQ(read.Word(), 2u);
  ASSERT_TRUE(PackageItem(9, {}, "unloading", &read)) << Failure();
  EXPECT_EQ(read.codes, (std::vector<std::uint16_t>{4}));
  EXPECT_EQ(read.Word(), 0u);
  ASSERT_TRUE(Offer(&result, &lists, &objects)) << Failure();
  EXPECT_EQ(result, kNoPackage);
  EXPECT_TRUE(EndEngine()) << Failure();
}

TEST_F(ServicesRoad, HeaderRepliesOfIdPathReadsAreOfTheControlClassOnEveryService) {
  ASSERT_TRUE(Start()) << Failure();
  ASSERT_TRUE(Load([](Writer& w) { engineroad::DecayModel(w, ".k", 0.5); })) << Failure();
  // The options answer no id-path reads; the instances, the results and the
  // property manager do.
  ItemRead unload;
  ASSERT_TRUE(ReadItems(
      kPropertyService,
      [](Writer& w) {
        w.IdPath({});
        w.U16(9);
        w.U16(0);
      },
      "unloading no package", &unload))
      << Failure();
  EXPECT_EQ(unload.codes, (std::vector<std::uint16_t>{4}));
  ItemRead instance;
  ASSERT_TRUE(ReadItems(
      kInstanceService,
      [](Writer& w) {
        w.IdPath({2, 2});
        w.U16(5);
        w.U16(0);
      },
      "x", &instance))
      << Failure();
  EXPECT_EQ(instance.codes, (std::vector<std::uint16_t>{24}));
  ItemRead result;
  ASSERT_TRUE(ReadItems(
      kResultsService, [](Writer& w) { (void)w; }, "an empty result template", &result))
      << Failure();
  ItemRead x;
  auto item = [](Request& request) { vantor_client::PutResultItem(request, {2, 2}, 1); };
  ASSERT_TRUE(ReadRequest(kResultsService, item, "x by the results manager", &x)) << Failure();
  for (const ItemRead* r : {&unload, &instance, &result, &x}) {
    EXPECT_EQ(r->header_class, kControlClass);
    EXPECT_EQ(r->values_class, 3u) << "the request's class";
  }
  ASSERT_GE(x.values.size(), 8u);
  double value = 0.0;
  std::memcpy(&value, x.values.data(), 8);
  EXPECT_EQ(value, 1.0);
  EXPECT_TRUE(EndEngine()) << Failure();
}

TEST_F(ServicesRoad, AnOptionWriteWithSelectorZeroNamesItsOptionByThePath) {
  ASSERT_TRUE(Start()) << Failure();
  constexpr double kInterval = 0.1;
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 32, {}, {kInterval}), "command 32", 0))
      << Failure();
  // RunMode := 4 (dynamic), named by the path's one id.
  auto request = std::make_unique<Request>(kOptionService, 8);
  Writer w(*request);
  w.IdPath({29});
  w.U16(0);
  w.U16(0);
  w.U16(2);  // an integer
  w.U32(4);
  ASSERT_TRUE(road_->Expect(std::move(request), "RunMode by the path", 0)) << Failure();
  ASSERT_TRUE(IntOption(30, 4)) << Failure();
  ASSERT_TRUE(Load([](Writer& m) { engineroad::DecayModel(m, ".k", 0.5); })) << Failure();
  ASSERT_TRUE(BeginRun()) << Failure();
  // A dynamic run: the second step reaches the first communication time.
  for (int k = 0; k < 2; ++k) {
    const std::string what = "step " + std::to_string(k);
    ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 10), what, 0)) << Failure();
    ASSERT_TRUE(road_->WaitStep(kInterval * k, what)) << Failure() << Events();
  }
  double x = 0.0;
  ASSERT_TRUE(road_->Read(2, &x, "x")) << Failure();
  EXPECT_NEAR(x, std::exp(-0.5 * kInterval), 1e-4);
  EXPECT_TRUE(FinishRun()) << Failure();
}

// x' = -x from x(0) = 1 at loose tolerances (rtol = atol = 0.1), to t = 2:
// the variable steps the tolerances allow end far from exp(-2); with
// Integration.StepSizeType 0 the steps are Integration.StepSize (1e-3)
// and x follows the closed form closely.
TEST_F(ServicesRoad, FixedStepsOfTheStepSizeReplaceTheVariableSteps) {
  auto error_at_two = [&](bool fixed, double* error) {
    const std::string name = fixed ? "Fixed" : "Variable";
    if (!Start(name) ||
        !road_->Expect(MakeCommand(kResultsService, 32, {}, {1.0}), "command 32", 0) ||
        !IntOption(30, 4) || !IntOption(29, 4) || !RealOption(130, 0.1) ||
        !RealOption(131, 0.1) ||
        (fixed && !(IntOption(137, 0) && RealOption(138, 1e-3))) ||
        !Load([](Writer& w) { engineroad::DecayModel(w, ".k", 1.0); }) || !BeginRun())
      return false;
    for (int k = 0; k <= 2; ++k) {
      const std::string what = name + " step " + std::to_string(k);
      if (!road_->Expect(MakeCommand(kProblemService, 10), what, 0) || !road_->WaitStep(k, what))
        return false;
    }
    double x = 0.0;
    if (!road_->Read(2, &x, name + " x")) return false;
    *error = std::fabs(x - std::exp(-2.0)) / std::exp(-2.0);
    return FinishRun();
  };
  double variable = 0.0, fixed = 0.0;
  ASSERT_TRUE(error_at_two(false, &variable)) << Failure() << Events();
  ASSERT_TRUE(error_at_two(true, &fixed)) << Failure() << Events();
  std::printf("relative error at t = 2: variable steps %.2e, fixed steps %.2e\n", variable, fixed);
  EXPECT_GT(variable, 1e-2);
  EXPECT_LT(fixed, 1e-4);
}

// h' = 1 - W from h(0) = 1, W = IF h > 1.2 THEN 2 (h - 1.2) ELSE 0, the
// condition a library condition: h = 1 + t up to t = 0.2, then
// h = 1.7 - 0.5 exp(-2 (t - 0.2)).
double Level(double t) { return t <= 0.2 ? 1.0 + t : 1.7 - 0.5 * std::exp(-2.0 * (t - 0.2)); }

TEST_F(ServicesRoad, AnIfWithALibraryConditionFollowsItsCondition) {
  ASSERT_TRUE(Start()) << Failure();
  constexpr double kInterval = 0.1;
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 32, {}, {kInterval}), "command 32", 0))
      << Failure();
  ASSERT_TRUE(IntOption(30, 4) && IntOption(29, 4) && RealOption(130, 1e-7) &&
              RealOption(131, 1e-7))
      << Failure();
  auto condition = std::make_unique<Request>(kLibraryService);
  Writer c(*condition);
  c.U16(5);  // set a node
  c.U16(6);  // a condition
  c.Placement({{1, ".Overflowing"}});
  c.Expression(mw::Greater(mw::Var(0), mw::Real(1.2)));
  ASSERT_TRUE(road_->Expect(std::move(condition), "the library condition", 0)) << Failure();
  ASSERT_TRUE(Load([](Writer& w) {
    w.List(4);
    ModelVariable(w, mw::kStateVariable, 1, ".h", 1.0, 32);
    ModelVariable(w, mw::kRealVariable, 9, ".W", 0.0, 1);
    ModelEquation(w, 10, ".Balance", mw::Sub(mw::Add(mw::Var(0), mw::Var(1)), mw::Real(1.0)),
                  {{2, 1, 1}, {2, 9}});
    w.IfHead({1}, {Node(), {8, ".Weir"}});
    w.EquationHead(1);
    w.Reference({2, 1});
    w.List(1);
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(mw::Sub(mw::Var(0), mw::Mul(mw::Real(2.0), mw::Sub(mw::Var(1), mw::Real(1.2)))));
    w.Placement({Node(), {8, ".Weir"}, {1, ".Then"}, {1, ".Q"}});
    w.EquationHead(2);
    w.Reference({2, 9});
    w.Reference({2, 1});
    w.List(1);
    w.Item(mw::kInlineEquation);
    w.U32(0);
    w.Expression(mw::Var(0));
    w.Placement({Node(), {8, ".Weir"}, {2, ".Else"}, {1, ".Q"}});
    w.EquationHead(1);
    w.Reference({2, 9});
  })) << Failure();
  ASSERT_TRUE(BeginRun()) << Failure();
  // The condition turns at the communication point t = 0.2 itself: the
  // step from there stops once at the event, then the run goes on.
  std::vector<double> stops;
  for (int k = 0; k <= 10; ++k) {
    const std::string what = "step " + std::to_string(k);
    ASSERT_TRUE(StepTo(kInterval * k, &stops)) << Failure() << Events();
    double h = 0.0;
    ASSERT_TRUE(road_->Read(1, &h, what)) << Failure();
    EXPECT_NEAR(h, Level(kInterval * k), 1e-4) << what;
  }
  ASSERT_EQ(stops.size(), 1u) << Events();
  EXPECT_NEAR(stops[0], 0.2, 1e-6);
  EXPECT_NE(Events().find("Equation Model.Weir moved from ELSE branch to THEN branch"),
            std::string::npos)
      << Events();
  EXPECT_TRUE(FinishRun()) << Failure();
}

TEST_F(ServicesRoad, NumberedEventLinesAndTheFilesSavedCommandReachTheClient) {
  ASSERT_TRUE(Start("Saved")) << Failure();
  ASSERT_TRUE(Load([](Writer& w) { engineroad::DecayModel(w, ".k", 0.5); })) << Failure();
  // The new snapshot file of the preparation is told with its number.
  auto numbered = [&] {
    road_->Collect();
    for (std::size_t i = 0; i < run_.events.size(); ++i) {
      if (run_.events[i] == "Starting new snapshot file.") return run_.event_values[i] == 63;
    }
    return false;
  };
  client_->WaitFor(numbered);
  EXPECT_TRUE(numbered()) << Events();
  // Saving under the same name and folder only saves the files, and tells
  // the client so: command 136 of service 95 with the integer 1.
  const std::string folder = Folder() + "/";
  ASSERT_TRUE(road_->Expect(MakeCommand(kProblemService, 5, {}, {}, {"Saved", folder}),
                            "command 5", 0x00320000u))
      << Failure();
  const bool saved = ToldFilesSaved();
  std::string others;
  for (const vantor_client::Message& m : road_->Others())
    others += std::to_string(m.type) + "/" + std::to_string(m.subtype) + " ";
  EXPECT_TRUE(saved) << others;
  EXPECT_TRUE(EndEngine()) << Failure();
}

}  // namespace
