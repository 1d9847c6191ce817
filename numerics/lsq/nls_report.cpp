// What the least-squares optimiser prints when IV(PRUNIT) != 0: fixed-layout
// records through the numeric printer entry.
#include <cstdio>

#include "numerics/lsq/nls_internal.h"
#include "numerics/lsq/numeric_record.h"

namespace nls {
namespace {

const char* FinalMessage(std::int64_t code) {
  switch (code) {
    case kXConvergence:
      return " ***** X-CONVERGENCE *****";
    case kRelativeFunctionConvergence:
      return " ***** RELATIVE FUNCTION CONVERGENCE *****";
    case kBothConvergence:
      return " ***** X- AND RELATIVE FUNCTION CONVERGENCE *****";
    case kAbsoluteFunctionConvergence:
      return " ***** ABSOLUTE FUNCTION CONVERGENCE *****";
    case kSingularConvergence:
      return " ***** SINGULAR CONVERGENCE *****";
    case kFalseConvergence:
      return " ***** FALSE CONVERGENCE *****";
    case kEvaluationLimit:
      return " ***** FUNCTION EVALUATION LIMIT *****";
    case kIterationLimit:
      return " ***** ITERATION LIMIT *****";
    case kInitialResidualsFailed:
      return " ***** INITIAL F(X) CANNOT BE COMPUTED *****";
    case kJacobianFailed:
      return " ***** JACOBIAN COULD NOT BE COMPUTED *****";
    default:
      return nullptr;
  }
}

long long Ll(std::int64_t value) { return static_cast<long long>(value); }

// One line per parameter: index, value, scale and optionally gradient.
void ListParameters(const IntArray& iv, const char* heading, const double* x, const double* d,
                    const double* g, std::int64_t p) {
  PrintLine(iv, heading);
  char line[128];
  for (std::int64_t i = 0; i < p; ++i) {
    if (g != nullptr) {
      std::snprintf(line, sizeof line, " %5lld %16.6E %14.3E %14.3E", Ll(i + 1), x[i], d[i], g[i]);
    } else {
      std::snprintf(line, sizeof line, " %5lld %16.6E %14.3E", Ll(i + 1), x[i], d[i]);
    }
    PrintLine(iv, line);
  }
}

}  // namespace

void PrintLine(const IntArray& iv, const char* text) {
  if (iv(kPrunit) != 0) PrintNumericRecord(text);
}

void ReportStart(const IntArray& iv, const Problem& pb) {
  if (iv(kPrunit) == 0 || iv(kX0prt) == 0) return;
  ListParameters(iv, "     I     INITIAL X(I)        D(I)", pb.x, pb.d, nullptr, pb.p);
}

void ReportIteration(const IntArray& iv, const RealArray& v) {
  if (iv(kPrunit) == 0 || iv(kOutlev) == 0) return;
  if (iv(kPrintedHeader) == 0) {
    PrintLine(iv, "   IT   NF      F        RELDF    PRELDF    RELDX   MODEL  STPPAR");
    iv(kPrintedHeader) = 1;
  }
  char line[128];
  if (iv(kNiter) == 0) {
    std::snprintf(line, sizeof line, "%5lld%5lld%12.3E", Ll(iv(kNiter)), Ll(iv(kNfcall)), v(kF));
  } else {
    std::snprintf(line, sizeof line, "%5lld%5lld%12.3E%10.2E%10.2E%10.2E%5s%10.2E", Ll(iv(kNiter)),
                  Ll(iv(kNfcall)), v(kF), v(kReldf), v(kPreldf), v(kLastReldx),
                  iv(kModel) == 2 ? "S" : "G", v(kStppar));
  }
  PrintLine(iv, line);
}

void ReportCovariance(const IntArray& iv, const RealArray& v, const Problem& pb) {
  if (iv(kPrunit) == 0 || iv(kCovprt) == 0) return;
  char line[128];
  const std::int64_t cov = iv(kCovmat);
  if ((iv(kCovprt) & 1) != 0) {
    if (cov < 0) {
      PrintLine(iv, " ++++++ INDEFINITE COVARIANCE MATRIX ++++++");
    } else if (cov > 0) {
      std::snprintf(line, sizeof line, " COVARIANCE = (J**T * J)**-1   RCOND = %10.3E", v(kRcond));
      PrintLine(iv, line);
      // Lower triangle by rows, five entries a line.
      for (std::int64_t i = 0; i < pb.p; ++i) {
        int used = std::snprintf(line, sizeof line, " ROW %3lld", Ll(i + 1));
        for (std::int64_t j = 0; j <= i; ++j) {
          if (j > 0 && j % 5 == 0) {
            PrintLine(iv, line);
            used = std::snprintf(line, sizeof line, "        ");
          }
          used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), "%12.3E",
                                v(cov + PackedAt(j, i)));
        }
        PrintLine(iv, line);
      }
    }
  }
  if ((iv(kCovprt) & 2) != 0 && iv(kRegd) == 1) {
    PrintLine(iv, " REGRESSION DIAGNOSTIC");
    int used = 0;
    for (std::int64_t i = 0; i < pb.n; ++i) {
      used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), " %13.6E",
                            pb.rd[i]);
      if (i % 5 == 4 || i + 1 == pb.n) {
        PrintLine(iv, line);
        used = 0;
      }
    }
  }
}

void ReportFinal(const IntArray& iv, const RealArray& v, const Problem& pb) {
  if (iv(kPrunit) == 0) return;
  const std::int64_t code = iv(1);
  const char* message = FinalMessage(code);
  if (iv(kOutlev) != 0 && message != nullptr) PrintLine(iv, message);
  char line[128];
  if (iv(kStatpr) != 0) {
    std::snprintf(line, sizeof line, " FUNCTION %17.6E   RELDX %17.3E", v(kF), v(kLastReldx));
    PrintLine(iv, line);
    std::snprintf(line, sizeof line, " FUNC. EVALS %8lld   GRAD. EVALS %8lld   ITERATIONS %8lld",
                  Ll(iv(kNfcall)), Ll(iv(kNgcall)), Ll(iv(kNiter)));
    PrintLine(iv, line);
    std::snprintf(line, sizeof line, " PRELDF %16.3E   NPRELDF %15.3E", v(kPreldf),
                  v(kF) > 0.0 && v(kNreduc) >= 0.0 ? v(kNreduc) / v(kF) : 0.0);
    PrintLine(iv, line);
  }
  if (iv(kSolprt) != 0 && iv(kState) == 2) {
    const Work w = WorkFor(iv, v, pb.p);
    ListParameters(iv, "     I      FINAL X(I)        D(I)          G(I)", pb.x, pb.d, w.g, pb.p);
  }
  ReportCovariance(iv, v, pb);
}

}  // namespace nls
