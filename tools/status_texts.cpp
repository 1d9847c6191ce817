#include "tools/status_texts.h"

#include <cstdio>

#include "platform/system_message.h"

namespace vantor_client {
namespace {

struct Known {
  Status status;
  const char* meaning;
};

// Where one value stands for several failures, the text says what they share.
constexpr Known kKnown[] = {
    {0x00000000u, "done"},
    {0x0000026Au, "the run has begun"},
    {0x00320000u, "done"},
    {0x0032000Au, "busy: a run step is computing or the engine waits on the client"},
    {0x00320024u, "the engine ends"},
    {0x00320049u, "the run has ended"},
    {0x80320025u, "no prepared problem: prepare it first (command 6)"},
    {0x80320268u, "no problem: load and prepare a model first"},
    {0x803201FEu, "a run folder or lock file cannot be made there"},
    {0x8032FFFFu, "refused or failed in the problem manager"},
    {0xA032FFFFu, "failed in the problem manager"},
    {0x8000FFFFu, "refused or failed: a service's general failure, or nobody handled it"},
    {0xA000FFFFu, "failed: the engine's lines above say why, or nobody serves that service"},
    {0xA0310047u, "no variables left to solve: the model has none that are not fixed"},
    {0x80000044u, "the working folder could not be entered: the engine uses another"},
    {0x80000028u, "not supported by that server"},
    {0x8000020Fu, "bad arguments"},
    {0x80000007u, "out of memory"},
    {0x8000000Bu, "a file could not be opened"},
    {0x80000015u, "not found"},
    {0x80000035u, "the other end of the connection is gone"},
    {0x80000042u, "the other end closed the connection"},
    {0xA0000035u, "the connection is closed"},
    {kClientGone, "the peer is lost: its connection closed"},
};

}  // namespace

std::string StatusMeaning(Status status) {
  for (const Known& known : kKnown) {
    if (known.status == status) return known.meaning;
  }
  // The COM failures the system has texts for; small values would read as
  // errno texts, which statuses are not.
  if (status::IsFailure(status)) {
    std::string text = platform::SystemMessageText(status);
    if (text.rfind("Unknown error", 0) != 0) return text;
  }
  return {};
}

std::string StatusWithMeaning(Status status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", status);
  const std::string meaning = StatusMeaning(status);
  return meaning.empty() ? hex : std::string(hex) + " (" + meaning + ")";
}

std::string EngineEnd(int exit_code) {
  if (exit_code == 0) return "the engine ended by itself, with exit code 0";
  if (exit_code == static_cast<int>(kClientGone & 0xFF)) {
    return "the engine ended as the client closed the connection, its normal end after the "
           "last step (exit code " + std::to_string(exit_code) +
           ": status 0xA0000037, its client is gone)";
  }
  if (exit_code < 0) return "the engine's end is not known";
  return "the engine ended with exit code " + std::to_string(exit_code) +
         " (the low byte of the failure status on its \"exit status\" line)";
}

}  // namespace vantor_client
