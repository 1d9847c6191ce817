#include "codegen/procedures/generate.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "codegen/names.h"
#include "foundation/messages/status_and_msg.h"

namespace codegen {
namespace {
std::atomic<std::int32_t> g_errors{0};

void Send(const CodegenReport& report, Status status, const char* format, const char* text1,
          const char* text2) {
  BvuStatusAndMsg* message = new (std::nothrow) BvuStatusAndMsg(status, format, text1, text2);
  if (report) {
    report(message);
  } else {
    delete message;
  }
}
}  // namespace

std::int32_t ErrorCount() { return g_errors.load(); }
void ResetErrorCount() { g_errors.store(0); }

void Progress(const CodegenReport& report, const char* format, const char* text1,
              const char* text2) {
  Send(report, kProgress, format, text1, text2);
}

void Failure(const CodegenReport& report, const char* format, const char* text1,
             const char* text2) {
  ++g_errors;
  Send(report, kFailureReport, format, text1, text2);
}

void FollowUp(const CodegenReport& report, const char* format, const char* text1) {
  Send(report, kFailureReport, format, text1, nullptr);
}

void OpenFailure(const CodegenReport& report, const char* verb, const std::string& path,
                 int error) {
  const std::string plain = std::string("Failed to ") + verb + " %s";
  if (error != 0) {
    Failure(report, (plain + " (system message: %s)").c_str(), path.c_str(), std::strerror(error));
  } else {
    Failure(report, plain.c_str(), path.c_str());
  }
}

OutputFile OpenForWriting(const CodegenReport& report, const char* verb, const std::string& path) {
  int error = 0;
  std::string link;
  OutputFile file = OutputFile::Open(path, &link, &error);
  if (file.get() != nullptr) return file;
  if (!link.empty()) {
    Failure(report, "%s", ThroughOthersLink(path, link).c_str());
  } else {
    OpenFailure(report, verb, path, error);
  }
  return file;
}
}  // namespace codegen

std::string MakeGeneratedFileName(const CodegenReport& report, const char* folder, bool wrapper,
                                  const char* base, const char* suffix, const char* description) {
  std::string name = base != nullptr ? base : "";
  if (wrapper) name += "I";
  if (suffix != nullptr) name += suffix;
  std::string path = JoinFolderAndName(folder, name.c_str());
  codegen::Progress(report, "Generating %s %s", description != nullptr ? description : "",
                    path.c_str());
  return path;
}
