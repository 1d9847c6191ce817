// The engine's process-wide handlers: console-event verdicts, fault texts
// and the last fatal error text.
#include "control/engine/engine_handlers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string ReadAll(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
  return text;
}

class HandlerTest : public ::testing::Test {
 protected:
  HandlerTest() { SetEngineHandlerStreams(out, err); }
  ~HandlerTest() override {
    SetEngineHandlerStreams(nullptr, nullptr);
    ClearLastFatalErrorText();
    std::fclose(out);
    std::fclose(err);
  }
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
};

TEST_F(HandlerTest, ConsoleEventsEndTheEngineExceptTheHandledCodes) {
  struct Row {
    Status first, last;
    std::int32_t answer;
  };
  const Row rows[] = {{0x800000C8u, 0x800000CDu, 0}, {0x800000D1u, 0x800000D1u, 0},
                      {0x800000D2u, 0x800000D6u, 1}, {0x800000D7u, 0x800000D7u, 0},
                      {0x800000D8u, 0x800000DBu, 1}, {0x800000DCu, 0x800000DCu, 0}};
  for (const Row& row : rows) {
    for (Status code = row.first; code <= row.last; ++code) {
      EXPECT_EQ(Vantor::async_signal_handler(code), row.answer) << std::hex << code;
    }
  }
  const std::string errors = ReadAll(err);
  EXPECT_NE(errors.find("Vantor::async_signal_handler, Being called with status code :-2147483448\n"
                        "Vantor::async_signal_handler, Aborting due to status code :-2147483448\n"),
            std::string::npos);
  // Handled codes say only that they were called.
  EXPECT_EQ(errors.find("Aborting due to status code :-2147483438"), std::string::npos);
  EXPECT_NE(ReadAll(out).find("Vantor::async_signal_handler, Aborting due to status code "
                              ":-2147483448\n"),
            std::string::npos);
}

TEST_F(HandlerTest, FaultTextsOfBothHandlers) {
  const struct {
    Status status;
    const char* cause;
  } rows[] = {
      {0x800000F1u, "Access Violation"},       {0x800000F6u, "Floating Point Error"},
      {0x800000FEu, "Integer Divide By Zero"}, {0x80000100u, "Priveledged Instruction"},
      {0x8000010Bu, "Register Parity Error"},  {0x80000119u, "Recovery Signal"},
      {0x8000011Au, "NoBirdirectional"},       {0x8000010Cu, "Unknown Exception"},
      {0x800000F0u, "Unknown Exception"},      {0u, "Unknown Exception"},
  };
  for (const auto& row : rows) EXPECT_STREQ(FaultCause(row.status), row.cause);
  int known = 0;
  for (Status s = 0x800000F0u; s <= 0x8000011Bu; ++s) {
    known += std::string(FaultCause(s)) != "Unknown Exception";
  }
  EXPECT_EQ(known, 29);

  EXPECT_EQ(LastFatalErrorText(), nullptr);
  EXPECT_EQ(sync_server_handler(nullptr, 0x800000F1u, 0), 3);
  EXPECT_STREQ(LastFatalErrorText(), "Server failed due to Access Violation");
  EXPECT_EQ(sync_solver_handler(nullptr, 0x8000011Au, 2), 3);
  EXPECT_STREQ(LastFatalErrorText(), "Solver failed due to NoBirdirectional");
  EXPECT_EQ(ReadAll(err),
            "\n\nsync_server_handler, Aborting due to status code :800000f1\n"
            "sync_server_handler, Error was: Server failed due to Access Violation\n"
            "\n\nsync_solver_handler, Aborting due to status code :8000011a\n"
            "sync_solver_handler: Error was: Solver failed due to NoBirdirectional\n");
}

}  // namespace
