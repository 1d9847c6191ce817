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

// Does nothing; calling it keeps the class registrations in the program.
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

// Marks a node whose body is being restored. A node that names one of its
// own ancestors as an operand would make a cycle that no release frees and
// every walk runs around forever; such a graph is damaged input.
class RestoringNode {
 public:
  explicit RestoringNode(const ClCollectable* node);
  ~RestoringNode();
  RestoringNode(const RestoringNode&) = delete;
  RestoringNode& operator=(const RestoringNode&) = delete;

 private:
  const ClCollectable* node_ = nullptr;
};
// Raises damaged input when `object` is a node still being restored.
void RefuseAncestor(const ClCollectable* object);
bool IsBeingRestored(const ClCollectable* object);

// A stored graph may name one node from several places (the writer saves a
// shared node once), and every walk over the restored tree visits it once
// per place. False when the nodes a walk would visit exceed a budget
// proportional to the objects read so far and the `references` to them
// being taken (a list's items): such a graph is damaged input, so that no
// walk grows faster than the stored bytes (and node counts cannot wrap).
inline constexpr std::uint64_t kExpansionPerObject = 64;
inline constexpr std::uint64_t kExpansionBase = 4096;
bool WithinExpansion(std::uint64_t expanded_nodes, std::uint64_t references = 0);

// The disposal for GuardedRestore of expression graphs: each object made is
// freed alone, without releasing what it refers to (those are disposed of
// too).
void DisposeRestoredExpression(ClCollectable* object);
