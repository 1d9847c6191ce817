// The engine's objects as its server thread makes them, with the program's
// own add-ons: every process-wide hook and registration the engine must
// install is in place once they stand, and gone again once they are down.
#include <gtest/gtest.h>

#include "analysis/homotopy/homotopy_mgr.h"
#include "analysis/sensitivity/sensitivity_manager.h"
#include "app/engine_add_ons.h"
#include "control/engine/server_thread.h"
#include "control/problem/problem_manager.h"
#include "daes/blocks/solver_block.h"
#include "daes/delays/delay_mgr.h"
#include "daes/model/services.h"
#include "daes/problem/problem.h"
#include "expr/tree/system_function.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/run_mode.h"
#include "framework/libraries/library_api.h"
#include "framework/libraries/library_exports.h"
#include "framework/servers/server_registry.h"
#include "results/manager/run_results.h"
#include "solve/open/homotopy_parameters.h"
#include "solve/proxies/sensitivity_calculator.h"
#include "tests/support/scoped_current_folder.h"
#include "tests/support/temp_dir.h"

namespace {

// Runs in a folder of its own: the problem manager takes the current one.
class EngineStart : public ::testing::Test {
 protected:
  void SetUp() override { SetEngineAddOnMaker(vantor_app::MakeEngineAddOns); }
  void TearDown() override { SetEngineAddOnMaker(nullptr); }
  testsupport::TempDir folder_;
  testsupport::ScopedCurrentFolder here_{folder_.path()};
};

TEST_F(EngineStart, InstallsEveryHookAndRegistration) {
  DseServerRegistry registry;
  {
    Status status = 1;
    EngineObjects engine(&registry, &status);
    ASSERT_EQ(status, 0u);
    SimProblemMgr& manager = engine.Manager();

    // Every service id has its server.
    for (std::uint32_t id : {58u, 68u, 50u, 60u, 55u, 65u, 61u, 62u, 53u, 63u, 66u, 67u, 69u, 64u,
                             110u, 112u, 114u, 113u, 115u}) {
      EXPECT_NE(registry.FindServer(id), nullptr) << "service " << id;
    }

    // "Time" answers the time of the point being computed.
    const SystemFunction* time = SystemFunction::Find("Time");
    ASSERT_NE(time, nullptr);
    ASSERT_TRUE(time->HasCallback());
    const double before = GetSimulationTime();
    SetSimulationTime(1.25);
    EXPECT_EQ(time->CallReal(), 1.25);
    // So do the generated code and the user procedures that ask the
    // engine for request 31.
    int option = 31, integer = 1;
    double real = 0.0;
    char* text = nullptr;
    EXPECT_EQ(QLN_Rqst(&option, &integer, &real, &text), 2);
    EXPECT_EQ(real, 1.25);
    SetSimulationTime(before);

    // The delay manager is current, and every snapshot carries its two
    // histories after the results manager's four sections.
    ASSERT_NE(engine.Delays(), nullptr);
    EXPECT_EQ(GetCurrentDelayMgr(), engine.Delays());
    auto* results = dynamic_cast<SimRunResultsJoin*>(&manager.RunResults());
    ASSERT_NE(results, nullptr);
    const auto& participants = results->Manager().Participants();
    ASSERT_EQ(participants.size(), 6u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(participants[i], &results->Manager()) << i;
    EXPECT_EQ(participants[4], engine.Delays());
    EXPECT_EQ(participants[5], engine.Delays());
    EXPECT_EQ(engine.Delays()->Id(4), delays::kHistorySection);
    EXPECT_EQ(engine.Delays()->Id(5), delays::kSubHistorySection);

    // What a model variable being destroyed tells, and what the model asks
    // of the managers above it.
    EXPECT_EQ(daes::ProblemManagerServices(), &manager);
    EXPECT_NE(daes::ControlDesignServices(), nullptr);
    EXPECT_EQ(daes::ResultsServices(), results);
    EXPECT_NE(daes::OptimisationServices(), nullptr);
    EXPECT_NE(daes::PropertyServices(), nullptr);
    EXPECT_NE(daes::CompiledCode(), nullptr);
    EXPECT_EQ(dynamic_cast<SimPlainUpperServices*>(&manager.Upper()), nullptr);
    // The sensitivity manager answers values at earlier times, and its
    // faces reach the solvers.
    QLNSensitivityManager* sensitivities = GetSensitivityManager();
    ASSERT_NE(sensitivities, nullptr);
    EXPECT_EQ(daes::SensitivityServices(), dynamic_cast<DAESSensitivityServices*>(sensitivities));
    EXPECT_NE(GetSensitivityManagerFace(), nullptr);
    EXPECT_NE(GetBlockSensitivityParameters(), nullptr);
    // The homotopy manager is the open solvers' homotopy object.
    ASSERT_NE(GetHomotopyManager(), nullptr);
    EXPECT_EQ(ProcessHomotopy(), dynamic_cast<QLNHomotopyParameters*>(GetHomotopyManager()));
    EXPECT_EQ(ProcessHomotopy()->Count(), 0);
  }
  // Nothing the engine took down is left behind.
  for (const void* left :
       {static_cast<const void*>(daes::ProblemManagerServices()),
        static_cast<const void*>(daes::ControlDesignServices()),
        static_cast<const void*>(daes::SensitivityServices()),
        static_cast<const void*>(daes::ResultsServices()),
        static_cast<const void*>(daes::OptimisationServices()),
        static_cast<const void*>(daes::CompiledCode()),
        static_cast<const void*>(ProcessHomotopy()),
        static_cast<const void*>(GetCurrentDelayMgr()),
        static_cast<const void*>(GetSensitivityManager()),
        static_cast<const void*>(EngineOptionsHandler())}) {
    EXPECT_EQ(left, nullptr);
  }
}

}  // namespace
