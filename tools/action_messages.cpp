#include "tools/action_messages.h"

#include <algorithm>
#include <cstring>

#include "framework/connections/segment.h"

namespace vantor_client {
namespace {

constexpr std::uint32_t kCreate = 2;
constexpr std::uint16_t kTimeMonitor = 2;

template <typename T>
bool Take(const Bytes& bytes, std::size_t* at, T* value) {
  if (bytes.size() < *at || bytes.size() - *at < sizeof(T)) return false;
  std::memcpy(value, bytes.data() + *at, sizeof(T));
  *at += sizeof(T);
  return true;
}

template <typename T>
void Append(Bytes* bytes, T value) {
  std::uint8_t raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  for (std::uint8_t byte : raw) bytes->push_back(byte);
}

void AppendUInt24(Bytes* bytes, std::uint32_t value) {
  for (int shift = 0; shift < 24; shift += 8)
    bytes->push_back(static_cast<std::uint8_t>(value >> shift));
}

// A text as the messages carry it: a 24-bit length with the NUL, the
// characters and the NUL.
void AppendString(Bytes* bytes, const std::string& text) {
  AppendUInt24(bytes, static_cast<std::uint32_t>(text.size() + 1));
  for (char c : text) bytes->push_back(static_cast<std::uint8_t>(c));
  bytes->push_back(0);
}

// A string as the engine writes it: a 24-bit length with the NUL (0 for
// none), then that many bytes.
bool TakeString(const Bytes& bytes, std::size_t* at, std::string* text) {
  if (bytes.size() - *at < 3) return false;
  const std::uint32_t length = bytes[*at] | (bytes[*at + 1] << 8) | (bytes[*at + 2] << 16);
  *at += 3;
  if (length == 0) return true;
  if (bytes.size() - *at < length) return false;
  text->assign(reinterpret_cast<const char*>(bytes.data() + *at), length - 1);
  *at += length;
  return true;
}

bool TakeValue(const Bytes& bytes, std::size_t* at, SampleValue* value) {
  std::uint32_t word = 0;
  std::uint8_t byte = 0;
  switch (value->type) {
    case 2:  // integer
    case 3:  // logical
      if (!Take(bytes, at, &word)) return false;
      value->integer = static_cast<std::int32_t>(word);
      return true;
    case 4:
      return Take(bytes, at, &value->real);
    case 5:
      return TakeString(bytes, at, &value->text);
    case 6: {  // name: its attributes, then its text
      std::uint16_t second = 0;
      return Take(bytes, at, &second) && Take(bytes, at, &byte) && Take(bytes, at, &byte) &&
             TakeString(bytes, at, &value->text);
    }
    case 7:  // specification
      if (!Take(bytes, at, &byte)) return false;
      value->integer = byte;
      return true;
    case 8:  // the empty sets
    case 40:
      return true;
    default:
      // Only the codes 2 to 45 carry a value; the sets among them are not read.
      return value->type < 2 || value->type > 45;
  }
}

bool TakeSample(const Bytes& bytes, std::size_t* at, ActionMessage* out) {
  std::uint32_t count = 0;
  if (!Take(bytes, at, &out->sample_time) || !Take(bytes, at, &count)) return false;
  // Each value has at least its two words: bounded by what arrived.
  if (count > (bytes.size() - *at) / 8) return false;
  out->values.resize(count);
  for (SampleValue& value : out->values) {
    if (!Take(bytes, at, &value.type) || !Take(bytes, at, &value.reported_as) ||
        !TakeValue(bytes, at, &value))
      return false;
  }
  out->has_sample = true;
  return true;
}

// An id path without names: from the root, the ids, its end.
void AppendIdPath(Bytes* body, const std::vector<std::uint32_t>& ids) {
  constexpr std::uint32_t kFromRoot = 0xFFFFFF;
  constexpr std::uint32_t kPathEnd = 0xFFFFFE;
  Append(body, std::uint8_t{0});
  Append(body, static_cast<std::uint16_t>(ids.size() + 2));
  AppendUInt24(body, kFromRoot);
  for (std::uint32_t id : ids) AppendUInt24(body, id);
  AppendUInt24(body, kPathEnd);
}

}  // namespace

Bytes MonitorBody(const MonitorSpec& spec, const Bytes& own) {
  Bytes body;
  AppendString(&body, "Monitor");
  Append(&body, kCreate);
  AppendString(&body, spec.name);
  Append(&body, spec.kind);
  Append(&body, std::uint32_t{1});
  Append(&body, spec.hook_point);
  Append(&body, spec.list);
  Append(&body, static_cast<std::uint32_t>(spec.tags.size()));
  for (std::uint32_t tag : spec.tags) Append(&body, tag);
  Append(&body, std::uint8_t{spec.reported.empty() ? std::uint8_t{0} : std::uint8_t{1}});
  Append(&body, std::uint8_t{0});  // no delay
  if (!spec.reported.empty()) {
    Append(&body, static_cast<std::uint32_t>(spec.reported.size()));
    for (const std::vector<std::uint32_t>& ids : spec.reported) AppendIdPath(&body, ids);
  }
  body.insert(body.end(), own.begin(), own.end());
  return body;
}

Bytes TimeMonitorBody(const TimeMonitorSpec& spec) {
  Bytes own;
  Append(&own, spec.time);
  Append(&own, std::uint8_t{spec.now ? std::uint8_t{1} : std::uint8_t{0}});
  return MonitorBody(
      {spec.name, kTimeMonitor, spec.hook_point, spec.list, spec.tags, spec.reported}, own);
}

Bytes StepMonitorOwn(std::uint16_t steps) {
  Bytes own;
  Append(&own, steps);
  return own;
}

Bytes ExpressionMonitorOwn(const modelwriter::Expr& condition, bool edge, const std::string& prefix,
                           const std::vector<MonitorVariable>& variables) {
  constexpr std::uint8_t kModelVariable = 0;
  // The condition in the compact form the instance descriptions use.
  Request written(kActionService);
  modelwriter::Writer(written).Expression(condition);
  Bytes own;
  for (DseSegment* s = written.FirstSegment(); s != nullptr; s = s->next)
    own.insert(own.end(), s->DataStart(), s->cursor);
  Append(&own, std::uint8_t{edge ? std::uint8_t{1} : std::uint8_t{0}});
  AppendString(&own, prefix);
  Append(&own, static_cast<std::uint16_t>(variables.size()));
  for (const MonitorVariable& variable : variables) {
    AppendString(&own, variable.name);
    Append(&own, kModelVariable);
    AppendIdPath(&own, variable.ids);
  }
  return own;
}

Bytes RampMonitorOwn(const std::string& variable, double end, double duration, double target,
                     bool linear, std::uint8_t mode) {
  constexpr std::uint32_t kRealType = 4;
  Bytes own;
  Append(&own, std::uint8_t{1});  // by name
  AppendString(&own, variable);
  Append(&own, kRealType);
  Append(&own, end);
  Append(&own, duration);
  Append(&own, target);
  Append(&own, 0.0);  // two values the ramp does not use
  Append(&own, 0.0);
  Append(&own, std::uint8_t{linear ? std::uint8_t{1} : std::uint8_t{0}});
  Append(&own, mode);
  return own;
}

Bytes SyncActionBody(const std::string& name) {
  Bytes body;
  AppendString(&body, "Sync");
  Append(&body, kCreate);
  AppendString(&body, name);
  return body;
}

std::unique_ptr<Request> ActionRequest(const Bytes& body) {
  auto request = std::make_unique<Request>(kActionService);
  for (std::uint8_t byte : body) request->PutUInt8(byte);
  return request;
}

bool CreatedHandle(const Bytes& reply, std::uint64_t* handle) {
  if (reply.size() < sizeof *handle) return false;
  std::memcpy(handle, reply.data() + reply.size() - sizeof *handle, sizeof *handle);
  return true;
}

bool DecodeActionMessage(const Bytes& creation, const Bytes& received, bool monitor,
                         ActionMessage* out) {
  *out = ActionMessage();
  if (received.size() < creation.size() ||
      !std::equal(creation.begin(), creation.end(), received.begin()))
    return false;
  std::size_t at = creation.size();
  if (!Take(received, &at, &out->mark)) return false;
  if (!monitor || out->mark != kFiredMark) return at == received.size();
  std::uint32_t count = 0;
  if (!Take(received, &at, &out->handle) || !Take(received, &at, &count)) return false;
  // Bounded by what arrived, not by the count.
  if (count > (received.size() - at) / sizeof(std::uint32_t)) return false;
  out->tags.resize(count);
  for (std::uint32_t& tag : out->tags) Take(received, &at, &tag);
  if (at < received.size() && !TakeSample(received, &at, out)) return false;
  return at == received.size();
}

Bytes MonitorReply(std::uint64_t handle, std::uint32_t rearm, std::uint32_t follow_on) {
  Bytes body;
  Append(&body, handle);
  Append(&body, rearm);
  Append(&body, follow_on);
  return body;
}

}  // namespace vantor_client
