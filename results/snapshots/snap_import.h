// Snapshots the client hands over in one message (for example kept by the
// modelling environment), turned into a snapshot file of the engine's own:
// the importer plays the three sections of the results manager that carry
// values (the value records, an empty problem-manager block, the value
// pool) and the structure the values were taken with.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/values/packed_value.h"
#include "results/snapshots/restore_nothing.h"
#include "results/snapshots/snapshot_format.h"

class BvuBinaryStream;
class BvuDirectoryProper;

// An import is only written from: nothing of a file read back is its.
class SputSnapImport : public SputRestoreNothing {
 public:
  static constexpr std::uint32_t kFirstId = 1000;
  static constexpr std::int32_t kSections = 3;

  // u32 count; per snapshot a listing header (SputSSBlockHeader's message
  // form) and a value table; then the structure tree of SimUseData nodes.
  // The first failing read ends it and is returned through *status.
  SputSnapImport(BvuBinaryStream& message, Status* status);
  ~SputSnapImport() override;
  SputSnapImport(const SputSnapImport&) = delete;
  SputSnapImport& operator=(const SputSnapImport&) = delete;

  // The import's message from its parts, for the client side and tests.
  static Status Write(BvuBinaryStream& message,
                      const std::vector<const SputSSBlockHeader*>& headers,
                      const std::vector<const SUPackedValueTable*>& values,
                      BvuDirectoryProper* structure);

  // Writes the snapshots into a new file (the next free name when null);
  // nothing is written for an import that was not read whole.
  Status CreateFile(const char* name);

  std::int32_t Count() const { return static_cast<std::int32_t>(headers_.size()); }
  const SputSSBlockHeader& Header(std::int32_t i) const {
    return headers_[static_cast<std::size_t>(i)];
  }

  // The structure tree, handed over (an empty tree stays); null once taken.
  BvuDirectoryProper* TakeStructure() {
    BvuDirectoryProper* taken = structure_;
    structure_ = nullptr;
    return taken;
  }
  // Snapshot i's value table, handed over.
  std::unique_ptr<SUPackedValueTable> TakeValues(std::int32_t i) {
    return std::move(values_[static_cast<std::size_t>(i)]);
  }

  // Each record carries the id of the results manager's section it stands
  // for, so that the manager's store hands every section to its place.
  std::uint32_t Id(std::int32_t index) override;
  Status StructureRecord(std::int32_t index, DseMessage** message) override;
  Status SectionData(std::int32_t index, const std::uint8_t** data, std::uint32_t* length) override;
  Status SnapshotWritten(std::int32_t index) override;

 private:
  Status read_status_;
  std::vector<SputSSBlockHeader> headers_;
  std::vector<std::unique_ptr<SUPackedValueTable>> values_;
  BvuDirectoryProper* structure_;
  std::size_t position_ = 0;
  std::size_t last_ = 0;
  std::vector<std::uint8_t> image_;
};
