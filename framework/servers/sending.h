// The entry points through which any code of the process sends a message,
// sends and waits for the replies, or posts event lines to the client. All
// go through the one controller (message_controller.h) and run on the
// server thread only.
#pragma once

#include <cstdint>

#include "platform/status.h"

class DseBlockingClientCB;
class DseClientCB;
class DseMessage;
class DseSentMark;

// Option bit: the request stays pending after its replies.
inline constexpr std::uint32_t kDseKeepPending = 4;

// Whether a controller is published and this is its thread, the one that
// may send and poll.
bool DseOnControllerThread();

// 0xA000FFFF when no controller exists (the message stays the caller's).
Status DseSendMessage(DseMessage* message, std::uint32_t options, DseClientCB* client,
                      void* context, const double* interval, std::int32_t timeout_ms);

// Sends with waits as the time-out and polls until the request completes or
// waits one-millisecond waits have passed (0xA000FFFF). A request still
// pending when the call returns (timed out, kept pending, or periodic) is
// cancelled, so that no reply can reach the waiter's finished frame.
Status DseSendAndWait(DseMessage* message, std::uint32_t options, DseClientCB* client,
                      void* context, const double* interval, std::int32_t waits);

// While the client waits: sleep 1 ms, poll once; waits below 1 mean 1,000.
// 0 when the request completed, 0xA000FFFF when the count ran out.
Status DseWaitForReply(DseBlockingClientCB* client, std::int32_t waits);

// One event with one line.
Status DsePostEventText(std::uint32_t code, std::uint32_t value, const char* text);
// Code 16 is a line of the client's message log. A mark, when given, is
// set on the last event, to learn when it has left.
Status DsePostEvent(std::uint32_t code, std::int32_t count, const std::uint32_t* values,
                    const std::uint32_t* line_counts, const char* const* const* lines,
                    DseSentMark* mark);
// Whether output for a peer still waits for room on its connection (false
// without a controller).
bool DseOutputWaiting();
