// SUValue: the tagged value that the expression language computes with and
// that monitors, options, results and snapshots carry. It holds a scalar
// (integer, logical, real, string, name, variable specification), a set of
// integers or strings (sorted, or in insertion order), or an array of nested
// values of any number of dimensions. A plain value type without virtual
// operations; it owns its text, set storage or element array, and only the
// text records of string sets are shared between values (SUStringRef).
//
// Operations work in place on the value they are called on and report a
// clash of kinds in its status, leaving its payload as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <vector>

#include "foundation/values/string_ref.h"
#include "platform/status.h"

class BvuBinaryStream;
class Clvistream;
class Clvostream;

class SUValue {
 public:
  // Status values.
  enum : std::int16_t {
    kValid = 0,
    kUnknown = 1,      // no value yet
    kUnreadable = -1,  // could not be read, or its type is not transferable
    kTypeClash = -2,   // kinds that an operation cannot combine
    kSetClash = -3,    // set/non-set clash, or a notype source into a typed target
  };

  // Type codes: the low three bits give the kind, 0x08 marks a set, 0x20 an
  // ordered set, the high byte counts array dimensions.
  enum : std::uint16_t {
    kNoType = 0,
    kInteger = 2,
    kLogical = 3,
    kReal = 4,
    kString = 5,
    kName = 6,
    kSpecification = 7,
    kKindMask = 0x07,
    kSetFlag = 0x08,
    kOrderedFlag = 0x20,
    kEmptySet = 8,          // element kind not known yet
    kIntSet = 10,           // ascending
    kStringSet = 13,        // ascending by CompareCI
    kEmptyOrderedSet = 40,  // element kind not known yet
    kOrderedIntSet = 42,    // insertion order
    kOrderedStringSet = 45,
    kOneDimension = 0x100,
  };

  // Values of the variable specification kind.
  enum : std::int32_t {
    kFree = 1,
    kInitial = 2,
    kFixed = 4,
    kRateInitial = 8,
    kObjective = 16,
    kVary = 32,
  };

  // A name value keeps these in the count word; they travel with the name.
  struct NameAttributes {
    std::uint16_t first;
    std::uint8_t second;
    std::uint8_t third;
  };

  union Payload {
    std::int32_t integer;  // integer, logical, specification (low half)
    double real;
    char* text;            // string, name
    std::int32_t* ints;    // integer sets
    SUStringRef* strings;  // string sets
    SUValue* elements;     // arrays
    std::uint64_t bits;
  };

  // --- construction, stores and assignment ---

  // Status 1 (no value yet), no type.
  SUValue() = default;
  // A valid value of the given type holding the integer (as SetInt stores it).
  static SUValue ConstructInt(std::int32_t value, std::uint16_t type);
  // A copy through Assign: starts at status 1 (0 for a set), so a notype
  // source leaves the copy at 1 and any other successful copy is valid.
  static SUValue CopyConstruct(const SUValue& source) { return SUValue(source); }
  SUValue(const SUValue& source);
  // Moves take everything, status included, and leave other notype.
  SUValue(SUValue&& other) noexcept { TakeFrom(other); }
  // Assignment converts between kinds; call Assign to say so.
  SUValue& operator=(const SUValue&) = delete;
  ~SUValue();

  // Releases the storage of the old type and takes the new one. A new set
  // type starts valid and empty; a new numeric type keeps the payload word.
  void SetType(std::uint16_t code);
  void SetInt(std::int32_t value);
  void SetReal(double value);
  // A null text stores as the empty text (or as a missing element of a set).
  void SetString(const char* text);
  // Assignment with conversion into this value's type; a notype or empty-set
  // target takes the source's type. Refusals leave the payload as it was.
  void Assign(const SUValue& source);
  // Text of a string or name, else null.
  const char* GetString() const;

  // --- element search and access ---

