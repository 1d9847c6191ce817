// What every procedure source generator shares: the definition in its
// code-generation form, the report callback, the request bits, generated
// file names and the process-wide count of generation errors.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "codegen/output_folder.h"
#include "daes/procedures/su_proc_def.h"

class BvuStatusAndMsg;

struct SUCodeGenerate {
  const SUProcDef* definition = nullptr;
  std::string display_name;
  // Not 0: the procedure takes a workspace.
  std::int32_t workspace = 0;
};

// Receives each report and owns it; called with null when a report could
// not be made.
using CodegenReport = std::function<void(BvuStatusAndMsg*)>;

namespace codegen {
inline constexpr std::uint32_t kRequestWrappers = 0x2;
inline constexpr std::uint32_t kRequestTemplates = 0x4;
inline constexpr std::uint32_t kRequestDebug = 0x8;

inline constexpr Status kProgress = 0;
inline constexpr Status kFailureReport = 0xA000FFFFu;
inline constexpr Status kFailed = 0x8000FFFFu;

// The generation errors since the last reset (the procedure-file request
// resets and reports it).
std::int32_t ErrorCount();
void ResetErrorCount();

// A progress report (status 0) and a failure report, which also counts.
void Progress(const CodegenReport& report, const char* format, const char* text1,
              const char* text2 = nullptr);
void Failure(const CodegenReport& report, const char* format, const char* text1,
             const char* text2 = nullptr);
// A failure report that is not counted again (the failure under it was).
void FollowUp(const CodegenReport& report, const char* format, const char* text1);
// "<format> (system message: %s)" with the errno text when one is set.
void OpenFailure(const CodegenReport& report, const char* verb, const std::string& path, int error);
// A new file for the path (OutputFile); no stream, with the failure
// reported, when it cannot be made.
OutputFile OpenForWriting(const CodegenReport& report, const char* verb, const std::string& path);
}  // namespace codegen

// Folder, a separator unless the folder is empty or ends in one, base, "I"
// for a wrapper, suffix; reports "Generating %s %s".
std::string MakeGeneratedFileName(const CodegenReport& report, const char* folder, bool wrapper,
                                  const char* base, const char* suffix, const char* description);

// The C header of a template (the template path with its extension
// replaced by ".h") or a wrapper (base + "I.h"); the path through *header.
Status WriteCHeader(const SUCodeGenerate& definition, const CodegenReport& report,
                    std::string* header, const char* folder, bool wrapper, const char* base,
                    const char* name, const char* template_path);

// The C template of interface version 3 and later, its header first.
Status WriteCTemplate(const SUCodeGenerate& definition, const CodegenReport& report,
                      std::uint32_t request, const char* folder, const char* base, const char* name,
                      const char* template_path);

// The FORTRAN template and wrapper of interface version 3 and later; 0 or
// 0xA000FFFF.
Status WriteFortranTemplate(const SUCodeGenerate& definition, const CodegenReport& report,
                            std::uint32_t request, const char* template_path, const char* name);
Status WriteFortranWrapper(const SUCodeGenerate& definition, const CodegenReport& report,
                           std::uint32_t request, const char* folder, const char* base,
                           const char* name);

// The old (14-argument) interface, versions 1 and 2: a C template, or with
// `wrapper` the C wrapper "SU55IF_" + NAME of the user's C routine; its
// header first. 0 or 0x8000FFFF.
Status WriteCTemplateOld(const SUCodeGenerate& definition, const CodegenReport& report,
                         std::uint32_t request, const char* folder, bool wrapper, const char* base,
                         const char* name, const char* template_path);

// The old-interface FORTRAN template and wrapper ("SU55IF_" + NAME); 0 or
// 0x8000FFFF.
Status WriteFortranTemplateOld(const SUCodeGenerate& definition, const CodegenReport& report,
                               std::uint32_t request, const char* template_path, const char* name);
Status WriteFortranWrapperOld(const SUCodeGenerate& definition, const CodegenReport& report,
                              std::uint32_t request, const char* folder, const char* base,
                              const char* name);
