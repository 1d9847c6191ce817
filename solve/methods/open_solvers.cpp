#include "solve/methods/open_solvers.h"

#include <mutex>

namespace {

// Written between runs, read from the run thread: a lock keeps the texts whole.
std::mutex g_mutex;
std::string g_nla;
std::string g_nlp_optimisation;
std::string g_nlp_estimation;

}  // namespace

std::string OpenNLASolverName() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_nla;
}

void SetOpenNLASolverName(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_nla = name;
}

std::string OpenNLPSolverName(std::int32_t run_type) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (run_type == kRunOptimisation) return g_nlp_optimisation;
  if (run_type == kRunEstimation) return g_nlp_estimation;
  return {};
}

void SetOpenNLPSolverName(std::int32_t run_type, const std::string& name) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (run_type == kRunOptimisation) g_nlp_optimisation = name;
  if (run_type == kRunEstimation) g_nlp_estimation = name;
}
