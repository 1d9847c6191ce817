// Procedure definitions of the model: they find a user procedure's entry
// point in its library on first use and call it through one of the two
// calling interfaces, guarded so that a fault inside user code becomes a
// procedure status and a message and the engine goes on.
#pragma once

#include <cstdint>
#include <string>

#include "daes/procedures/su_proc_def.h"
#include "expr/tree/proc_call_expression.h"

class BvuIdPath;
class XosDynamicFunction;

// The integer of the two calling interfaces (status, sizes, offsets, counts).
using ProcInt = std::int32_t;

namespace procstatus {
inline constexpr Status kNotFound = 0xA0000033u;
inline constexpr Status kNotLoaded = 0x8000FFFFu;
inline constexpr Status kCallFailed = 0xA000FFFFu;
}  // namespace procstatus

// The arrays of one call, in the order of the interfaces. Integer argument
// values sit in the value arrays as 64-bit integers in 8-byte slots.
struct ProcCallArguments {
  double* inputs = nullptr;
  ProcInt* input_sizes = nullptr;
  double* outputs = nullptr;
  ProcInt* output_sizes = nullptr;
  ProcInt* input_offsets = nullptr;
  ProcInt* output_offsets = nullptr;
  ProcInt* fail_code = nullptr;
  ProcInt* properties_id = nullptr;
  double* work = nullptr;
  ProcInt* work_length = nullptr;
  double* derivatives = nullptr;
  ProcInt* output_count = nullptr;
  ProcInt* input_count = nullptr;
  ProcInt* task = nullptr;
  // The new interface's sparse derivative pattern: count, (row, column)
  // pairs, values.
  ProcInt* pattern_count = nullptr;
  ProcInt* pattern_pairs = nullptr;
  double* pattern_values = nullptr;
};

// The entry points as user libraries export them.
extern "C" {
typedef void (*ProcOldEntry)(double*, ProcInt*, double*, ProcInt*, ProcInt*, ProcInt*, ProcInt*,
                             ProcInt*, double*, ProcInt*, double*, ProcInt*, ProcInt*, ProcInt*);
typedef void (*ProcNewEntry)(ProcInt*, double*, ProcInt*, double*, ProcInt*, ProcInt*, ProcInt*,
                             ProcInt*, double*, ProcInt*, ProcInt*, ProcInt*, ProcInt*, ProcInt*,
                             double*, ProcInt*);
}

// The procedure-definition interface of the model.
class QLNProcDef : public SUProcDef, public ProcedureDefinition {
 public:
  QLNProcDef() = default;
  QLNProcDef(const QLNProcDef& other) : SUProcDef(other) {}
  const char* DisplayName() const override { return nullptr; }
  std::uint8_t OptionByte() const override { return static_cast<std::uint8_t>(Options()); }
  std::int32_t InterfaceFlag() const override { return InterfaceVersion() >= 3 ? 1 : 0; }
  // Each argument's descriptor as its two bytes: the kind (the type code)
  // and the dimension count, which marks an array.
  std::vector<std::uint8_t> ArgumentDescriptions(bool outputs) const override;
  // A definition keeps no argument path and no class code of its own.
  const BvuIdPath* ArgumentPath() const override { return nullptr; }
  void WriteClassCode(ExprCodeWriter&, CodeOutputs&, const std::string&) override {}
  Status GetStatus() const { return status_; }

 protected:
  Status status_ = procstatus::kNotFound;
};

class DAESProcDef : public QLNProcDef {
 public:
  DAESProcDef() = default;
  ~DAESProcDef() override;
  DAESProcDef(const DAESProcDef&) = delete;

  const char* DisplayName() const override;
  void SetDisplayName(const char* name) override;
  // Takes over a definition read from a message; the entry is found again.
  void ReadFromMessage(const SUProcDef& definition);
  // The entry name: the FORTRAN prefix of the interface and the
  // implementation name.
  std::string EntryName() const;
  // 0 (or a positive value) when the entry point is there.
  Status LoadProcedure();
  // Load when needed, then call; the load status (the placeholder ran when
  // it is a failure).
  virtual Status CallOldInterface(ProcCallArguments& a);
  virtual Status CallNewInterface(ProcCallArguments& a);
  // The full path of the loaded library (empty without one).
  std::string LibraryFile() const;

 protected:
  // The placeholder when the entry is missing.
  void* EntryAddress(bool new_interface) const;
  Status CallDirect(ProcCallArguments& a, bool new_interface);

 private:
  std::string display_name_;
  bool has_display_name_ = false;
  XosDynamicFunction* function_ = nullptr;
};

// Calls run inside the fault guard unless the debug switch is on.
class DAESProcDefWithExceptionHandler : public DAESProcDef {
 public:
  DAESProcDefWithExceptionHandler() = default;
  using DAESProcDef::ReadFromMessage;
  // Reads the definition part from the message and decides the debug switch.
  Status ReadFromMessage(BvuBinaryStream& message);
  Status CallOldInterface(ProcCallArguments& a) override;
  Status CallNewInterface(ProcCallArguments& a) override;
  bool DebugSwitch() const { return debug_ != 0; }
  void SetDebugSwitch(bool on) { debug_ = on ? 1 : 0; }

 private:
  Status CallGuarded(ProcCallArguments& a, bool new_interface);
  std::int32_t debug_ = 0;
};

// The library tree's procedure definitions as a call finds them; the
// library manager installs it.
class DAESProcDefLibrary {
 public:
  // The definition at the path (resolved from the library root), or null.
  virtual DAESProcDef* FindProcDef(const BvuIdPath& path) = 0;

 protected:
  ~DAESProcDefLibrary() = default;
};

namespace daes {
// Null while no library manager installed one: calls keep their binding.
DAESProcDefLibrary* ProcDefLibrary();
void SetProcDefLibrary(DAESProcDefLibrary* library);
// The problem manager's debug-call setting (0: every call is guarded).
std::int32_t DebugCallSetting();
void SetDebugCallSetting(std::int32_t setting);
// The registry's "DebugPropertyCalls", read once per process (Forget reads again).
std::int32_t DebugPropertyCalls(bool forget = false);
// "An exception (code 0x%x%s) occurred".
std::string ProcExceptionText(std::uint32_t code);
}  // namespace daes

// The factory of definitions read from messages: always the guarded kind.
DAESProcDefWithExceptionHandler* DAESCreateProcDef(BvuBinaryStream& message, Status* status);
