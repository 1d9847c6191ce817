// Snapshot import through the real engine: a snapshot the client kept
// (request 33) comes back as an import, written into a new snapshot file
// of the folder (request 116) or made the snapshot that use requests
// compare with (request 38), whose values then go back into the run.
// x' = -x from 1, so the kept values and the run after them are exp(-t).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/tools/run_road_fixture.h"

namespace snapshot_import {

using engineroad::kProblemService;
using engineroad::kResultsService;
using vantor_client::Bytes;
using vantor_client::MakeCommand;
using vantor_client::SnapshotEntry;

using SnapshotImportRoad = runroad::RunRoad;

constexpr std::uint32_t kNoId = 0xFFFFFFFFu;

// Two kept snapshots, imported twice into files and once for use.
TEST_F(SnapshotImportRoad, KeptSnapshotsImportedMakeFilesAndTakeTheRunBack) {
  ASSERT_TRUE(Start("Import", 0, 1.0)) << Failure();
  ASSERT_TRUE(BeginRun() && Step(0.0) && Step(0.1)) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Early"}), "command 15", 0));
  ASSERT_TRUE(Step(0.2) && Step(0.3)) << Failure();
  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 15, {0}, {}, {"Kept", "at 0.3"}),
                            "command 15", 0));
  std::vector<SnapshotEntry> kept{AwaitListed("Kept"), AwaitListed("Early")};
  std::vector<Bytes> sent;
  Status s = 1;
  for (const SnapshotEntry& entry : kept) {
    ASSERT_NE(entry.id, 0u) << Failure();
    sent.push_back(Ask(
        [&](vantor_client::Request& r) {
          r.PutUInt16(33);
          r.PutUInt16(static_cast<std::uint16_t>(entry.id));
        },
        &s));
    ASSERT_EQ(s, 0u);
  }
  ASSERT_TRUE(Step(0.4) && Step(0.5)) << Failure();

  // Request 116, twice: two new files of the folder, each holding the kept
  // snapshots as they were sent.
  // An import request (116 or 38) of the kept snapshots: its status.
  auto import = [&](std::uint16_t number) {
    Status imported = 1;
    Ask(
        [&](vantor_client::Request& r) {
          r.PutUInt16(number);
          EXPECT_TRUE(vantor_client::PutSnapshotImport(r, sent));
        },
        &imported);
    return imported;
  };
  for (int file = 0; file < 2; ++file) ASSERT_EQ(import(116), 0u) << Events();
  std::vector<std::string> files;
  ASSERT_TRUE(vantor_client::DecodeFileList(
      Ask([](vantor_client::Request& r) { r.PutUInt16(43); }, &s), &files));
  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(files[0], files[1]);
  for (const std::string& file : files) {
    std::vector<SnapshotEntry> listed;
    ASSERT_TRUE(vantor_client::DecodeSnapshotList(Ask(
                                                      [&](vantor_client::Request& r) {
                                                        r.PutUInt16(138);
                                                        r.PutString(file.c_str());
                                                      },
                                                      &s),
                                                  138, &listed))
        << vantor_scenario::Hex(s);
    ASSERT_EQ(listed.size(), 2u) << file;
    for (const SnapshotEntry& entry : listed) {
      const SnapshotEntry& original = entry.name == "Kept" ? kept[0] : kept[1];
      EXPECT_EQ(entry.name, original.name);
      EXPECT_EQ(entry.description, original.description);
      EXPECT_EQ(entry.time, original.time);
      EXPECT_EQ(entry.id, original.id);
      EXPECT_EQ(entry.date, original.date);
      EXPECT_EQ(entry.time_of_day, original.time_of_day);
    }
  }

  // Request 38: the first imported snapshot is what use requests compare
  // with; x and x' differ and are staged, and commands 21 and 23 take them
  // into the run at 0.5, where it initialises again.
  ASSERT_EQ(import(38), 0u) << Events();
  vantor_client::UseReply use;
  ASSERT_TRUE(vantor_client::DecodeUseReply(Ask(
                                                [](vantor_client::Request& r) {
                                                  r.PutUInt16(20);
                                                  r.PutUInt32(kNoId);
                                                  r.PutUInt16(0x33);
                                                  for (int i = 0; i < 3; ++i) r.PutString("");
                                                },
                                                &s),
                                            20, &use))
      << vantor_scenario::Hex(s) << Events();
  EXPECT_EQ(use.staged, 2u);  // x and x'

  ASSERT_TRUE(road_->Expect(MakeCommand(kResultsService, 21), "command 21", 0) &&
              road_->Expect(MakeCommand(kResultsService, 23), "command 23", 0))
      << Failure();
  ASSERT_TRUE(Step(0.5) && Step(0.6)) << Failure() << Events();
  EXPECT_NEAR(X(), std::exp(-0.4), 1e-6);
  EXPECT_TRUE(FinishRun()) << Failure();
}

}  // namespace snapshot_import