  // Sorted set: index + 1 when found from start on, else minus the index
  // where it would be inserted. Ordered set: index + 1 or -1. Integer or
  // logical scalar (string or name for FindString): 1 when equal, else 0.
  std::int32_t FindInt(std::int32_t value, std::int32_t start = 0) const;
  std::int32_t FindString(const char* text, std::int32_t start = 0) const;
  // Element i of an integer set or the integer of a scalar; 0 otherwise.
  std::int32_t GetIntAt(std::int32_t i) const;
  // Element i of a string set or the text of a string or name; null otherwise.
  const char* GetStringAt(std::int32_t i) const;
  // Fresh storage of a typed set with room for n elements, none held yet.
  void InitSet(std::int32_t n);
  // n zeroed elements (missing texts) in place of the current ones; nothing
  // when the set already holds n.
  void ResizeSet(std::int32_t n);
  // Assigns value into array element i and returns that element; i equal to
  // the count appends. Not an array: nothing happens and this is returned.
  SUValue* SetElement(std::int32_t i, const SUValue& value);
  // Sets the element count of an array; a notype value becomes an array.
  void Resize(std::int32_t n);
  // The sorted integer set a..b, empty when b < a.
  void MakeIntRange(std::int32_t a, std::int32_t b);
  // Logical against "true"/"false", string or name, or membership in a
  // one-element string set; letter case ignored.
  bool EqualsText(const char* text) const;

  // --- arithmetic, joining and set algebra, in place ---

  // Numbers add; sets unite; a name joins a name with "." and takes an
  // integer, real or text as its index; a string is extended.
  void Add(const SUValue& value);
  void AddInt(std::int32_t value);
  // AddInt for each value in turn, with one sort in place of a shift per
  // element when this is a sorted integer set (or an empty one).
  void AddInts(const std::vector<std::int32_t>& values);
  void AddReal(double value);
  void AddString(const char* text);
  // Numbers subtract; sets lose the right operand's elements.
  void Subtract(const SUValue& value);
  void SubtractInt(std::int32_t value);
  void SubtractString(const char* text);
  // Numbers multiply; sets intersect.
  void MultiplyBy(const SUValue& value);
  void MultiplyByInt(std::int32_t value);
  // Numbers divide (an integer division by 0, or of the lowest integer by
  // -1, is a clash); sets take the symmetric difference.
  void DivideBy(const SUValue& value);
  void DivideByInt(std::int32_t value);
  void DivideByString(const char* text);

  // --- comparisons: numbers across kinds, texts without letter case, sets
  // by subset order, arrays element by element; unsupported kinds give false.

  bool IsEqual(const SUValue& value) const;
  bool IsNotEqual(const SUValue& value) const;
  bool IsLess(const SUValue& value) const;
  bool IsLessEqual(const SUValue& value) const;
  bool IsGreater(const SUValue& value) const;
  bool IsGreaterEqual(const SUValue& value) const;

  // Byte-wise comparison through the lower-case table: the difference of the
  // first differing folded bytes, 0 when equal. Null counts as "".
  static std::int32_t CompareCI(const char* a, const char* b);

  // --- reductions over a (nested) array into this value; an array without
  // any element leaves this notype with status 1, a scalar counts as one.

  // Integer (wrapping) unless a number is real or this value already is.
  void SumOf(const SUValue& array);
  void ProductOf(const SUValue& array);
  // Largest and smallest number, as a real.
  void MaxOf(const SUValue& array);
  void MinOf(const SUValue& array);
  // The first element is assigned, each later one combined in element order.
  void UnionOf(const SUValue& array);
  void IntersectionOf(const SUValue& array);
  void DifferenceOf(const SUValue& array);
  void SymmetricDifferenceOf(const SUValue& array);

  // The printed form ("?" for status 1, "!" for another failed status).
  void Print(std::ostream& out) const;

  // --- message and virtual-stream forms ---

