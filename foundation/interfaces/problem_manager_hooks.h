// What the utility classes ask of the problem manager. The problem manager of
// the control subsystem (control/) implements this and installs itself for
// its lifetime; with none installed the answers are those of a manager at rest.
#pragma once

class ProblemManagerHooks {
 public:
  // True while the problem manager runs a nested problem, whose errors are
  // reported without their failure status.
  virtual bool IsNestedMode() = 0;

 protected:
  ~ProblemManagerHooks() = default;
};

// The installed problem manager, or null.
ProblemManagerHooks* GetProblemManagerHooks();
void SetProblemManagerHooks(ProblemManagerHooks* hooks);
