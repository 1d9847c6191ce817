#include "analysis/optimisation/optimisation_manager.h"

namespace {
QLNOptimisationManager* current_manager = nullptr;
}  // namespace

QLNOptimisationManager* GetOptimisationManager() { return current_manager; }
void SetOptimisationManager(QLNOptimisationManager* manager) { current_manager = manager; }

QLNOptimisationManager::~QLNOptimisationManager() {
  if (current_manager == this) current_manager = nullptr;
}
