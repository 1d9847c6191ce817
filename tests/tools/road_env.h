// What the scenario road tests share: pipe and working folders of their
// own, the build tree's registry, the real engine's options and the event
// lines of a run for failure messages.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/event_lines.h"
#include "tests/support/hang_bound.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"
#include "tools/client.h"
#include "tools/first_order.h"

namespace roadtest {

class RoadEnv : public ::testing::Test {
 protected:
  // The real engine, with the time-out the roads allow it: only a hang's.
  static vantor_client::EngineOptions Engine() {
    vantor_client::EngineOptions engine;
    engine.program = VANTOR_ENGINE;
    engine.timeout_ms = testsupport::HangBoundMs(30000);
    return engine;
  }
  std::string Folder() const { return work_.path().string(); }

  testsupport::TempDir pipes_;
  testsupport::TempDir work_;
  testsupport::ScopedEnv pipe_dir_{"VANTOR_PIPE_DIR", pipes_.path().c_str()};
  testsupport::ScopedEnv registry_{"VANTOR_REGISTRY", VANTOR_BUILD_REGISTRY};
};

// The run's event lines, each wrapped one joined again, one a line.
inline std::string Lines(const vantor_scenario::FirstOrderRun& trace) {
  std::string all;
  for (const std::string& line : testsupport::UnwrappedLines(trace.events)) all += line + "\n";
  return all;
}

}  // namespace roadtest
