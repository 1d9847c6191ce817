// How readers of messages and files say why they refused their input: one
// message line with the refusal's status, for the client's log.
#pragma once

#include <string>

#include "platform/status.h"

void ReportBadInput(Status status, const std::string& text);
