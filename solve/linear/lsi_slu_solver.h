// LSISluSolver: the LSI solver over the sparse LU drivers, the only kind.
#pragma once

#include <cstdint>

#include "solve/linear/lsi.h"

class LSISluSolver final : public LSIBaseSolve {
 public:
  static constexpr std::int32_t kTypeCode = 4;

  LSISluSolver(std::int64_t ne, std::int64_t n);
  ~LSISluSolver() override;

  std::int64_t Analyse(const double* a, const std::int64_t* irn, const std::int64_t* jcn) override;
  std::int64_t Factorize(const double* a) override;
  std::int64_t FastFactorize(const double* a) override;
  std::int64_t Solve(const double* rhs, double* x) override;
  std::int64_t SolveTransposed(const double* rhs, double* x) override;
  int ResizeStorage(std::int64_t need) override;
  std::int64_t Initialise() override;
  std::int64_t SolveByFlags(const double* a, const std::int64_t* irn, const std::int64_t* jcn,
                            double* x, const double* b, const LsiRequest& request) override;
  void MarkForReset() override;
  std::int64_t Rank() const override { return rank_; }
  const std::int64_t* FirstDeficiencyList() const override { return kept_rows_; }
  const std::int64_t* SecondDeficiencyList() const override { return kept_cols_; }
  double LastOperationCount() const override { return last_count_; }
  double AverageOperationCount() const override { return average_count_; }
  double ReferenceOperationCount() const override { return reference_count_; }

  std::int64_t StorageLength() const { return la_; }

 private:
  // Analysis and a factorization after it; the solve-by-flags answer.
  std::int64_t AnalyseAndFactorize(const double* a, const std::int64_t* irn,
                                   const std::int64_t* jcn);
  // Records the outcome of a factorization in the state bits; true when it
  // gave usable factors.
  bool NoteFactorization(std::int64_t result);
  void EnterCount(double count);
  bool ResizeWindow(std::int32_t length);
  void CopyInput(const double* a, const std::int64_t* irn, const std::int64_t* jcn);
  bool FillRankLists();
  void CorrectedSolve(const double* a, const std::int64_t* irn, const std::int64_t* jcn,
                      const double* b, double* x, bool transposed);
  void OutOfMemory(const char* format, std::int64_t bytes);

  std::int64_t la_ = 0;
  std::int64_t lkeep_ = 0;
  double* a_ = nullptr;
  std::int64_t* irn_ = nullptr;
  std::int64_t* jcn_ = nullptr;
  std::int64_t* saved_irn_ = nullptr;
  std::int64_t* keep_ = nullptr;
  std::int64_t* saved_keep_ = nullptr;
  std::int64_t info_[12] = {};
  double rinfo_ = 0.0;

  std::int64_t rank_ = 0;
  std::int64_t* rows_ = nullptr;  // SluRankInfo's lists
  std::int64_t* cols_ = nullptr;
  std::int64_t* kept_rows_ = nullptr;  // the same with the first rank_ entries 0
  std::int64_t* kept_cols_ = nullptr;

  double* window_ = nullptr;
  std::int32_t window_length_ = 0;
  std::int32_t window_position_ = 0;
  std::int32_t window_seen_ = 0;
  double threshold_ = 2.0;
  double average_count_ = 0.0;
  double reference_count_ = 0.0;
  double last_count_ = 0.0;
  bool growth_ = false;

  std::int32_t repivot_counter_ = 0;
  bool counted_ = false;
  bool factorizing_ = false;  // which phase a resize belongs to
  bool lists_current_ = false;
};
