// A table of compact records: its stream form and its byte image, which
// older snapshot files (versions 1 to 6) store without the flag word. The
// image is written field by field: a record in memory is padded to 32 bytes.
#include <cstring>

#include "foundation/persistence/binary_stream.h"
#include "foundation/values/packed_value.h"
#include "foundation/values/snapshot_version.h"
#include "platform/byte_order.h"

namespace {

constexpr std::uint32_t kAttributeAt = 8;
constexpr std::uint32_t kTypeAt = 10;
constexpr std::uint32_t kPayloadAt = 12;
constexpr std::uint32_t kFlagsAt = 20;

// The record size of images in the file being read.
std::uint32_t ImageRecordSize() {
  return SnapshotFileVersion >= 1 && SnapshotFileVersion <= 6 ? SUPackedValueTable::kShortRecordSize
                                                              : SUPackedValueTable::kRecordSize;
}

// Attribute, type, payload and flag word of one image record.
void ReadFields(const std::uint8_t* at, std::uint32_t record_size, SUPackedValue* record) {
  record->attribute = platform::LoadLE16(at + kAttributeAt);
  record->type = platform::LoadLE16(at + kTypeAt);
  record->payload.bits = platform::LoadLE64(at + kPayloadAt);
  record->flags = record_size == SUPackedValueTable::kRecordSize ? platform::LoadLE32(at + kFlagsAt)
                                                                 : SUPackedValue::kFreshFlags;
}

void WriteRecord(const SUPackedValue& record, std::uint32_t record_size, std::uint8_t* at) {
  platform::StoreLE64(at,
                      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(record.owner)));
  platform::StoreLE16(at + kAttributeAt, record.attribute);
  platform::StoreLE16(at + kTypeAt, record.type);
  platform::StoreLE64(at + kPayloadAt, record.payload.bits);
  if (record_size == SUPackedValueTable::kRecordSize)
    platform::StoreLE32(at + kFlagsAt, record.flags);
}

}  // namespace

void SUPackedValueTable::Resize(std::int32_t count) {
  records_.assign(static_cast<std::size_t>(count > 0 ? count : 0), SUPackedValue{});
}

Status SUPackedValueTable::Save(BvuBinaryStream& stream) const {
  Status saved = stream.PutUInt32(static_cast<std::uint32_t>(records_.size()));
  for (const SUPackedValue& record : records_) {
    const Status put = record.Save(stream, pool_);
    if (status::IsSuccess(saved)) saved = put;
  }
  return saved;
}

Status SUPackedValueTable::Restore(BvuBinaryStream& stream) {
  pool_.Clear();
  records_.clear();
  std::uint32_t n = 0;
  Status read = stream.GetUInt32(&n);
  // Records are added as they are read, so a damaged count asks for nothing.
  for (std::uint32_t i = 0; i < n && status::IsSuccess(read); ++i) {
    SUPackedValue record;
    read = record.Restore(stream, pool_);
    if (status::IsSuccess(read)) records_.push_back(record);
  }
  return read;
}

std::vector<std::uint8_t> SUPackedValueTable::GetImage() const {
  std::vector<std::uint8_t> image(records_.size() * kRecordSize);
  for (std::size_t i = 0; i < records_.size(); ++i)
    WriteRecord(records_[i], kRecordSize, &image[i * kRecordSize]);
  return image;
}

Status SUPackedValueTable::LoadImage(const std::uint8_t* bytes, std::uint32_t size) {
  const std::uint32_t record_size = ImageRecordSize();
  if (size % record_size != 0) return status::kBadArguments;
  const std::uint32_t n = size / record_size;
  if (records_.size() != n) Resize(static_cast<std::int32_t>(n));
  for (std::uint32_t i = 0; i < n; ++i) {
    SUPackedValue& record = records_[i];
    record.owner = nullptr;
    ReadFields(bytes + static_cast<std::size_t>(i) * record_size, record_size, &record);
  }
  return status::kOk;
}

Status SUPackedValueTable::Reorder(std::uint8_t* image, std::uint32_t size,
                                   const std::uint32_t* index) {
  const std::uint32_t record_size = ImageRecordSize();
  if (size % record_size != 0) return status::kBadArguments;
  const std::uint32_t in_image = size / record_size;
  if (records_.size() > in_image) return status::kBadArguments;
  for (std::size_t i = 0; i < records_.size(); ++i) {
    if (index[i] >= in_image) return status::kBadArguments;
  }
  for (std::size_t i = 0; i < records_.size(); ++i) {
    ReadFields(image + static_cast<std::size_t>(index[i]) * record_size, record_size, &records_[i]);
  }
  for (std::size_t i = 0; i < records_.size(); ++i)
    WriteRecord(records_[i], record_size, image + i * record_size);
  return status::kOk;
}
