// Compact stored values: when the engine captures the values of many model
// variables at once (problem state, snapshots), it keeps one fixed-size
// SUPackedValue per variable instead of a full SUValue, with the texts and
// integer lists of all records in one shared byte pool, SUValuePool. The
// table owns its records and its pool.
//
// Pool blocks are addressed by offsets, never by addresses, so that the pool
// may grow (and travel in a file) under the records. A record holds the
// offset of a block's contents, just past its u32 prefix; 0 means no block.
// Everything read back from a pool or a stream is bounds-checked: a damaged
// pool or record is refused with a status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/status.h"

class BvuBinaryStream;
class SUValue;

class SUValuePool {
 public:
  // Smallest string block made where there was none.
  static constexpr std::uint32_t kSmallestString = 16;

  SUValuePool() = default;
  ~SUValuePool();
  SUValuePool(const SUValuePool&) = delete;
  SUValuePool& operator=(const SUValuePool&) = delete;

  // Capacity 0 becomes 64, then doubles until it holds n bytes; the used
  // bytes are kept and the rest zeroed.
  void Grow(std::uint32_t n);
  // n bytes at the end; their offset.
  std::uint32_t Allocate(std::uint32_t n);

  // String block: prefix = its capacity in bytes, then the text. The text
  // goes into the block at *offset when it fits with its NUL, else into a
  // new block of exactly that size (at least 16 bytes where there was none).
  void StoreString(std::uint32_t* offset, const char* text);
  // Integer list: prefix = number of integers. The integers of an integer
  // set, or the one integer of an integer or logical scalar (other scalars
  // store none); the block is reused when it holds as many.
  void StoreIntList(std::uint32_t* offset, const SUValue& value);
  // String list: prefix = number of texts, then one string-block offset per
  // text (0 for a missing text). The texts of a string set, or of one string
  // or name.
  void StoreStringList(std::uint32_t* offset, const SUValue& value);
  // The integers, or the texts (null for a missing one; valid until the pool
  // grows), of a list; 0x8000020F for a damaged list.
  Status ReadIntList(std::uint32_t offset, std::vector<std::int32_t>* integers) const;
  Status ReadStringList(std::uint32_t offset, std::vector<const char*>* texts) const;
  // Adds every integer of the list to the value; 0x8000020F for a damaged
  // list.
  Status LoadIntSet(std::uint32_t offset, SUValue* value) const;
  // Makes the value's elements the texts of the list.
  Status LoadStringSet(std::uint32_t offset, SUValue* value) const;
  // Copies a stored text when it fits the buffer with its NUL.
  bool FetchString(std::uint32_t offset, char* buffer, std::uint32_t size) const;
  // The stored text (valid until the pool grows), or null for a damaged
  // offset.
  const char* StringAt(std::uint32_t offset) const;

  // The whole pool, for a snapshot section.
  const std::uint8_t* Data() const { return data_; }
  std::uint32_t Used() const { return used_; }
  std::uint32_t Capacity() const { return capacity_; }
  // Forgets every block (the buffer stays).
  void Clear() { used_ = 0; }
  // Takes a pool that was saved as Data()/Used(): the capacity is 16
  // doubled until it holds the bytes, the buffer remade when too small or
  // more than twice too large, the rest zeroed.
  void LoadBytes(const std::uint8_t* bytes, std::uint32_t size);

 private:
  // The contents of a block at offset whose prefix and `bytes_per_unit` ×
  // prefix bytes lie inside the used bytes; null otherwise.
  const std::uint8_t* Block(std::uint32_t offset, std::uint32_t bytes_per_unit,
                            std::uint32_t* prefix) const;
  void SetPrefix(std::uint32_t offset, std::uint32_t prefix);

  std::uint8_t* data_ = nullptr;
  std::uint32_t capacity_ = 0;
  std::uint32_t used_ = 0;
};

// One captured value. Kept types: 2 integer, 3 logical, 4 real, 5 string,
// 8 empty set, 10 integer set, 13 string set; the payload of 5, 8, 10 and 13
// is a pool offset.
class SUPackedValue {
 public:
  static constexpr std::uint32_t kFreshFlags = 0xFFFFFFFFu;

  union Payload {
    std::int32_t integer;
    double real;
    std::uint32_t offset;
    std::uint64_t bits;
  };

  // An integer record stores it, a real one converts it, a notype one
  // becomes an integer record.
  void SetInt(std::int32_t value);
  void SetReal(double value);
  void SetString(const char* text, SUValuePool& pool);
  void SetValue(const SUValue& value, SUValuePool& pool) { FromValue(value, pool); }
  // Numbers are converted to the record's own numeric type; texts and sets
  // go into the pool. A notype record takes the value's kind. 0x8000020F
  // when the value's kind has no place in the record.
  Status FromValue(const SUValue& value, SUValuePool& pool);
  // The typed value of the record; 0x8000020F (value status -1) for a
  // record whose pool offsets are damaged.
  Status ToValue(SUValue* value, const SUValuePool& pool) const;
  // The record's text in the pool, or null.
  const char* StringAddress(const SUValuePool& pool) const;
  // Stream form: u8 255, u8 attribute | 0x80, u8 type, the payload by type,
  // u8 0, u32 flag word. The first failed put, else 0.
  Status Save(BvuBinaryStream& stream, const SUValuePool& pool) const;
  // Either the current form or the old one (no 255, no type byte when bit 7
  // of the attribute byte is clear: a real; no trailing byte and flag word).
  Status Restore(BvuBinaryStream& stream, SUValuePool& pool);

  bool HoldsBlock() const;

  void* owner = nullptr;  // the variable it was captured from; not owned
  std::uint16_t attribute = 0;
  std::uint16_t type = 0;
  Payload payload{.bits = 0};
  std::uint32_t flags = kFreshFlags;
};

class SUPackedValueTable {
 public:
  // Byte image records: owner (8), attribute (2), type (2), payload (8) and,
  // but for files of versions 1 to 6, the flag word (4).
  static constexpr std::uint32_t kRecordSize = 24;
  static constexpr std::uint32_t kShortRecordSize = 20;

  // u32 count, then every record. The first failed put, else 0.
  Status Save(BvuBinaryStream& stream) const;
  // Empties the pool, reads the count and that many records; a failure
  // leaves the records read before it.
  Status Restore(BvuBinaryStream& stream);
  // The records as a byte image, 24 bytes each.
  std::vector<std::uint8_t> GetImage() const;
  // The records of an image in the layout of the snapshot file being read
  // (SnapshotFileVersion 1 to 6: 20 bytes, flag word -1); owners 0. A size
  // that is not a whole number of records is refused (0x8000020F).
  Status LoadImage(const std::uint8_t* bytes, std::uint32_t size);
  // Record i takes attribute, type, payload and flag word of image record
  // index[i] (one index per record of the table); then the table is written
  // back over the image. An index outside the image, or an image too small
  // for the table, is refused (0x8000020F) with nothing changed.
  Status Reorder(std::uint8_t* image, std::uint32_t size, const std::uint32_t* index);

  // Count records, all zeroed (flag word -1).
  void Resize(std::int32_t count);
  std::int32_t Count() const { return static_cast<std::int32_t>(records_.size()); }
  SUPackedValue& Record(std::int32_t i) { return records_[static_cast<std::size_t>(i)]; }
  const SUPackedValue& Record(std::int32_t i) const {
    return records_[static_cast<std::size_t>(i)];
  }
  SUValuePool& Pool() { return pool_; }
  const SUValuePool& Pool() const { return pool_; }

 private:
  std::vector<SUPackedValue> records_;
  SUValuePool pool_;
};
