// Participants, a fixed clock and a working folder for the snapshot tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/values/snapshot_version.h"
#include "framework/messaging/message.h"
#include "platform/byte_order.h"
#include "results/snapshots/snapshot_mgr.h"
#include "tests/results/quiet_participant.h"
#include "tests/support/golden.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace snaptest {

using Bytes = std::vector<std::uint8_t>;

// A participant that stores whatever `section` holds and records what it is
// given back.
class FakeParticipant : public QuietParticipant {
 public:
  explicit FakeParticipant(std::uint32_t id, std::size_t structure_bytes = 0)
      : id_(id), structure_bytes_(structure_bytes) {}

  std::uint32_t Id(std::int32_t) override { return id_; }
  Status StructureRecord(std::int32_t, DseMessage** message) override {
    *message = nullptr;
    if (structure_bytes_ == 0) return status::kOk;
    *message = new DseMessage(50, 12);
    for (std::uint8_t b : StructureBody()) (*message)->PutUInt8(b);
    return status::kOk;
  }
  Status MapStructure(std::int32_t, DseMessage* message) override {
    mapped.clear();
    std::uint8_t b = 0;
    while (message != nullptr && status::IsSuccess(message->GetUInt8(&b))) mapped.push_back(b);
    ++map_calls;
    return status::kOk;
  }
  Status SectionData(std::int32_t, const std::uint8_t** data, std::uint32_t* length) override {
    *data = section.data();
    *length = static_cast<std::uint32_t>(section.size());
    return status::kOk;
  }
  Status RestoreSection(std::int32_t, const std::uint8_t* data, std::uint32_t length) override {
    restored.assign(data, data + length);
    version_seen = SnapshotFileVersion;
    ++restore_calls;
    return status::kOk;
  }
  Status SnapshotWritten(std::int32_t) override {
    ++written_calls;
    return status::kOk;
  }
  // Lengthens every section by `grow` bytes of 0xEE, in its own buffer.
  Status ConvertSection(std::int32_t, const std::uint8_t* data, std::uint32_t length,
                        const std::uint8_t** converted, std::uint32_t* converted_length) override {
    converted_.assign(data, data + length);
    converted_.insert(converted_.end(), grow, 0xEE);
    *converted = converted_.data();
    *converted_length = static_cast<std::uint32_t>(converted_.size());
    return status::kOk;
  }

  Bytes StructureBody() const {
    Bytes body(structure_bytes_);
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 13 + id_);
    return body;
  }

  Bytes section;
  Bytes restored;
  Bytes mapped;
  std::size_t grow = 0;
  int restore_calls = 0;
  int written_calls = 0;
  int map_calls = 0;
  std::uint32_t version_seen = 0;

 private:
  std::uint32_t id_;
  std::size_t structure_bytes_;
  Bytes converted_;
};

// Bytes that differ by snapshot and participant.
inline Bytes SectionFor(int snapshot, int participant, std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(snapshot * 31 + participant * 7 + i);
  }
  return bytes;
}

// "s<k>" (built without std::string's operator+, which GCC 12 warns about
// wrongly at -O3).
inline std::string SnapName(int k) {
  char text[16];
  std::snprintf(text, sizeof text, "s%d", k);
  return text;
}

inline void PutLE32(Bytes* b, std::size_t at, std::uint32_t v) {
  platform::StoreLE32(b->data() + at, v);
}
inline void AppendBytes(Bytes* to, const Bytes& more) {
  to->insert(to->end(), more.begin(), more.end());
}

