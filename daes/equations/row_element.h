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
class DAESEqnRow;
class DAESSolverEquation;
class DAESVariableTable;
class QLNRow;

namespace daes {
inline constexpr std::int32_t kScalarElement = 14;
inline constexpr std::int32_t kArrayElement = 13;
inline constexpr Status kNoVariableBound = 0x80310015u;
inline constexpr Status kLaterThanNow = 0x40310265u;
inline constexpr Status kIndefiniteValue = 0x8031028Fu;
// The most dimensions an array reference may have; a deeper one is refused
// with kArrayTooDeep.
inline constexpr std::uint32_t kMostArrayDimensions = 16;
inline constexpr Status kArrayTooDeep = 0x80310290u;
// Argument instruction codes of procedure calls.
inline constexpr std::int32_t kRealInput = 67;
inline constexpr std::int32_t kStringInput = 68;
inline constexpr std::int32_t kIntegerInput = 69;
inline constexpr platform::IID IID_IQLNVariableCallback =
    platform::MakeGuid("{00380018-07A4-463A-A513-F2F46FF75FB8}");
// A string argument takes 40 bytes: five value slots.
inline constexpr std::int32_t kStringArgumentBytes = 40;

// The running state of the packing code of one procedure call: whether the
// text and integer argument pointers are declared yet, and the procedure-
// data offset of the next entry of the text address table.
struct PackCodeState {
  bool texts_declared = false;
  bool integers_declared = false;
  std::int32_t table = 0;
};
}  // namespace daes

// The face an array element shows outside components.
class IQLNVariableCallback : public platform::IUnknown {
 public:
  virtual Status ReservedCallbackA() = 0;
  virtual Status ReservedCallbackB() = 0;

 protected:
  ~IQLNVariableCallback() = default;
};

// Where an equation's row elements record the dependency kind of their
// variables for a column (the block layer's classification collects them).
class DAESClassCollector {
 public:
  virtual Status RecordClass(DAESVarTableEntry* variable, std::int32_t kind,
                             std::int32_t column) = 0;

 protected:
  ~DAESClassCollector() = default;
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
  // Member i (0-based) of an array; a scalar is its own.
  virtual DAESRowElement* AsRowElement(std::int32_t) { return this; }
  virtual DAESRowElement* ElementAt(std::int32_t i) { return i == 0 ? this : nullptr; }
  virtual std::int32_t ElementKind() const = 0;
  virtual std::int32_t TotalCount() const = 0;
  // An element (or a member) without a variable.
  virtual bool HasUnboundMember() const = 0;
  virtual bool IsSameElement(DAESRowElement* other) { return other == this; }
  // Releases the caller's element when it is this one and clears the pointer.
  virtual std::uint32_t ReleaseIfSame(DAESRowElement** held);
  virtual void Refresh(std::int32_t) {}
  // Drops the link an advise list holds through the element (a scalar
  // holds none).
  virtual void ReleaseAdviseLink() {}
  // Flags the group's entry for the variable as used (the variable itself
  // when the group has none), and the states behind a derivative.
  virtual Status MarkUsed(QLNRow* group);
  // Offers a variable (by sequence number) to the element: an occurrence
  // marks its class for (column, pass) -1 and answers 1. A parameter goes
  // to `parameters` (when given), *counter rising, and answers 0.
  virtual std::int32_t MarkOccurrence(std::uint32_t sequence, std::int32_t column,
                                      std::int32_t pass, std::int32_t* counter,
                                      std::vector<DAESRowElement*>* parameters);
  // Adds values[0] to derivative entry i (an array: member k takes values[k]).
  virtual Status SetColumnDerivative(const double* values, std::uint32_t i);
  // The variable enters the group and the row (0x80310015 without one).
  virtual Status RegisterIn(DAESEqnRow* target, QLNRow* source);
  // Binds again to the table's variable of the same name; the lookup's
  // status. Without a table the binding stands.
  virtual Status Rebind(DAESVariableTable*) { return 0; }
  // The element's part of an equation's derivative pass for (column, pass):
  // kind 4 takes a finite difference when flags has 0x08; kinds 1 to 3
  // give their value to `derivatives` (when given) and kind 3 is checked
  // against a difference when `check` is set. Each step that ran counts.
  virtual Status DerivativeStep(std::uint32_t flags, DAESSolverEquation* equation, double residual,
                                std::int32_t column, std::int32_t pass, bool check,
                                std::int32_t* counter, double* derivatives);
  // One line of an equation's variable table: "V" index + 1, or the prefix
  // and "[" prefix_index + 1 "]", then name, variable, value, derivative
  // (or "inactive") and the kind letter.
  virtual void PrintLine(std::ostream& out, std::int32_t index, std::int32_t column,
                         std::int32_t width, bool dynamic, const char* prefix,
                         std::int32_t prefix_index);
  // "name = value".
  virtual void PrintValue(std::ostream& out);
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
  // The way back, by argument code: a real (finite, else 0x8031028F; a
  // merged variable through its problem entry), a string (FORTRAN: blanks
  // cut; C: from the address in the slot) or an integer. A C real only for
  // a variable with a problem column. *position advances.
  virtual Status UnpackFortran(const double* values, std::int32_t code, std::int32_t* position,
                               std::int32_t index, std::int32_t stride);
  virtual Status UnpackC(const double* values, std::int32_t code, std::int32_t* position);
  // Counts the argument; the output numbered `wanted` (from 1) hands over
  // its variable and answers base + 1, any other 0.
  virtual std::int32_t ClaimOutput(bool is_output, std::int32_t* arguments, std::int32_t* outputs,
                                   std::int32_t wanted, DAESVarTableEntry** variable,
                                   std::int32_t base, std::int32_t stride);
  // Generated C that packs this element of an array argument: `first` is
  // the argument's first slot, `element` the element's place in it (column-
  // major in the FORTRAN layout), `count` the argument's element count.
  // Reals and outputs: "  PACKREALINPUT(slot,x[i]);" or the current value
  // for a variable without a column. Integers: "PACKINTVECINPUT(place,v)"
  // through piArgs, whole 8-byte slots. C texts: before the first element,
  // the call's first-call block fills the text address table (entries at
  // state->table on in the procedure data) with the addresses of the
  // elements' 40-byte areas; each element packs through its entry
  // ("PACKSTRVECINPUT"). FORTRAN texts: "PACKFTNSTRVECINPUT(40*place,...)"
  // into the blank-padded fields, no table.
  void WritePackC(std::ostream& out, std::uint32_t row, std::int32_t first, std::int32_t element,
                  std::int32_t count, daes::PackCodeState* state) {
    WritePack(out, row, first, element, count, state, false);
  }
  void WritePackFortran(std::ostream& out, std::uint32_t row, std::int32_t first,
                        std::int32_t element, std::int32_t count, daes::PackCodeState* state) {
    WritePack(out, row, first, element, count, state, true);
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
  void WritePack(std::ostream& out, std::uint32_t row, std::int32_t first, std::int32_t element,
                 std::int32_t count, daes::PackCodeState* state, bool fortran);

 private:
  std::uint32_t refs_ = 1;
};

class DAESScalar : public DAESRowElement, public DAESEntryReferrer {
 public:
  explicit DAESScalar(DAESVarTableEntry* variable);
  ~DAESScalar() override;
  DAESScalar(const DAESScalar&) = delete;
  DAESScalar& operator=(const DAESScalar&) = delete;
  // The variable ended (an edit deleted it): the element is unbound until a
  // rebind finds a variable of its name.
  void EntryGone(DAESVarTableEntry* entry) override;

