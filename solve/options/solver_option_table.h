// SolverOptionTable: the one process-wide table of numbered solver options
// (tolerances, iteration limits, method choices, print levels, the integrator
// and decomposer choices) and of the named options of the open solver
// framework. It installs itself behind the SolverOptions facade of the lower
// layers, answers the client's id-path reads and writes as a message server,
// and the numbered option requests of loaded libraries as their options
// handler.
//
// Writes to the staged options (run mode, integrator, linear solver, ...)
// only stage a requested value; the problem manager applies them before a run
// with ApplyPendingChanges, whose bits name what it must rebuild. Every other
// write takes effect at once. Registered clients are called back on every
// write, in registration order.
//
// No lock: the problem manager's hand-over keeps the server thread's writes
// and the run thread's reads apart.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "foundation/interfaces/solver_options.h"
#include "foundation/values/typed_value.h"
#include "framework/libraries/library_api.h"
#include "framework/servers/server_callback.h"
#include "platform/status.h"

class QLNOptionsClient;
class SolverOptionsOwner;

// Bits returned by ApplyPendingChanges: what the caller rebuilds.
inline constexpr std::uint32_t kOptionChangeRunMode = 2;
inline constexpr std::uint32_t kOptionChangeIntegrator = 4;
inline constexpr std::uint32_t kOptionChangeGroupMethods = 8;
inline constexpr std::uint32_t kOptionChangeDecomposition = 16;
inline constexpr std::uint32_t kOptionChangeCompression = 32;

inline constexpr std::int32_t kOptionNumberCount = 172;

class SolverOptionTable final : public SolverOptions, public DseServerCB {
 public:
  enum class Kind : std::uint8_t { kNone, kReal, kInteger, kFlag, kText, kUnstored };

  // The process-wide table, made and installed by whichever caller is first.
  static SolverOptionTable* Instance();
  // The table that exists now, or null; never makes one.
  static SolverOptionTable* Existing();

  // Becomes the process-wide table (and the facade's) until destroyed; the
  // one it displaced comes back then.
  SolverOptionTable();
  ~SolverOptionTable() override;
  SolverOptionTable(const SolverOptionTable&) = delete;
  SolverOptionTable& operator=(const SolverOptionTable&) = delete;

