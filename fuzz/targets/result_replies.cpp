// The client's readers of result replies: the first byte picks one. Even:
// a kinds reply (its length in the second byte) followed by a values
// reply read by those kinds. 3 and 5 (mod 8): a time plot's header (its
// length in the second byte) and data, the data read as a profile's too;
// a reply of request 20 (5 mod 16) or 146 (13 mod 16). 7: a snapshot list,
// a file list and a sent snapshot (kind 33) from the same bytes, the last
// also read through its tree into an import. Other odd
// ones: request 58's reply.
#include <algorithm>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "tools/result_replies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  if (data[0] % 8 == 3) {
    const std::size_t split = std::min<std::size_t>(size, 2 + std::size_t{data[1]});
    vantor_client::PlotData plot;
    if (!vantor_client::DecodePlotHeader(vantor_client::Bytes(data + 2, data + split), &plot))
      return 0;
    const vantor_client::Bytes values(data + split, data + size);
    if (vantor_client::DecodePlotData(values, &plot)) {
      for (const auto& samples : plot.samples)
        if (samples.size() != plot.samples[0].size()) std::abort();
    }
    // The same values as a profile's: as many of each variable as times.
    vantor_client::ProfileData profile;
    if (vantor_client::DecodeProfileData(values, &profile)) {
      for (const auto& at_times : profile.values)
        if (at_times.size() != profile.times.size()) std::abort();
    }
    return 0;
  }
  if (data[0] % 8 == 7) {
    const vantor_client::Bytes body(data + 1, data + size);
    std::vector<vantor_client::SnapshotEntry> list;
    std::vector<std::string> names;
    vantor_client::SnapshotEntry entry;
    vantor_client::DecodeSnapshotList(body, 0, &list);
    vantor_client::DecodeFileList(body, &names);
    vantor_client::DecodeSentSnapshot(body, 33, &entry);
    // A sent snapshot read to the end of its tree for an import.
    vantor_client::Request import(55);
    vantor_client::PutSnapshotImport(import, {body});
    return 0;
  }
  if (data[0] % 8 == 5) {
    vantor_client::UseReply reply;
    const std::uint16_t request = data[0] % 16 == 5 ? 20 : 146;
    if (vantor_client::DecodeUseReply(vantor_client::Bytes(data + 1, data + size), request,
                                      &reply) &&
        request == 146 && reply.staged_names.size() != reply.staged)
      std::abort();
    return 0;
  }
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
