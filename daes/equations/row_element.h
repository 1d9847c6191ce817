// Row elements: the variable occurrences of a model equation as its
// evaluation context sees them. Reference-counted: made with one reference,
// deleted by the release that takes the last.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "daes/model/var_table_entry.h"
#include "expr/eval/expr_context.h"
#include "foundation/directory/id_path.h"
#include "platform/unknown.h"

class BvuBinaryStream;
class BvuDirectoryNode;

namespace daes {
inline constexpr std::int32_t kScalarElement = 14;
inline constexpr std::int32_t kArrayElement = 13;
inline constexpr platform::IID IID_IQLNVariableCallback =
    platform::MakeGuid("{00380018-07A4-463A-A513-F2F46FF75FB8}");
// A string argument takes 40 bytes: five value slots.
inline constexpr std::int32_t kStringArgumentBytes = 40;
}  // namespace daes

// The face an array element shows outside components.
class IQLNVariableCallback : public platform::IUnknown {
 public:
  virtual Status ReservedCallbackA() = 0;
  virtual Status ReservedCallbackB() = 0;

 protected:
  ~IQLNVariableCallback() = default;
};

// What a parameter array asks of the advise list that watches its members:
// whether a change arrived since the last update, and the update itself.
class DAESArrayAdviseHolder {
 public:
  virtual ~DAESArrayAdviseHolder() = default;
  virtual bool Changed() = 0;
  virtual void Update() = 0;
};

class DAESRowElement : public ExpressionADVariable {
 public:
  std::uint32_t AddReference() { return ++refs_; }
  // Deletes the element at zero; the new count.
  std::uint32_t Release();
  virtual DAESVarTableEntry* ElementVariable() { return nullptr; }
  DAESRowElement* AsRowElement() { return this; }
  virtual DAESRowElement* ElementAt(std::int32_t i) { return i == 0 ? this : nullptr; }
  virtual std::int32_t ElementKind() const = 0;
  virtual std::int32_t TotalCount() const = 0;
  // An element (or a member) without a variable.
  virtual bool HasUnboundMember() const = 0;
  bool IsSameElement(const DAESRowElement* other) const { return other == this; }
  // Releases the caller's element when it is this one and clears the pointer.
  std::uint32_t ReleaseIfSame(DAESRowElement** held);
  virtual void Refresh(std::int32_t) {}
  // The element (this, or a member of an array) that holds the variable.
  virtual DAESRowElement* FindByVariable(DAESVarTableEntry*) { return nullptr; }
  virtual DAESRowElement* FindBySequenceNumber(std::uint32_t) { return nullptr; }
  // Procedure-argument packing into 8-byte slots: a real as a double, an
  // integer as a 64-bit integer, a string in 40 bytes. The FORTRAN form puts
  // the element at `index` (counted in elements of its width from `values`),
  // blank-padded for strings; the C form puts it at *position, a string as
  // the address of its zero-ended area, which lies `base` slots on, 40 bytes
  // per position. Both advance *position and answer 1 when a slot changed.
  virtual std::int32_t PackFortran(double* values, std::int32_t* position, std::int32_t index,
                                   std::int32_t stride);
  virtual std::int32_t PackC(double* values, std::int32_t* position, std::int32_t base);
  // Generated C of a compiled procedure call for this scalar element: the
  // packing at `slot` by the argument row (real, text or integer input, or
  // output): "  PACKREALINPUT(slot,x[i]);" with the current value for a
  // variable without a column, texts quoted; the FORTRAN form blank-pads
  // texts ("  PACKFTNSTRINPUT(").
  void WritePackC(std::ostream& out, std::uint32_t row, std::int32_t slot) {
    WritePack(out, row, slot, false);
  }
  void WritePackFortran(std::ostream& out, std::uint32_t row, std::int32_t slot) {
    WritePack(out, row, slot, true);
  }
  // "      UNPACKREALINPUT(slot,i);" for a real variable in column i; false
  // (nothing written) otherwise.
  bool WriteUnpack(std::ostream& out, std::int32_t slot);
  // This element's Jacobian entry in a procedure row whose columns (1-based,
  // sign-marked) start at J[base]: "J[k]=" for the column's first entry,
  // "J[k]+=" after, then "g_pDerivs[derivative];" or, without derivatives
  // (derivative < 0), "PD(i,case_number,Fn<fn>,oldOutput);". False when the
  // element is no variable of the row.
  bool WriteJacobianEntry(std::ostream& out, const std::vector<std::int32_t>& columns,
                          std::int32_t base, std::vector<bool>* written, std::int32_t derivative,
                          std::int32_t case_number, std::int32_t fn);
  // The class mark of value entry i (0 without entries): -1 marked, 1 to 4
  // the dependency kind found by the classification.
  std::int32_t ColumnClass(std::int32_t i, std::int32_t) override {
    return i < 0 ? 0 : Marker(static_cast<std::uint32_t>(i));
  }

 protected:
  // One entry (column 0) until a wider row sizes it.
  DAESRowElement() : ExpressionADVariable(1) {}
  ~DAESRowElement() override = default;

