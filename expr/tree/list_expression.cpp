#include "expr/tree/list_expression.h"

#include <ostream>

#include "expr/eval/expr_context.h"
#include "expr/store/restore_helpers.h"
#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/persistence.h"
#include "foundation/persistence/virtual_stream.h"

// --- ExpressionList ---

ExpressionList::~ExpressionList() {
  for (std::size_t i = items_.Entries(); i-- > 0;) Expression::Release(At(i));
}

void ExpressionList::Append(Expression* item) {
  // A list that a node owns may have answered for it already.
  if (claimed_) NoteTreeChange();
  item->AddRef();
  items_.Append(item);
}

void ExpressionList::Replace(std::size_t i, Expression* item) {
  NoteTreeChange();
  item->AddRef();
  Expression* old = At(i);
  items_.ItemRefAt(i) = item;
  Expression::Release(old);
}

bool ExpressionList::Claim() {
  if (claimed_) return false;
  claimed_ = true;
  return true;
}

void ExpressionList::SaveToFile(ClFileStream& file) const { WriteCollectableToFile(&items_, file); }
void ExpressionList::SaveToVStream(Clvostream& stream) const { WriteCollectable(&items_, stream); }

// The list is an ancestor of its items too: a list expression among them
// (or below them) that names this list would make a cycle of owners.
void ExpressionList::RestoreFromFile(ClFileStream& file) {
  const RestoringNode restoring(this);
  RestoreCollectableFromFile(file, &items_);
  TakeItemReferences();
}

void ExpressionList::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  RestoreCollectable(stream, &items_);
  if (stream.Good()) TakeItemReferences();
}

// Every item must be an expression: the list is read through that type.
void ExpressionList::TakeItemReferences() {
  std::uint64_t expanded = 0;
  for (std::size_t i = 0; i < items_.Entries(); ++i) {
    auto* item = dynamic_cast<Expression*>(items_.ItemAt(i));
    if (item != nullptr) expanded += item->NodeCount();
    if (item == nullptr || IsBeingRestored(item) || !WithinExpansion(expanded, items_.Entries())) {
      items_.Clear();
      RaiseDamagedInput();
    }
  }
  for (std::size_t i = 0; i < items_.Entries(); ++i) At(i)->AddRef();
}

// --- ListExpression ---

ListExpression::ListExpression() : Expression(kTerm, 0) {}

ListExpression::ListExpression(ExpressionList* list, std::uint16_t type) : Expression(kTerm, type) {
  Attach(list != nullptr ? list : new ExpressionList);
  if (type == SUValue::kOneDimension && list_->Entries() > 0) {
    std::uint16_t combined = list_->At(0)->GetResultType() & 0x0F;
    for (std::size_t i = 1; i < list_->Entries(); ++i) {
      const std::uint16_t t = list_->At(i)->GetResultType() & 0x0F;
      if (t == SUValue::kReal) {
        combined = SUValue::kReal;
      } else if (combined != SUValue::kReal && (t == SUValue::kInteger || t == SUValue::kLogical ||
                                                t == SUValue::kSpecification)) {
        combined = SUValue::kInteger;
      }
    }
    type_ = static_cast<std::uint16_t>(SUValue::kOneDimension | combined);
  }
}

ListExpression::ListExpression(const ListExpression& other) : Expression(other) {
  auto* list = new ExpressionList(other.list_ != nullptr ? other.list_->Entries() + 1 : 64);
  for (std::size_t i = 0; other.list_ != nullptr && i < other.list_->Entries(); ++i) {
    Expression* copy = other.list_->At(i)->DeepCopy();
    list->Append(copy);
    copy->Release();
  }
  Attach(list);
  node_count_ = other.node_count_;
}

ListExpression::~ListExpression() { delete list_; }

void ListExpression::Attach(ExpressionList* list) {
  if (list != nullptr && !list->Claim()) RaiseDamagedInput();
  NoteOperandChange();
  list_ = list;
  std::uint32_t count = OwnNodes();
  for (std::size_t i = 0; list_ != nullptr && i < list_->Entries(); ++i) {
    count += list_->At(i)->NodeCount();
  }
  node_count_ = count;
}

void ListExpression::SaveToFile(ClFileStream& file) const {
  Expression::SaveToFile(file);
  WriteCollectableToFile(list_, file);
}

void ListExpression::SaveToVStream(Clvostream& stream) const {
  Expression::SaveToVStream(stream);
  WriteCollectable(list_, stream);
}

