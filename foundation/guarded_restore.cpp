#include "foundation/guarded_restore.h"

#include <vector>

#include "foundation/collection_errors.h"
#include "foundation/file_stream.h"
#include "foundation/persistence.h"
#include "foundation/virtual_stream.h"

namespace {

const char* RowText(std::uint32_t code) { return FindClErrorRow(code)->format; }

// Sets aside the read table of an enclosing restore, if any, and collects
// the objects the guarded restore makes; puts both back however it ends.
class OwnGraph {
 public:
  explicit OwnGraph(std::vector<ClCollectable*>* made)
      : outer_table_(ReadManager().ExchangeCurrentInstance(nullptr)),
        outer_sink_(ExchangeRestoreSink(made)) {}
  ~OwnGraph() {
    ExchangeRestoreSink(outer_sink_);
    ReadManager().ExchangeCurrentInstance(outer_table_);
  }
  OwnGraph(const OwnGraph&) = delete;
  OwnGraph& operator=(const OwnGraph&) = delete;

 private:
  ClCollectable* outer_table_;
  std::vector<ClCollectable*>* outer_sink_;
};

// Runs `restore` as a top-level restore of its own with library errors
// thrown and caught here; `failed` names what the stream's state says is
// wrong after a restore that raised nothing.
template <typename Restore, typename Failed>
ClRestoreOutcome Guarded(ClCollectable* target, ClRestoreDisposal dispose, Restore restore,
                         Failed failed) {
  ClRestoreOutcome outcome;
  std::vector<ClCollectable*> made;
  bool ok = true;
  {
    const OwnGraph own(&made);
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
