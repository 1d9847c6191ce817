// The request entry that generated code and user procedures call under the
// name and signature their templates declare: it asks the options handler
// of the process's initialisation block, which the engine fills with its
// option table when it starts.
#include <cstdint>

#include "framework/libraries/library_api.h"

extern "C" __attribute__((visibility("default"))) int QLN_Rqst(int* option, int* iinfo,
                                                               double* xinfo, char** sinfo) {
  constexpr int kNoAnswer = -1;
  // Callers may pass null for outs they do not want; handlers written
  // into generated code do not expect that.
  std::int32_t integer = 0;
  double real = 0.0;
  const char* text = nullptr;
  int answer = kNoAnswer;
  const QLNInitializationBlock* block = GetDLLInitializationData();
  if (option != nullptr && block != nullptr && block->options_handler != nullptr) {
    answer = block->options_handler->OptionRequest(*option, &integer, &real, &text);
  }
  if (answer == kNoAnswer) {
    integer = 0;
    real = 0.0;
    text = nullptr;
  }
  if (iinfo != nullptr) *iinfo = integer;
  if (xinfo != nullptr) *xinfo = real;
  // The handler's own text: read, never written or freed.
  if (sinfo != nullptr) *sinfo = const_cast<char*>(text);
  return answer;
}
