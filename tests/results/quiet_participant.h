// A snapshot participant's operations that a fake does not look at,
// answered as a participant with nothing to store: id 0, no structure
// record, empty sections, ready, sections converted as they are. A fake
// derives from it and answers what its test looks at.
#pragma once

#include <cstdint>

#include "foundation/interfaces/snap_base.h"

class QuietParticipant : public SputSnapBase {
 public:
  std::uint32_t Id(std::int32_t) override { return 0; }
  Status StructureRecord(std::int32_t, DseMessage** message) override {
    *message = nullptr;
    return status::kOk;
  }
  Status MapStructure(std::int32_t, DseMessage*) override { return status::kOk; }
  Status SectionData(std::int32_t, const std::uint8_t** data, std::uint32_t* length) override {
    *data = nullptr;
    *length = 0;
    return status::kOk;
  }
  Status RestoreSection(std::int32_t, const std::uint8_t*, std::uint32_t) override {
    return status::kOk;
  }
  Status SnapshotWritten(std::int32_t) override { return status::kOk; }
  Status Ready(std::int32_t, std::int32_t* ready) override {
    *ready = 1;
    return status::kOk;
  }
  Status ConvertSection(std::int32_t, const std::uint8_t* data, std::uint32_t length,
                        const std::uint8_t** converted, std::uint32_t* converted_length) override {
    *converted = data;
    *converted_length = length;
    return status::kOk;
  }
  Status RestoreFinished(std::int32_t) override { return status::kOk; }
};
