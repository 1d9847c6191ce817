// DseServerRegistry: the services this process offers, one server callback
// per service type, and the decoding of requests for them: commands, id-path
// reads and writes, requests, and lines for the I/O server (type 4) with the
// three log callbacks that take such lines when no server does. It also
// builds status-only replies. The server thread owns it and lends it to the
// controller, whose dispatch is its only caller.
#pragma once

#include <cstdint>

#include "framework/messaging/bb_tree.h"
#include "platform/status.h"

class DseMessage;
class DseServerCB;
class DseTemplate;

// A log callback: (code, value, line count, lines).
using DseLogCallback = Status (*)(std::uint32_t code, std::uint32_t value, std::uint32_t line_count,
                                  const char* const* lines);

// One registered service type and its server.
class DseServerLeaf : public DseBBTreeLeaf {
 public:
  DseServerLeaf(std::uint32_t service_type, DseServerCB* server)
      : type(service_type), callback(server) {}
  std::uint32_t GetId() const override { return type; }

  std::uint32_t type;
  DseServerCB* callback;  // not owned
};

class DseServerRegistry {
 public:
  static constexpr std::uint32_t kIOServerType = 4;
  static constexpr Status kNoLogCallback = 0x80000015u;

  DseServerRegistry() = default;
  DseServerRegistry(const DseServerRegistry&) = delete;
  DseServerRegistry& operator=(const DseServerRegistry&) = delete;

  // A type registered again keeps its place and takes the new callback.
  Status Register(std::uint32_t type, DseServerCB* callback);
  // The server of a type, or null.
  DseServerCB* FindServer(std::uint32_t type) const;
  // The registered types in registration order (what peers are told).
  const DseTokenList& Types() const { return types_; }
  // For codes 16, 17, and 18 with every other code; null until installed.
  void SetLogCallbacks(DseLogCallback first, DseLogCallback second, DseLogCallback third);

  // Subtypes 7 and 12: the server's HandleRequest; 0xA000FFFF without one.
  Status ExecuteRequest(DseMessage* request, DseMessage** reply, DseTemplate** kept);
  // Subtype 11: decodes the command and calls HandleCommand.
  Status ExecuteCommand(DseMessage* request);
  // Subtypes 7 (read: a DseResponse comes back through kept) and 8 (write).
  Status ExecuteIdPathRequest(DseMessage* request, DseTemplate** kept);
  // The default service behind DseServerCB::HandleRequest.
  Status ServeIdPathRequest(DseMessage* request, DseTemplate** kept);
  // Type 4 lines of one code.
  Status ExecuteIOServerCommand(DseMessage* request, std::uint32_t code);

  // Status-only replies (flags | 0x88, sequence + 1, body the u32 status),
  // packed without a new id; to a received request or to a kept template.
  static Status MakeStatusReplyTo(Status result, const DseMessage& request, DseMessage** reply);
  static Status MakeStatusReply(Status result, const DseTemplate& kept, DseMessage** reply);

 private:
  Status ReadItems(DseMessage* request, DseServerCB* server, DseTemplate** kept);
  Status WriteItems(DseMessage* request, DseServerCB* server);
  Status Log(std::uint32_t code, std::uint32_t value, std::uint32_t line_count,
             const char* const* lines) const;

  DseBBTree servers_;
  DseTokenList types_;
  DseLogCallback log_[3] = {nullptr, nullptr, nullptr};
};