// Older layouts, built from their tables: version 7 with 240-byte headers,
// version 3 with 128-byte headers and the run number as a double.
inline Bytes OldFile(std::uint32_t version) {
  const std::uint32_t size = version >= 6 ? 240 : 128;
  Bytes file = testsupport::HexBytes("00 00 00 00 01 00 00 00 08 00 00 00 11 00 00 00");
  PutLE32(&file, 0, version);
  const auto header = [&](std::uint32_t length, std::uint32_t flags, const std::string& name,
                          double time, std::uint16_t run, std::int16_t count) {
    Bytes h(size, 0);
    PutLE32(&h, 0, static_cast<std::uint32_t>(file.size()));
    PutLE32(&h, 4, length);
    const Bytes stamp = testsupport::HexBytes("01 02 03 00 04 05 5A 13");  // 03:02:01, 4.5.1990
    std::copy(stamp.begin(), stamp.end(), h.begin() + 8);
    platform::StoreLEDouble(h.data() + 16, time);
    if (version >= 6) {
      platform::StoreLE16(h.data() + 24, run);
      platform::StoreLE16(h.data() + 26, static_cast<std::uint16_t>(count));
      PutLE32(&h, 32, flags);
      std::memcpy(h.data() + 36, name.data(), std::min<std::size_t>(name.size(), 40));
      std::memcpy(h.data() + 76, "old words", 9);
    } else {
      platform::StoreLEDouble(h.data() + 24, run + 0.9);
      platform::StoreLE16(h.data() + 32, static_cast<std::uint16_t>(count));
      PutLE32(&h, 40, flags);
      std::memcpy(h.data() + 44, name.data(), std::min<std::size_t>(name.size(), 84));
    }
    AppendBytes(&file, h);
  };
  header(size + 7, 0x80000005, "older", 2.0, 1, 1);
  AppendBytes(&file, testsupport::HexBytes("03 00 00 00 AA BB CC"));
  header(size + 4, 0x00000006, "freed", 3.0, 1, 2);
  AppendBytes(&file, testsupport::HexBytes("00 00 00 00"));
  header(size + 5, 0x80000009, std::string(60, 'n'), 4.0, 7, 3);
  AppendBytes(&file, testsupport::HexBytes("01 00 00 00 DD"));
  header(0, 0, "EOF", 0.0, 0, 0);
  return file;
}

inline platform::LocalDateTime FixedClock() { return {2026, 12, 7, 13, 45, 30}; }

inline std::vector<std::string>& Notices() {
  static std::vector<std::string> notices;
  return notices;
}

// "<code>/<value>/<text>".
inline Status RecordNotice(std::uint32_t code, std::uint32_t value, const char* text) {
  char line[512];
  std::snprintf(line, sizeof line, "%u/%u/%s", code, value, text);
  Notices().push_back(line);
  return status::kOk;
}

// A fresh working folder, the fixed clock and recorded notices.
class SnapshotFolder : public ::testing::Test {
 protected:
  SnapshotFolder() : folder_(dir_.path()) {
    previous_clock_ = snapshot::SetSnapshotClock(&FixedClock);
    previous_poster_ = SputSnapshotMgr::SetEventPoster(&RecordNotice);
    Notices().clear();
  }
  ~SnapshotFolder() override {
    snapshot::SetSnapshotClock(previous_clock_);
    SputSnapshotMgr::SetEventPoster(previous_poster_);
  }

 public:
  static Bytes ReadAll(const std::string& name) {
    const std::string raw = testsupport::ReadFileBytes(name);
    return Bytes(raw.begin(), raw.end());
  }
  static void WriteAll(const std::string& name, const Bytes& bytes) {
    FILE* f = std::fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  static bool Exists(const std::string& name) { return std::filesystem::exists(name); }

 protected:
  testsupport::TempDir dir_;
  testsupport::ScopedCurrentFolder folder_;
  snapshot::SnapshotClock previous_clock_ = nullptr;
  SputSnapshotMgr::EventPoster previous_poster_ = nullptr;
};

// The names of the listed snapshots, newest first.
inline std::vector<std::string> ListedNames(const SputSnapshotMgr& store) {
  std::vector<std::string> names;
  for (const SputSSBlockHeader* h = store.FirstHeader(); h != nullptr;
       h = SputSnapshotMgr::NextHeader(h)) {
    names.push_back(h->name);
  }
  return names;
}

}  // namespace snaptest
