// The process-wide keeper of the histories of delayed variables: a row of
// values at each accepted time, looked up with linear interpolation by delay
// expressions, rolled back when the run goes back in time, and saved with
// snapshots (kind 4 the history, kind 5 the second history of the
// sensitivity calculations; the kind is the participant index).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "daes/delays/delay_history.h"
#include "foundation/interfaces/snap_base.h"

class BvuBinaryStream;
class DAESVariable;

namespace delays {
inline constexpr std::int32_t kHistoryKind = 4;
inline constexpr std::int32_t kSubHistoryKind = 5;
inline constexpr std::uint32_t kHistorySection = 3000;
inline constexpr std::uint32_t kSubHistorySection = 3001;
inline constexpr std::uint16_t kHeaderEnd = 65535;
// More variables than this do not fit the 16-bit header with its end mark.
inline constexpr std::int32_t kMaxHeaderNames = 65534;
}  // namespace delays

// The items of the sensitivity calculations, whose names head the second
// history's snapshot header. Implemented by the sensitivity manager.
class DelaySensitivityItems {
 public:
  virtual std::int32_t GetItemCount() = 0;
  // Item i, 0-based; null for none.
  virtual const char* GetItemName(std::int32_t i) = 0;

 protected:
  ~DelaySensitivityItems() = default;
};

class DelayMgr : public SputSnapBase {
 public:
  // Becomes the current delay manager.
  DelayMgr();
  // Stops being current.
  ~DelayMgr() override;
  DelayMgr(const DelayMgr&) = delete;
  DelayMgr& operator=(const DelayMgr&) = delete;

  // --- snapshot participant; the index is the kind ---
  std::uint32_t Id(std::int32_t kind) override;
  Status StructureRecord(std::int32_t kind, DseMessage** message) override;
  Status MapStructure(std::int32_t kind, DseMessage* message) override;
  Status SectionData(std::int32_t kind, const std::uint8_t** data, std::uint32_t* length) override;
  Status RestoreSection(std::int32_t kind, const std::uint8_t* data, std::uint32_t length) override;
  Status SnapshotWritten(std::int32_t) override { return 0; }
  // Matches the saved names to the delayed variables; *ready stays 1 only
  // when they are the same names in the same order.
  Status Ready(std::int32_t kind, std::int32_t* ready) override;
  // Restores through the name map and hands back the image as it is now.
  Status ConvertSection(std::int32_t kind, const std::uint8_t* data, std::uint32_t length,
                        const std::uint8_t** converted, std::uint32_t* converted_length) override;
  Status RestoreFinished(std::int32_t kind) override;
  // The header of the structure record and of a file's record, in any stream.
  Status WriteHeader(std::int32_t kind, BvuBinaryStream& out);
  // A damaged header gives 0xA026FFFF and keeps the names read before.
  Status ReadHeader(std::int32_t kind, BvuBinaryStream& in);

