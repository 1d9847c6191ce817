// What the test engine serves: the service types, request kinds, commands
// and id-path items that the end-to-end tests, the benchmark and the example
// script drive it with.
#pragma once

#include <cstdint>

namespace test_engine {

// Served by the dummy server.
inline constexpr std::uint32_t kService = 50;
inline constexpr std::uint32_t kOtherService = 60;
// Announced, but registered without a server.
inline constexpr std::uint32_t kUnservedType = 61;
// Where kAskClient sends its request.
inline constexpr std::uint32_t kClientService = 86;

// Requests (subtype 12) start with one of these as a u16.
enum Kind : std::uint16_t {
  kEcho = 1,       // the reply's body is the rest of the request's
  kFail = 2,       // fails with 0x8000020F and no reply
  kAskClient = 3,  // sends the rest of the body to kClientService as a request;
                   // its outcome comes back as the event line
                   // "client answered 0x%08X: <reply body as text>"
};

// Commands (subtype 11).
enum Command : std::uint32_t {
  kPostLines = 1,     // every text becomes an event line of code 16, value integers[0]
  kTimerRound = 2,    // the control loop runs integers[0] (at least 1) rounds with timers
  kAnswerStatus = 3,  // answers integers[0] as its status
  kStall = 4,         // the engine stops reading for integers[0] ms
};

// Id-path read items, by first selector: a u32 that counts the lookups of
// the item (one more on every timer round), the double 2.5, the text "dummy".
enum Item : std::uint16_t { kCounter = 1, kReal = 2, kText = 3 };

}  // namespace test_engine
