// The server thread's order of building, running, draining and taking down.
#include "control/engine/server_thread.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class RecordingParts : public ServerThreadParts {
 public:
  void MakeOptions() override { Note("options"); }
  Status MakeController() override { return Note("controller", controller); }
  Status MakeProblemManager() override { return Note("problem manager", problem_manager); }
  Status Start() override { return Note("start", start); }
  Status RunControlLoop() override { return Note("loop", loop); }
  void FlushCollector() override { Note("flush"); }
  Status Poll() override { return Note("poll"); }
  void Pause(std::uint32_t ms) override { Note("pause " + std::to_string(ms)); }
  void ReleaseRegistry() override { Note("release registry"); }
  void DestroyProblemManager() override { Note("~problem manager"); }
  void DestroyRegistry() override { Note("~registry"); }
  void DestroyController() override { Note("~controller"); }

  Status controller = 0, problem_manager = 0, start = 0, loop = 0;
  std::vector<std::string> log;

 private:
  Status Note(const std::string& what, Status result = 0) {
    log.push_back(what);
    return result;
  }
};

std::vector<std::string> Drained(std::vector<std::string> head) {
  head.push_back("flush");
  for (int i = 0; i < 9; ++i) {
    head.push_back("poll");
    head.push_back("pause 100");
  }
  for (const char* step : {"release registry", "~problem manager", "~registry", "~controller"}) {
    head.push_back(step);
  }
  return head;
}

TEST(ServerThread, BuildsRunsDrainsAndTakesDownInOrder) {
  RecordingParts parts;
  parts.loop = 0xA0000037u;
  EXPECT_EQ(RunServerThread(parts), 0xA0000037u);
  EXPECT_EQ(parts.log, Drained({"options", "controller", "problem manager", "start", "loop"}));
}

TEST(ServerThread, FailuresBeforeTheLoopEndTheEngineAsFailures) {
  RecordingParts no_controller;
  no_controller.controller = 0x8000000Bu;
  EXPECT_EQ(RunServerThread(no_controller), 0x8000000Bu);
  EXPECT_EQ(no_controller.log,
            (std::vector<std::string>{"options", "controller", "pause 5000", "~controller"}));
  RecordingParts no_start;
  no_start.start = 0xA0000035u;
  EXPECT_EQ(RunServerThread(no_start), 0xA0000035u);
  EXPECT_EQ(no_start.log, Drained({"options", "controller", "problem manager", "start"}));
}

}  // namespace
