// The vantor-client program: its command line and what it says when the
// engine cannot be started.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <random>
#include <string>

#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"
#include "tools/cli/command_line.h"
#include "tools/status_texts.h"

namespace {

// Runs the program with the arguments through the shell, with the pipe
// folder given; its exit code (-1 when it did not exit) and what it printed
// on the streams asked for.
int RunProgram(const std::string& arguments, std::string* printed, bool with_errors = true,
               const std::string& pipes = "") {
  const std::string command = (pipes.empty() ? "" : "VANTOR_PIPE_DIR=" + pipes + " ") +
                              VANTOR_CLIENT + " " + arguments +
                              (with_errors ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *printed += buffer;
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Everything here fails or ends before an engine is reached: the command
// line is refused (2), the usage asked for (0, on standard output), or the
// start fails at once with the reason in words (1; a start that waited out
// the ten-second time-out would say "time-out" instead).
TEST(ClientProgram, SaysWhatIsWrongWithTheCommandLineOrTheStart) {
  testsupport::TempDir folder;
  const std::string ends = folder.WriteFile("ends", "#!/bin/sh\nexit 3\n").string();
  const std::string sleeps = folder.WriteFile("sleeps", "#!/bin/sh\nexec sleep 30\n").string();
  std::filesystem::permissions(ends, std::filesystem::perms::owner_all);
  std::filesystem::permissions(sleeps, std::filesystem::perms::owner_all);
  const struct {
    std::string arguments;
    int exit_code;
    std::string said;
    bool with_errors = true;
  } rows[] = {
      {"--help", 0, "Usage: vantor-client", false},
      {"-h /no/engine", 0, "Usage: vantor-client", false},
      {"help", 0, "Usage: vantor-client", false},
      {"--tcp --bogus /no/engine", 2, "unknown option \"--bogus\""},
      {"", 2, "no ENGINE given"},
      {"--timeout=4294967296 /no/engine", 2, "--timeout \"4294967296\" is not a time"},
      {"--arg=noequals /no/engine", 2, "--arg \"noequals\" is not a name=value item"},
      {"--arg==value /no/engine", 2, "--arg \"=value\" is not a name=value item"},
      {"/no/engine listen 9223372036854775", 2, "MS \"9223372036854775\" is not a time"},
      {"/no/engine request 300 0100", 2, "TYPE \"300\" is not a service type from 1 to 255"},
      {"/no/engine command 50 3 2147483648", 2, "INTEGER \"2147483648\" is not a 32-bit integer"},
      {"/no/engine request 50", 2, "the step \"request\" is missing its HEX"},
      {"/no/engine request", 2, "the step \"request\" is missing its TYPE"},
      {"/no/engine command 50", 2, "the step \"command\" is missing its NUMBER"},
      {"/no/engine request 50 0100", 1, "cannot start /no/engine: No such file or directory"},
      {folder.path().string(), 1, "Is a directory"},
      {ends, 1, "the engine ended before connecting (exit code 3)"},
      {"--timeout=300 " + sleeps, 1, "time-out: the engine did not connect within 300 ms"},
      // Each option's value may be the next word instead.
      {"--timeout 300 " + sleeps, 1, "time-out: the engine did not connect within 300 ms"},
      {"--timeout 4294967296 /no/engine", 2, "--timeout \"4294967296\" is not a time"},
      {"--arg noequals /no/engine", 2, "--arg \"noequals\" is not a name=value item"},
      {"--arg -ChildNo=3 /no/engine", 2, "--arg \"-ChildNo=3\" is refused"},
      {"--timeout", 2, "--timeout is missing its value"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments);
    std::string printed;
    EXPECT_EQ(RunProgram(row.arguments, &printed, row.with_errors, folder.path()), row.exit_code);
    EXPECT_NE(printed.find(row.said), std::string::npos) << printed;
  }
  std::string printed;
  const std::string missing = (folder / "missing" / "pipes").string();
  EXPECT_EQ(RunProgram(ends, &printed, true, missing), 1);
  EXPECT_NE(printed.find("Cannot make the pipe folder " + missing + ": No such file or directory"),
            std::string::npos)
      << printed;
}

// A request for a service the engine does not serve is refused at once,
// named by the id it was given; the program does not wait for an answer.
TEST(ClientProgram, ARequestNobodyServesIsReportedAsRefused) {
  testsupport::TempDir folder;
  std::string printed;
  EXPECT_EQ(RunProgram(std::string(VANTOR_TEST_ENGINE) + " request 99 0500", &printed, true,
                       folder.path()),
            1);
  EXPECT_NE(printed.find(" on service 99 refused: the engine serves no such service, status "
                         "0xA000FFFF (failed: the engine's lines above say why, or nobody "
                         "serves that service)"),
            std::string::npos)
      << printed;
  EXPECT_EQ(printed.find("request 0 "), std::string::npos) << printed;
  EXPECT_EQ(printed.find("time-out"), std::string::npos) << printed;
}

// FOLDER is made absolute from where the program runs and made one level
// deep at most; a file in its place or a missing parent is refused.
TEST(ClientProgram, TheFolderIsMadeAbsoluteAndOneLevelDeepAtMost) {
  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here(folder.path());
  folder.WriteFile("file", "");
  const std::string base = folder.path().string();
  const struct {
    std::string given;
    bool made;
    std::string result;  // the folder, or what was said
  } rows[] = {
      {"new", true, base + "/new"},
      {"new/", true, base + "/new"},
      {"./new/../other", true, base + "/other"},
      {base + "/third/", true, base + "/third"},
      {".", true, base},
      {"/", true, "/"},
      {"file", false, "FOLDER " + base + "/file is not a folder"},
      {"a/b", false, "FOLDER " + base + "/a/b cannot be made: its parent " + base + "/a does not exist"},
      {"", false, "FOLDER \"\" is not a path"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.given);
    std::string made;
    std::string why;
    EXPECT_EQ(vantor_cli::MakeWorkingFolder(row.given, &made, &why), row.made);
    EXPECT_EQ(row.made ? made : why, row.result);
    if (row.made) {
      EXPECT_TRUE(std::filesystem::is_directory(made));
    }
  }
  EXPECT_FALSE(std::filesystem::exists(folder / "a"));
}

// A relative -DefDir is the user's folder, read from where the client runs
// (the engine starts in its own folder), in either form of --arg.
TEST(ClientProgram, ARelativeDefDirIsReadFromTheClientsFolder) {
  testsupport::TempDir folder;
  testsupport::ScopedCurrentFolder here(folder.path());
  const std::string base = folder.path().string();
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"--arg=-DefDir=runs/a", "/e"},
        std::vector<std::string>{"--arg", "-DefDir=./runs/../runs/a", "/e"},
        std::vector<std::string>{"--arg", "-DefDir=" + base + "/runs/a", "/e"}}) {
    vantor_cli::CommandLine line;
    ASSERT_EQ(vantor_cli::ReadCommandLine(words, &line), 0);
    ASSERT_EQ(line.options.arguments.size(), 1u);
    EXPECT_EQ(line.options.arguments[0], "-DefDir=" + base + "/runs/a");
    EXPECT_EQ(line.options.program, "/e");
  }
  vantor_cli::CommandLine line;
  ASSERT_EQ(vantor_cli::ReadCommandLine({"--arg", "-Other=rel", "/e"}, &line), 0);
  EXPECT_EQ(line.options.arguments, std::vector<std::string>{"-Other=rel"});
}

