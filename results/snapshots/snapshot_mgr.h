// The snapshot store: one open snapshot file and the list of its live block
// headers (newest first). It takes and restores snapshots by asking its
// participants for their sections, deletes, names and lists snapshots,
// writes single snapshots or whole re-mapped files to other files, and
// compacts the file once enough space has been freed.
//
// A committed snapshot is never lost, whatever stops the process: a block is
// appended with its data and the new end marker first and its header last
// (the old end marker keeps the file valid until then); whole files are
// built beside their name, synced and renamed over it; the reader takes a
// torn or implausible tail for the end of the file; and a file is deleted
// only when it verifiably holds no snapshot.
//
// Used on the server thread only; no locks. Paths are relative to the
// working folder (the current folder).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/collections/list_elem.h"
#include "results/snapshots/snap_base.h"
#include "results/snapshots/snapshot_format.h"

class BvuBinaryStream;
class XosFileIO;

class SputSnapshotMgr {
 public:
  using Participants = std::vector<SputSnapBase*>;
  // Restores every participant's section.
  static constexpr std::uint32_t kAllParticipants = 0;
  static constexpr double kDefaultCompressRatio = 0.25;
  static constexpr std::int32_t kCompressFloor = 10;

  SputSnapshotMgr();
  // Reads the open file's start, records and headers (the file's version is
  // known); with map, each structure record is handed to its participant.
  virtual Status ReadFile(const Participants& participants, bool map);
  virtual ~SputSnapshotMgr();
  // Called before the sections of a snapshot are restored.
  virtual Status RestoreHook(double time);

  SputSnapshotMgr(const SputSnapshotMgr&) = delete;
  SputSnapshotMgr& operator=(const SputSnapshotMgr&) = delete;

  // --- files ---
  Status OpenFile(const char* name, const Participants* participants, bool map);
  Status CreateFile(const char* name);
  void CloseFile();
  void Clear(bool close);
  // The next free "snp%c%04d.snp" name of the working folder; the text is
  // the store's and stays valid until the next call.
  const char* NextFileName();
  void AddParticipant(SputSnapBase* participant);

  // --- snapshots ---
  Status TakeSnapshot(const RunPosition& at, const char* name, bool live, std::uint32_t* id,
                      bool kept, const char* date_text);
  Status DeleteSnapshot(std::uint32_t id);
  Status KeepSnapshot(std::uint32_t id, const char* name);
  Status SetSnapshotDescription(std::uint32_t id, const char* text);
  Status RestoreSnapshot(std::uint32_t id, RunPosition* at, std::uint32_t participant_id,
                         bool discard_newer);
  Status FindSnapshotByName(const char* name, std::uint32_t* id) const;
  Status FindSnapshotByPosition(const RunPosition& at, std::uint32_t* id) const;
  Status GetLatestPosition(RunPosition* at, std::uint32_t* id) const;
  Status GetSnapshotDateTime(std::uint32_t id, std::uint32_t* date, std::uint32_t* time) const;
  Status GetSnapshotName(std::uint32_t id, const char** text) const;
  Status GetSnapshotDescription(std::uint32_t id, const char** text) const;
  Status ListSnapshots(BvuBinaryStream* message) const;
  Status ListOtherFiles(BvuBinaryStream* message) const;

  // --- other files ---
  Status ExportSnapshot(std::uint32_t id, const char* file_name);
  Status RewriteMapped(const char* file_name);
  Status CreateFileWithSnapshots(const char* name, const Participants& participants,
                                 const std::vector<const SputSSBlockHeader*>& headers);
  Status CompressFile(const char* name);
  Status CopyLiveBlocks(const char* source, const char* destination);

  // --- parameters ---
  // Off for the run folder's own files, where others may plant links: a
  // file opened or copied over is then never reached through a link.
  void SetFollowLinks(bool on) { follow_links_ = on; }
  void SetAutoCompress(bool on) { auto_compress_ = on; }
  void SetCompressRatio(double ratio) { compress_ratio_ = ratio; }
  bool AutoCompress() const { return auto_compress_; }
  double CompressRatio() const { return compress_ratio_; }
  void SetMaximumSnapshots(std::int32_t count) { maximum_snapshots_ = count < 0 ? 0 : count; }

