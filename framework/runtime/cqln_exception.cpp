#include "framework/runtime/cqln_exception.h"

CQLNException::CQLNException(Status code, const char* text)
    : code_(code), text_(text != nullptr ? text : "") {}

void ThrowCQLNException(Status code, const char* text) { throw CQLNException(code, text); }
