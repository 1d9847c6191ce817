// Definitions and file helpers shared by the generator tests.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codegen/procedures/generate.h"
#include "daes/procedures/su_proc_def.h"
#include "foundation/messages/status_and_msg.h"
#include "tests/support/compiler_installation.h"

namespace codegen_test {

inline std::uint16_t Desc(std::uint16_t type, std::uint16_t dims) {
  return static_cast<std::uint16_t>(type | (dims << 8));
}

struct Arg {
  std::uint16_t type;
  std::uint16_t dims;
  const char* name;  // null: unnamed
};

inline void Define(SUProcDef* def, const char* name, std::uint32_t language, std::uint32_t options,
                   const std::vector<Arg>& in, const std::vector<Arg>& out,
                   std::uint32_t version = 3) {
  def->SetImplementationName(name);
  def->SetLanguage(language);
  def->SetOptions(options);
  def->SetInterfaceVersion(version);
  def->SetArgumentCounts(static_cast<std::int32_t>(in.size()),
                         static_cast<std::int32_t>(out.size()));
  for (std::size_t i = 0; i < in.size(); ++i) {
    def->SetInputDescriptor(static_cast<std::int32_t>(i), Desc(in[i].type, in[i].dims));
    if (in[i].name != nullptr) def->SetInputName(static_cast<std::int32_t>(i), in[i].name);
  }
  for (std::size_t j = 0; j < out.size(); ++j) {
    def->SetOutputDescriptor(static_cast<std::int32_t>(j), Desc(out[j].type, out[j].dims));
    if (out[j].name != nullptr) def->SetOutputName(static_cast<std::int32_t>(j), out[j].name);
  }
}

// Collects the reports of one generation.
struct Reports {
  std::vector<std::string> texts;
  std::vector<Status> statuses;
  CodegenReport Callback() {
    return [this](BvuStatusAndMsg* message) {
      if (message == nullptr) return;
      texts.push_back(message->GetText());
      statuses.push_back(message->GetStatus());
      delete message;
    };
  }
};

inline std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline const std::string kInstall = std::string(VANTOR_SOURCE_DIR) + "/codegen/install";
inline const std::filesystem::path kGolden =
    std::filesystem::path(VANTOR_SOURCE_DIR) / "tests" / "codegen" / "golden";

// The file's text with the folder replaced, against the kept golden
// (VANTOR_UPDATE_GOLDEN=1 rewrites it).
inline void CheckGolden(const std::filesystem::path& folder, const std::string& file,
                        const std::string& golden) {
  std::string text = ReadText(folder / file);
  const std::string prefix = folder.string();
  for (std::size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at)) {
    text.replace(at, prefix.size(), "<folder>");
  }
  const char* update = std::getenv("VANTOR_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream(kGolden / golden, std::ios::binary) << text;
    return;
  }
  ASSERT_TRUE(std::filesystem::exists(kGolden / golden)) << golden;
  EXPECT_EQ(text, ReadText(kGolden / golden)) << golden;
}

// Sets or clears an environment variable for one test.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old, had_ = true;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// Replaces every occurrence; fails the test when there is none.
inline void Edit(std::string* text, const std::string& from, const std::string& to) {
  std::size_t at = text->find(from);
  ASSERT_NE(at, std::string::npos) << from;
  while (at != std::string::npos) {
    text->replace(at, from.size(), to);
    at = text->find(from, at + to.size());
  }
}

// What a shell command printed (both streams), "FAILED: " first when it
// failed.
inline std::string Shell(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
    if (pclose(pipe) != 0) text = "FAILED: " + text;
  }
  return text;
}

// A fresh folder under the test binary's temporary area.
inline std::filesystem::path FreshFolder(const std::string& name) {
  auto path = std::filesystem::temp_directory_path() /
              ("vantor_codegen_" + std::to_string(::getpid()) + "_" + name);
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path;
}

// A library the test built itself, closed to group's and others' writes
// as the engine closes what it builds: the loader refuses it otherwise
// when the tests run under umask 002.
inline void CloseToOthers(const std::filesystem::path& library) {
  std::filesystem::permissions(
      library, std::filesystem::perms::group_write | std::filesystem::perms::others_write,
      std::filesystem::perm_options::remove);
}

// An installation below the folder: bin/ with the resource compiler and the
// property-package archive, procedures/ with the stub, headers and archives.
inline std::filesystem::path MakeInstallation(const std::filesystem::path& folder) {
  return testsupport::MakeCompilerInstallation(folder, false);
}

}  // namespace codegen_test
