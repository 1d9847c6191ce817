#include "solve/open/kvs_guard.h"

#include <cstdio>

#include "foundation/messages/su_print.h"
#include "platform/exception_codes.h"

std::string KvsExceptionText(std::uint32_t code) {
  namespace e = platform::exception;
  const char* what = "unknown exception";
  switch (code) {
    case e::kAccessViolation:
      what = "access violation";
      break;
    case e::kDataMisalignment:
      what = "datatype misalignment";
      break;
    case e::kArrayBoundsExceeded:
      what = "array bounds exceeded";
      break;
    case e::kFloatDivideByZero:
      what = "float divide by zero";
      break;
    case e::kFloatInvalidOperation:
      what = "float invalid operation";
      break;
    case e::kFloatOverflow:
      what = "float overflow";
      break;
    case e::kFloatUnderflow:
      what = "float underflow";
      break;
    case e::kFloatInexactResult:
      what = "float inexact result";
      break;
    case e::kIntegerDivideByZero:
      what = "integer divide by zero";
      break;
    case e::kIntegerOverflow:
      what = "integer overflow";
      break;
    case e::kPrivilegedInstruction:
      what = "privileged instruction";
      break;
    default:
      break;
  }
  char text[96];
  std::snprintf(text, sizeof(text), "An exception (code 0x%08x - %s) occurred", code, what);
  return text;
}

void ReportKvsFault(std::uint32_t code, Status status) {
  const std::string text = KvsExceptionText(code);
  SuPrint(status, "%s", text.c_str());
}
