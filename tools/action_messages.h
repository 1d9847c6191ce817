// The client's side of service 67: the requests that make a monitor or a
// synchronisation action in the engine, and the messages those actions send
// back. A firing monitor or a synchronisation exchange arrives as the body
// of its creation request followed by a mark (0 created, 1 fired or
// exchanged, 2 ended); a monitor's firing carries its handle and tags on
// after it, and holds the run until the client answers with the handle,
// whether to arm again and the follow-on the run takes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/client.h"
#include "tools/model_writer/model_writer.h"

namespace vantor_client {

inline constexpr std::uint32_t kActionService = 67;
inline constexpr std::uint16_t kCreatedMark = 0;
inline constexpr std::uint16_t kFiredMark = 1;
inline constexpr std::uint16_t kEndedMark = 2;
// Follow-ons a monitor's reply can ask of the run.
inline constexpr std::uint32_t kGoOn = 1;
inline constexpr std::uint32_t kStopRun = 4;

// A time monitor: fires at `time`, at one hook point and list, with the
// client's tags; `now` schedules its event at once. With variables to
// report (each the ids of its path from the root), its firing carries
// their values at that time.
struct TimeMonitorSpec {
  std::string name;
  std::uint32_t hook_point = 12;
  std::uint32_t list = 0;
  std::vector<std::uint32_t> tags;
  double time = 0.0;
  bool now = true;
  std::vector<std::vector<std::uint32_t>> reported;
};

// Any monitor: its kind (1 plain, 2 time, 3 step, 4 expression, 5 ramp,
// 6 implicit), where it is hooked, the client's tags and the variables its
// firing reports. The kind's own part of the body follows the common one.
struct MonitorSpec {
  std::string name;
  std::uint16_t kind = 1;
  std::uint32_t hook_point = 12;
  std::uint32_t list = 0;
  std::vector<std::uint32_t> tags;
  std::vector<std::vector<std::uint32_t>> reported;
};

// A variable of an expression monitor: the name the condition's reference
// is bound to (under the monitor's prefix) and its id path.
struct MonitorVariable {
  std::string name;
  std::vector<std::uint32_t> ids;
};

// The bodies of the creation requests, as the engine reads them (and as
// its actions send them back).
Bytes MonitorBody(const MonitorSpec& spec, const Bytes& own);
Bytes TimeMonitorBody(const TimeMonitorSpec& spec);
// Own parts. The step monitor fires at every `steps`-th communication
// point. The expression and implicit monitors watch a condition whose
// references Var(0), Var(1), ... are bound to the variables in order,
// firing on its rise (edge) or while it holds. The ramp takes a FIXED real
// variable, named in full, to `target` by `end` over `duration`, linearly
// or along a cosine, step by step (mode 1) or with the run (mode 2).
Bytes StepMonitorOwn(std::uint16_t steps);
Bytes ExpressionMonitorOwn(const modelwriter::Expr& condition, bool edge, const std::string& prefix,
                           const std::vector<MonitorVariable>& variables);
Bytes RampMonitorOwn(const std::string& variable, double end, double duration, double target,
                     bool linear, std::uint8_t mode);
Bytes SyncActionBody(const std::string& name);
// A service-67 request carrying the body.
std::unique_ptr<Request> ActionRequest(const Bytes& body);

// The handle the engine gave the action: the last eight bytes of the
// creation reply. False when the reply is too short.
bool CreatedHandle(const Bytes& reply, std::uint64_t* handle);

// One reported value of a monitor's sample: its type code, the type the
// engine reports the variable as, and the value (integer and logical codes
// 2, 3 and the specification 7 in `integer`, real 4 in `real`, string 5 and
// name 6 in `text`; codes that do not travel carry nothing).
struct SampleValue {
  std::uint32_t type = 0;
  std::uint32_t reported_as = 0;
  std::int32_t integer = 0;
  double real = 0.0;
  std::string text;
};

// A message of an action, read against the body of its creation request.
struct ActionMessage {
  std::uint16_t mark = 0;
  std::uint64_t handle = 0;  // fired monitors only
  std::vector<std::uint32_t> tags;
  // A firing that reports values: the time they were taken at and them.
  bool has_sample = false;
  double sample_time = 0.0;
  std::vector<SampleValue> values;
};

// False when the message is not the action's (another body, or cut short).
// `monitor` says whether the handle and tags follow a firing mark; a sample
// after them is read when there is one (sets are not read: no variable
// holds one).
bool DecodeActionMessage(const Bytes& creation, const Bytes& received, bool monitor,
                         ActionMessage* out);

// The answer to a firing: the handle, re-arm (1 arms again) and follow-on.
Bytes MonitorReply(std::uint64_t handle, std::uint32_t rearm, std::uint32_t follow_on);

}  // namespace vantor_client
