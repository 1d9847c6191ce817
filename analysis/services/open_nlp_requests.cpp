#include "analysis/services/open_nlp_requests.h"

#include <memory>

#include "analysis/services/analysis_services.h"
#include "foundation/persistence/binary_stream.h"

namespace open_nlp {

Status SetSolverOption(EstOpenNLPSolver* solver, const char* name, BvuBinaryStream& message,
                       Status failure) {
  std::uint16_t tag = 0;
  Status s = message.GetUInt16(&tag);
  if (status::IsFailure(s)) return s;
  std::uint32_t integer = 0;
  double real = 0.0;
  char* text = nullptr;
  std::int32_t kind = -1;
  const void* value = nullptr;
  switch (tag) {
    case EstNLPOption::kInteger:
      s = message.GetUInt32(&integer);
      kind = 0;
      value = &integer;
      break;
    case EstNLPOption::kReal:
      s = message.TryGet8(&real) == 1 ? status::kOk : 0x8000FFFFu;
      kind = 1;
      value = &real;
      break;
    case EstNLPOption::kString:
      s = message.GetStringNew(&text);
      kind = 2;
      value = text != nullptr ? text : "";
      break;
    default:
      return failure;
  }
  std::unique_ptr<char[]> owned(text);
  if (status::IsFailure(s)) return s;
  EstNLPOptions* options = solver != nullptr ? solver->Options() : nullptr;
  if (options == nullptr) return failure;
  const Status set = options->Set(name != nullptr ? name : "", kind, value);
  return status::IsFailure(set) ? failure : status::kOk;
}

}  // namespace open_nlp
