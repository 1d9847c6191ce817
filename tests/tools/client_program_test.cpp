// The vantor-client program's reading of its command line.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

// Runs the program with the arguments; its exit code and what it printed.
int RunProgram(const std::string& arguments, std::string* printed) {
  const std::string command = std::string(VANTOR_CLIENT) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) *printed += buffer;
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Numbers that would not fit where they go are refused before any engine
// is started (there is none here to start).
TEST(ClientProgram, RefusesNumbersThatDoNotFit) {
  const struct {
    const char* arguments;
    const char* said;
  } rows[] = {
      {"--timeout=4294967296 /no/engine", "--timeout \"4294967296\" is not a time"},
      {"/no/engine listen 9223372036854775", "MS \"9223372036854775\" is not a time"},
      {"/no/engine request 300 0100", "TYPE \"300\" is not a service type from 1 to 255"},
      {"/no/engine command 50 3 2147483648", "INTEGER \"2147483648\" is not a 32-bit integer"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments);
    std::string printed;
    EXPECT_EQ(RunProgram(row.arguments, &printed), 2);
    EXPECT_NE(printed.find(row.said), std::string::npos) << printed;
  }
}

}  // namespace
