// The restore entry for data from outside the program (snapshot files,
// stored objects): a damaged or truncated graph gives a failure status and
// the library's message instead of ending the process. The library's errors
// are caught at this boundary only; the process handler is unchanged.
#pragma once

#include <string>

#include "foundation/collections/collectable.h"
#include "platform/status.h"

class ClFileStream;
class Clvistream;

// Disposes of one object made by a restore that failed.
using ClRestoreDisposal = void (*)(ClCollectable* object);

// Deletes the object through its virtual destructor: right for graphs whose
// classes do not delete what they point to (the collections of this library).
void DeleteRestoredObject(ClCollectable* object);

struct ClRestoreOutcome {
  Status status = status::kOk;
  // The restored object; null for a saved null and on failure.
  ClCollectable* object = nullptr;
  // The library's message on failure.
  std::string message;
};

// Runs one top-level restore with library errors caught. A read that ran
// short of the file or failed ("[READERR] Read error"), a stream left not
// good ("[STREAM] Bad input stream") and any other exception of a body (the
// same texts) fail too. On failure the status is 0x8000020F and every object
// the factory made is handed to `dispose` (newest first). Objects restored
// in place (the target, and members that bodies restore as targets) are
// never disposed; those that are collections are left empty, others
// half-restored.
ClRestoreOutcome GuardedRestoreFromFile(ClFileStream& file, ClCollectable* target = nullptr,
                                        ClRestoreDisposal dispose = &DeleteRestoredObject);
ClRestoreOutcome GuardedRestore(Clvistream& stream, ClCollectable* target = nullptr,
                                ClRestoreDisposal dispose = &DeleteRestoredObject);
