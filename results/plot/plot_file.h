// The open plot-history file: the file object, the header block and the
// current (last) directory block, each with a changed flag, block reads and
// writes at n * 256, block allocation and the free chain. Owned by the
// plot-history manager.
//
// Crash consistency: a new block is written, then the header that allocates
// it, and only then the link that uses it; chains are cut before their
// blocks go to the free chain. A stop at any write therefore leaves at worst
// blocks that nothing references, and opening gives those back to the free
// chain, raises the next never-used number past every block the file holds
// and drops a free chain that meets a linked block.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "results/plot/plot_format.h"

class XosFileIO;

namespace plot {

// One variable's place in the directory as found in the file.
struct DirectoryEntry {
  std::string name;
  std::uint32_t directory_block = 0;
  std::uint32_t first_value_block = 0;
};

class PlotHistoryFile {
 public:
  // Opens an existing file ("wr+"), never through a symbolic link. *unusable
  // gets the reason when the file is too short, of another format or
  // damaged, or the name is a link; then nothing is changed and the file is
  // not opened. A file that opens is repaired as above.
  static Status OpenExisting(const char* name, std::unique_ptr<PlotHistoryFile>* out,
                             std::string* unusable);
  // Makes a new file beside the name and renames it into place: header and
  // an empty first directory block (block 1).
  static Status Create(const char* name, double tolerance, std::unique_ptr<PlotHistoryFile>* out);

  // Flushes; a failed write runs the disk-full check.
  ~PlotHistoryFile();
  PlotHistoryFile(const PlotHistoryFile&) = delete;
  PlotHistoryFile& operator=(const PlotHistoryFile&) = delete;

  // The header when changed, then the current directory block when changed.
  Status Flush();
  Status WriteHeader();
  Status WriteCurrentBlock();
  Status ReadBlock(std::uint32_t number, Block* block);
  // At the block's own number.
  Status WriteBlock(const Block& block);
  // From the free chain's head, else the next never-used number; the header
  // is written before the number is handed out. 0 when it cannot be.
  std::uint32_t AllocateBlock(Status* result);
  // Links a chain (already cut from its user) after the free chain's tail.
  Status FreeChain(std::uint32_t first);

  Header& header() { return header_; }
  void MarkHeaderChanged() { header_changed_ = true; }
  Block& directory() { return directory_; }
  void MarkDirectoryChanged() { directory_changed_ = true; }
  // Makes a block the current directory block (written already).
  void SetCurrentDirectory(const Block& block) { directory_ = block; }
  const std::string& Name() const { return name_; }
  // The directory as read when opened, in chain order.
  const std::vector<DirectoryEntry>& OpenedDirectory() const { return opened_; }

 private:
  PlotHistoryFile(std::unique_ptr<XosFileIO> file, const std::string& name);
  Status Validate(std::uint64_t size, std::string* unusable);
  bool ReadChains(std::vector<std::uint8_t>* used, std::string* unusable);
  void CheckFreeChain(std::vector<std::uint8_t>* used);
  Status RecoverUnreferenced(const std::vector<std::uint8_t>& used);
  Status Write(std::uint32_t number, const Block& block);

  std::unique_ptr<XosFileIO> file_;
  std::string name_;
  Header header_;
  bool header_changed_ = false;
  Block directory_{};
  bool directory_changed_ = false;
  std::vector<DirectoryEntry> opened_;
};

}  // namespace plot
