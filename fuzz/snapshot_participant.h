// A snapshot participant for the snapshot target and its seeds: it hands
// over whatever `section` holds, keeps what it is given back, and offers a
// structure record of `structure_bytes` bytes when asked for one.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/messaging/message.h"
#include "results/snapshots/snap_base.h"
#include "tests/results/quiet_participant.h"

namespace vantor_fuzz {

class SnapshotParticipant : public QuietParticipant {
 public:
  explicit SnapshotParticipant(std::uint32_t id, std::size_t structure_bytes = 0)
      : id_(id), structure_bytes_(structure_bytes) {}

  std::uint32_t Id(std::int32_t) override { return id_; }
  Status StructureRecord(std::int32_t, DseMessage** message) override {
    *message = nullptr;
    if (structure_bytes_ == 0) return status::kOk;
    *message = new DseMessage(50, 12);
    for (std::size_t i = 0; i < structure_bytes_; ++i)
      (*message)->PutUInt8(static_cast<std::uint8_t>(i * 13 + id_));
    return status::kOk;
  }
  Status MapStructure(std::int32_t, DseMessage* message) override {
    std::uint8_t b = 0;
    while (message != nullptr && status::IsSuccess(message->GetUInt8(&b))) {
    }
    return status::kOk;
  }
  Status SectionData(std::int32_t, const std::uint8_t** data, std::uint32_t* length) override {
    *data = section.data();
    *length = static_cast<std::uint32_t>(section.size());
    return status::kOk;
  }
  Status RestoreSection(std::int32_t, const std::uint8_t* data, std::uint32_t length) override {
    restored.assign(data, data + length);
    return status::kOk;
  }
  Status SnapshotWritten(std::int32_t) override { return status::kOk; }

  std::vector<std::uint8_t> section;
  std::vector<std::uint8_t> restored;

 private:
  std::uint32_t id_;
  std::size_t structure_bytes_;
};

}  // namespace vantor_fuzz
