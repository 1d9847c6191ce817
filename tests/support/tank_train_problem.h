// The heated tank train read in-process into a fresh tree, its problem, and
// the block a corrector sees: states and free variables as columns, each
// derivative standing in for its state, every equation as a row. The
// compiled-evaluation benchmark and tests share it; the compiled library
// is built from an installation made from the source tree.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "daes/blocks/solver_block.h"
#include "daes/instance/instance_node.h"
#include "daes/model/var_table_entry.h"
#include "daes/problem/problem.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "tools/model_writer/tank_train.h"

namespace testsupport {

class TankTrainProblem {
 public:
  explicit TankTrainProblem(std::uint32_t units, double feed = 10.0)
      : root_(new DAESInstanceNode(nullptr, nullptr)) {
    DseMessage sent(62, DseMessage::kRequest);
    modelwriter::Writer w(sent);
    modelwriter::TankTrain train;
    train.units = units;
    train.feed = feed;
    train.Write(w, {2, "Train"});
    // Read back from the first byte, as a peer would.
    for (DseSegment* s = sent.FirstSegment(); s != nullptr; s = s->next) s->window_end = s->cursor;
    sent.RereadFrom(sent.FirstSegment()->DataStart());
    if (w.status() != 0 || root_->ReadFromMessage(sent, root_, nullptr, root_) != 0) return;
    problem_.reset(DAESCreateProblem(root_, 0, nullptr));
    if (problem_ == nullptr) return;
    DAESSolverBlock* block = nullptr;
    problem_->BuildSolverBlock(&block, daes::kState | daes::kFree, daes::kDerivativeFlag, 0, 0,
                               true);
    block_.reset(block);
    if (block_ == nullptr || block_->BuildStructure(&rows_, &cols_, nullptr, 0) != 0) return;
    ready_ = true;
  }
  ~TankTrainProblem() {
    block_.reset();
    problem_.reset();
    BvuDirectoryProper::DeleteBelow(root_);
    delete root_;
  }
  TankTrainProblem(const TankTrainProblem&) = delete;
  TankTrainProblem& operator=(const TankTrainProblem&) = delete;

  bool Ready() const { return ready_; }
  DAESProblem* Problem() const { return problem_.get(); }
  DAESSolverBlock* Block() const { return block_.get(); }
  const std::int64_t* Rows() const { return rows_; }
  const std::int64_t* Cols() const { return cols_; }
  std::uint32_t Entries() const { return block_ != nullptr ? block_->StructureSize() : 0; }

 private:
  DAESInstanceNode* root_;
  std::unique_ptr<DAESProblem> problem_;
  std::unique_ptr<DAESSolverBlock> block_;
  const std::int64_t* rows_ = nullptr;
  const std::int64_t* cols_ = nullptr;
  bool ready_ = false;
};

// An installation below `folder` made from the source tree's installation
// files: bin/ with the resource compiler and an empty archive, procedures/
// with the makefile stub, the headers, the flowsheet stub and empty
// archives. The prefix, or empty when a file could not be copied.
inline std::filesystem::path MakeCompiledInstallation(const std::filesystem::path& folder,
                                                      const std::string& source_dir) {
  namespace fs = std::filesystem;
  const fs::path prefix = folder / "prefix";
  const std::string install = source_dir + "/codegen/install/";
  std::error_code ec;
  fs::create_directories(prefix / "bin", ec);
  fs::create_directories(prefix / "procedures", ec);
  if (!fs::copy_file(install + "vantor-rc", prefix / "bin" / "vantor-rc", ec)) return {};
  for (const char* file :
       {"makestub.int", "bvdll.h", "bvutcfor.h", "basetsd.h", "flowsheetexportstub.cpp"}) {
    if (!fs::copy_file(install + file, prefix / "procedures" / file, ec)) return {};
  }
  for (const fs::path& archive : {prefix / "bin" / "gpp.a", prefix / "procedures" / "libbvdll.a",
                                  prefix / "procedures" / "bvdll_support.a"}) {
    std::ofstream(archive) << "!<arch>\n";
  }
  return prefix;
}

}  // namespace testsupport
