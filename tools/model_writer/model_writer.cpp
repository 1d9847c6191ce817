#include "tools/model_writer/model_writer.h"

#include "foundation/persistence/binary_stream.h"

namespace modelwriter {
namespace {
constexpr std::uint32_t kAbs = 0xFFFFFF;
constexpr std::uint32_t kEnd = 0xFFFFFE;
constexpr std::uint8_t kConstantClass = 121;
constexpr std::uint8_t kReferenceClass = 124;
constexpr std::uint8_t kListClass = 127;
constexpr std::uint8_t kTimeCode = 57;
constexpr std::uint8_t kArgumentListClass = 128;
constexpr std::uint8_t kCallClass = 129;
}  // namespace

Expr Real(double value) {
  auto n = std::make_shared<Node>();
  n->leaf_class = kConstantClass;
  n->real = value;
  return n;
}

Expr Int(std::int32_t value) {
  auto n = std::make_shared<Node>();
  n->leaf_class = kConstantClass;
  n->type = 2;
  n->integer = value;
  return n;
}

Expr Logical(bool value) {
  auto n = std::make_shared<Node>();
  n->leaf_class = kConstantClass;
  n->type = 3;
  n->integer = value ? 1 : 0;
  return n;
}

Expr Str(const std::string& value) {
  auto n = std::make_shared<Node>();
  n->leaf_class = kConstantClass;
  n->type = 5;
  n->text = value;
  return n;
}

Expr Var(std::uint32_t offset) {
  auto n = std::make_shared<Node>();
  n->leaf_class = kReferenceClass;
  n->offset = offset;
  return n;
}

Expr Unary(std::uint8_t code, Expr operand) {
  auto n = std::make_shared<Node>();
  n->code = code;
  n->operands.push_back(std::move(operand));
  return n;
}

Expr List(std::vector<Expr> items) {
  auto n = std::make_shared<Node>();
  n->leaf_class = kListClass;
  n->type = 0x104;
  n->operands = std::move(items);
  return n;
}

Expr Binary(std::uint8_t code, Expr left, Expr right) {
  auto n = std::make_shared<Node>();
  n->code = code;
  n->operands.push_back(std::move(left));
  n->operands.push_back(std::move(right));
  return n;
}

Expr TypedVar(std::uint32_t offset, std::uint16_t type) {
  auto n = std::make_shared<Node>();
  n->leaf_class = kReferenceClass;
  n->offset = offset;
  n->type = type;
  return n;
}

Expr ProcCall(std::vector<Expr> inputs, std::vector<Expr> outputs, std::uint32_t definition) {
  auto list = [](std::vector<Expr> items) {
    auto n = std::make_shared<Node>();
    n->leaf_class = kArgumentListClass;
    n->operands = std::move(items);
    return n;
  };
  auto n = std::make_shared<Node>();
  n->leaf_class = kCallClass;
  n->type = 0;
  n->offset = definition;
  n->operands = {list(std::move(inputs)), list(std::move(outputs))};
  return n;
}

Expr Time() {
  auto n = std::make_shared<Node>();
  n->code = kTimeCode;
  return n;
}

Expr Greater(Expr a, Expr b) {
  auto n = std::make_shared<Node>();
  n->code = 10;
  n->type = 3;
  n->operands.push_back(std::move(a));
  n->operands.push_back(std::move(b));
  return n;
}

void Writer::Keep(Status s) {
  if (status_ == 0 && (s & 0x80000000u) != 0) status_ = s;
}

void Writer::U8(std::uint8_t v) { Keep(stream_.PutUInt8(v)); }
void Writer::U16(std::uint16_t v) { Keep(stream_.PutUInt16(v)); }
void Writer::U32(std::uint32_t v) { Keep(stream_.PutUInt32(v)); }
void Writer::F64(double v) { Keep(stream_.PutDouble(v)); }
void Writer::Text(const char* text) { Keep(stream_.PutString(text)); }

void Writer::Placement(const std::vector<Step>& steps) {
  U8(1);
  U16(static_cast<std::uint16_t>(steps.size() + 2));
  Keep(stream_.PutUInt24(kAbs));
  for (const Step& step : steps) {
    Keep(stream_.PutUInt24(step.first));
    const Status s = stream_.PutCString(step.second.c_str());
    if ((s & 0x80000000u) != 0) Keep(s);
  }
  Keep(stream_.PutUInt24(kEnd));
}

void Writer::IdPath(const std::vector<std::uint32_t>& ids) {
  U8(0);
  U16(static_cast<std::uint16_t>(ids.size() + 2));
  Keep(stream_.PutUInt24(kAbs));
  for (std::uint32_t id : ids) Keep(stream_.PutUInt24(id));
  Keep(stream_.PutUInt24(kEnd));
}

void Writer::Reference(const std::vector<std::uint32_t>& ids) {
  U8(0);
  U16(18);
  IdPath(ids);
}

void Writer::ParameterReference(std::uint16_t kind, const std::vector<Step>& placement) {
  U8(0);
  U16(kind);
  if (kind == 15 || kind == 16 || kind == 17 || kind == 19 || kind == 23) Placement(placement);
}

void Writer::Expression(const Expr& e) {
  U8(e->code);
  U16(0);
  U16(e->type);
  if (e->leaf_class == kCallClass) {
    // Both argument lists, then the definition's path from the library root.
    U8(e->leaf_class);
    for (const Expr& list : e->operands) Expression(list);
    U8(0);
    U16(3);
    U32(kAbs);
    U32(e->offset);
    U32(kEnd);
    return;
  }
  if (e->leaf_class == kListClass || e->leaf_class == kArgumentListClass) {
    // A list leaf: class, item count, the items.
    U8(e->leaf_class);
    U32(static_cast<std::uint32_t>(e->operands.size()));
    for (const Expr& item : e->operands) Expression(item);
    return;
  }
  for (const Expr& operand : e->operands) Expression(operand);
  if (!e->operands.empty() || e->code == kTimeCode) return;
  U8(e->leaf_class);
  if (e->leaf_class == kConstantClass && (e->type == 2 || e->type == 3)) {
    U32(static_cast<std::uint32_t>(e->integer));
  } else if (e->leaf_class == kConstantClass && e->type == 5) {
    Text(e->text.c_str());
  } else if (e->leaf_class == kConstantClass) {
    F64(e->real);
  } else {
    U32(e->offset);
  }
}

void Writer::SwitchHead(const std::vector<Step>& placement,
                        const std::vector<std::string>& states) {
  Item(kSwitchEquation);
  Placement(placement);
  U32(static_cast<std::uint32_t>(states.size()));
  for (const std::string& state : states) Text(state.c_str());
}

void Writer::Definition(const Procedure& p) {
  Text(p.name.c_str());
  Text(p.implementation.c_str());
  Text("");
  Text(p.library.c_str());
  U32(p.version);
  U32(p.language);
  U32(p.options);
  U16(static_cast<std::uint16_t>(p.inputs.size()));
  U16(static_cast<std::uint16_t>(p.outputs.size()));
  for (const auto* arguments : {&p.inputs, &p.outputs}) {
    for (const ProcArgument& a : *arguments) {
      U16(a.descriptor);
      Keep(stream_.PutCString(a.name.c_str()));
      U32(0);
      for (const std::string& size : a.sizes) Keep(stream_.PutCString(size.c_str()));
    }
  }
}

void Writer::EquationHead(std::uint32_t references) {
  U32(0);
  Text("");
  U32(references);
}

}  // namespace modelwriter
