// A snapshot participant's operations that a fake does not look at,
// answered as a participant with nothing to store: id 0, no structure
// record, empty sections, ready, sections converted as they are. A fake
// derives from it and answers what its test looks at.
#pragma once

#include <cstdint>

#include "results/snapshots/restore_nothing.h"

class QuietParticipant : public SputRestoreNothing {
 public:
  std::uint32_t Id(std::int32_t) override { return 0; }
  Status StructureRecord(std::int32_t, DseMessage** message) override {
    *message = nullptr;
    return status::kOk;
  }
  Status SectionData(std::int32_t, const std::uint8_t** data, std::uint32_t* length) override {
    *data = nullptr;
    *length = 0;
    return status::kOk;
  }
  Status SnapshotWritten(std::int32_t) override { return status::kOk; }
};
