#include "daes/model/services.h"

#include "framework/messaging/message.h"
#include "framework/messaging/message_controller.h"
#include "framework/servers/sending.h"

namespace {
DAESResultsServices* g_results = nullptr;
DAESOptimisationServices* g_optimisation = nullptr;
DAESProblemManagerServices* g_problem_manager = nullptr;
DAESControlDesignServices* g_control_design = nullptr;
DAESPropertyServices* g_properties = nullptr;
DAESVariableTable* g_variable_table = nullptr;
DAESSensitivityServices* g_sensitivity = nullptr;

Status SendThroughController(DseMessage* message) {
  const Status s = DseSendMessage(message, 0, nullptr, nullptr, nullptr, 0);
  // Without a controller the message is still ours; a controller takes it
  // even when it cannot route it.
  if (status::IsFailure(s) && DseCurrentController() == nullptr) delete message;
  return s;
}

daes::NoticeSender g_sender = &SendThroughController;
}  // namespace

namespace daes {
DAESResultsServices* ResultsServices() { return g_results; }
void SetResultsServices(DAESResultsServices* services) { g_results = services; }
DAESOptimisationServices* OptimisationServices() { return g_optimisation; }
void SetOptimisationServices(DAESOptimisationServices* services) { g_optimisation = services; }
DAESProblemManagerServices* ProblemManagerServices() { return g_problem_manager; }
void SetProblemManagerServices(DAESProblemManagerServices* services) {
  g_problem_manager = services;
}
DAESControlDesignServices* ControlDesignServices() { return g_control_design; }
void SetControlDesignServices(DAESControlDesignServices* services) { g_control_design = services; }
DAESVariableTable* VariableTable() { return g_variable_table; }
void SetVariableTable(DAESVariableTable* table) { g_variable_table = table; }
DAESSensitivityServices* SensitivityServices() { return g_sensitivity; }
void SetSensitivityServices(DAESSensitivityServices* services) { g_sensitivity = services; }
DAESPropertyServices* PropertyServices() { return g_properties; }
void SetPropertyServices(DAESPropertyServices* services) { g_properties = services; }

NoticeSender SetNoticeSender(NoticeSender sender) {
  const NoticeSender old = g_sender;
  g_sender = sender != nullptr ? sender : &SendThroughController;
  return old;
}

Status SendNotice(DseMessage* message) {
  if (message == nullptr) return 0x80000007u;
  return g_sender(message);
}
}  // namespace daes
