// Virtual streams in the layouts that earlier versions stored expressions
// in (nothing in the program writes them): the tests and the fuzz seeds
// build them by hand from these pieces.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "expr/store/old_layouts.h"
#include "foundation/persistence/memory_stream.h"
#include "foundation/persistence/persistence.h"

namespace oldlayout {

using Body = std::function<void(Clvostream&)>;

// ':' id '{' header body '}'; the header is the old operator code, the error
// code, the typed value and the flags.
inline Body Node(std::uint16_t id, std::int16_t code, const SUValue& value, Body body,
                 std::uint16_t flags = 0, std::uint32_t error = 0) {
  // The value is copied into the closure as its stream form.
  ClMemoryOutStream held;
  value.SaveToVStream(held);
  const std::string value_text = held.Text();
  return [=](Clvostream& s) {
    s.PutChar(':');
    s.PutU16(id);
    s.PutChar('{');
    s.PutU16(static_cast<std::uint16_t>(code));
    s.PutU32(error);
    s.PutBytes(value_text.data(), value_text.size());
    s.PutU16(flags);
    if (body) body(s);
    s.PutChar('}');
  };
}

inline SUValue RealValue(double v) {
  SUValue value;
  value.SetType(SUValue::kReal);
  value.SetReal(v);
  return value;
}

inline SUValue Typed(std::uint16_t type) {
  SUValue value;
  value.SetType(type);
  return value;
}

inline Body Null() {
  return [](Clvostream& s) { WriteCollectable(nullptr, s); };
}

inline Body Terminal(const SUValue& value, std::int16_t code = 2) {
  return Node(oldclass::kTerminal, code, value, nullptr);
}

inline Body VarRef(std::uint32_t offset, std::int16_t code = 2) {
  return Node(oldclass::kVarRef, code, RealValue(0.0),
              [offset](Clvostream& s) { s.PutU32(offset); });
}

inline Body Unary(std::int16_t code, const SUValue& type, Body operand, std::uint32_t count) {
  return Node(oldclass::kUnary, code, type, [=](Clvostream& s) {
    operand(s);
    s.PutU32(count);
  });
}

inline Body Binary(std::int16_t code, const SUValue& type, Body first, Body second,
                   std::uint32_t count) {
  return Node(oldclass::kBinary, code, type, [=](Clvostream& s) {
    first(s);
    second(s);
    s.PutU32(count);
  });
}

// A current-layout ExpressionList holding old items.
inline Body ItemList(std::vector<Body> items) {
  return [=](Clvostream& s) {
    s.PutChar(':');
    s.PutU16(109);
    s.PutChar('{');
    // The embedded ClOrdered: class 0x8028, its count and its items.
    s.PutChar(':');
    s.PutU16(0x8028);
    s.PutChar('{');
    s.PutU32(static_cast<std::uint32_t>(items.size()));
    for (const Body& item : items) item(s);
    s.PutChar('}');
    s.PutChar('}');
  };
}

inline Body List(std::uint16_t id, const SUValue& type, Body list, std::uint32_t count) {
  return Node(id, 2, type, [=](Clvostream& s) {
    list(s);
    s.PutU32(count);
  });
}

inline Body ProcCall(Body inputs, Body outputs, Body size, Body components, const char* name,
                     std::uint32_t count) {
  SUValue proc;
  proc.SetType(SUValue::kName);
  proc.SetString(name);
  ClMemoryOutStream held;
  proc.SaveToVStream(held);
  const std::string name_text = held.Text();
  return Node(oldclass::kProcCall, 2, Typed(0), [=](Clvostream& s) {
    inputs(s);
    outputs(s);
    size(s);
    components(s);
    s.PutBytes(name_text.data(), name_text.size());
    s.PutU32(7);
    s.PutU32(count);
  });
}

inline std::string Text(const Body& body) {
  ClMemoryOutStream out;
  body(out);
  return out.Text();
}

}  // namespace oldlayout