  // --- participants ---
  std::int32_t AllParticipantsReady();
  Status NotifySnapshotWritten(const Participants& participants);
  Status NotifyRestoreDone();

  // --- state ---
  bool IsOpen() const;
  const std::string& FileName() const;
  std::uint32_t Version() const { return version_; }
  std::int32_t HeaderCount() const { return headers_.count; }
  std::uint64_t EndPosition() const { return end_position_; }
  std::uint32_t HighestId() const { return highest_id_; }
  std::int32_t FreedCount() const { return freed_count_; }
  const Participants& ParticipantArray() const { return participants_; }
  // The newest header first; null at the end.
  const SputSSBlockHeader* FirstHeader() const;
  static const SputSSBlockHeader* NextHeader(const SputSSBlockHeader* header);
  // Where the last read found a torn or implausible tail (0: none).
  std::uint64_t TornTailOffset() const { return torn_tail_; }
  bool DiscardingRestoreHappened() const { return discarded_; }

  // Where the store's notices go (event code 16); tests record them.
  using EventPoster = Status (*)(std::uint32_t code, std::uint32_t value, const char* text);
  static EventPoster SetEventPoster(EventPoster poster);

 protected:
  XosFileIO* File() const { return file_.get(); }

 private:
  // One line of the client's message log (event code 16).
  static void PostNotice(const char* text);
  Status ReadFileStart(std::uint64_t file_size, std::vector<snapshot::RecordPlace>* records);
  Status ReadStructureRecord(const snapshot::RecordPlace& record, DseMessage** message);
  Status WriteStructureRecord(SputSnapBase* participant, std::int32_t index,
                              std::vector<std::uint8_t>* out);
  static void ReleaseStructureRecord(DseMessage* message);
  Status MapStructureRecord(std::int32_t record_index, const snapshot::RecordPlace& record,
                            const Participants& participants, std::vector<bool>* used);
  Status WriteFileStart(XosFileIO* file, std::uint64_t* position, const Participants& participants);
  Status OpenForWriting(const char* name, bool exclusive, std::unique_ptr<XosFileIO>* file);
  Status CommitByRename(std::unique_ptr<XosFileIO>* temp, const std::string& name);
  Status AppendBlock(SputSSBlockHeader* header, const Participants& participants);
  Status WriteBlockTo(XosFileIO* file, std::uint64_t* position, SputSSBlockHeader* header,
                      const Participants& participants);
  Status RewriteHeader(SputSSBlockHeader* header);
  Status CopyBlockMapped(const SputSSBlockHeader& header, XosFileIO* file, std::uint64_t* position);
  Status CopyBlockRaw(const SputSSBlockHeader& header, XosFileIO* file, std::uint64_t* position);
  Status RestoreSections(const SputSSBlockHeader& header, std::uint32_t participant_id);
  Status DiscardNewer(SputSSBlockHeader* restored);
  Status UpgradeToCurrentVersion();
  void TrimUnkept();
  void CompressIfWorthwhile();
  void RecoverInterruptedCompaction(const std::string& name);
  SputSSBlockHeader* Find(std::uint32_t id) const;
  void PushFront(SputSSBlockHeader* header);
  void Unlink(SputSSBlockHeader* header);
  void ForgetHeaders();
  std::int32_t LiveCount() const;

  std::unique_ptr<XosFileIO> file_;
  BvuListHead headers_;
  std::uint64_t end_position_ = 0;
  std::uint64_t records_end_ = 0;
  std::uint32_t highest_id_ = 0;
  std::int32_t maximum_snapshots_ = 0;
  std::vector<std::uint8_t> section_buffer_;
  Participants participants_;
  std::uint32_t version_ = 0;
  std::int32_t freed_count_ = 0;
  bool auto_compress_ = true;
  bool follow_links_ = true;
  double compress_ratio_ = kDefaultCompressRatio;
  std::int32_t compress_floor_ = kCompressFloor;
  bool end_marker_found_ = false;
  bool discarded_ = false;
  std::uint64_t torn_tail_ = 0;
  char next_name_[32] = {};
};
