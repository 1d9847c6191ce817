#include "tools/road_steps.h"

#include "tools/model_writer/model_writer.h"

namespace vantor_scenario {

using vantor_client::MakeCommand;

std::unique_ptr<Request> InstanceEdit(std::uint16_t kind, std::uint16_t tag) {
  auto request = std::make_unique<Request>(kInstanceService);
  modelwriter::Writer w(*request);
  w.U16(kind);
  w.U16(tag);
  return request;
}

bool LoadNode(Road& road, const modelwriter::Step& node,
              const std::function<void(modelwriter::Writer&)>& items) {
  auto create = InstanceEdit(5, 5);
  modelwriter::Writer(*create).Placement({node});
  if (!road.Expect(std::move(create), "creating the instance node", 0)) return false;
  auto fill = InstanceEdit(3, 10);
  modelwriter::Writer w(*fill);
  w.IdPath({2});
  items(w);
  return road.Expect(std::move(fill), "filling the instance node", 0);
}

bool Prepare(Road& road, const std::string& what) {
  if (!road.Expect(MakeCommand(kProblemService, 6, {0, 0}), what, 0)) return false;
  return road.WaitNotice(
      [](const Notification& n) { return (n.bits & kPreparedBits) == kPreparedBits; },
      what + ", the four stages");
}

bool SetReal(Road& road, const std::string& name, double value, const std::string& what) {
  auto request = std::make_unique<Request>(kInstanceService);
  request->PutUInt16(145);
  request->PutString(name.c_str());
  request->PutString("");
  request->PutString("");
  request->PutUInt16(kRealType);
  request->PutDouble(value);
  return road.Expect(std::move(request), what, 0);
}

// The option table takes the option's number from the first selector.
bool SetOption(Road& road, std::uint16_t number, std::uint32_t value, const std::string& what) {
  auto request = std::make_unique<Request>(kOptionService, kWriteSubtype);
  modelwriter::Writer w(*request);
  w.IdPath({number});
  w.U16(number);
  w.U16(0);
  w.U16(kIntegerCode);
  w.U32(value);
  return road.Expect(std::move(request), what, 0);
}

bool SetRealOption(Road& road, std::uint16_t number, double value, const std::string& what) {
  auto request = std::make_unique<Request>(kOptionService, kWriteSubtype);
  modelwriter::Writer w(*request);
  w.IdPath({number});
  w.U16(number);
  w.U16(0);
  w.U16(kRealCode);
  w.F64(value);
  return road.Expect(std::move(request), what, 0);
}

bool BeginRun(Road& road, const std::string& what) {
  auto begin = std::make_unique<Request>(kProblemService);
  begin->PutUInt16(31);
  return road.Expect(std::move(begin), what, kBeginRunDone);
}

std::unique_ptr<Client> StartEngine(const vantor_client::EngineOptions& options,
                                    FirstOrderRun* run) {
  // The engine sends only to the types the client announced.
  vantor_client::EngineOptions engine = options;
  engine.services = {4, 55, 67, 81, 82, 85, 86, 95};
  std::unique_ptr<Client> client;
  std::string why;
  if (status::IsFailure(Client::Start(engine, &client, &why))) {
    run->failure = "the engine " + options.program + " did not start: " + why;
    return nullptr;
  }
  return client;
}

bool NameSimulation(Road& road, const std::string& name, std::string folder, double interval,
                    const std::string& shown) {
  const std::string given = shown.empty() ? folder : shown;
  if (folder.empty() || folder.back() != '/') folder += '/';
  // Asked before the engine enters the folder: an engine that entered a
  // folder another one runs in would reuse and then delete that one's files.
  // A folder that cannot be made is the engine's to tell, as it tries.
  Status free = 0;
  if (!road.Exchange(MakeCommand(kProblemService, 141, {}, {}, {name, folder}),
                     "the run folder's lock (command 141)", &free))
    return false;
  const auto in_use = [&] {
    const bool ends = !given.empty() && given.back() == '/';
    return road.Fail(given + (ends ? "" : "/") + name + " is in use by another engine");
  };
  if (free == kFolderInUse) return in_use();
  // Another engine may take the folder between the question and the naming,
  // which takes it for this one: it answers the same.
  Status named = 0;
  if (!road.Exchange(MakeCommand(kProblemService, 3, {}, {}, {name, folder}),
                     "naming the simulation (command 3)", &named))
    return false;
  if (named == kFolderInUse) return in_use();
  if (named != 0) {
    return road.Fail("naming the simulation (command 3): status " +
                     vantor_client::StatusWithMeaning(named) + ", expected 0");
  }
  return road.Expect(MakeCommand(kResultsService, 32, {}, {interval}),
                     "the communication interval (command 32)", 0);
}

bool EndEngine(Road& road) {
  auto end = std::make_unique<Request>(kProblemService);
  end->PutUInt16(134);
  return road.Expect(std::move(end), "ending the run (request 134)", kRunEnded) &&
         road.Expect(MakeCommand(kProblemService, 2), "ending the engine (command 2)", kEnding);
}

bool FinishEngine(Client& client, Road& road, FirstOrderRun* run, bool ok) {
  // The engine ends on its own after command 2; closing first would end it
  // as "peer gone".
  if (ok) client.WaitForEnd();
  road.Collect();
  client.SetRequestHandler(nullptr);
  const Status closed = client.Close(&run->exit_code);
  road.Collect();
  if (closed == Client::kTimedOut) {
    return road.Fail("the engine did not end in time and the client killed it (exit code " +
                     std::to_string(run->exit_code) + ")");
  }
  if (ok && run->exit_code != 0)
    return road.Fail("the engine ended with exit code " + std::to_string(run->exit_code));
  return ok;
}

}  // namespace vantor_scenario
