#include "foundation/guarded_restore.h"

#include <vector>

#include "foundation/collection_errors.h"
#include "foundation/file_stream.h"
#include "foundation/persistence.h"
#include "foundation/virtual_stream.h"

namespace {

const char* RowText(std::uint32_t code) { return FindClErrorRow(code)->format; }

// Runs `restore` as a top-level restore of its own, with library errors
// thrown and caught here and the objects it made collected.
template <typename Restore, typename Failed>
ClRestoreOutcome Guarded(ClCollectable* target, ClRestoreDisposal dispose, Restore restore,
                         Failed failed) {
  ClRestoreOutcome outcome;
  std::vector<ClCollectable*> made;
  // A call from inside another restore still starts a graph of its own.
  ClCollectable* outer_table = ReadManager().ExchangeCurrentInstance(nullptr);
  std::vector<ClCollectable*>* outer_sink = ExchangeRestoreSink(&made);
  bool ok = true;
  {
    const ClLibraryErrorGuard guard;
    try {
      outcome.object = restore();
    } catch (const ClLibraryFailure& failure) {
      ok = false;
      outcome.message = failure.what();
    }
  }
  if (ok && failed() != nullptr) {
    ok = false;
    outcome.message = failed();
  }
  ExchangeRestoreSink(outer_sink);
  ReadManager().ExchangeCurrentInstance(outer_table);
  if (!ok) {
    outcome.status = status::kBadArguments;
    outcome.object = nullptr;
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
      if (*it != target) dispose(*it);
    }
  }
  return outcome;
}

}  // namespace

void DeleteRestoredObject(ClCollectable* object) { delete object; }

ClRestoreOutcome GuardedRestoreFromFile(ClFileStream& file, ClCollectable* target,
                                        ClRestoreDisposal dispose) {
  return Guarded(
      target, dispose, [&] { return RestoreCollectableFromFile(file, target); },
      [&]() -> const char* {
        return file.Error() || file.AtEnd() ? RowText(kClReadErr) : nullptr;
      });
}

ClRestoreOutcome GuardedRestore(Clvistream& stream, ClCollectable* target,
                                ClRestoreDisposal dispose) {
  return Guarded(
      target, dispose, [&] { return RestoreCollectable(stream, target); },
      [&]() -> const char* { return stream.Good() ? nullptr : RowText(kClStream); });
}
