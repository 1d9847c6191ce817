// Lists in the expression language: the container ExpressionList, and the
// list-valued nodes ListExpression (a list literal), HomListExpression (the
// argument list of an aggregate) and ProcIOListExpression (the inputs or
// outputs of a procedure call). A list holds one reference on each item and
// a list node owns its ExpressionList.
#pragma once

#include <cstddef>

#include "expr/tree/expression.h"
#include "foundation/collections/ordered.h"

class ExpressionList : public BvuCollectable {
 public:
  explicit ExpressionList(std::size_t capacity = 64) : items_(capacity) {}
  ExpressionList(const ExpressionList&) = delete;
  ExpressionList& operator=(const ExpressionList&) = delete;
  // Releases the items, last first.
  ~ExpressionList() override;

  ClCollectable* NewEmpty() const override { return new ExpressionList; }
  std::uint16_t ClassId() const override { return exprclass::kExpressionList; }
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;
  const char* GetNameText(std::int32_t = 0) override { return ""; }

  // Takes a reference on the item.
  void Append(Expression* item);
  std::size_t Entries() const { return items_.Entries(); }
  // Item i from 0.
  Expression* At(std::size_t i) const { return static_cast<Expression*>(items_.ItemAt(i)); }
  // Puts `item` at i (a reference taken) and releases the one there.
  void Replace(std::size_t i, Expression* item);
  void DetachForDisposal() { items_.Clear(); }

  // Set by the node that owns the list; a second claim is damaged input.
  bool Claim();

 private:
  void TakeItemReferences();

  ClOrdered items_;
  bool claimed_ = false;
};

class ListExpression : public Expression {
 public:
  ListExpression();
  // Attaches `list` (a new empty one for null); a type of exactly 0x100
  // takes the combined element type of the items.
  ListExpression(ExpressionList* list, std::uint16_t type);
  ListExpression(const ListExpression& other);
  ~ListExpression() override;

  ClCollectable* NewEmpty() const override { return new ListExpression; }
  ClCollectable* Copy() const override { return new ListExpression(*this); }
  std::uint16_t ClassId() const override { return exprclass::kList; }
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;

  std::int32_t SetPrivate(bool on) override;
  std::uint32_t NodeCount() const override { return node_count_; }
  std::uint32_t SetNodeCount(std::uint32_t count) override { return node_count_ = count; }
  Expression* DeepCopy() const override;
  Expression* EliminateObsoleteOperators() override;
  // Each item bound in turn; a list with a changed item comes back as a new
  // node of its class over the new items (the unchanged ones shared).
  Expression* RebuildWithChildren(std::int32_t count, const char* const* names) override;
  Expression* RebuildWithChildren(std::int32_t* count, ExpressionVariable** variables,
                                  ExprNameResolver* resolver) override;
  // Both forms rewrite every item in order; a list with a changed item
  // comes back as a new node of its class (a homogeneous list stays one).
  Expression* Rewrite(const char* name, bool* changed) override;
  Expression* RewriteIndexChain(const char* name, bool* changed) override;
  // Each item in turn is replaced by its answer.
  Expression* SubstituteInPlace(ExprSubstitutionVisitor& visitor) override;
  bool IsTerm() const override;
  bool IsConstant() const override;
  std::int32_t CountReferences() const override;
  Expression* ListElement(std::int32_t i) const override;
  Status SaveCompactToVStream(Clvostream& stream, std::uint32_t mode = 0) const override;
  Status WriteCompactToMessage(BvuBinaryStream& message) const override;
  Status Evaluate(SUValue& result, ExprContext* context) override;
  Status VisitVariables(ExprContext* context, std::uint32_t* counter, std::uint32_t mode) override;
  void PrintModelling(std::ostream& out, ExprContext* context = nullptr) const override;
  void PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const override;
  void PrintErrors(std::ostream& out, ExprContext* context, bool* found) const override;
  void DetachForDisposal() override { list_ = nullptr; }
  Status WriteValueCode(ExprCodeWriter& writer, CodeOutputs& out, std::uint32_t& flags) override;
  Status WriteDerivativeCode(ExprCodeWriter& writer, CodeOutputs& out,
                             std::int32_t factor) override;
  Status ExpandSetIndices(std::int32_t level_base, SetIterators& iterators, Expression* iterator,
                          std::int32_t& count) override;
  Status AssignIteratorLevels(std::int32_t offset, std::vector<std::string>& names,
                              std::int32_t level, bool in_loop) override;
  Status DescribeToBuilder(ExprCodeWriter& writer) override;
  std::int32_t CountSetIndices() const override;
  std::int32_t CountFlag0002() const override;
  std::int32_t CountFlag0004() const override;
  std::int32_t CountFlag0800() const override;
  std::int32_t CountFlag1000() const override;
  bool DependsOnVariables(ExprContext* context, std::int32_t arg) const override;
  bool HasImplicitReference() const override;
  // Every item in order; the node count of the qualified list.
  std::uint32_t QualifyImplicitReferences(Expression* prefix) override;
  bool NeedsIteration() const override;
  Status NonlinearityClass(ExprContext* context, std::int32_t c, std::uint32_t* flags,
                           std::int32_t i, std::int32_t j) override;
  Status SizeInWords(ExprContext* context, SizeCursor& cursor) override;
  ExpressionVariable* VariableSpec() override;
  ExpressionVariable* StateVariableSpec() override;

