// The base of every object that takes part in snapshots: the store asks each
// participant for a structure record when it writes a file start, for a
// section of data when it takes a snapshot, and gives the section back when
// it restores one. Every operation takes the participant's index in the array
// it was reached through. The store never owns its participants.
//
// Declared here so that participants below the snapshot store (results/), such
// as the delay manager of the model, can take part. Every operation is the
// participant's to answer.
#pragma once

#include <cstdint>

#include "platform/status.h"

class DseMessage;

class SputSnapBase {
 public:
  virtual ~SputSnapBase() = default;

  // The id stored in structure records.
  virtual std::uint32_t Id(std::int32_t index) = 0;
  // A new message describing the participant's structure, or none; the
  // store releases it once written.
  virtual Status StructureRecord(std::int32_t index, DseMessage** message) = 0;
  // The message of the structure record of a file being opened.
  virtual Status MapStructure(std::int32_t record_index, DseMessage* message) = 0;
  // The section to store; the bytes stay the participant's and must stay
  // valid until the snapshot is written.
  virtual Status SectionData(std::int32_t index, const std::uint8_t** data,
                             std::uint32_t* length) = 0;
  virtual Status RestoreSection(std::int32_t index, const std::uint8_t* data,
                                std::uint32_t length) = 0;
  virtual Status SnapshotWritten(std::int32_t index) = 0;
  // *ready is preset to 1.
  virtual Status Ready(std::int32_t index, std::int32_t* ready) = 0;
  // A section of a file written for another structure, turned into this
  // participant's present layout. The new bytes are the participant's own
  // (they may be longer than the old ones) and stay valid until the next
  // call.
  virtual Status ConvertSection(std::int32_t index, const std::uint8_t* data, std::uint32_t length,
                                const std::uint8_t** converted,
                                std::uint32_t* converted_length) = 0;
  virtual Status RestoreFinished(std::int32_t index) = 0;
};
