#include "foundation/persistence/guarded_restore.h"

#include <exception>

#include "foundation/collections/collection.h"

#include "foundation/collections/collection_errors.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/persistence.h"
#include "foundation/persistence/virtual_stream.h"

namespace {

const char* RowText(std::uint32_t code) { return FindClErrorRow(code)->format; }

// Sets aside the read table of an enclosing restore, if any, and records
// what the guarded restore makes and restores in place; puts both back
// however it ends.
class OwnGraph {
 public:
  explicit OwnGraph(ClRestoreRecord* record)
      : outer_table_(ReadManager().ExchangeCurrentInstance(nullptr)),
        outer_record_(ExchangeRestoreRecord(record)) {}
  ~OwnGraph() {
    ExchangeRestoreRecord(outer_record_);
    ReadManager().ExchangeCurrentInstance(outer_table_);
  }
  OwnGraph(const OwnGraph&) = delete;
  OwnGraph& operator=(const OwnGraph&) = delete;

 private:
  ClCollectable* outer_table_;
  ClRestoreRecord* outer_record_;
};

// Runs `restore` as a top-level restore of its own with library errors
// thrown and caught here. `bad_state` tells a restore that raised nothing
// but left its stream failed; `state_text` is the message for that and for
// any other exception (an allocation sized by a damaged count).
template <typename Restore, typename BadState>
ClRestoreOutcome Guarded(ClRestoreDisposal dispose, Restore restore, BadState bad_state,
                         const char* state_text) {
  ClRestoreOutcome outcome;
  ClRestoreRecord record;
  bool ok = true;
  {
    const OwnGraph own(&record);
    const ClLibraryErrorGuard guard;
    try {
      outcome.object = restore();
    } catch (const ClLibraryFailure& failure) {
      ok = false;
      outcome.message = failure.what();
    } catch (const std::exception&) {
      ok = false;
    }
  }
  if (ok && bad_state()) ok = false;
  if (!ok) {
    if (outcome.message.empty()) outcome.message = state_text;
    outcome.status = status::kBadArguments;
    outcome.object = nullptr;
    // Targets belong to their holders: they are only emptied of items that
    // are about to go. Everything the factory made goes, newest first.
    for (ClCollectable* target : record.targets) {
      if (auto* collection = dynamic_cast<ClCollection*>(target)) collection->Clear();
    }
    for (auto it = record.made.rbegin(); it != record.made.rend(); ++it) dispose(*it);
  }
  return outcome;
}

}  // namespace

void DeleteRestoredObject(ClCollectable* object) { delete object; }

ClRestoreOutcome GuardedRestoreFromFile(ClFileStream& file, ClCollectable* target,
                                        ClRestoreDisposal dispose) {
  return Guarded(
      dispose, [&] { return RestoreCollectableFromFile(file, target); },
      [&] { return file.Error() || file.AtEnd(); }, RowText(kClReadErr));
}

ClRestoreOutcome GuardedRestore(Clvistream& stream, ClCollectable* target,
                                ClRestoreDisposal dispose) {
  return Guarded(
      dispose, [&] { return RestoreCollectable(stream, target); }, [&] { return !stream.Good(); },
      RowText(kClStream));
}
