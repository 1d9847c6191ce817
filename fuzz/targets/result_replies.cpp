// The client's readers of result replies: the first byte picks one. Even:
// a kinds reply (its length in the second byte) followed by a values
// reply read by those kinds. Odd: request 58's reply.
#include <algorithm>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "tools/result_replies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  if (data[0] % 2 == 1) {
    vantor_client::RestoreReply reply;
    vantor_client::DecodeRestoreReply(vantor_client::Bytes(data + 1, data + size), &reply);
    return 0;
  }
  const std::size_t split = std::min<std::size_t>(size, 2 + std::size_t{data[1]});
  std::vector<std::uint16_t> kinds;
  if (!vantor_client::DecodeResultKinds(vantor_client::Bytes(data + 2, data + split), &kinds))
    return 0;
  std::vector<vantor_client::ResultValue> values;
  if (vantor_client::DecodeResultValues(vantor_client::Bytes(data + split, data + size), kinds,
                                        &values) &&
      values.size() != kinds.size())
    std::abort();
  return 0;
}