 private:
  void WritePack(std::ostream& out, std::uint32_t row, std::int32_t slot, bool fortran);

 private:
  std::uint32_t refs_ = 1;
};

class DAESScalar : public DAESRowElement {
 public:
  explicit DAESScalar(DAESVarTableEntry* variable);

  const char* NameText() const override;
  SUValue* ValuePointer() override;
  std::uint16_t ValueType() const override;
  std::int32_t IsParameter() const override;
  // The 0-based column of the variable in the current problem, -1 without.
  std::int32_t SolverIndex() const override;
  Status RegisterDelay() override;
  Status DelayedValue(double lag, double* value) override;
  bool IsSameVariable(const DAESVarTableEntry* v) const {
    return variable_ != nullptr && v != nullptr &&
           v->SequenceNumber() == variable_->SequenceNumber();
  }
  DAESVarTableEntry* ElementVariable() override { return variable_; }
  std::int32_t ElementKind() const override { return daes::kScalarElement; }
  std::int32_t TotalCount() const override { return 1; }
  bool HasUnboundMember() const override { return variable_ == nullptr; }
  Status SetMember(std::int32_t, DAESRowElement*) { return daes::kNotImplemented; }
  DAESRowElement* FindByVariable(DAESVarTableEntry* v) override {
    return v != nullptr && v == variable_ ? this : nullptr;
  }
  DAESRowElement* FindBySequenceNumber(std::uint32_t n) override {
    return variable_ != nullptr && variable_->SequenceNumber() == n ? this : nullptr;
  }
  const BvuIdPath& IdPath() const { return path_; }

 private:
  DAESVarTableEntry* variable_;
  BvuIdPath path_;
};

// An array reference: its members in order (each holding one reference),
// one per element of the outer dimension; a member is a scalar or, for a
// further dimension, an array. Its value is an array of the members' values.
class DAESArray : public DAESRowElement, public IQLNVariableCallback {
 public:
  // `type` is the element type (the first member's value type).
  explicit DAESArray(std::uint16_t type);
  ~DAESArray() override;

  // One reference count serves both faces.
  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override { return AddReference(); }
  std::uint32_t Release() override { return DAESRowElement::Release(); }
  Status ReservedCallbackA() override { return 0; }
  Status ReservedCallbackB() override;

  SUValue* ValuePointer() override;
  std::uint16_t ValueType() const override { return value_.type; }
  std::int32_t ElementCount() const override { return static_cast<std::int32_t>(members_.size()); }
  ExpressionVariable* ElementOfList(std::int32_t i) override { return Member(i + 1); }
  std::int32_t IsParameter() const override { return parameter_ ? 1 : 0; }
  const char* NameText() const override { return name_.c_str(); }
  // 1-based; takes the caller's reference. The first member gives the
  // array its name (its full name cut before the last index) and its
  // parameter flag. A null member leaves the slot empty: 0xA000FFFF.
  Status SetMember(std::int32_t index, DAESRowElement* member);
  DAESRowElement* Member(std::int32_t index) const;
  // Flat index over the members' scalars, first dimension outermost.
  DAESRowElement* ElementAt(std::int32_t i) override;
  std::int32_t ElementKind() const override { return daes::kArrayElement; }
  std::int32_t TotalCount() const override;
  bool HasUnboundMember() const override;
  // Takes each member's current value into the array's value. A parameter
  // array first asks its advise holder whether its members changed.
  void Refresh(std::int32_t force) override;
  // Column-major: member i packs at index + i * stride, its own members with
  // stride count * stride. A parameter array packs once into a value array;
  // afterwards, until a refresh reports a change, only *position moves on to
  // where that pack ended.
  std::int32_t PackFortran(double* values, std::int32_t* position, std::int32_t index,
                           std::int32_t stride) override;
  std::int32_t PackC(double* values, std::int32_t* position, std::int32_t base) override;
  // A parameter array looks only for parameters, a variable array only for
  // variables; a parameter array answers no sequence number.
  DAESRowElement* FindByVariable(DAESVarTableEntry* variable) override;
  DAESRowElement* FindBySequenceNumber(std::uint32_t n) override;
  // Owned; destroyed with the array.
  void SetAdviseHolder(DAESArrayAdviseHolder* holder);

 private:
  std::vector<DAESRowElement*> members_;
  std::string name_;
  bool parameter_ = false;
  SUValue value_;
  DAESArrayAdviseHolder* holder_ = nullptr;
  bool refreshed_ = false;
  const double* packed_values_ = nullptr;
  std::int32_t packed_position_ = 0;
};

// Reads n references from the message into new elements (one reference
// each, appended to `elements`); `scalars` counts the scalar variables.
// References resolve from `instance`. The first failure is the result.
Status DAESCreateRowElements(BvuBinaryStream& stream, BvuDirectoryNode* instance, std::uint32_t n,
                             std::vector<DAESRowElement*>* elements, std::int32_t* scalars);
