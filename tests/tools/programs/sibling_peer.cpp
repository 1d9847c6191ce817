// A second peer of a running engine, as a sibling process is one: started
// with the session, its own process number and the engine's, it opens the
// named-pipe pair to the engine (which the engine's client makes it add by
// a peer list), completes the connect handshake both ways and says "ready".
// Each line it then reads ("request" or "stop") sends request 134 or
// command 2 of the problem service and says "answered <ms>" once the reply
// came, or "no answer <ms>" after the bound. "flood" sends requests 134,
// reading nothing, until the engine takes no more, and says "flooded <n>";
// "send <n>" sends n of them, reading nothing, and says "sent <n>" once
// the engine has taken them; "drain" reads until every request sent has
// its reply and says "replies <n> told <lines>", the second the lines that
// said how many lines it missed. "trickle" leaves the reading to a thread
// that takes one byte a second, and says "trickling"; "held" says "held
// <bytes>", what its connection holds unread. A fourth argument
// lists the service types it offers in its connect ("4,81", as a monitor).
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/connections/connection.h"
#include "framework/messaging/io_queue.h"
#include "framework/messaging/message.h"
#include "framework/processes/compute_node.h"
#include "platform/socket.h"
#include "platform/status.h"

namespace {

constexpr std::uint32_t kProblemService = 50;
constexpr std::uint32_t kPollMs = 20;
constexpr auto kBound = std::chrono::seconds(120);

using Clock = std::chrono::steady_clock;

struct Sibling {
  DseIOQueue* root = nullptr;
  DseIOQueue* engine = nullptr;
  bool answered_connect = false;
  bool engine_types = false;