  // The message form, after the u16 type code when asked. Arrays and other
  // codes that do not travel write nothing more (0xA000FFFF when nothing at
  // all was written). The first failed put, else 0.
  Status WriteBinary(BvuBinaryStream& stream, bool write_type) const;
  // Replaces this value by one of the given type read in message form:
  // status 0, or status -1 and a failure when the body is short or damaged
  // or the type does not travel.
  Status ReadBinary(BvuBinaryStream& stream, std::uint16_t code);
  // Self-describing: type code, status, then the payload; arrays nest.
  void SaveToVStream(Clvostream& stream) const;
  // A damaged input fails the stream and leaves what was read so far.
  void RestoreFromVStream(Clvistream& stream);
  // Codes that have a message form.
  static bool IsTransferable(std::uint16_t code);

  // --- reading the representation ---

  std::uint16_t Kind() const { return type & kKindMask; }
  bool IsSet() const { return type < kOneDimension && (type & kSetFlag) != 0; }
  bool IsArray() const { return type >= kOneDimension; }
  bool IsIntegerSet() const { return type == kIntSet || type == kOrderedIntSet; }
  bool IsStringSet() const { return type == kStringSet || type == kOrderedStringSet; }
  const std::int32_t* IntElements() const { return IsIntegerSet() ? payload.ints : nullptr; }
  const SUStringRef* StringElements() const { return IsStringSet() ? payload.strings : nullptr; }
  SUValue* Elements() const { return IsArray() ? payload.elements : nullptr; }
  // Type code of the elements of an array of this type.
  static std::uint16_t ElementType(std::uint16_t array_type);

  // Fields, in their stored order and widths.
  std::int16_t status = kUnknown;
  std::uint16_t type = kNoType;
  std::uint32_t capacity = 0;  // element slots of a set or array
  Payload payload{.bits = 0};
  union {
    std::int32_t count = 0;  // elements of a set or array
    NameAttributes name;     // a name's attributes
  };

 private:
  void Release();
  void StoreText(const char* text);
  // Takes other's storage and leaves it notype and empty.
  void TakeFrom(SUValue& other) noexcept;
  void SetArrayStatusFromElements();

  // Set storage.
  void AllocateSet(std::uint32_t slots);
  void GrowSet();
  bool InsertInt(std::int32_t value);
  bool InsertString(const SUStringRef& ref);
  bool InsertText(const char* text);
  void RemoveAt(std::int32_t i);
  void ClearSet();
  bool AdoptElementKind(std::uint16_t kind);
  void AssignSet(const SUValue& source);
  void AssignArray(const SUValue& source);
  void GrowArray(std::uint32_t slots);

  // Arithmetic helpers.
  enum class Op { kAdd, kSubtract, kMultiply, kDivide };
  void Combine(Op op, const SUValue& value);
  bool PrepareElementKind(Op op, std::uint16_t kind);
  bool ApplyToElement(Op op, std::int32_t found);
  void IntOp(Op op, std::int32_t value);
  void RealOp(Op op, double value);
  void TextOp(Op op, const char* text);
  void SetOp(Op op, const SUValue& value);
  void AppendIndex(const char* index);
  template <typename Fold>
  void ReduceScalars(const SUValue& array, Fold combine);
  template <typename Accumulate>
  void ReduceNumbers(const SUValue& array, bool as_real, Accumulate accumulate);
};

static_assert(sizeof(SUValue) == 24, "SUValue is 24 bytes");
static_assert(offsetof(SUValue, status) == 0);
static_assert(offsetof(SUValue, type) == 2);
static_assert(offsetof(SUValue, capacity) == 4);
static_assert(offsetof(SUValue, payload) == 8);
static_assert(offsetof(SUValue, count) == 16);
static_assert(sizeof(SUValue::NameAttributes) == 4);

// Fills the process-wide table through which CompareCI folds letter case.
// Only ASCII letters fold: names are UTF-8, whose bytes above 0x7F are not
// letters of any single code page.
void BuildLowerCaseTable();

// Prints the value, or "!" for a missing one.
void PrintSUValue(std::ostream& out, const SUValue* value);

// One monitor sample in a message: f64 time, u32 count, then per value u32
// type code, tags[i] as u32, and the value in message form. The first failed
// put, else 0.
Status WriteMonitorValues(BvuBinaryStream& stream, double time, std::uint32_t count,
                          const SUValue* values, const std::uint32_t* tags);