  const char* NameText() const override;
  SUValue* ValuePointer() override;
  std::uint16_t ValueType() const override;
  std::int32_t IsParameter() const override;
  // The 0-based column of the variable in the current problem, -1 without.
  std::int32_t SolverIndex() const override;
  Status RegisterDelay() override;
  Status DelayedValue(double lag, double* value) override;
  Status DelayedValueWeight(double lag, double* weight) override;
  bool IsSameVariable(const DAESVarTableEntry* v) const {
    return variable_ != nullptr && v != nullptr &&
           v->SequenceNumber() == variable_->SequenceNumber();
  }
  DAESVarTableEntry* ElementVariable() override { return variable_; }
  std::int32_t ElementKind() const override { return daes::kScalarElement; }
  std::int32_t TotalCount() const override { return 1; }
  bool HasUnboundMember() const override { return variable_ == nullptr; }
  // 0x40310265 for a time after the current simulation time; else the
  // sensitivity manager's value (current time - time) ago.
  Status ValueAtTime(std::int32_t key, double time, double* value) override;
  Status SetMember(std::int32_t, DAESRowElement*) { return daes::kNotImplemented; }
  DAESRowElement* FindByVariable(DAESVarTableEntry* v) override {
    return v != nullptr && v == variable_ ? this : nullptr;
  }
  DAESRowElement* FindBySequenceNumber(std::uint32_t n) override {
    return variable_ != nullptr && variable_->SequenceNumber() == n ? this : nullptr;
  }
  const BvuIdPath& IdPath() const { return path_; }
  // The table's variable of the name the element was made with; none when
  // the lookup fails.
  Status Rebind(DAESVariableTable* table) override;
  const std::string& BindingName() const { return binding_name_; }

 private:
  void Bind(DAESVarTableEntry* variable);

