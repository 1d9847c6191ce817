// Shared by the message printer tests: a capturing collector for the test's
// lifetime and helpers to read what the printer handed on.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/collections/mixins.h"
#include "foundation/messages/su_print.h"
#include "tests/support/capture_sink.h"

namespace printer_test {

class SuPrintTest : public ::testing::Test {
 protected:
  std::vector<std::string> Lines() const { return sink_.lines(); }
  // Every line of every call, concatenated: wrapping must lose nothing.
  std::string Joined() const {
    std::string all;
    for (const std::string& line : sink_.lines()) all += line;
    return all;
  }
  // Each closed group as "STATUS:line|line", the status in hex.
  std::vector<std::string> Groups() const {
    std::vector<std::string> out;
    for (const auto& group : sink_.groups()) {
      char status[16];
      std::snprintf(status, sizeof status, "%X:", group.status);
      std::string text = status;
      for (std::size_t i = 0; i < group.lines.size(); ++i)
        text += (i > 0 ? "|" : "") + group.lines[i];
      out.push_back(text);
    }
    return out;
  }
  std::string OnlyLine() const {
    const auto lines = sink_.lines();
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? std::string() : lines.front();
  }

  testsupport::CaptureSink sink_;
};

// How many times the printer's exception diagnostic appears in `out`.
inline std::size_t ExceptionDiagnostics(const std::string& out) {
  std::size_t count = 0;
  for (std::size_t at = 0;
       (at = out.find("SuPrint() Exception caught at line ", at)) != std::string::npos; ++at) {
    ++count;
  }
  return count;
}

// A model object as the printer sees it.
class Named : public BvuNameable {
 public:
  explicit Named(const char* name) : name_(name) {}
  const char* GetNameText(std::int32_t) override { return name_; }

 private:
  const char* name_;
};

}  // namespace printer_test
