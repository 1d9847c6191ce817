#include "numerics/sparse_lu/slu_interface.h"

#include <string>

#include "numerics/sparse_lu/slu_print.h"

namespace slu {

namespace {

const char* NameOf(Driver driver) {
  switch (driver) {
    case Driver::kAnalyse:
      return "SluAnalyse";
    case Driver::kFactorize:
      return "SluFactorize";
    case Driver::kSolve:
      return "SluSolve";
  }
  return "";
}

void Write(std::int64_t unit, const std::string& record) { SluWriteRecord(unit, record); }

}  // namespace

EngineLengths EngineLengthsFor(std::int64_t n, std::int64_t ne) {
  return EngineLengths{5 * ne, 10 * n + 7, 9 * n, 4 * n};
}

std::int64_t CodeOf(DriverError error) {
  switch (error) {
    case DriverError::kBadDimensions:
      return -1;
    case DriverError::kBadEntryCount:
      return -2;
    case DriverError::kShortStorage:
      return -3;
    case DriverError::kStructurallySingular:
      return -4;
    case DriverError::kBadPermutations:
      return -5;
    case DriverError::kBadJob:
      return -6;
    case DriverError::kDroppedBefore:
      return -6;
    case DriverError::kIncompatible:
      return -7;
    case DriverError::kNoConvergence:
      return -8;
    case DriverError::kNormEstimate:
      return -9;
  }
  return 0;
}

std::int64_t ReportError(const std::int64_t* icntl, Driver driver, DriverError error,
                         const ErrorValues& v) {
  const std::int64_t unit = SluUnitsFrom(icntl).error;
  const std::string head = std::string(" Error return from ") + NameOf(driver);
  switch (error) {
    case DriverError::kBadDimensions:
      Write(unit, head + " because M =" + SluInt(v.m) + " and N =" + SluInt(v.n));
      break;
    case DriverError::kBadEntryCount:
      Write(unit, head + " because NE =" + SluInt(v.ne));
      break;
    case DriverError::kShortStorage:
      Write(unit, head + " because LA is" + SluInt(v.la));
      Write(unit, " and must be at least" + SluInt(v.need));
      break;
    case DriverError::kStructurallySingular:
      Write(unit, head + " because matrix structurally  singular");
      Write(unit, " order is " + SluInt(v.n, 7) + " and structural rank" + SluInt(v.rank, 7));
      break;
    case DriverError::kBadPermutations:
      Write(unit, head + " because faulty permutations input when JOB = 2");
      break;
    case DriverError::kBadJob:
      Write(unit, head + " because JOB = " + SluInt(v.job));
      break;
    case DriverError::kDroppedBefore:
      Write(unit, head + " with JOB greater than 1");
      Write(unit, " and entries dropped during previous factorization");
      break;
    case DriverError::kIncompatible:
      Write(unit, head + " with JOB=2 because ");
      Write(unit, " the matrix is incompatible with expectations");
      break;
    case DriverError::kNoConvergence:
      Write(unit, head + " because of nonconvergence of iterative refinement");
      Write(unit, " Error INFO(1) = " + SluInt(-8, 2) +
                      "  with ICNTL(9) = " + SluInt(v.refinement_limit));
      break;
    case DriverError::kNormEstimate:
      Write(unit, head + " because of error in NormEst1");
      Write(unit, " ERROR(3) not calculated");
      break;
  }
  return CodeOf(error);
}

std::int64_t CheckDriverArguments(Driver driver, const std::int64_t* m, const std::int64_t* n,
                                  const std::int64_t* ne, const std::int64_t* job,
                                  const std::int64_t* la, const std::int64_t* icntl,
                                  std::int64_t* info) {
  ErrorValues v;
  v.m = *m;
  v.n = *n;
  auto fail = [&](DriverError error) {
    info[0] = ReportError(icntl, driver, error, v);
    return info[0];
  };
  if (*m < 1 || *n < 1) return fail(DriverError::kBadDimensions);
  if (driver != Driver::kSolve) {
    v.ne = *ne;
    if (*ne < 1) return fail(DriverError::kBadEntryCount);
    v.la = *la;
    v.need = 2 * *ne;
    if (*la < v.need) {
      info[driver == Driver::kAnalyse ? 2 : 3] = v.need;
      return fail(DriverError::kShortStorage);
    }
  }
  const std::int64_t last_job = driver == Driver::kSolve ? 4 : 3;
  v.job = *job;
  if (*job < 1 || *job > last_job) return fail(DriverError::kBadJob);
  return 0;
}

void WarnOutOfRange(const std::int64_t* icntl, std::int64_t ordinal, std::int64_t entry,
                    std::int64_t row, std::int64_t column) {
  if (ordinal > 10) return;
  SluWriteRecord(SluUnitsFrom(icntl).warning, " Message from SluAnalyse .. indices for entry " +
                                                  SluInt(entry, 7) + " are" + SluInt(row, 6) +
                                                  SluInt(column, 6));
}

void WarnDuplicate(const std::int64_t* icntl, std::int64_t ordinal, std::int64_t entry,
                   std::int64_t row, std::int64_t column) {
  if (ordinal > 10) return;
  SluWriteRecord(SluUnitsFrom(icntl).warning, " Message from SluAnalyse .. duplicate in position " +
                                                  SluInt(entry, 7) + " with indices" +
                                                  SluInt(row, 6) + SluInt(column, 6));
}

void WarnEntrySummary(const std::int64_t* icntl, std::int64_t duplicates,
                      std::int64_t out_of_range) {
  const std::int64_t unit = SluUnitsFrom(icntl).warning;
  SluWriteRecord(unit, " Message from SluAnalyse .." + SluInt(duplicates, 8) + " duplicates found");
  SluWriteRecord(unit, " Message from SluAnalyse .." + SluInt(out_of_range, 8) +
                           " out-of-range indices found");
}

}  // namespace slu
