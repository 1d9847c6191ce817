#include "results/snapshots/snap_import.h"

#include <cstring>

#include "foundation/directory/directory_node.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/messaging/message.h"
#include "results/snapshots/snapshot_mgr.h"
#include "results/snapshots/snapshot_text.h"

namespace {
constexpr Status kNoSuchSection = 0x8000FFFFu;
constexpr std::uint32_t kGrowth = 16;
}  // namespace

SputSnapImport::SputSnapImport(BvuBinaryStream& message, Status* status)
    : read_status_(status::kOk), structure_(new BvuDirectoryProper(nullptr, "")) {
  std::uint32_t count = 0;
  Status s = message.GetUInt32(&count);
  // The count comes from outside: room grows with what is read, not with it.
  for (std::uint32_t i = 0; i < count && status::IsSuccess(s); ++i) {
    SputSSBlockHeader header;
    s = header.ReadFromMessage(&message);
    if (status::IsFailure(s)) break;
    auto table = std::make_unique<SUPackedValueTable>();
    s = table->Restore(message);
    if (status::IsFailure(s)) break;
    if (headers_.size() == headers_.capacity()) {
      headers_.reserve(headers_.size() + kGrowth);
      values_.reserve(values_.size() + kGrowth);
    }
    headers_.push_back(header);
    values_.push_back(std::move(table));
  }
  if (status::IsSuccess(s)) s = structure_->ReadTree(message, ReadUseDataNode, nullptr);
  read_status_ = status::IsFailure(s) ? s : status::kOk;
  if (status != nullptr) *status = read_status_;
}

SputSnapImport::~SputSnapImport() {
  if (structure_ == nullptr) return;
  BvuDirectoryProper::DeleteBelow(structure_);
  delete structure_;
}

Status SputSnapImport::Write(BvuBinaryStream& message,
                             const std::vector<const SputSSBlockHeader*>& headers,
                             const std::vector<const SUPackedValueTable*>& values,
                             BvuDirectoryProper* structure) {
  if (headers.size() != values.size()) return status::kBadArguments;
  Status s = message.PutUInt32(static_cast<std::uint32_t>(headers.size()));
  for (std::size_t i = 0; i < headers.size() && status::IsSuccess(s); ++i) {
    s = headers[i]->WriteToMessage(&message);
    if (status::IsSuccess(s)) s = values[i]->Save(message);
  }
  if (status::IsSuccess(s)) s = WriteUseDataTree(structure, message);
  return s;
}

Status SputSnapImport::CreateFile(const char* name) {
  if (status::IsFailure(read_status_)) return read_status_;
  SputSnapshotMgr store;
  const SputSnapshotMgr::Participants participants(kSections, this);
  std::vector<const SputSSBlockHeader*> headers;
  for (const SputSSBlockHeader& h : headers_) headers.push_back(&h);
  position_ = 0;
  return store.CreateFileWithSnapshots(name, participants, headers);
}

std::uint32_t SputSnapImport::Id(std::int32_t index) {
  return index >= 0 ? kFirstId + static_cast<std::uint32_t>(index % kSections) : 0;
}

Status SputSnapImport::StructureRecord(std::int32_t index, DseMessage** message) {
  *message = nullptr;
  if (index < 0 || index >= kSections) return kNoSuchSection;
  auto* record = new DseMessage(55, DseMessage::kRequest);
  if (index == 0 && structure_ != nullptr) {
    const Status s = WriteUseDataTree(structure_, *record);
    if (status::IsFailure(s)) {
      delete record;
      return s;
    }
  }
  *message = record;
  return status::kOk;
}

Status SputSnapImport::SectionData(std::int32_t index, const std::uint8_t** data,
                                   std::uint32_t* length) {
  *data = nullptr;
  *length = 0;
  if (index < 0) return kNoSuchSection;
  switch (index % kSections) {
    case 0: {
      if (position_ >= values_.size()) return kNoSuchSection;
      last_ = position_++;
      image_ = values_[last_]->GetImage();
      for (std::size_t at = 0; at + SUPackedValueTable::kRecordSize <= image_.size();
           at += SUPackedValueTable::kRecordSize)
        std::memset(image_.data() + at, 0, 8);
      *data = image_.data();
      *length = static_cast<std::uint32_t>(image_.size());
      return status::kOk;
    }
    case 2:
      if (last_ < values_.size()) {
        *data = values_[last_]->Pool().Data();
        *length = values_[last_]->Pool().Used();
      }
      return status::kOk;
    default:
      return status::kOk;
  }
}

Status SputSnapImport::SnapshotWritten(std::int32_t) {
  position_ = 0;
  return status::kOk;
}