namespace {

ExpressionList* AsList(ClCollectable* object) {
  RefuseAncestor(object);
  auto* list = dynamic_cast<ExpressionList*>(object);
  if (object != nullptr && list == nullptr) RaiseDamagedInput();
  return list;
}

}  // namespace

void ListExpression::RestoreFromFile(ClFileStream& file) {
  const RestoringNode restoring(this);
  Expression::RestoreFromFile(file);
  delete list_;
  list_ = nullptr;
  Attach(AsList(RestoreCollectableFromFile(file)));
}

void ListExpression::RestoreFromVStream(Clvistream& stream) {
  const RestoringNode restoring(this);
  Expression::RestoreFromVStream(stream);
  delete list_;
  list_ = nullptr;
  ClCollectable* object = RestoreCollectable(stream);
  if (stream.Good()) Attach(AsList(object));
}

bool ListExpression::ReadItems(BvuBinaryStream& message, void* reading_context, std::uint32_t flags,
                               int depth) {
  std::uint32_t count = 0;
  if (message.GetUInt32(&count) != 0) return false;
  auto* list = new ExpressionList(4);
  for (std::uint32_t i = 0; i < count; ++i) {
    Expression* item = Expression::ReadFromMessage(message, reading_context, flags, depth);
    if (item == nullptr) {
      delete list;
      return false;
    }
    list->Append(item);
    item->Release();
  }
  delete list_;
  list_ = nullptr;
  Attach(list);
  return true;
}

// --- forwarding ---

std::int32_t ListExpression::SetPrivate(bool on) {
  for (std::int32_t i = 0; i < ItemCount(); ++i) list_->At(i)->SetPrivate(on);
  return Expression::SetPrivate(on);
}

Expression* ListExpression::DeepCopy() const {
  auto* copy = new ListExpression(*this);
  copy->AddRef();
  return copy;
}

Expression* HomListExpression::DeepCopy() const {
  auto* copy = new HomListExpression(*this);
  copy->AddRef();
  return copy;
}

Expression* ProcIOListExpression::DeepCopy() const {
  auto* copy = new ProcIOListExpression(*this);
  copy->AddRef();
  return copy;
}

Expression* ListExpression::EliminateObsoleteOperators() {
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    if (Expression* replacement = list_->At(i)->EliminateObsoleteOperators()) {
      list_->Replace(i, replacement);
      replacement->Release();
    }
  }
  return nullptr;
}

template <typename Rebuild>
Expression* ListExpression::RebuildItems(Rebuild rebuild) {
  const std::int32_t n = ItemCount();
  ExpressionList* items = nullptr;
  for (std::int32_t i = 0; i < n; ++i) {
    Expression* item = list_->At(static_cast<std::size_t>(i));
    Expression* fresh = rebuild(item);
    if (fresh != item && items == nullptr) {
      items = new ExpressionList(static_cast<std::size_t>(n) + 1);
      for (std::int32_t k = 0; k < i; ++k) items->Append(list_->At(static_cast<std::size_t>(k)));
    }
    // The list takes the first reference of a fresh item.
    if (items != nullptr) items->Append(fresh);
  }
  if (items == nullptr) return this;
  ListExpression* node = MakeOver(items);
  CopyHeader(*node, *this);
  return node;
}

Expression* ListExpression::RebuildWithChildren(std::int32_t count, const char* const* names) {
  return RebuildItems([&](Expression* item) { return item->RebuildWithChildren(count, names); });
}

Expression* ListExpression::RebuildWithChildren(std::int32_t* count, ExpressionVariable** variables,
                                                ExprNameResolver* resolver) {
  return RebuildItems(
      [&](Expression* item) { return item->RebuildWithChildren(count, variables, resolver); });
}

Expression* ListExpression::Rewrite(const char* name, bool* changed) {
  bool any = false;
  Expression* node = RebuildItems([&](Expression* item) { return item->Rewrite(name, &any); });
  if (any && changed != nullptr) *changed = true;
  return node;
}

Expression* ListExpression::RewriteIndexChain(const char* name, bool* changed) {
  bool any = false;
  Expression* node =
      RebuildItems([&](Expression* item) { return item->RewriteIndexChain(name, &any); });
  if (any && changed != nullptr) *changed = true;
  return node;
}

Expression* ListExpression::SubstituteInPlace(ExprSubstitutionVisitor& visitor) {
  std::uint32_t count = OwnNodes();
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    const auto at = static_cast<std::size_t>(i);
    Expression* item = list_->At(at);
    Expression* fresh = item->SubstituteInPlace(visitor);
    if (fresh != item) {
      fresh->AddRef();
      list_->Replace(at, fresh);
      fresh->Release();
    }
    count += list_->At(at)->NodeCount();
  }
  node_count_ = count;
  return this;
}

