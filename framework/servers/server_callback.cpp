#include "framework/servers/server_callback.h"

#include "framework/messaging/message.h"
#include "framework/servers/server_registry.h"

DseServerCB::~DseServerCB() = default;

Status DseServerCB::HandleCommand(std::uint32_t, std::uint32_t, std::uint32_t, const char* const*,
                                  std::uint32_t, const std::int32_t*, std::uint32_t,
                                  const double*) {
  return status::kNotSupported;
}

Status DseServerCB::GetItem(std::uint32_t, const BvuIdPath&, std::uint32_t, std::uint32_t,
                            std::uint32_t*, void**) {
  return status::kNotSupported;
}

Status DseServerCB::SetItem(std::uint32_t, const BvuIdPath&, std::uint32_t, std::uint32_t,
                            SUValue*) {
  return status::kNotSupported;
}

Status DseServerCB::HandleRequest(std::uint32_t, DseMessage* request, DseMessage**,
                                  DseTemplate** kept) {
  if (request->subtype != DseMessage::kIdPathRead || registry == nullptr)
    return status::kNotSupported;
  return registry->ServeIdPathRequest(request, kept);
}

Status DseServerCB::HandleIOServerCommand(std::uint32_t, std::uint32_t, std::uint32_t,
                                          const char* const*) {
  return status::kNotSupported;
}