  // --- delay manager ---
  // Gives the variable its 1-based delay index.
  Status AddDelayedVariable(DAESVariable* variable);
  // Each delayed variable's unscaled value at time t.
  Status RecordAll(double t);
  // The values recorded at time t are about to jump (an event acted on,
  // values set, a re-initialisation): they stay in a row of their own, and
  // the values recorded at t next, those after the jump, go into a row
  // after it. Not at time 0.0: a run starts there, from the values it
  // initialises, which hold before it too. `order`: the lowest derivative
  // that may jump there when the values do not.
  void KeepBeforeJump(double t, std::int32_t order = 1);
  // The values now are those before a jump at t: recorded, and kept.
  Status RecordBeforeJump(double t);
  // The same where a run of the integrator ends at a time NextJump gave:
  // the break there is that many derivatives smoother than the one seen.
  Status RecordBeforeBreak(double t);
  // The first time in (from, to] at which a delayed value, looked up with
  // a lag the model used in its last step (one that moves with time, where
  // its look-ups move to), jumps, or one of its lower
  // derivatives does (where the run started, at an event, and each such
  // time a lag later, up to kRoughestSmooth derivatives); false when none
  // does. An integrator ends its steps just before such a time and starts
  // again at it: no step of it can pass over a jump.
  bool NextJump(double from, double to, double* at) const;
  // Whether an integrator may end a step on t (a time NextJump gave) and
  // go on without starting again: where only the second or a higher
  // derivative of the delayed values jumps, and the break before lies
  // closer than half the shortest lag. Such breaks are sums of several
  // lags, many and each a small part of the jump; starting again at every
  // one held the integrator at order 1 and each start erred one way.
  bool GoesOnAt(double t) const;
  // A variable going away: its column stays, recorded no more, unnamed.
  void ForgetVariable(DAESVariable* variable);
  // Column j (the delay index), delay d: the value d ago, *value holding the
  // value now. Left unchanged in steady state, in initialisation at time
  // 0.0, without history and while suspended. A NaN delay is refused
  // (0x8026020F).
  Status GetDelayedValue(std::int32_t column, double delay, double* value);
  // The partial of GetDelayedValue's answer with respect to the value now:
  // 1 where it answers the value now, 0 inside the history.
  Status GetDelayedValueWeight(std::int32_t column, double delay, double* weight) const;
  Status RecordSubValue(DAESVariable* variable, std::int32_t k, double t, double x);
  Status GetSubDelayedValue(DAESVariable* variable, std::int32_t k, double t, double* value);
  Status InitHistory();
  Status InitSubHistory(std::uint32_t m);
  std::int32_t DelayedVariableCount() const { return count_; }
  std::int32_t Suspend() { return ++suspended_; }
  std::int32_t Resume() { return --suspended_; }
  bool IsSuspended() const { return suspended_ > 0; }
  // Forgets the delayed variables, both histories' rows and the saved names.
  void Clear();

  void SetSensitivityItems(DelaySensitivityItems* items) { items_ = items; }
  DelayHistory& History() { return history_; }
  DelayHistory& SubHistory() { return sub_history_; }
  DAESVariable* VariableAt(std::int32_t i) const {
    return variables_.at(static_cast<std::size_t>(i));
  }
  const std::vector<std::int32_t>& ColumnMap() const { return column_map_; }
  std::int32_t SavedNameCount() const { return static_cast<std::int32_t>(saved_names_.size()); }

 private:
  void ReleaseNames();
  void NoteLag(std::int32_t column, double lag, double now);
  // A look-up went past the rows given up to make room.
  void TellOverflow(double delay, double now);
  // Steady state, initialisation at 0, no history yet or suspended: a
  // delayed value is the value now.
  bool AnswersTheValueNow(double now) const;
  Status RefuseSnapshot(const char* what);

  std::vector<DAESVariable*> variables_;
  std::int32_t suspended_ = 0;
  bool overflow_told_ = false;
  DelayHistory history_;
  DelayHistory sub_history_;
  std::uint32_t m_ = 0;
  std::int32_t count_ = 0;
  // The lags looked up since the last recording, and those of the
  // recordings' last stretch before it. A lag that changes as the run goes
  // leaves its values of the last step only.
  std::vector<delays::Lag> lags_;
  std::vector<delays::Lag> last_lags_;
  // The last block handed out for a snapshot.
  std::vector<std::uint8_t> block_;
  // The stretch before those: how a lag moves with time.
  std::vector<delays::Lag> earlier_lags_;
  std::vector<std::string> saved_names_;
  std::int32_t saved_rows_ = 0;
  bool have_header_ = false;
  // Entry i: the 1-based column of saved name i, or 0.
  std::vector<std::int32_t> column_map_;
  DelaySensitivityItems* items_ = nullptr;
};

// The factory the server thread calls at start-up.
DelayMgr* DAESCreateDelayMgr();