  // One round: what the engine sent is read and taken; connects answered,
  // their answers learnt; `reply` hears every other reply.
  bool Round(const std::function<void(DseMessage&)>& reply) {
    // What came before the engine went is taken all the same.
    const bool lost = status::IsSevere(root->ReadAll());
    while (DseMessage* received = root->TakeReceived()) {
      std::unique_ptr<DseMessage> message(received);
      const bool is_reply = (message->flags & DseMessage::kReply) != 0;
      if (message->type == DseMessage::kConnectionType &&
          message->subtype == DseMessage::kConnect) {
        if (is_reply) {
          engine_types = status::IsSuccess(root->TakeConnectReply(message.get()));
        } else {
          DseMessage* answer = nullptr;
          if (status::IsSuccess(root->AnswerConnect(message.get(), &answer))) {
            root->Route(answer, -1);
            delete answer;
            answered_connect = true;
          }
        }
      } else if (is_reply && reply) {
        reply(*message);
      }
    }
    if (lost || status::IsSevere(root->Flush())) return false;
    root->WaitReady(kPollMs, true, false);
    return true;
  }
};

// Sends the message and polls until its reply comes: the time it took, or
// -1 without a reply within the bound.
long Exchange(Sibling& sibling, std::unique_ptr<DseMessage> message) {
  const auto start = Clock::now();
  if (status::IsFailure(message->PrepareSend(nullptr, nullptr, nullptr, -1))) return -1;
  const std::uint32_t id = message->GetId();
  if (status::IsFailure(sibling.root->Route(message.get(), -1))) return -1;
  bool answered = false;
  while (!answered && Clock::now() - start < kBound) {
    if (!sibling.Round([&](DseMessage& reply) { answered = answered || reply.GetId() == id; }))
      break;
  }
  if (!answered) return -1;
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Requests 134, never reading a reply, at most `most` of them or until the
// engine has taken nothing for a second: the requests sent.
std::size_t SendUnread(Sibling& sibling, std::size_t most) {
  constexpr auto kStall = std::chrono::seconds(1);
  std::size_t sent = 0;
  std::uint32_t left = 0;
  auto moved = Clock::now();
  while (Clock::now() - moved < kStall && sent < most) {
    for (std::size_t k = 0; k < 256 && sent < most; ++k, ++sent) {
      DseMessage request(kProblemService, DseMessage::kRequest);
      request.PutUInt16(134);
      if (status::IsFailure(request.PrepareSend(nullptr, nullptr, nullptr, -1)) ||
          status::IsFailure(sibling.root->Enqueue(&request)))
        return sent;
    }
    for (;;) {
      if (status::IsSevere(sibling.root->Flush())) return sent;
      std::uint32_t queued = 0;
      for (std::uint32_t k = 0; k < DseIOQueue::kClasses; ++k)
        queued += sibling.engine->QueuedSegments(k);
      if (queued < left || queued == 0) moved = Clock::now();
      left = queued;
      if (queued == 0 || Clock::now() - moved >= kStall) break;
      sibling.root->WaitReady(kPollMs, false, true);
    }
  }
  return sent;
}

// Reads until `expected` replies of the problem service came, or the
// bound: the replies, and the lines that told of missed lines.
std::pair<std::size_t, std::size_t> Drain(Sibling& sibling, std::size_t expected) {
  std::size_t replies = 0;
  std::size_t told = 0;
  const auto start = Clock::now();
  const auto hear = [&](DseMessage& message) {
    if ((message.flags & DseMessage::kReply) != 0) {
      replies += message.type == kProblemService;
      return;
    }
    if (message.type != DseMessage::kEventType) return;
    std::uint16_t one = 0, lines = 0;
    std::uint32_t value = 0;
    message.GetUInt16(&one);
    message.GetUInt32(&value);
    message.GetUInt16(&lines);
    for (std::uint16_t i = 0; i < lines; ++i) {
      char* text = nullptr;
      if (status::IsFailure(message.GetStringNew(&text))) break;
      const std::unique_ptr<char[]> line(text);
      told += line != nullptr && std::strstr(line.get(), "message lines were dropped") != nullptr;
    }
  };
  while (replies < expected && Clock::now() - start < kBound) {
    if (!sibling.Round(hear)) break;
  }
  // What was queued behind the last reply comes within a few rounds.
  for (int k = 0; k < 10; ++k) sibling.Round(hear);
  return {replies, told};
}

// The descriptor the engine's bytes arrive on; -1 without one.
int ReadDescriptor(const Sibling& sibling) {
  std::vector<platform::Readiness> items;
  sibling.engine->Connection()->AddReadiness(&items, true, false);
  return items.empty() ? -1 : items.front().fd;
}

// Reads the connection from the engine one byte a second, for good.
void Trickle(const Sibling& sibling) {
  const int fd = ReadDescriptor(sibling);
  if (fd < 0) return;
  std::thread([fd] {
    for (;;) {
      char byte = 0;
      if (::read(fd, &byte, 1) == 0) return;
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s SESSION OWN-NUMBER ENGINE-NUMBER [TYPE,...]\n", argv[0]);
    return 2;
  }
  const auto session = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  const auto own = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
  const auto engine_number = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
  XosSocketLayer layer;
  Status made = status::kOk;
  DseIOQueue root(nullptr, nullptr, own, &made);
  if (status::IsFailure(made) || root.AddPeer(nullptr, own, engine_number, session, nullptr) != 1)
    return 1;
  Sibling sibling{&root, root.FindPeer(engine_number)};
  DseTokenList offered;
  if (argc == 5) {
    for (const char* at = argv[4]; *at != '\0';) {
      char* end = nullptr;
      offered.Append(static_cast<std::uint32_t>(std::strtoul(at, &end, 10)));
      at = *end == ',' ? end + 1 : end;
      if (end == at && *at != '\0') return 2;
    }
    root.SetLocalTypes(&offered);
  }

  const auto start = Clock::now();
  while (sibling.engine->Connection()->Open() != status::kOk) {
    if (Clock::now() - start > kBound) return 1;
    root.WaitReady(kPollMs, true, true);
  }
  DseMessage* connect = nullptr;
  if (status::IsFailure(root.MakeConnectMessage(&connect))) return 1;
  if (status::IsSuccess(connect->Pack(true))) root.Route(connect, -1);
  delete connect;
  while (!sibling.answered_connect || !sibling.engine_types) {
    if (Clock::now() - start > kBound || !sibling.Round(nullptr)) return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);

  std::size_t unanswered = 0;
  for (std::string line; std::getline(std::cin, line);) {
    std::unique_ptr<DseMessage> message;
    if (line == "flood") {
      std::printf("flooded %zu\n", SendUnread(sibling, 6000));
      std::fflush(stdout);
      continue;
    }
    if (line.rfind("send ", 0) == 0) {
      const std::size_t sent = SendUnread(sibling, std::strtoul(line.c_str() + 5, nullptr, 10));
      unanswered += sent;
      std::printf("sent %zu\n", sent);
      std::fflush(stdout);
      continue;
    }
    if (line == "drain") {
      const auto [replies, told] = Drain(sibling, unanswered);
      unanswered -= std::min(unanswered, replies);
      std::printf("replies %zu told %zu\n", replies, told);
      std::fflush(stdout);
      continue;
    }
    if (line == "held") {
      int held = -1;
      const int fd = ReadDescriptor(sibling);
      if (fd >= 0 && ::ioctl(fd, FIONREAD, &held) != 0) held = -1;
      std::printf("held %d\n", held);
      std::fflush(stdout);
      continue;
    }
    if (line == "trickle") {
      Trickle(sibling);
      std::printf("trickling\n");
      std::fflush(stdout);
      continue;
    }
    if (line == "request") {
      message = std::make_unique<DseMessage>(kProblemService, DseMessage::kRequest);
      message->PutUInt16(134);
    } else if (line == "stop") {
      message = std::make_unique<DseMessage>(kProblemService, DseMessage::kCommand);
      for (std::uint32_t word : {2u, 0u, 0u, 0u}) message->PutUInt32(word);
    } else {
      continue;
    }
    const long took = Exchange(sibling, std::move(message));
    if (took < 0) {
      std::printf("no answer %ld\n", static_cast<long>(kBound.count() * 1000));
    } else {
      std::printf("answered %ld\n", took);
    }
    std::fflush(stdout);
  }
  return 0;
}
