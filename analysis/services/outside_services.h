// The outside-procedure action's services over the engine's problem manager
// and action manager. A variable's external handle is the address of its
// model entry, stable while the problem stays built.
#pragma once

#include "analysis/outside/sax_action.h"

class EngineAnalysisServices;
class SimProblemMgr;

class EngineSaxServices final : public SaxServices {
 public:
  EngineSaxServices(SimProblemMgr& problem, EngineAnalysisServices& services)
      : problem_(problem), services_(services) {}

  Status ReadVariableHandle(BvuBinaryStream& body, std::int64_t* handle) override;
  void Print(Status status, const std::string& text) override;
  double CurrentTime() override;
  void* Context() override;
  Status RegisterActionFactory(SimActionFactory* factory) override;
  Status CreateAction(const char* name) override;
  Status RemoveAction(NewSimAction* action) override;
  std::int32_t CurrentHookPoint() override;

 private:
  SimProblemMgr& problem_;
  EngineAnalysisServices& services_;
};
