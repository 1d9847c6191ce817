#include "foundation/interfaces/snap_base.h"

std::uint32_t SputSnapBase::Id(std::int32_t) { return 0; }

Status SputSnapBase::StructureRecord(std::int32_t, DseMessage** message) {
  *message = nullptr;
  return status::kOk;
}

Status SputSnapBase::MapStructure(std::int32_t, DseMessage*) { return status::kOk; }

Status SputSnapBase::SectionData(std::int32_t, const std::uint8_t** data, std::uint32_t* length) {
  *data = nullptr;
  *length = 0;
  return status::kOk;
}

Status SputSnapBase::RestoreSection(std::int32_t, const std::uint8_t*, std::uint32_t) {
  return status::kOk;
}

Status SputSnapBase::SnapshotWritten(std::int32_t) { return status::kOk; }

Status SputSnapBase::Ready(std::int32_t, std::int32_t* ready) {
  *ready = 1;
  return status::kOk;
}

Status SputSnapBase::ConvertSection(std::int32_t, const std::uint8_t* data, std::uint32_t length,
                                    const std::uint8_t** converted,
                                    std::uint32_t* converted_length) {
  *converted = data;
  *converted_length = length;
  return status::kOk;
}

Status SputSnapBase::RestoreFinished(std::int32_t) { return status::kOk; }
