#include "framework/libraries/proxy_options_handler.h"

std::int32_t ProxyOptionsHandler::OptionRequest(std::int32_t option, std::int32_t* iinfo,
                                                double* xinfo, const char** sinfo) {
  // A handler never asks itself: that would not end.
  if (first != nullptr && first != this) {
    const std::int32_t answer = first->OptionRequest(option, iinfo, xinfo, sinfo);
    if (answer != kUnknownRequest) return answer;
  }
  if (second != nullptr && second != this)
    return second->OptionRequest(option, iinfo, xinfo, sinfo);
  return kUnknownRequest;
}