  std::int32_t ItemCount() const {
    return list_ != nullptr ? static_cast<std::int32_t>(list_->Entries()) : 0;
  }
  ExpressionList* List() const { return list_; }
  // Reads u32 n and n expressions; false when any of them fails.
  bool ReadItems(BvuBinaryStream& message, void* reading_context, std::uint32_t flags, int depth);

 protected:
  template <typename Query>
  std::int32_t SumOver(Query query) const {
    std::int32_t sum = 0;
    for (std::int32_t i = 0; i < ItemCount(); ++i)
      sum += query(list_->At(static_cast<std::size_t>(i)));
    return sum;
  }
  void Attach(ExpressionList* list);
  void PrintItems(std::ostream& out, ExprContext* context) const;
  virtual std::uint32_t OwnNodes() const { return 1; }
  // A node of this class over `items` (taken), without a reference.
  virtual ListExpression* MakeOver(ExpressionList* items) const {
    return new ListExpression(items, GetResultType());
  }
  // This node, or one over the items `rebuild` gives back.
  template <typename Rebuild>
  Expression* RebuildItems(Rebuild rebuild);

  ExpressionList* list_ = nullptr;
  std::uint32_t node_count_ = 1;
};

class HomListExpression : public ListExpression {
 public:
  HomListExpression() : ListExpression(nullptr, 0x100) {}
  HomListExpression(ExpressionList* list, std::uint16_t type) : ListExpression(list, type) {}
  HomListExpression(const HomListExpression& other) = default;

  ClCollectable* NewEmpty() const override { return new HomListExpression; }
  ClCollectable* Copy() const override { return new HomListExpression(*this); }
  std::uint16_t ClassId() const override { return exprclass::kHomList; }
  Expression* DeepCopy() const override;

 protected:
  ListExpression* MakeOver(ExpressionList* items) const override {
    return new HomListExpression(items, GetResultType());
  }
};

class ProcIOListExpression : public ListExpression {
 public:
  ProcIOListExpression() : ListExpression(nullptr, 0) { node_count_ = 0; }
  ProcIOListExpression(ExpressionList* list, std::uint16_t type) : ListExpression(list, type) {
    node_count_ = node_count_ > 0 ? node_count_ - 1 : 0;
  }
  ProcIOListExpression(const ProcIOListExpression& other) = default;

  ClCollectable* NewEmpty() const override { return new ProcIOListExpression; }
  ClCollectable* Copy() const override { return new ProcIOListExpression(*this); }
  std::uint16_t ClassId() const override { return exprclass::kProcIOList; }
  Expression* DeepCopy() const override;
  Status VisitVariables(ExprContext* context, std::uint32_t* counter, std::uint32_t mode) override;
  void PrintModelling(std::ostream& out, ExprContext* context = nullptr) const override;
  void PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const override;

 protected:
  std::uint32_t OwnNodes() const override { return 0; }
  ListExpression* MakeOver(ExpressionList* items) const override {
    return new ProcIOListExpression(items, GetResultType());
  }
};
