#include "solve/open/kvs_guard.h"

#include <cstdio>

#include "foundation/messages/su_print.h"
#include "platform/exception_codes.h"

std::string KvsExceptionText(std::uint32_t code) {
  namespace e = platform::exception;
  const char* what = "";
  switch (code) {
    case e::kAccessViolation:
      what = " - access violation";
      break;
    case e::kIntegerDivideByZero:
      what = " - integer divide by zero";
      break;
    case e::kFloatDivideByZero:
      what = " - floating point divide by zero";
      break;
    case e::kFloatInvalidOperation:
      what = " - invalid operation";
      break;
    case e::kFloatOverflow:
      what = " - floating point overflow";
      break;
    default:
      break;
  }
  char text[96];
  std::snprintf(text, sizeof(text), "An exception (code 0x%x%s) occurred", code, what);
  return text;
}

void ReportKvsFault(std::uint32_t code, Status status) {
  const std::string text = KvsExceptionText(code);
  SuPrint(status, "%s", text.c_str());
}
