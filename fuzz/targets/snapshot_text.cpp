// The snapshot text record a client sends (header fields, then a results-data
// tree and value table, or a text), written out as snapshot text through the
// ASCII stream, then sent again and read back.
#include <string>

#include "fuzz/byte_stream.h"
#include "platform/com_memory_stream.h"
#include "results/manager/ascii_out_stream.h"
#include "results/snapshots/snapshot_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantor_fuzz::ByteStream stream(std::vector<std::uint8_t>(data, data + size));
  SimSnapshotTextRecord record;
  const Status read = record.ReadFromMessage(stream);

  platform::IStream* memory = nullptr;
  if (platform::CreateMemoryStream(&memory, std::size_t{1} << 20) != platform::S_OK) return 0;
  {
    CSUAsciiOutStream out(memory);
    WriteSnapshotText(record, out);
  }
  memory->Release();

  if (status::IsSuccess(read)) {
    vantor_fuzz::ByteStream again;
    if (status::IsSuccess(record.WriteToMessage(again))) {
      vantor_fuzz::ByteStream back(again.Bytes());
      SimSnapshotTextRecord copy;
      copy.ReadFromMessage(back);
    }
  }
  return 0;
}