bool ListExpression::IsTerm() const {
  return RememberedTerm([this] {
    for (std::int32_t i = 0; i < ItemCount(); ++i) {
      if (!list_->At(i)->IsTerm()) return false;
    }
    return true;
  });
}

bool ListExpression::IsConstant() const {
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    if (!list_->At(i)->IsConstant()) return false;
  }
  return true;
}

std::int32_t ListExpression::CountReferences() const {
  std::int32_t sum = 0;
  for (std::int32_t i = 0; i < ItemCount(); ++i) sum += list_->At(i)->CountReferences();
  return sum;
}

Expression* ListExpression::ListElement(std::int32_t i) const {
  return i >= 1 && i <= ItemCount() ? list_->At(static_cast<std::size_t>(i - 1)) : nullptr;
}

Status ListExpression::WriteCompactToMessage(BvuBinaryStream& message) const {
  Status s = WriteHeader(message);
  if (s == 0) s = message.PutUInt8(static_cast<std::uint8_t>(ClassId()));
  if (s == 0) s = message.PutUInt32(static_cast<std::uint32_t>(ItemCount()));
  for (std::int32_t i = 0; s == 0 && i < ItemCount(); ++i)
    s = list_->At(i)->WriteCompactToMessage(message);
  return s;
}

Status ListExpression::SaveCompactToVStream(Clvostream& stream, std::uint32_t mode) const {
  WriteHeader(stream);
  stream.PutChar(static_cast<char>(ClassId() + 32));
  stream.PutU32(static_cast<std::uint32_t>(ItemCount()));
  stream.PutChar(' ');
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    const Status s = list_->At(i)->SaveCompactToVStream(stream, mode);
    if (status::IsFailure(s)) return s;
  }
  return stream.Bad() ? exprstatus::kItemFailed : 0;
}

// --- evaluation ---

namespace {

Status AppendElements(Expression* item, ExprContext* context, SUValue& result, std::int32_t& n);

Status AppendValue(const SUValue& value, SUValue& result, std::int32_t& n) {
  if (value.IsArray()) {
    for (std::int32_t i = 0; i < value.count; ++i) result.SetElement(n++, value.Elements()[i]);
  } else if (value.type != SUValue::kNoType) {
    result.SetElement(n++, value);
  }
  return 0;
}

// A FOREACH item: its body once per member of its set, with the context
// told of the iterator "i".
Status AppendComprehension(Expression* item, ExprContext* context, SUValue& result,
                           std::int32_t& n) {
  Expression* body = item->Operand(1);
  Expression* range = item->Operand(2);
  if (body == nullptr || range == nullptr || context == nullptr) return exprstatus::kItemFailed;
  SUValue members;
  PrepareValue(members, range->GetResultType());
  if (status::IsFailure(range->Evaluate(members, context))) return exprstatus::kItemFailed;
  context->BeginIterator("i");
  Status s = 0;
  const std::int32_t count = members.IsSet() ? members.count : 0;
  for (std::int32_t k = 0; k < count && !status::IsFailure(s); ++k) {
    SUValue member;
    if (members.IsIntegerSet()) {
      member.SetType(SUValue::kInteger);
      member.SetInt(members.GetIntAt(k));
    } else {
      member.SetType(SUValue::kString);
      member.SetString(members.GetStringAt(k));
    }
    context->SetIteratorValue(member, k);
    s = AppendElements(body, context, result, n);
  }
  context->EndIterator();
  return s;
}

Status AppendElements(Expression* item, ExprContext* context, SUValue& result, std::int32_t& n) {
  if (item->Op() == kForEach) return AppendComprehension(item, context, result, n);
  SUValue value;
  PrepareValue(value, item->GetResultType());
  const Status s = item->Evaluate(value, context);
  if (status::IsFailure(s)) return exprstatus::kItemFailed;
  AppendValue(value, result, n);
  return s;
}

}  // namespace

Status ListExpression::Evaluate(SUValue& result, ExprContext* context) {
  if (!result.IsArray()) {
    const std::uint16_t type = GetResultType();
    result.SetType(
        type >= SUValue::kOneDimension ? type : static_cast<std::uint16_t>(0x100 | SUValue::kReal));
  }
  result.Resize(0);
  std::int32_t n = 0;
  Status s = 0;
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    s = AppendElements(list_->At(i), context, result, n);
    if (status::IsFailure(s)) return s;
  }
  result.Resize(n);
  result.status = SUValue::kValid;
  return s;
}