  // Restores the reset values (staged options: requested and in force) and
  // marks a pending change; clients and named options stay.
  void SetDefaults();
  // Copies the staged values into force; kOptionChange... bits, 0 when
  // nothing was pending.
  std::uint32_t ApplyPendingChanges();
  // Set by the results manager's item writes: the next apply rebuilds the
  // decomposition.
  void MarkForcedRestructure() { forced_restructure_ = 1; }
  bool HasPendingChanges() const { return pending_ != 0; }
  // Moves on with every write (numbered or named), reset and apply, after
  // the value is stored, and is never the same for two tables: a solver
  // that keeps what it read compares this once instead of reading its
  // options before every solve.
  std::uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }

  // Typed getters: each knows its own numbers, anything else gives the
  // neutral value. Staged options give the value in force.
  bool GetBool(std::int32_t number) override;
  std::int32_t GetInt(std::int32_t number) override;
  double GetReal(std::int32_t number) override;
  const char* GetString(std::int32_t number) const;
  bool IsVerbose();
  // The value in force of any real, integer or flag number (a flag as 0 or
  // 1), whichever getter knows it; 0 for other numbers. For callers that
  // read options by a number they were given.
  double ValueInForce(std::int32_t number) const;

  // The value in force as the client reads it: its address and wire type
  // code; 0x8000FFFF for a number without a value.
  Status ValueSlot(std::int32_t number, std::uint32_t* wire_type, void** address);
  // A typed value written by the client: integer, logical, real and string
  // values go to the setter of their kind; other types are ignored.
  Status SetValue(std::int32_t number, const SUValue& value);

  // Setters: 0, or 0xA000FFFF when the number has no value of that kind (the
  // clients of a number within 0..171 are called all the same).
  Status SetInteger(std::int32_t number, std::int32_t value);
  // The facade's integer setter, for code below the solve subsystem.
  Status SetInt(std::int32_t number, std::int32_t value) override {
    return SetInteger(number, value);
  }
  Status SetReal(std::int32_t number, double value);
  // Stores nothing and answers 0xA000FFFF: a flag is written as an integer.
  Status SetFlag(std::int32_t number, bool value);
  Status SetText(std::int32_t number, const char* text);

  // Appends the client to the number's list and calls it back at once with
  // the value it follows; returns the client's answer.
  Status RegisterClient(QLNOptionsClient* client, std::int32_t number);
  // Makes the table if needed and registers the client for each number;
  // the last failure, else 0.
  static Status RegisterClientForNumbers(QLNOptionsClient* client, const std::int32_t* numbers,
                                         std::int32_t count);
  // Takes the client off every list (the first entry of it in each).
  void RemoveClient(QLNOptionsClient* client);

  // Named options, "solver.option" (an option name with a point stands for
  // itself). Registering keeps a known value, else stores the default, and
  // calls the client back at once with its id and the value.
  Status RegisterNamedClient(std::uint32_t id, const char* solver, const char* option,
                             const SUValue& default_value, QLNOptionsClient* client);
  Status SetNamedOption(const char* solver, const char* option, const SUValue& value);
  // Assigns the stored value into `value`; 0xA000FFFF for an unknown name.
  Status GetNamedOption(const char* full_name, SUValue* value) const;

  // The owner answers what the table cannot (print level, time unit,
  // folders); null for none.
  void SetOwner(SolverOptionsOwner* owner) { owner_ = owner; }

  // Numbered option requests 1..44 of loaded libraries; -1 when unknown.
  std::int32_t OptionRequest(std::int32_t option, std::int32_t* iinfo, double* xinfo,
                             const char** sinfo) override;

  // The option script of exported model code: one "QLNSolver Set" line per
  // scripted row with its value in force.
  void WriteSetOptionsScript(std::ostream& out);
  // The options handler of compiled model code, answering the option
  // requests with the answers in force now.
  void WriteOptionsHandlerCode(std::ostream& out);

  // The message-server face: the item's first selector is the option number;
  // a write with selector 0 and a path of one id writes that id's option.
  Status GetItem(std::uint32_t type, const BvuIdPath& ids, std::uint32_t first,
                 std::uint32_t second, std::uint32_t* type_code, void** value_address) override;
  Status SetItem(std::uint32_t type, const BvuIdPath& ids, std::uint32_t second,
                 std::uint32_t first, SUValue* value) override;

  // The stored kind of a number; kNone outside 0..171 and for unused numbers.
  static Kind KindOf(std::int32_t number);
  // The option number an id-path write names.
  static std::uint32_t WrittenNumber(const BvuIdPath& ids, std::uint32_t first);

 private:
  union Value {
    double real;
    std::int32_t integer;
    std::uint8_t flag;
    char* text;
  };
  struct Slot {
    Kind kind = Kind::kNone;
    bool staged = false;
    bool boolean = false;  // an integer the client shows as TRUE/FALSE
    Value in_force{.real = 0.0};
    Value requested{.real = 0.0};
  };
  struct ClientEntry {
    QLNOptionsClient* client;
    std::uint32_t id;  // 0 for numbered registrations
  };
  using ClientList = std::vector<ClientEntry>;
  struct NamedOption {
    std::string name;
    SUValue value;
    ClientList clients;
  };

  Slot* SlotOf(std::int32_t number);
  const Slot* SlotOf(std::int32_t number) const;
  void Notify(std::int32_t number, const void* value);
  void StoreWhole(Slot& slot, std::int32_t value);
  NamedOption* FindNamed(const std::string& name);
  const NamedOption* FindNamed(const char* name) const;
  NamedOption* FindOrAddNamed(const std::string& name, const SUValue& initial);
  void MarkChanged();

  std::vector<NamedOption> named_;
  std::array<ClientList, kOptionNumberCount> clients_;
  std::uint32_t pending_ = 1;
  std::uint32_t forced_restructure_ = 0;
  std::array<Slot, kOptionNumberCount> slots_;
  SolverOptionsOwner* owner_ = nullptr;
  SolverOptionTable* displaced_ = nullptr;
  SolverOptions* displaced_facade_ = nullptr;
  // Written by the server thread while the run thread may read it.
  std::atomic<std::uint64_t> generation_{0};
};
