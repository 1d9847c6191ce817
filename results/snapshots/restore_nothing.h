// The restore side of a snapshot participant that takes nothing back from
// a file read: no structure to map, nothing to restore, always ready, its
// sections kept as they are. Participants that are only written from (an
// import, the tests' quiet fakes) derive from it.
#pragma once

#include <cstdint>

#include "results/snapshots/snap_base.h"

class SputRestoreNothing : public SputSnapBase {
 public:
  Status MapStructure(std::int32_t, DseMessage*) override { return status::kOk; }
  Status RestoreSection(std::int32_t, const std::uint8_t*, std::uint32_t) override {
    return status::kOk;
  }
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
