// The bytes of a snapshot file: the file start, the structure records of the
// participants, the block headers of every file version, the data sections
// and the end marker. All integers are little-endian and the parts follow
// one another without gaps. The store (snapshot_mgr.h) decides when they are
// written; this file only turns them into bytes and back, checking every
// length it reads against the file it came from.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/collections/list_elem.h"
#include "platform/clock.h"
#include "platform/status.h"

class BvuBinaryStream;
class DseMessage;
class XosFileIO;

namespace snapshot {

inline constexpr Status kNotOpen = 0x8033000Bu;
inline constexpr Status kIoFailed = 0x8033FFFFu;
inline constexpr Status kShortRead = 0x8033000Du;
inline constexpr Status kShortWrite = 0x8033000Eu;
inline constexpr Status kVersionTooNew = 0x803301FFu;
inline constexpr Status kUnknownId = 0x80330015u;
// The same without the failure bit: the getters' answer for an unknown id.
inline constexpr Status kUnknownIdQuiet = 0x00330015u;
inline constexpr Status kNoUsableSnapshot = 0x00330046u;
// A snapshot id the listing cannot carry (see kLargestId).
inline constexpr Status kIdOutOfRange = 0x80330017u;
inline constexpr Status kCompressed = 0x00330000u;

inline constexpr std::uint32_t kCurrentVersion = 8;
inline constexpr std::uint32_t kHeaderSize = 248;
inline constexpr std::uint32_t kHeaderSizeV6 = 240;  // versions 6 and 7
inline constexpr std::uint32_t kHeaderSizeV1 = 128;  // versions 1 to 5
inline constexpr std::uint32_t kFileStartSize = 8;
inline constexpr std::uint32_t kRecordLeadSize = 8;
inline constexpr std::uint32_t kNameSize = 40;
inline constexpr std::uint32_t kDescriptionSize = 160;

inline constexpr std::uint32_t kLiveFlag = 0x80000000u;
inline constexpr std::uint32_t kKeptFlag = 0x40000000u;
inline constexpr std::uint32_t kIdMask = 0x3FFFFFFFu;
// The listing sends ids in 24 bits: no larger id is taken, and a file that
// holds one is refused rather than listed under a clipped id that names
// another snapshot.
inline constexpr std::uint32_t kLargestId = 0x00FFFFFFu;
inline constexpr std::uint32_t kNewId = 0xFFFFFFFFu;

inline constexpr const char* kSnapshotFileName = "snapshot.snp";
inline constexpr const char* kBackupFileName = "snapshot.bak";
inline constexpr const char* kNumberedNameFormat = "snp%c%04d.snp";
inline constexpr const char* kRemapTempName = "snaptmp00.snp";
inline constexpr const char* kCompressSuffix = ".compress";
inline constexpr const char* kCopySuffix = ".copy";
inline constexpr const char* kEndMarkerName = "EOF";

// Header size of a file version; 0 for a version this reader does not know.
std::uint32_t HeaderSizeOf(std::uint32_t version);

// Where the date and time of new headers come from; tests put a fixed clock
// in place. Returns the clock it replaces; null puts back the local clock.
using SnapshotClock = platform::LocalDateTime (*)();
SnapshotClock SetSnapshotClock(SnapshotClock clock);

}  // namespace snapshot

// A snapshot's place in the run history.
struct RunPosition {
  double time = 0.0;
  std::uint16_t run = 0;
  std::int16_t count = 0;
};

// One block header in memory, in the 248-byte form whatever the version of
// the file it came from, with the place where its data start. The store
// keeps them in a list from the newest block to the oldest.
class SputSSBlockHeader : public BvuListElem {
 public:
  std::uint64_t position = 0;
  std::uint32_t length = 0;          // header plus data, in the file's own layout
  std::uint8_t time_of_day[4] = {};  // second, minute, hour, 0
  std::uint8_t date[4] = {};         // day, month, year % 100, century
  std::uint32_t reserved20 = 0;
  double time = 0.0;
  std::uint16_t run = 0;
  std::int16_t count = 0;
  std::uint32_t reserved36 = 0;
  std::uint32_t flags = 0;
  char name[snapshot::kNameSize] = {};
  char description[snapshot::kDescriptionSize] = {};
  // Not stored in the header: where the data start, and the header size of
  // the file the header was read from.
  std::uint64_t data_position = 0;
  std::uint32_t header_size = snapshot::kHeaderSize;