Status ListExpression::VisitVariables(ExprContext* context, std::uint32_t* counter,
                                      std::uint32_t mode) {
  if (counter != nullptr) ++*counter;
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    const Status s = list_->At(i)->VisitVariables(context, counter, mode);
    if (status::IsFailure(s)) return s;
  }
  return 0;
}

Status ProcIOListExpression::VisitVariables(ExprContext* context, std::uint32_t* counter,
                                            std::uint32_t mode) {
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    const Status s = list_->At(i)->VisitVariables(context, counter, mode);
    if (status::IsFailure(s)) return s;
  }
  return 0;
}

// --- printing ---

void ListExpression::PrintItems(std::ostream& out, ExprContext* context) const {
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    if (i > 0) out << ',';
    PrintNode(out, list_->At(i), context);
  }
}

void ListExpression::PrintModelling(std::ostream& out, ExprContext* context) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
    return;
  }
  PrintItems(out, context);
}

void ProcIOListExpression::PrintModelling(std::ostream& out, ExprContext* context) const {
  if (IsPrivate()) {
    out << "PrivateExpression";
    return;
  }
  out << '(';
  PrintItems(out, context);
  out << ')';
}

void ListExpression::PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const {
  for (std::int32_t i = 0; i < ItemCount(); ++i) list_->At(i)->PrintDebug(out, depth + 1, end_line);
}

void ProcIOListExpression::PrintDebug(std::ostream& out, std::int32_t depth, bool end_line) const {
  out << ' ' << "Proc IO List Expression:" << '\n';
  ListExpression::PrintDebug(out, depth, end_line);
}

void ListExpression::PrintErrors(std::ostream& out, ExprContext* context, bool* found) const {
  bool any = false;
  Expression::PrintErrors(out, context, &any);
  for (std::int32_t i = 0; !any && i < ItemCount(); ++i)
    list_->At(i)->PrintErrors(out, context, &any);
  if (any && found != nullptr) *found = true;
}

// --- queries forwarded to the items ---

std::int32_t ListExpression::CountSetIndices() const {
  return SumOver([](const Expression* e) { return e->CountSetIndices(); });
}
std::int32_t ListExpression::CountFlag0002() const {
  return SumOver([](const Expression* e) { return e->CountFlag0002(); });
}
std::int32_t ListExpression::CountFlag0004() const {
  return SumOver([](const Expression* e) { return e->CountFlag0004(); });
}
std::int32_t ListExpression::CountFlag0800() const {
  return SumOver([](const Expression* e) { return e->CountFlag0800(); });
}
std::int32_t ListExpression::CountFlag1000() const {
  return SumOver([](const Expression* e) { return e->CountFlag1000(); });
}

bool ListExpression::DependsOnVariables(ExprContext* context, std::int32_t arg) const {
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    if (list_->At(i)->DependsOnVariables(context, arg)) return true;
  }
  return false;
}

bool ListExpression::HasImplicitReference() const {
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    if (list_->At(i)->HasImplicitReference()) return true;
  }
  return false;
}

std::uint32_t ListExpression::QualifyImplicitReferences(Expression* prefix) {
  std::uint32_t count = OwnNodes();
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    count += list_->At(i)->QualifyImplicitReferences(prefix);
  }
  return node_count_ = count;
}

bool ListExpression::NeedsIteration() const {
  for (std::int32_t i = 0; i < ItemCount(); ++i) {
    if (list_->At(i)->NeedsIteration()) return true;
  }
  return false;
}

Status ListExpression::NonlinearityClass(ExprContext* context, std::int32_t c, std::uint32_t* flags,
                                         std::int32_t i, std::int32_t j) {
  for (std::int32_t k = 0; k < ItemCount(); ++k) {
    const Status s = list_->At(k)->NonlinearityClass(context, c, flags, i, j);
    if (status::IsFailure(s)) return s;
  }
  return 0;
}

Status ListExpression::SizeInWords(ExprContext* context, SizeCursor& cursor) {
  for (std::int32_t k = 0; k < ItemCount(); ++k) {
    const Status s = list_->At(k)->SizeInWords(context, cursor);
    if (status::IsFailure(s)) return s;
  }
  return 0;
}

ExpressionVariable* ListExpression::VariableSpec() {
  return ItemCount() > 0 ? list_->At(0)->VariableSpec() : nullptr;
}

ExpressionVariable* ListExpression::StateVariableSpec() {
  return ItemCount() > 0 ? list_->At(0)->StateVariableSpec() : nullptr;
}
