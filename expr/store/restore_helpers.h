// Shared pieces of the collectable bodies of the expression family: class
// registration, operand restore, and the disposal of what a failed restore
// made.
#pragma once

#include <cstdint>

#include "foundation/collections/collectable.h"

class ClFileStream;
class Clvistream;
class Expression;
class SUValue;

inline constexpr std::size_t kMaxSystemFunctionName = 256;

// Registers every expression class id with the factory (once).
void EnsureExpressionClassesRegistered();

// Reports damaged stored data through the library's error path (a guarded
// restore turns it into a status).
[[noreturn]] void RaiseDamagedInput();

// `length` bytes of a value's virtual-stream text from the file.
bool ReadValueText(ClFileStream& file, std::uint32_t length, SUValue& value);

// One operand object with a reference taken; a saved null gives null, an
// object that is no expression is damaged input.
Expression* RestoreOperandFromFile(ClFileStream& file);
Expression* RestoreOperand(Clvistream& stream);

// The disposal for GuardedRestore of expression graphs: each object made is
// freed alone, without releasing what it refers to (those are disposed of
// too).
void DisposeRestoredExpression(ClCollectable* object);
