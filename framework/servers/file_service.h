// The file service: lets the client's user browse and manage the files of
// the machine the engine runs on. One request carries a 16-bit command
// number and its fields; the commands that return data answer with a reply
// message. The service has no state and no path restriction (the client is
// trusted and local). Requests run on the server thread.
#pragma once

#include <cstdint>
#include <functional>

#include "framework/servers/server_callback.h"
#include "platform/status.h"

class BvuBinaryStream;

// Commands of the file service.
enum class BvuFileCommand : std::uint16_t {
  kCurrentDirectory = 10,
  kChangeDirectory = 11,
  kParentDirectory = 12,
  kCreateDirectory = 13,
  kRemoveDirectory = 14,
  kListDirectory = 20,
  kFindEntries = 21,
  kDeleteFile = 22,
  kCopyFile = 23,
  kMoveFile = 24,
  kDeleteFiles = 25,
  kQueryPath = 26,
  kChangeDrive = 27,
};

// What commands 11 and 12 answer when the current folder changed.
inline constexpr Status kFolderChanged = 69;

// Gives the stream the reply of a command is written to (a fresh reply
// message, which the caller keeps); null when none can be made.
using BvuReplyMaker = std::function<BvuBinaryStream*()>;

// Reads the command number and its fields from the request and performs the
// command; only the commands that answer ask `make_reply` for a reply. An
// unknown number gives 0x8000020F and no reply; a failing read stops the
// command with that read's status.
Status RunFileCommand(BvuBinaryStream& request, const BvuReplyMaker& make_reply);

// The server callback of the file service. The problem manager owns one and
// registers it for its service ids.
class BvuFileService : public DseServerCB {
 public:
  // Performs the request's file command; a command that answers hands back
  // a fresh reply message (which the caller then owns), the others null.
  Status HandleRequest(std::uint32_t type, DseMessage* request, DseMessage** reply,
                       DseTemplate** kept) override;
};
