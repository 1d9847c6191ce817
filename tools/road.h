// One conversation with an engine, step by step as the modelling
// environment holds it: send, wait for the answer, compare its status, wait
// for run-state notifications and read values through the instance manager.
// What breaks the road is kept in the run's failure, event lines in its
// events and read samples in its samples.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/client.h"
#include "tools/first_order.h"
#include "tools/model_writer/model_writer.h"
#include "tools/status_texts.h"

namespace vantor_scenario {

using vantor_client::Client;
using vantor_client::Message;
using vantor_client::Request;

inline constexpr std::uint32_t kInstanceService = 62;
inline constexpr std::uint32_t kNotificationService = 81;
inline constexpr std::uint32_t kRunningBit = 0x80;
inline constexpr std::uint32_t kRunFailedBit = 0x100;

// The body of a run-state notification.
struct Notification {
  double time = 0.0;
  std::uint16_t counter = 0;
  std::uint16_t stops = 0;
  std::uint32_t bits = 0;
};

inline std::string Hex(Status s) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", s);
  return text;
}

class Road {
 public:
  Road(Client& client, FirstOrderRun* run) : client_(client), run_(run) {}

  bool Fail(const std::string& what) {
    if (run_->failure.empty()) run_->failure = what;
    return false;
  }

  // Sends, waits for the answer and gives its status and replies.
  bool Exchange(std::unique_ptr<Request> request, const std::string& what, Status* result,
                std::vector<Message>* replies = nullptr) {
    std::uint32_t id = 0;
    const Status sent = client_.Send(std::move(request), &id);
    if (status::IsFailure(sent)) return Fail(what + ": not sent (" + Hex(sent) + ")");
    const Status waited = client_.Await(id);
    Collect();
    if (waited != 0) {
      client_.Forget(id);
      if (waited == Client::kTimedOut) {
        return Fail(what + ": no answer within " + std::to_string(client_.TimeoutMs()) +
                    " ms (the client's --timeout)");
      }
      return Fail(what + ": no answer (" + Hex(waited) + ")");
    }
    *result = client_.Find(id)->status;
    if (replies != nullptr) *replies = client_.TakeReplies(id);
    client_.Forget(id);
    return true;
  }

  bool Expect(std::unique_ptr<Request> request, const std::string& what, Status expected) {
    Status result = 0;
    if (!Exchange(std::move(request), what, &result)) return false;
    if (result != expected) {
      return Fail(what + ": status " + vantor_client::StatusWithMeaning(result) + ", expected " +
                  Hex(expected));
    }
    return true;
  }

  // Event lines and run-state notifications that arrived; the engine's
  // other messages to the client are kept for Others().
  void Collect() {
    for (const auto& event : client_.TakeEvents()) {
      for (const auto& line : event.lines) {
        run_->events.push_back(line);
        run_->event_values.push_back(event.value);
      }
    }
    for (const Message& m : client_.TakeNotifications()) {
      if (m.type != kNotificationService) {
        others_.push_back(m);
        continue;
      }
      if (m.body.size() < 16) continue;
      Notification n;
      std::memcpy(&n.time, m.body.data(), 8);
      std::memcpy(&n.counter, m.body.data() + 8, 2);
      std::memcpy(&n.stops, m.body.data() + 10, 2);
      std::memcpy(&n.bits, m.body.data() + 12, 4);
      pending_.push_back(n);
    }
  }

  // Waits until a notification satisfies done (each is looked at once).
  bool WaitNotice(const std::function<bool(const Notification&)>& done, const std::string& what) {
    bool found = false;
    const Status waited = client_.WaitFor([&] {
      Collect();
      while (!pending_.empty() && !found) {
        last_ = pending_.front();
        pending_.erase(pending_.begin());
        found = done(last_);
      }
      return found;
    });
    if (!found && waited == Client::kTimedOut) {
      return Fail(what + ": no such notification within " +
                  std::to_string(client_.TimeoutMs()) + " ms (the client's --timeout)");
    }
    if (!found) return Fail(what + ": no such notification (" + Hex(waited) + ")");
    return true;
  }

  // After a run command: the step ran (bit 0x80 set, then clear) and the
  // run clock is at `time`.
  bool WaitStep(double time, const std::string& what) {
    bool running = false;
    bool failed = false;
    const bool ok = WaitNotice(
        [&](const Notification& n) {
          if ((n.bits & kRunFailedBit) != 0) failed = true;
          if ((n.bits & kRunningBit) != 0) running = true;
          const bool there = std::fabs(n.time - time) < 1e-9;
          return failed || ((n.bits & kRunningBit) == 0 && there && (running || time > 0));
        },
        what);
    if (!ok) return false;
    if (failed) return Fail(what + ": the run failed (status bits " + Hex(last_.bits) + ")");
    return true;
  }

  // Request 143 of the instance manager: the value of the variable at the
  // id path (2, index).
  bool Read(std::uint32_t index, double* value, const std::string& what) {
    auto request = std::make_unique<Request>(kInstanceService);
    modelwriter::Writer w(*request);
    w.U16(143);
    w.IdPath({2, index});
    w.U16(0);
    Status result = 0;
    std::vector<Message> replies;
    if (!Exchange(std::move(request), what, &result, &replies)) return false;
    if (status::IsFailure(result) || replies.empty() || replies[0].body.size() < 10) {
      return Fail(what + ": no value (status " + Hex(result) + ")");
    }
    std::uint16_t code = 0;
    std::memcpy(&code, replies[0].body.data(), 2);
    if (code != 143) return Fail(what + ": a reply to another request");
    std::memcpy(value, replies[0].body.data() + 2, 8);
    return true;
  }

  bool ReadSample(double t, const std::string& what) {
    Sample s;
    s.t = t;
    if (!Read(3, &s.x, what + ", x") || !Read(4, &s.y, what + ", y")) return false;
    run_->samples.push_back(s);
    return true;
  }

  const Notification& Last() const { return last_; }
  // Notifications collected and not yet looked at by a wait.
  const std::vector<Notification>& Pending() const { return pending_; }
  Client& client() { return client_; }
  // The engine's messages to services other than the run state, in order.
  const std::vector<Message>& Others() const { return others_; }
  // Takes the kept messages of one service, in the order they came.
  std::vector<Message> TakeOthers(std::uint32_t type) {
    std::vector<Message> taken;
    std::erase_if(others_, [&](Message& m) {
      if (m.type != type) return false;
      taken.push_back(std::move(m));
      return true;
    });
    return taken;
  }

 private:
  Client& client_;
  FirstOrderRun* run_;
  std::vector<Notification> pending_;
  std::vector<Message> others_;
  Notification last_;
};

}  // namespace vantor_scenario
