// The bytes of the plot-history file: an array of 256-byte blocks, block n
// at n * 256, little-endian. Block 0 is the header; directory blocks name
// the recorded variables and chain from the header; value blocks hold each
// variable's stored points as (value, time) pairs and chain per variable;
// free blocks chain from the header through their link field. This file
// only turns blocks into bytes and back; the manager decides what to write.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/status.h"

namespace plot {

inline constexpr std::uint32_t kBlockSize = 256;
using Block = std::array<std::uint8_t, kBlockSize>;

inline constexpr const char* kFileName = "PlotData.cpd";
inline constexpr const char* kBackupName = "PlotData.bak";
inline constexpr const char* kSetAsideName = "PlotData.cpd.bad";

inline constexpr std::uint32_t kHeaderKind = 1;
inline constexpr std::uint32_t kDirectoryKind = 2;
inline constexpr std::uint32_t kValueKind = 3;
inline constexpr std::uint32_t kFormat = 4;

inline constexpr std::uint32_t kPairCount = 15;
inline constexpr std::uint32_t kNameSize = 240;  // with its NUL
inline constexpr double kDefaultTolerance = 0.0001;

// Recording states, kept in a variable's last value block.
inline constexpr std::uint16_t kCreated = 0xFFFD;
inline constexpr std::uint16_t kOnePoint = 0xFFFE;
inline constexpr std::uint16_t kReAdded = 0xFFFB;
inline constexpr std::uint16_t kRestartStored = 0xFFFC;
inline constexpr std::uint16_t kStopped = 0xFFFF;
inline constexpr std::uint16_t kNormal = 0;

// Times that mark pairs: the open pair (its value is the slope) and a stop.
inline constexpr double kOpenTime = -1.0;
inline constexpr double kStopTime = -2.0;
// A value that is not finite is stored as the single-precision 1e28.
inline constexpr double kNonFinite = 9.99999944211969e27;
// A jump in a plot-data reply is escaped by the single-precision 3e28.
inline constexpr double kJumpEscape = 2.999999950695069e28;
// The reports' marker for "no predicted point pending".
inline constexpr double kNoMarker = 2e28;

inline constexpr Status kNotOpen = 0x8000000Bu;
inline constexpr Status kIoFailed = 0x8000FFFFu;
inline constexpr Status kShortRead = 0x8000000Du;
inline constexpr Status kNotFound = 0x80000015u;
inline constexpr Status kNonFiniteValue = 81;
inline constexpr Status kNoData = 59;

struct Header {
  std::uint32_t first_directory = 0;
  std::uint32_t kind = kHeaderKind;
  std::uint32_t format = kFormat;
  std::uint32_t free_head = 0;
  std::uint32_t free_tail = 0;
  std::uint32_t entry_count = 0;
  std::uint32_t next_unused = 1;
  std::uint32_t started = 0;
  double last_time = 0.0;
  double tolerance = kDefaultTolerance;

  void Encode(Block* out) const;
  // Any bytes; the caller judges the fields.
  void Decode(const Block& in);
};

// The parts every directory and value block shares.
std::uint32_t OwnNumber(const Block& b);
std::uint32_t NextLink(const Block& b);
std::uint32_t KindOf(const Block& b);
void SetOwnNumber(Block* b, std::uint32_t n);
void SetNextLink(Block* b, std::uint32_t n);
void SetKind(Block* b, std::uint32_t kind);

// Directory block fields.
std::uint32_t FirstValueBlock(const Block& b);
void SetFirstValueBlock(Block* b, std::uint32_t n);
// Up to the first NUL of the 240-byte field.
std::string NameOf(const Block& b);
// At most 239 characters are kept.
void SetName(Block* b, const std::string& name);

// Value block fields.
std::uint16_t LastUsed(const Block& b);
std::uint16_t StateOf(const Block& b);
void SetLastUsed(Block* b, std::uint16_t index);
void SetState(Block* b, std::uint16_t state);
double PairValue(const Block& b, std::uint32_t index);
double PairTime(const Block& b, std::uint32_t index);
void SetPair(Block* b, std::uint32_t index, double value, double time);

// An empty block of a kind with its own number.
Block NewBlock(std::uint32_t number, std::uint32_t kind);

}  // namespace plot
