#include "results/plot/plot_format.h"

#include <cstring>

#include "platform/byte_order.h"

namespace plot {
namespace {

using platform::LoadLE16;
using platform::LoadLE32;
using platform::LoadLE64;
using platform::StoreLE16;
using platform::StoreLE32;
using platform::StoreLE64;

double LoadDouble(const std::uint8_t* p) {
  const std::uint64_t bits = LoadLE64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

void StoreDouble(std::uint8_t* p, double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  StoreLE64(p, bits);
}

constexpr std::uint32_t kPairsAt = 16;

}  // namespace

void Header::Encode(Block* out) const {
  out->fill(0);
  std::uint8_t* p = out->data();
  StoreLE32(p + 4, first_directory);
  StoreLE32(p + 8, kind);
  StoreLE32(p + 12, format);
  StoreLE32(p + 16, free_head);
  StoreLE32(p + 20, free_tail);
  StoreLE32(p + 24, entry_count);
  StoreLE32(p + 28, next_unused);
  StoreLE32(p + 32, started);
  StoreDouble(p + 40, last_time);
  StoreDouble(p + 48, tolerance);
}

void Header::Decode(const Block& in) {
  const std::uint8_t* p = in.data();
  first_directory = LoadLE32(p + 4);
  kind = LoadLE32(p + 8);
  format = LoadLE32(p + 12);
  free_head = LoadLE32(p + 16);
  free_tail = LoadLE32(p + 20);
  entry_count = LoadLE32(p + 24);
  next_unused = LoadLE32(p + 28);
  started = LoadLE32(p + 32);
  last_time = LoadDouble(p + 40);
  tolerance = LoadDouble(p + 48);
}

std::uint32_t OwnNumber(const Block& b) { return LoadLE32(b.data()); }
std::uint32_t NextLink(const Block& b) { return LoadLE32(b.data() + 4); }
std::uint32_t KindOf(const Block& b) { return LoadLE32(b.data() + 8); }
void SetOwnNumber(Block* b, std::uint32_t n) { StoreLE32(b->data(), n); }
void SetNextLink(Block* b, std::uint32_t n) { StoreLE32(b->data() + 4, n); }
void SetKind(Block* b, std::uint32_t kind) { StoreLE32(b->data() + 8, kind); }

std::uint32_t FirstValueBlock(const Block& b) { return LoadLE32(b.data() + 12); }
void SetFirstValueBlock(Block* b, std::uint32_t n) { StoreLE32(b->data() + 12, n); }

std::string NameOf(const Block& b) {
  const char* name = reinterpret_cast<const char*>(b.data() + 16);
  return std::string(name, strnlen(name, kNameSize));
}

void SetName(Block* b, const std::string& name) {
  std::uint8_t* field = b->data() + 16;
  std::memset(field, 0, kNameSize);
  std::memcpy(field, name.data(), name.size() < kNameSize ? name.size() : kNameSize - 1);
}

std::uint16_t LastUsed(const Block& b) { return LoadLE16(b.data() + 12); }
std::uint16_t StateOf(const Block& b) { return LoadLE16(b.data() + 14); }
void SetLastUsed(Block* b, std::uint16_t index) { StoreLE16(b->data() + 12, index); }
void SetState(Block* b, std::uint16_t state) { StoreLE16(b->data() + 14, state); }

double PairValue(const Block& b, std::uint32_t index) {
  return LoadDouble(b.data() + kPairsAt + 16 * index);
}

double PairTime(const Block& b, std::uint32_t index) {
  return LoadDouble(b.data() + kPairsAt + 16 * index + 8);
}

void SetPair(Block* b, std::uint32_t index, double value, double time) {
  StoreDouble(b->data() + kPairsAt + 16 * index, value);
  StoreDouble(b->data() + kPairsAt + 16 * index + 8, time);
}

Block NewBlock(std::uint32_t number, std::uint32_t kind) {
  Block b{};
  SetOwnNumber(&b, number);
  SetKind(&b, kind);
  return b;
}

}  // namespace plot
