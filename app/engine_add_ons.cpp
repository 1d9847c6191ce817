#include "app/engine_add_ons.h"

#include "codegen/files/proc_files.h"
#include "control/problem/problem_manager.h"
#include "foundation/messages/status_and_msg.h"
#include "platform/dynamic_library.h"
#include "results/manager/run_results.h"

namespace vantor_app {
namespace {

class EngineAddOns final : public SimEngineAddOns {
 public:
  EngineAddOns(SimProblemMgr& manager, DseServerRegistry* registry, Status* status)
      : results_(manager, registry, status), files_(FilesContext(manager)) {
    const Status registered = files_.RegisterServices(registry);
    if (status != nullptr && status::IsSuccess(*status)) *status = registered;
  }

 private:
  static codegen::ProcFilesContext FilesContext(SimProblemMgr& manager) {
    codegen::ProcFilesContext context;
    // Generated makefiles find the installation's tool folders from the
    // engine's own folder.
    context.server_folder = platform::ExecutableFolder();
    context.report = [&manager](BvuStatusAndMsg* message) {
      if (message == nullptr) return;
      const char* text = message->GetText();
      manager.Report(message->GetStatus(), text != nullptr ? text : "");
      delete message;
    };
    return context;
  }

  SimRunResultsJoin results_;
  SimProcFilesMgr files_;
};

}  // namespace

std::unique_ptr<SimEngineAddOns> MakeEngineAddOns(SimProblemMgr& manager,
                                                  DseServerRegistry* registry, Status* status) {
  if (status != nullptr) *status = status::kOk;
  return std::make_unique<EngineAddOns>(manager, registry, status);
}

}  // namespace vantor_app