// Statuses print with what they mean where that is known, and the engine's
// end says whether it was the normal one.
TEST(ClientProgram, StatusesAndTheEngineEndAreSaidInWords) {
  using vantor_client::StatusWithMeaning;
  EXPECT_EQ(StatusWithMeaning(0x0032000Au),
            "0x0032000A (busy: a run step is computing or the engine waits on the client)");
  EXPECT_EQ(StatusWithMeaning(0x80004002u), "0x80004002 (No such interface supported)");
  EXPECT_EQ(StatusWithMeaning(0x80271234u), "0x80271234");
  // What a model with nothing to solve and an engine in another folder say.
  EXPECT_EQ(StatusWithMeaning(0xA0310047u),
            "0xA0310047 (no variables left to solve: the model has none that are not fixed)");
  EXPECT_EQ(StatusWithMeaning(0x80000044u),
            "0x80000044 (the working folder could not be entered: the engine uses another)");
  EXPECT_EQ(StatusWithMeaning(0x00000005u), "0x00000005");  // not an errno
  EXPECT_NE(vantor_client::EngineEnd(0x37).find("normal end"), std::string::npos);
  EXPECT_EQ(vantor_client::EngineEnd(0x37).find("normal end"),
            vantor_client::EngineEnd(0x37).rfind("normal end"));
  EXPECT_EQ(vantor_client::EngineEnd(11).find("normal"), std::string::npos);
}

// Random command lines from the words the program knows and a few it does
// not: each is refused or fails to start (no engine exists), never crashes.
TEST(ClientProgram, RandomCommandLinesAreRefusedCleanly) {
  const char* const words[] = {
      "request", "command", "listen", "--tcp", "--timeout=",           "--arg=", "50",
      "0",       "-1",      "0x",     "0xFF",  "4294967296",           "01ab",   "0g",
      "zz",      "\"\"",    "-",      "+7",    "99999999999999999999", "help"};
  std::mt19937 random(13);
  for (int run = 0; run < 40; ++run) {
    std::string arguments = random() % 2 == 0 ? "/no/engine" : "";
    const int count = static_cast<int>(random() % 8);
    for (int i = 0; i < count; ++i) {
      arguments += std::string(" ") + words[random() % std::size(words)];
    }
    SCOPED_TRACE(arguments);
    std::string printed;
    const int exit_code = RunProgram(arguments, &printed);
    EXPECT_TRUE(exit_code == 0 || exit_code == 1 || exit_code == 2) << printed;
  }
}

}  // namespace
