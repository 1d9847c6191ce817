#include "foundation/interfaces/results_seam.h"

namespace {
RunResultsSeam* g_run_results_seam = nullptr;
}  // namespace

RunResultsSeam* RunResultsSeam::Current() { return g_run_results_seam; }
void RunResultsSeam::SetCurrent(RunResultsSeam* seam) { g_run_results_seam = seam; }
