// Delay histories from snapshots: a header, then a block restored directly or
// through the name map, into a manager with two delayed variables. Input: u32
// header length, the header, a mode byte (0 direct, 1 mapped, 2 the rest is
// the whole block, its breaks too), then the block's two ring indices and
// the start of its rows (the rest of an image of the right size is zero).
#include <cstring>
#include <vector>

#include "daes/delays/delay_mgr.h"
#include "daes/instance/instance_node.h"
#include "daes/model/variable.h"
#include "fuzz/byte_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t header_length = 0;
  std::memcpy(&header_length, data, 4);
  if (header_length > size - 4) return 0;
  const std::uint8_t* rest = data + 4 + header_length;
  std::size_t left = size - 4 - header_length;

  auto* root = new DAESInstanceNode(nullptr, nullptr);
  DelayMgr mgr;
  for (std::int32_t i = 1; i <= 2; ++i) {
    auto* v = new DAESRealVariable(root, i == 1 ? "x" : "y");
    root->InsertChildAt(i, v);
    v->RegisterDelay();
  }
  mgr.InitHistory();
  for (int k = 0; k < 3; ++k) mgr.RecordAll(k);

  vantor_fuzz::ByteStream header(std::vector<std::uint8_t>(data + 4, data + 4 + header_length));
  const Status read = mgr.ReadHeader(delays::kHistoryKind, header);
  std::int32_t ready = 1;
  mgr.Ready(delays::kHistoryKind, &ready);
  const std::uint8_t mode = left > 0 ? rest[0] % 3 : 0;
  if (left > 0) ++rest, --left;
  std::vector<std::uint8_t> block;
  if (mode == 2) {
    block.assign(rest, rest + left);
  } else {
    const std::int64_t columns = mode == 1 && read == 0 ? mgr.SavedNameCount() : 2;
    const std::uint32_t entries = delays::ImageEntries(columns, delays::kRows);
    if (entries != 0 && entries <= 4u * delays::kRows + 1u) {
      block.assign(static_cast<std::size_t>(entries) * 8u, 0);
      const std::size_t ends = std::min<std::size_t>(left, 8);
      std::memcpy(block.data() + block.size() - 8, rest, ends);
      std::memcpy(block.data(), rest + ends, std::min<std::size_t>(left - ends, block.size() - 8));
    }
  }
  const std::uint8_t* out = nullptr;
  std::uint32_t out_length = 0;
  if (mode == 1 || (mode == 2 && !block.empty() && block[0] % 2 == 1)) {
    mgr.ConvertSection(delays::kHistoryKind, block.data(), static_cast<std::uint32_t>(block.size()),
                       &out, &out_length);
  } else {
    mgr.RestoreSection(delays::kHistoryKind, block.data(),
                       static_cast<std::uint32_t>(block.size()));
  }
  // Whatever was restored must be readable.
  double v = 0.0;
  const DelayHistory& h = mgr.History();
  for (std::int32_t r = 0; r < h.RecordCount(); r += 97) h.Lookup(1 + r % 2, h.TimeAt(r), 1e9, &v);
  // And its jumps found, whatever order its times came in.
  double at = 0.0;
  if (h.RecordCount() > 0) h.NextJump(h.TimeAt(0) - 1.0, 1e300, {{1, 0.5}, {2, 0.0}}, &at);
  // And written back as it reads: the block of a copy is the same.
  std::vector<std::uint8_t> again, twice;
  if (h.WriteBlock(&again) == 0) {
    const auto length = static_cast<std::uint32_t>(again.size());
    std::int32_t rows = 0;
    DelayHistory copy;
    if (!delays::BlockRows(again.data(), length, h.Columns(), delays::kRows, &rows) ||
        copy.Init(h.Columns(), rows) != 0 ||
        copy.RestoreBlock(again.data(), length, h.Columns(), delays::kRows, nullptr) != 0 ||
        copy.WriteBlock(&twice) != 0 || twice != again) {
      __builtin_trap();
    }
  }
  mgr.RestoreFinished(delays::kHistoryKind);
  BvuDirectoryProper::DeleteBelow(root);
  delete root;
  return 0;
}
