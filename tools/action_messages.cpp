#include "tools/action_messages.h"

#include <algorithm>
#include <cstring>

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

// A text as the messages carry it: a 24-bit length with the NUL, the
// characters and the NUL.
void AppendString(Bytes* bytes, const std::string& text) {
  const auto length = static_cast<std::uint32_t>(text.size() + 1);
  for (int shift = 0; shift < 24; shift += 8)
    bytes->push_back(static_cast<std::uint8_t>(length >> shift));
  for (char c : text) bytes->push_back(static_cast<std::uint8_t>(c));
  bytes->push_back(0);
}

}  // namespace

Bytes TimeMonitorBody(const TimeMonitorSpec& spec) {
  Bytes body;
  AppendString(&body, "Monitor");
  Append(&body, kCreate);
  AppendString(&body, spec.name);
  Append(&body, kTimeMonitor);
  Append(&body, std::uint32_t{1});
  Append(&body, spec.hook_point);
  Append(&body, spec.list);
  Append(&body, static_cast<std::uint32_t>(spec.tags.size()));
  for (std::uint32_t tag : spec.tags) Append(&body, tag);
  Append(&body, std::uint8_t{0});  // no values
  Append(&body, std::uint8_t{0});  // no delay
  Append(&body, spec.time);
  Append(&body, std::uint8_t{spec.now ? std::uint8_t{1} : std::uint8_t{0}});
  return body;
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