  bool IsLive() const { return (flags & snapshot::kLiveFlag) != 0; }
  bool IsKept() const { return (flags & snapshot::kKeptFlag) != 0; }
  std::uint32_t Id() const { return flags & snapshot::kIdMask; }
  std::uint32_t DataLength() const { return length - header_size; }
  // An end marker: named "EOF", flags word 0 and length 0. A freed or live
  // snapshot that a user named "EOF" is none.
  bool IsEndMarker() const;

  // Longer texts are cut to 39 and 159 characters.
  void SetName(const char* text);
  void SetDescription(const char* text);
  void SetRunPosition(const RunPosition& at);
  RunPosition GetRunPosition() const;
  // From the snapshot clock, or from a text of up to six numbers separated
  // by anything else: day, month, year (four digits), hour, minute, second.
  void SetDateTimeNow();
  void SetDateTimeFromText(const char* text);
  // The date and time-of-day bytes as little-endian words.
  std::uint32_t DateWord() const;
  std::uint32_t TimeWord() const;

  // The 248-byte form.
  void Encode(std::uint8_t* out) const;
  // A header of the file version from its bytes (HeaderSizeOf(version) of
  // them); data_position and header_size are set from the position read.
  void Decode(const std::uint8_t* bytes, std::uint32_t version);

  // One entry of a snapshot listing, and back; the entry read is live and
  // not kept.
  Status WriteToMessage(BvuBinaryStream* message) const;
  Status ReadFromMessage(BvuBinaryStream* message);

  // An end marker at the position, dated now.
  static SputSSBlockHeader EndMarker(std::uint64_t position);
};

namespace snapshot {

// The u32 version at offset 0; kShortRead when the file is shorter.
Status ReadVersion(XosFileIO* file, std::uint32_t* version);

// What the header at `position` of a file of `file_size` bytes is.
enum class HeaderKind {
  kLive,
  kFreed,
  kEnd,
  // Short, or not a header: its position field is not its offset, its
  // length is below the header size or runs past the end of the file. A
  // torn append leaves such a tail; the scan ends before it.
  kImplausible,
};
Status ReadHeaderAt(XosFileIO* file, std::uint64_t position, std::uint64_t file_size,
                    std::uint32_t version, SputSSBlockHeader* header, HeaderKind* kind);

// The bytes of the structure record of one participant: the 8-byte lead and
// the message's wire segments (the message is packed; null gives length 8).
Status EncodeStructureRecord(std::uint32_t participant_id, DseMessage* message,
                             std::vector<std::uint8_t>* out);
// The message of a structure record from its bytes after the lead: a class-3
// message over the chain of its segments, or null for an empty record.
// kShortRead when the segments are damaged or incomplete.
Status DecodeStructureRecord(const std::uint8_t* bytes, std::size_t size, DseMessage** message);

// The file start, N structure records and where they end, for a file of
// file_size bytes. Records are checked to fit the file; kShortRead when the
// start or a record lead is short or a record runs past the end.
struct RecordPlace {
  std::uint64_t position = 0;
  std::uint32_t length = 0;
  std::uint32_t participant_id = 0;
};
Status ReadRecords(XosFileIO* file, std::uint64_t file_size, std::vector<RecordPlace>* records,
                   std::uint64_t* records_end);

// Writes all bytes at the position; kShortWrite for a short count, kIoFailed
// for a failed write (after the disk-full check on the file's name).
Status WriteBytes(XosFileIO* file, std::uint64_t position, const void* bytes, std::size_t size);
// Reads exactly size bytes; kShortRead when fewer are there.
Status ReadBytes(XosFileIO* file, std::uint64_t position, void* bytes, std::size_t size);
// fsync of the file; kIoFailed when it fails.
Status SyncFile(XosFileIO* file);

}  // namespace snapshot
