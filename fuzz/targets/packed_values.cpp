// Stored values and snapshot images of the packed value table. The first
// byte picks the form: even, the stream form of a whole table; odd, a
// snapshot image (u32 size of the record image, the records, then the pool
// section's bytes), read in the short record layout when bit 1 is set.
// Every record read is then turned back into a typed value and saved again.
#include <cstring>

#include "foundation/values/packed_value.h"
#include "foundation/values/snapshot_version.h"
#include "foundation/values/typed_value.h"
#include "fuzz/byte_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t form = data[0];
  ++data;
  --size;
  SUPackedValueTable table;
  if (form % 2 == 0) {
    vantor_fuzz::ByteStream stream(std::vector<std::uint8_t>(data, data + size));
    table.Restore(stream);
  } else {
    if (size < 4) return 0;
    SnapshotFileVersion = (form & 2) != 0 ? 6 : 0;
    std::uint32_t image_size = 0;
    std::memcpy(&image_size, data, 4);
    data += 4;
    size -= 4;
    if (image_size > size) image_size = static_cast<std::uint32_t>(size);
    table.LoadImage(data, image_size);
    table.Pool().LoadBytes(data + image_size, static_cast<std::uint32_t>(size - image_size));
  }
  for (std::int32_t i = 0; i < table.Count(); ++i) {
    SUValue value;
    table.Record(i).ToValue(&value, table.Pool());
    table.Record(i).StringAddress(table.Pool());
  }
  SnapshotFileVersion = 0;
  vantor_fuzz::ByteStream out;
  table.Save(out);
  table.GetImage();
  return 0;
}