  DAESVarTableEntry* variable_;
  BvuIdPath path_;
  // The variable's full name: a rebuilt tree may hold another object of it.
  std::string binding_name_;
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
  DAESRowElement* AsRowElement(std::int32_t i) override { return Member(i + 1); }
  // The members in order (null for an empty slot).
  ExpressionVariable** ElementList() override { return list_.data(); }
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
  // array first asks its advise holder whether its members changed. Each
  // member array refreshes once, so the cost grows with the scalars.
  void Refresh(std::int32_t force) override;
  // Column-major: member i packs at index + i * stride, its own members with
  // stride count * stride. A parameter array packs once into a value array;
  // afterwards, until a refresh reports a change, only *position moves on to
  // where that pack ended.
  std::int32_t PackFortran(double* values, std::int32_t* position, std::int32_t index,
                           std::int32_t stride) override;
  std::int32_t PackC(double* values, std::int32_t* position, std::int32_t base) override;
  // Column-major as packing; the first failure is the result.
  Status UnpackFortran(const double* values, std::int32_t code, std::int32_t* position,
                       std::int32_t index, std::int32_t stride) override;
  Status UnpackC(const double* values, std::int32_t code, std::int32_t* position) override;
  // Member i at base + i * stride; none for a parameter array.
  std::int32_t ClaimOutput(bool is_output, std::int32_t* arguments, std::int32_t* outputs,
                           std::int32_t wanted, DAESVarTableEntry** variable, std::int32_t base,
                           std::int32_t stride) override;
  // A parameter array looks only for parameters, a variable array only for
  // variables; a parameter array answers no sequence number.
  DAESRowElement* FindByVariable(DAESVarTableEntry* variable) override;
  DAESRowElement* FindBySequenceNumber(std::uint32_t n) override;
  // Owned; destroyed with the array.
  void SetAdviseHolder(DAESArrayAdviseHolder* holder);

  // Each member in turn; a parameter array's members keep no derivative
  // marks or values. Sizing and the derivative step stop at a failure.
  std::int32_t SetSize(std::uint32_t count, bool allocate) override;
  // 0 for a parameter array, else the first member's non-zero kind.
  std::int32_t ColumnClass(std::int32_t i, std::int32_t j) override;
  std::int32_t SetClassMark(std::int8_t marker, std::int32_t i, std::int32_t j) override;
  void SetElementValue(std::uint32_t i, double value) override;
  void AddToElement(std::uint32_t i, double value) override;
  Status MarkUsed(QLNRow* group) override;
  Status RegisterIn(DAESEqnRow* target, QLNRow* source) override;
  // A parameter array hands its members the given list, else its own.
  std::int32_t MarkOccurrence(std::uint32_t sequence, std::int32_t column, std::int32_t pass,
                              std::int32_t* counter,
                              std::vector<DAESRowElement*>* parameters) override;
  Status SetColumnDerivative(const double* values, std::uint32_t i) override;
  const std::vector<DAESRowElement*>& ParameterList() const { return own_parameters_; }
  void ReleaseAdviseLink() override;
  Status Rebind(DAESVariableTable* table) override;
  Status DerivativeStep(std::uint32_t flags, DAESSolverEquation* equation, double residual,
                        std::int32_t column, std::int32_t pass, bool check, std::int32_t* counter,
                        double* derivatives) override;
  // Releases and clears every member that is `other`; never the array
  // itself, so false.
  bool IsSameElement(DAESRowElement* other) override;
  // Offers the caller's element to each member while the caller holds one.
  std::uint32_t ReleaseIfSame(DAESRowElement** held) override;
  // "A" index + 1 (or prefix "[" index + 1 "]") heads each member's line.
  void PrintLine(std::ostream& out, std::int32_t index, std::int32_t column, std::int32_t width,
                 bool dynamic, const char* prefix, std::int32_t prefix_index) override;
  // The name, then "=<" member ">" and ",<" member ">" for the others.
  void PrintValue(std::ostream& out) override;

 private:
  // A forced refresh goes down the tree, and each level asks its holder
  // (the public refresh asks only when not forced).
  void RefreshTree(bool force, bool ask_holder);

  std::vector<DAESRowElement*> members_;
  // The members as ExpressionVariable pointers, for ElementList.
  std::vector<ExpressionVariable*> list_;
  std::string name_;
  bool parameter_ = false;
  SUValue value_;
  DAESArrayAdviseHolder* holder_ = nullptr;
  bool refreshed_ = false;
  const double* packed_values_ = nullptr;
  std::int32_t packed_position_ = 0;
  std::vector<DAESRowElement*> own_parameters_;
};

// Reads n references from the message into new elements (one reference
// each, appended to `elements`); `scalars` counts the scalar variables.
// References resolve from `instance`. The first failure is the result; an
// array of more than kMostArrayDimensions gives kArrayTooDeep unread.
Status DAESCreateRowElements(BvuBinaryStream& stream, BvuDirectoryNode* instance, std::uint32_t n,
                             std::vector<DAESRowElement*>* elements, std::int32_t* scalars);

// Records the element's variable and its kind for the column in the
// collector; an array records each of its scalars. With outputs_only, only
// the `only` element (when given) is recorded.
void DAESMarkColumn(DAESRowElement* element, DAESClassCollector* collector, std::int32_t column,
                    bool outputs_only, std::int32_t pass, DAESRowElement* only);
