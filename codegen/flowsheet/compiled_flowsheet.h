// The compiled flowsheet library: the problem's equations written as one
// C++ source "tcexN.cpp", built with the generated makefile, loaded, and
// from then on evaluated through its exports instead of the tapes.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "codegen/flowsheet/export_records.h"
#include "codegen/procedures/generate.h"
#include "daes/problem/problem.h"
#include "platform/safe_write.h"

class SolverOptions;

namespace codegen {
inline constexpr std::int32_t kOptUseCompiledEvaluation = 118;
inline constexpr Status kCompiledLoadFailed = 0xA031FFFFu;
inline constexpr Status kNoMemoryStatus = 0x8031FFFFu;
// PrecallProcs and PostcallProcs answer this when there is nothing to do.
inline constexpr Status kProceduresUnchanged = 0x00310000u;
// Lines of the DefineEqns functions stay below this length.
inline constexpr std::size_t kDefineLineLimit = 255;
inline constexpr std::size_t kEquationNameLimit = 127;

// Option 118 or 119 with its environment override ("QLN_CE_USE",
// "QLN_CE_KEEP"): set and shorter than 10 characters, it is on unless it
// starts with "0".
bool UseCompiledEvaluation(SolverOptions* options);
bool KeepCompiledEvaluation(SolverOptions* options);

// Double quotes dropped, the rest upper case.
std::string NormaliseEquationName(const std::string& name);
// ".QV_TRUE.X" becomes "TX", ".QV_FALSE.X" becomes "FX", ".QV_Y" becomes
// ".Y"; cut to 127 characters.
std::string CompactEquationName(const std::string& name);

// "tcexN": the process-wide number moves past every source that can be
// read in the folder and is never handed out twice.
std::string NextCompiledLibraryName(const std::string& folder);

// The DefineEqns functions: one per batch of equations, each chaining to
// the one before, lines kept below 255 characters.
class DefineEqnsWriter {
 public:
  // An equation of an exported flowsheet: its name and kind.
  struct Entry {
    std::string name;
    bool torn = false;
    bool conditional = false;
    bool procedure = false;
    std::int32_t procedure_number = 0;
    std::int32_t output_number = 0;
  };
  explicit DefineEqnsWriter(std::ostream& out) : out_(out) {}
  // Equations first .. last (from 1) as one batch.
  void WriteBatch(std::int32_t first, std::int32_t last);
  // The export form: names (normalised and compacted) and flags of the
  // equations first .. first + entries - 1, of `total` in all; torn ones
  // are counted into *torn.
  void WriteExportBatch(std::int32_t first, const std::vector<Entry>& entries, std::int32_t total,
                        std::int32_t* torn);
  // The closing "DefineEqns" over the last batch.
  void Finish();
  std::int32_t Batches() const { return batch_; }

 private:
  void Put(const std::string& piece, std::int32_t next);
  std::ostream& out_;
  std::int32_t batch_ = 0;
  std::size_t column_ = 0;
};

// The open source (never written through a link or into another user's
// file; errno tells why it could not be opened) and the seven text sections
// appended to it; three are begun with fixed text when the writer is made.
class FlowsheetCodeWriter {
 public:
  enum Section {
    kInitSwitches,
    kPrecall,
    kPostcall,
    kFindProcs,
    kLibraries,
    kBlockLayer,
    kExtra,
    kSectionCount
  };
  FlowsheetCodeWriter(const std::string& path, bool compiled_evaluation);
  bool IsOpen() const { return file_.is_open(); }
  std::ostream& Out() { return file_; }
  std::ostringstream& Text(Section s) { return sections_[s]; }
  bool CompiledEvaluation() const { return compiled_; }

  std::int32_t total = 0;    // equations of the flowsheet
  std::int32_t written = 0;  // equation functions written
  std::int32_t defined = 0;  // equations put into DefineEqns batches
  std::int32_t torn = 0;

 private:
  platform::FileOutStream file_;
  std::ostringstream sections_[kSectionCount];
  bool compiled_;
};

// What one generation needs besides the problem.
struct FlowsheetGeneration {
  CodegenReport report;  // empty: through the engine's printer
  std::string server_folder;
  std::string folder;  // the build folder; empty: the current one
  bool debug = false;
  bool optimise = true;
  bool build = true;
  // Extra text written where the generated library initialises its
  // properties (the property manager fills it); empty: none.
  std::function<void(std::ostream&)> properties_code;
};

// Writes (and with the build flag builds) the compiled library of the
// problem's equations; its name in *library, empty when nothing was
// generated (use off, or a library loaded already). *libraries: the user
// libraries its procedures need.
Status GenerateCompiledCode(const FlowsheetGeneration& generation, DAESProblem* problem,
                            std::string* library, std::int32_t* libraries);

// An exported flowsheet: the source "<folder>/<name>.cpp" in export form
// with the block layer for its ports, the makefile, and with the build
// flag of the generation the library.
struct FlowsheetExport {
  std::string folder;
  std::string name;
  // Their block indexes are filled in; may be null.
  std::vector<ExportPort>* ports = nullptr;
  // One per problem column; may be null.
  const std::vector<ExportVariableSetting>* settings = nullptr;
  bool quiet = false;  // the product-folder warnings are not sent
};
// *libraries: the user libraries the flowsheet's procedures need.
Status GenerateExportCode(const FlowsheetGeneration& generation, DAESProblem* problem,
                          const FlowsheetExport& request, std::int32_t* libraries);

// With a name loads, binds and starts the library (0 and nothing loaded
// when one is loaded already); with none unloads it and, unless the keep
// switch is on, removes its files through the makefile's "clean" target.
Status LoadCompiledLibrary(DAESProblem* problem, const char* library);

// The loaded library's handle (null when none) and its build folder.
void* LoadedCompiledLibrary();
const std::string& CompiledBuildFolder();
void SetCompiledBuildFolder(const std::string& folder);

// The generator the problem asks (installed at engine start-up).
class FlowsheetCompiledCode final : public DAESCompiledCode {
 public:
  explicit FlowsheetCompiledCode(FlowsheetGeneration generation)
      : generation_(std::move(generation)) {}
  Status Generate(DAESProblem* problem, std::int32_t a, std::int32_t b, std::uint64_t second_value,
                  std::string* library) override;
  Status Load(DAESProblem* problem, const char* library) override;
  void SetBuildFolder(const char* folder) override {
    generation_.folder = folder != nullptr ? folder : "";
  }
  FlowsheetGeneration& Settings() { return generation_; }

 private:
  FlowsheetGeneration generation_;
};
}  // namespace codegen

// The library's setter of a variable by number (from 1), through the
// variable's unscaled setter.
extern "C" Status CompiledCodeSetVarUnscaled(void* problem, std::int32_t i, double value);
