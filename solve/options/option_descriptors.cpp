#include "solve/options/option_descriptors.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

#include "foundation/messages/su_print.h"
#include "foundation/values/typed_value.h"

namespace {

// clang-format off
constexpr std::array<OptionDescriptor, kOptionRowCount + 1> kRows = {{
    {0, "EqnTol", 0, 24, "Double", "1.0E-5", ">0.0", "1.0", "", CheckRealOption, 0x0},
    {1, "AbsTol", 1, 24, "Double", "1.0E-5", ">0.0", "1.0", "", CheckRealOption, 0x0},
    {2, "RelTol", 2, 24, "Double", "1.0E-5", ">0.0", "1.0", "", CheckRealOption, 0x0},
    {3, "RelTearTol", 3, 24, "Double", "1.0E-5", ">0.0", "1.0", "", CheckRealOption, 0x0},
    {4, "AbsTearTol", 4, 24, "Double", "1.0E-5", ">0.0", "1.0", "", CheckRealOption, 0x0},
    {5, "ExplicitEventTolerance", 7, 24, "Double", "1.e-5", ">0.0", "1e20", "", CheckRealOption, 0x0},
    {6, "Nonlinear.BoundClip", 8, 24, "Double", "1.0E-6", "0.0", "1.0", "", CheckRealOption, 0x0},
    {7, "Nonlinear.BoundFrac", 9, 24, "Double", "1.0", ">0.0", "1", "", CheckRealOption, 0x0},
    {8, "Nonlinear.RangeFrac", 10, 24, "Double", "0.0", "0.0", "10000", "", CheckRealOption, 0x0},
    {9, "Nonlinear.AbsPert", 11, 24, "Double", "1.0E-5", ">0.0", "1.0E-5", "", CheckRealOption, 0x0},
    {10, "Nonlinear.SingPert", 12, 24, "Double", "1.0E-2", "0.0", "1.0", "", CheckRealOption, 0x0},
    {11, "Nonlinear.MaxVarStep", 13, 24, "Double", "50.0", "0.1", "1.0E12", "", CheckRealOption, 0x0},
    {12, "SLU.DropTol", 17, 24, "Double", "0.0", "0.0", "1.0", "", CheckRealOption, 0x0},
    {13, "SLU.PivotTol", 20, 24, "Double", "1e-50", "0.0", "1.0", "", CheckRealOption, 0x0},
    {14, "SLU.UseTranspose", 21, 4, "Integer", "0", "0", "1", "", CheckRealOption, 0x0},
    {15, "Nonlinear.MaxIter", 24, 4, "Integer", "100", "1", "1000000", "", CheckIntegerOption, 0x0},
    {16, "LinearSolver", 25, 4, "Integer", "4", "4", "5", "!!!!SLU!MFL", CheckIntegerOption, 0x4},
    {17, "Integrator", 30, 4, "Integer", "3", "1", "7", "!Euler!RK4!ImplicitEuler!Gear12!*VSIE!*ImpEuler!*Gear", CheckIntegerOption, 0x4},
    {18, "PrintLevel", 31, 4, "Integer", "2", "0", "5", "", CheckIntegerOption, 0x0},
    {19, "Nonlinear.MathsPrint", 32, 4, "Integer", "0", "-2", "", "", CheckIntegerOption, 0x0},
    {20, "Nonlinear.Dogleg", 33, 4, "Boolean", "0", "0", "1", "", CheckBooleanOption, 0x0},
    {21, "Nonlinear.HiResidual", 34, 4, "Integer", "0", "0", "", "", CheckIntegerOption, 0x0},
    {22, "Nonlinear.HiVarSteps", 35, 4, "Integer", "0", "0", "", "", CheckIntegerOption, 0x0},
    {23, "Nonlinear.ConvCrit", 36, 4, "Integer", "0", "0", "3", "Residual!Variable!ResidualAndVariable!ResidualOrVariable", CheckIntegerOption, 0x0},
    {24, "Nonlinear.BestOnFail", 37, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {25, "Nonlinear.Method", 38, 4, "Integer", "3", "0", "3", "Hybrid!Newton!Fast Newton!Mixed Newton", CheckIntegerOption, 0x0},
    {26, "Nonlinear.MaxStepRed", 39, 4, "Integer", "10", "1", "100", "", CheckIntegerOption, 0x0},
    {27, "Nonlinear.MaxDivSteps", 40, 4, "Integer", "10", "0", "10000", "", CheckIntegerOption, 0x0},
    {28, "Nonlinear.CreepIter", 41, 4, "Integer", "0", "0", "10000000", "", CheckIntegerOption, 0x0},
    {29, "Nonlinear.CreepSize", 42, 24, "Double", "0.1", "1.e-16", "1.0", "", CheckRealOption, 0x0},
    {30, "EquationSensCheck", 50, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {31, "EquationSensTol", 51, 24, "Double", "1e10", "0.0", "", "", CheckRealOption, 0x0},
    {32, "RelativeSingularityCheck", 52, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {33, "RelativeSingularityTol", 53, 24, "Double", "1e-2", "0.0", "1.0", "", CheckRealOption, 0x0},
    {34, "AbsoluteSingularityTol", 54, 24, "Double", "1e-4", "0.0", "1.0", "", CheckRealOption, 0x0},
    {35, "TearUpdate", 55, 4, "Integer", "1", "0", "1", "Wegstein!Direct", CheckIntegerOption, 0x0},
    {36, "Wegstein.MinAcceleration", 56, 24, "Double", "-5.0", "-inf", "+inf", "", CheckRealOption, 0x0},
    {37, "Wegstein.MaxAcceleration", 57, 24, "Double", "0.0", "-inf", "+inf", "", CheckRealOption, 0x0},
    {38, "Scaling", 70, 4, "Boolean", "0", "0", "1", "", CheckBooleanOption, 0x0},
    {39, "ChangeTol", 74, 24, "Double", "1.0E-5", ">0.0", "1.0", "", CheckRealOption, 0x0},
    {40, "AbsPerturb", 75, 24, "Double", "1.0E-5", "1.0E-15", "1.0E-1", "", CheckRealOption, 0x0},
    {41, "RelPerturb", 76, 24, "Double", "1.0E-5", "1.0E-15", "1.0E-1", "", CheckRealOption, 0x0},
    {42, "PropInfo", 77, 4, "Integer", "-1", "-1", "3", "", CheckIntegerOption, 0x0},
    {43, "CheckProcDerivs", 78, 4, "Integer", "0", "0", "1", "Off!Active derivatives", CheckIntegerOption, 0x0},
    {44, "WatchGroup", 79, 4, "Integer", "0", "0", "", "", CheckIntegerOption, 0x0},
    {45, "Optimizer", 80, 4, "Integer", "1", "1", "10", "", CheckIntegerOption, 0x0},
    {46, "AssignmentWarningsEnabled", 85, 1, "Boolean", "TRUE", "", "", "", CheckBooleanOption, 0x0},
    {47, "Estimator", 86, 4, "Integer", "1", "1", "2", "", CheckIntegerOption, 0x0},
    {48, "Nls.RelFuncTol", 87, 24, "Double", "1.0E-4", ">0.0", "0.1", "", CheckRealOption, 0x0},
    {49, "Nls.AbsFuncTol", 88, 24, "Double", "1.0E-20", ">0.0", "1.0", "", CheckRealOption, 0x0},
    {50, "Nls.SolTol", 89, 24, "Double", "1.0E-4", ">0.0", "1.0", "", CheckRealOption, 0x0},
    {51, "Nls.FalseConvTol", 90, 24, "Double", "0.0", "0.0", "1.0", "", CheckRealOption, 0x0},
    {52, "Nls.MaxIter", 91, 4, "Integer", "50", "0", "1000000", "", CheckIntegerOption, 0x0},
    {53, "Homotopy.InitialStep", 92, 24, "Double", "0.1", ">0.0", "1.0", "", CheckRealOption, 0x11},
    {54, "Homotopy.MaximumStep", 93, 24, "Double", "1.0", ">0.0", "1.0", "", CheckRealOption, 0x11},
    {55, "Homotopy.MinimumStep", 94, 24, "Double", "0.01", ">0.0", "1.0", "", CheckRealOption, 0x11},
    {56, "Homotopy.StepIncrement", 95, 4, "Integer", "10", "1", "", "", CheckIntegerOption, 0x21},
    {57, "Homotopy.StepDecrement", 96, 24, "Double", "0.5", ">0.0", "<1.0", "", CheckRealOption, 0x11},
    {58, "Tearing", 97, 4, "Integer", "1", "0", "3", "none!update!start!complete", CheckIntegerOption, 0x0},
    {59, "MaxTearIter", 98, 4, "Integer", "100", "0", "+inf", "", CheckIntegerOption, 0x0},
    {60, "SLU.Repivot", 99, 4, "Integer", "0", "0", "10000", "", CheckIntegerOption, 0x0},
    {61, "SLU.PivotSearch", 100, 4, "Integer", "3", "0", "+inf", "", CheckIntegerOption, 0x0},
    {62, "EstimationReturntoBestPoint", 101, 1, "Boolean", "FALSE", "", "", "", CheckBooleanOption, 0x0},
    {63, "Nonlinear.MaxFastNewtonSteps", 102, 4, "Integer", "5", "1", "", "", CheckIntegerOption, 0x0},
    {64, "DerivRelTol", 109, 24, "Double", "0.1", "0", "1", "", CheckRealOption, 0x0},
    {65, "DerivAbsTol", 110, 24, "Double", "0.001", "0", "1", "", CheckRealOption, 0x0},
    {66, "Compression", 111, 4, "Boolean", "1", "0", "1", "", CheckBooleanOption, 0x0},
    {67, "Feasopt.ObjFun", 112, 4, "Integer", "0", "0", "1", "Minimize!Maximize", CheckIntegerOption, 0x3},
    {68, "OptimizationObjFun", 112, 4, "Integer", "0", "0", "1", "Minimize!Maximize", CheckIntegerOption, 0x0},
    {69, "Feasopt.MaxEval", 113, 4, "Integer", "100", ">0", "+inf", "", CheckIntegerOption, 0x0},
    {70, "Feasopt.OptTol", 114, 24, "Double", "1.0E-4", ">0.0", "1.0E308", "", CheckRealOption, 0x0},
    {71, "Feasopt.MaxRelStep", 115, 24, "Double", "10", ">0.0", "1.0E10", "", CheckRealOption, 0x0},
    {72, "Feasopt.MaxAbsStep", 116, 24, "Double", "10", ">0.0", "1.0E10", "", CheckRealOption, 0x0},
    {73, "WatchSubGroup", 117, 4, "Integer", "0", "0", "", "", CheckIntegerOption, 0x0},
    {74, "UseCompiledEvaluation", 118, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {75, "KeepCompiledEvaluationFiles", 119, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {76, "SensErrorCheck", 120, 4, "Boolean", "1", "0", "1", "", CheckBooleanOption, 0x0},
    {77, "LogLikelihood.SolTol", 121, 24, "Double", "1.0E-4", ">0.0", "", "", CheckRealOption, 0x0},
    {78, "LogLikelihood.MaxIter", 122, 4, "Integer", "100", "0", "1000000", "", CheckIntegerOption, 0x0},
    {79, "SyncSteps", 123, 4, "Integer", "0", "0", "3", "Full!Low!Medium!High", CheckIntegerOption, 0x0},
    {80, "EstimationSolver", 124, 4, "Integer", "2", "1", "10", "", CheckIntegerOption, 0x0},
    {81, "OpenOPTSolver", 125, 68, "String", "", "", "", "", CheckStringOption, 0x0},
    {82, "OpenESTSolver", 126, 68, "String", "", "", "", "", CheckStringOption, 0x0},
    {83, "EstimationPrintLevel", 127, 4, "Integer", "2", "0", "4", "None!Low!Medium!High!Very High", CheckIntegerOption, 0x0},
    {84, "OptimizationPrintLevel", 128, 4, "Integer", "2", "0", "4", "None!Low!Medium!High!Very High", CheckIntegerOption, 0x0},
    {85, "Integration.MaxOrder", 129, 4, "Integer", "5", "1", "5", "", CheckIntegerOption, 0x0},
    {86, "Integration.RelErrorTol", 130, 24, "Double", "1.e-5", "0", "1", "", CheckRealOption, 0x0},
    {87, "Integration.AbsErrorTol", 131, 24, "Double", "1.e-5", "0", "1", "", CheckRealOption, 0x0},
    {88, "Integration.RelTearTol", 132, 24, "Double", "1.e-5", "0", "1", "", CheckRealOption, 0x0},
    {89, "Integration.AbsTearTol", 133, 24, "Double", "1.e-5", "0", "1", "", CheckRealOption, 0x0},
    {90, "Integration.RcvTornVars", 134, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {91, "Integration.TestSAndAVars", 135, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {92, "Integration.IncSensErrors", 136, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {93, "Integration.StepSizeType", 137, 4, "Integer", "1", "0", "1", "Fixed!Variable", CheckIntegerOption, 0x0},
    {94, "Integration.StepSize", 138, 24, "Double", "0.01", "0", "", "", CheckRealOption, 0x0},
    {95, "Integration.InitStepSize", 139, 24, "Double", "0.005", "0", "", "", CheckRealOption, 0x0},
    {96, "Integration.MinStepSize", 140, 24, "Double", "0.001", "0", "", "", CheckRealOption, 0x0},
    {97, "Integration.MaxStepSize", 141, 24, "Double", "1.0", "0", "1.0E10", "", CheckRealOption, 0x0},
    {98, "Integration.EnforceMinStep", 142, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {99, "Integration.ItplToComTime", 143, 4, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {100, "Integration.LocateIEvents", 144, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {101, "Integration.ReInitAfterIE", 145, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {102, "Integration.ReInitAfterEE", 146, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {103, "Integration.UsePrevAfterEE", 147, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {104, "Integration.ShowHIErrors", 148, 4, "Integer", "0", "0", "", "", CheckIntegerOption, 0x0},
    {105, "Integration.ShowHTIErrors", 149, 4, "Integer", "0", "0", "", "", CheckIntegerOption, 0x0},
    {106, "Integration.StepRedFact", 150, 24, "Double", "0.5", ">0.0", "<1.0", "", CheckRealOption, 0x0},
    {107, "Integration.ProgID", 151, 68, "String", "Brunvald.UnifiedIntegrator", "", "", "", CheckStringOption, 0x0},
    {108, "Decomposer.ProgID", 152, 68, "String", "Brunvald.Decomposer", "", "", "", CheckStringOption, 0x0},
    {109, "Decomposition.MultipleGroup", 153, 4, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {110, "SnapshotSettings.SaveConvergedOnly", 154, 4, "Boolean", "TRUE", "", "", "", CheckBooleanOption, 0x0},
    {111, "UseSavedSnapshotOnLoad", 155, 4, "Boolean", "FALSE", "", "", "", CheckBooleanOption, 0x0},
    {112, "Integration.DiscontinuityEventTol", 156, 24, "Double", "1.e-5", ">0.0", "1e20", "", CheckRealOption, 0x0},
    {113, "Homotopy.HomotopyEnabled", 157, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {114, "Homotopy.Bounded", 158, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {115, "Homotopy.Delta", 159, 24, "Double", "0.1", "0.0", "1.0", "", CheckRealOption, 0x0},
    {116, "Homotopy.RelErr", 160, 24, "Double", "1E-4", "0.0", "1.0", "", CheckRealOption, 0x0},
    {117, "Homotopy.HomotopyType", 161, 4, "Integer", "1", "0", "1", "Point!Newton", CheckIntegerOption, 0x0},
    {118, "Homotopy.MaxIters", 162, 4, "Integer", "5000", "0", "10000000", "", CheckIntegerOption, 0x0},
    {119, "Homotopy.MaxRelStep", 163, 24, "Double", "1.0", "0.0", "1.0", "", CheckRealOption, 0x0},
    {120, "Homotopy.OnlyOnFail", 164, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {121, "Homotopy.WeightJac", 165, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {122, "Homotopy.Write", 166, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {123, "NLASolver", 167, 4, "Integer", "0", "0", "2", "Standard!DMO!OpenSolver", CheckIntegerOption, 0x1},
    {124, "ListEquivalenceVariables", 168, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {125, "Integration.RewindToLastConvStep", 169, 4, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {126, "SLU.MaxRefineIter", 170, 4, "Integer", "10", "0", "50", "", CheckIntegerOption, 0x0},
    {127, "SLU.EnableRefineIter", 171, 1, "Boolean", "TRUE", "", "", "", CheckBooleanOption, 0x0},
    {128, "SSSens", -1, 1, "Boolean", "FALSE", "", "", "", CheckBooleanOption, 0x0},
    {129, "CompressionLevel", -1, 4, "Integer", "0", "0", "1", "Full!Selective", CheckIntegerOption, 0x0},
    {130, "CompressionTol", -1, 24, "Double", "1.0E-6", "0.0", "1.0", "", CheckRealOption, 0x0},
    {131, "ImplicitEventTolerance", -1, 24, "Double", "1.e-5", ">0.0", "1e20", "", CheckRealOption, 0x0},
    {132, "Time_Step", -1, 24, "Double", "0.01", ">0.0", "", "", CheckRealOption, 0x0},
    {133, "NumberIntervals", -1, 4, "Integer", "100", "1", "", "", CheckIntegerOption, 0x0},
    {134, "Euler.StepSize", -1, 24, "Double", "0.01", ">0.0", "", "", CheckRealOption, 0x0},
    {135, "RK4.Interpolation", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {136, "RK4.InitialStep", -1, 24, "Double", "0.01", ">0.0", "", "", CheckRealOption, 0x0},
    {137, "RK4.MaximumStep", -1, 24, "Double", "1.0", ">0.0", "", "", CheckRealOption, 0x0},
    {138, "VSIE.InitialStep", -1, 24, "Double", "0.005", ">0.0", "", "", CheckRealOption, 0x0},
    {139, "VSIE.MinimumStep", -1, 24, "Double", "0.001", ">0.0", "", "", CheckRealOption, 0x0},
    {140, "VSIE.MaximumStep", -1, 24, "Double", "1.0", ">0.0", "", "", CheckRealOption, 0x0},
    {141, "VSIE.StepRedFact", -1, 24, "Double", "0.5", ">0.0", "<1.0", "", CheckRealOption, 0x0},
    {142, "VSIE.MaxIncFact", -1, 24, "Double", "1.5", ">1.0", "", "", CheckRealOption, 0x0},
    {143, "VSIE.Interpolation", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {144, "VSIE.HighestErrors", -1, 4, "Integer", "0", "0", "", "", CheckIntegerOption, 0x0},
    {145, "VSIE.MaxCorIter", -1, 4, "Integer", "5", "1", "", "", CheckIntegerOption, 0x0},
    {146, "VSIE.AbsErrTol", -1, 24, "Double", "1.e-5", "0", "1", "", CheckRealOption, 0x0},
    {147, "VSIE.TearErrTol", -1, 24, "Double", "1.e-5", "0", "1", "", CheckRealOption, 0x0},
    {148, "VSIE.ReconvergeTorns", -1, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {149, "ImpEuler.Step", -1, 24, "Double", "0.01", ">0.0", "", "", CheckRealOption, 0x0},
    {150, "ImpEuler.Prediction", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {151, "Gear.HighestErrors", -1, 4, "Integer", "0", "0", "", "", CheckIntegerOption, 0x0},
    {152, "Gear.InitialStep", -1, 24, "Double", "0.005", ">0.0", "", "", CheckRealOption, 0x0},
    {153, "Gear.MinimumStep", -1, 24, "Double", "0.001", ">0.0", "", "", CheckRealOption, 0x0},
    {154, "Gear.MaximumStep", -1, 24, "Double", "1.0", ">0.0", "", "", CheckRealOption, 0x0},
    {155, "Gear.Reinit", -1, 4, "Integer", "2", "0", "2", "Normal!Fast!Save", CheckIntegerOption, 0x0},
    {156, "Gear.BoundCheck", -1, 4, "Integer", "1", "0", "2", "Off!Track!Clip", CheckIntegerOption, 0x0},
    {157, "Gear.EventTol", -1, 24, "Double", "1.e-5", ">0.0", "1e20", "", CheckRealOption, 0x0},
    {158, "Gear.JacUpdate", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {159, "Gear.MaxCorSteps", -1, 4, "Integer", "5", "1", "", "", CheckIntegerOption, 0x0},
    {160, "Gear.MaxCorIter", -1, 4, "Integer", "5", "1", "", "", CheckIntegerOption, 0x0},
    {161, "SLU0.DropTol", -1, 24, "Double", "0.0", "0.0", "1.0", "", CheckRealOption, 0x0},
    {162, "SLU.ReanalyzeThreshold", -1, 24, "Double", "10.0", "1.0", "", "", CheckRealOption, 0x0},
    {163, "SLU.ReanalyzeWindow", -1, 4, "Integer", "0", "0", "", "", CheckIntegerOption, 0x0},
    {164, "VariableSub", -1, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {165, "DiagnosticInfo", -1, 4, "Integer", "0", "0", "5", "", CheckIntegerOption, 0x0},
    {166, "Nls.PrintLevel", -1, 4, "Integer", "0", "0", "4", "", CheckIntegerOption, 0x0},
    {167, "Nls.CovarianceMeth", -1, 4, "Integer", "1", "0", "3", "", CheckIntegerOption, 0x0},
    {168, "Nls.QuadConvCheck", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {169, "Feasopt.PrintLevel", -1, 4, "Integer", "0", "0", "4", "", CheckIntegerOption, 0x0},
    {170, "TimeSettings.CommunicationInterval", -1, 24, "Double", "0.01", ">0.0", "", "", CheckRealOption, 0x0},
    {171, "TimeSettings.CommunicationUnits", -1, 68, "String", "Hours", "", "", "", CheckStringOption, 0x0},
    {172, "TimeSettings.DisplayUpdateInterval", -1, 24, "Double", "1.0", ">0.0", "", "", CheckRealOption, 0x0},
    {173, "TimeSettings.PauseAt", -1, 24, "Double", "0.0", "0.0", "", "", CheckRealOption, 0x0},
    {174, "TimeSettings.EnablePauseAt", -1, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {175, "TimeSettings.StepFor", -1, 24, "Double", "1.0", ">0.0", "", "", CheckRealOption, 0x0},
    {176, "TimeSettings.EnableStepFor", -1, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {177, "TimeSettings.RealTimeSyncFactor", -1, 24, "Double", "0.0", "0.0", "", "", CheckRealOption, 0x0},
    {178, "TimeSettings.RecordHistory", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {179, "TimeSettings.TimeDisplayUnits", -1, 68, "String", "Hours", "", "", "", CheckStringOption, 0x0},
    {180, "SnapshotSettings.Interval", -1, 24, "Double", "1.0", ">0.0", "", "", CheckRealOption, 0x0},
    {181, "SnapshotSettings.EnableRegularSnapshot", -1, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {182, "SnapshotSettings.Maximum", -1, 4, "Integer", "10", "1", "", "", CheckIntegerOption, 0x0},
    {183, "SnapshotSettings.EnableMaximum", -1, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {184, "SnapshotSettings.EnableonReinitialization", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {185, "CurrentUOMSet", -1, 68, "String", "SI", "", "", "", CheckStringOption, 0x0},
    {186, "RunMode", -1, 4, "Integer", "1", "1", "5", "!SteadyState!Optimization!Estimation!Dynamic!Initialization", CheckIntegerOption, 0x0},
    {187, "LogLikelihood.PrintLevel", -1, 4, "Integer", "0", "0", "4", "", CheckRealOption, 0x0},
    {188, "OpenNLASolver", -1, 68, "String", "", "", "", "", CheckStringOption, 0x0},
    {189, "SnapshotSettings.TakeAutoSnapshots", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {190, "SaveFreeVariableValues", -1, 1, "Boolean", "FALSE", "0", "1", "", CheckBooleanOption, 0x0},
    {191, "OpenLASolver", -1, 68, "String", "", "", "", "", CheckStringOption, 0x0},
    {192, "SnapshotSettings.EnableSteadyState", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {193, "SnapshotSettings.EnableInitialization", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {194, "SnapshotSettings.EnableDynInitialization", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {195, "SnapshotSettings.EnableInitialSpec", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {196, "SnapshotSettings.EnableProblemEdit", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {197, "SnapshotSettings.EnableFileSaved", -1, 1, "Boolean", "TRUE", "0", "1", "", CheckBooleanOption, 0x0},
    {198, "Integration.MaxSteps", 103, 4, "Integer", "100000000", "1", "", "", CheckIntegerOption, 0x0},
    {199, "", -1, 0, "", "", "", "", "", nullptr, 0},
}};
// clang-format on

// The options the integrator server may name instead of numbering them,
// sorted without letter case for the binary search.
struct NamedNumber {
  const char* name;
  std::int32_t number;
};
constexpr std::array<NamedNumber, 26> kIntegratorNames = {{
    {"INTEGRATION.ABSERRORTOL", 131},
    {"INTEGRATION.ABSTEARTOL", 133},
    {"INTEGRATION.DISCONTINUITYEVENTTOL", 156},
    {"INTEGRATION.ENFORCEMINSTEP", 142},
    {"INTEGRATION.INCSENSERRORS", 136},
    {"INTEGRATION.INITSTEPSIZE", 139},
    {"INTEGRATION.ITPLTOCOMTIME", 143},
    {"INTEGRATION.LOCATEIEVENTS", 144},
    {"INTEGRATION.MAXORDER", 129},
    {"INTEGRATION.MAXSTEPSIZE", 141},
    {"INTEGRATION.MINSTEPSIZE", 140},
    {"INTEGRATION.RCVTORNVARS", 134},
    {"INTEGRATION.REINITAFTEREE", 146},
    {"INTEGRATION.REINITAFTERIE", 145},
    {"INTEGRATION.RELERRORTOL", 130},
    {"INTEGRATION.RELTEARTOL", 132},
    {"INTEGRATION.REWINDTOLASTCONVSTEP", 169},
    {"INTEGRATION.SHOWHIERRORS", 148},
    {"INTEGRATION.SHOWHTIERRORS", 149},
    {"INTEGRATION.STEPREDFACT", 150},
    {"INTEGRATION.STEPSIZE", 138},
    {"INTEGRATION.STEPSIZETYPE", 137},
    {"INTEGRATION.TESTSANDAVARS", 135},
    {"INTEGRATION.USEPREVAFTEREE", 147},
    {"SENSERRORCHECK", 120},
    {"TEARING", 97},
}};

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

bool OnlyBlanksFrom(const char* end) {
  while (*end != '\0' && IsBlank(*end)) ++end;
  return *end == '\0';
}

bool ReadReal(const char* text, double* value) {
  if (text == nullptr) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text, &end);
  return end != text && errno != ERANGE && OnlyBlanksFrom(end);
}

// A decimal integer: a digit first, or a sign and then a digit.
bool ReadDecimal(const char* text, std::int32_t* value) {
  if (text == nullptr) return false;
  const char* digits = (text[0] == '+' || text[0] == '-') ? text + 1 : text;
  if (!IsDigit(digits[0])) return false;
  char* end = nullptr;
  errno = 0;
  const long long read = std::strtoll(text, &end, 10);
  if (errno == ERANGE || read < INT32_MIN || read > INT32_MAX || !OnlyBlanksFrom(end)) return false;
  *value = static_cast<std::int32_t>(read);
  return true;
}

// True when `value` lies within the row's bounds. An unreadable bound text
// binds nothing.
bool WithinBounds(const OptionDescriptor& row, double value) {
  const std::string_view lower = row.lower;
  if (!lower.empty() && lower != "-inf") {
    const bool exclusive = lower[0] == '>';
    double bound = 0.0;
    if (ReadReal(row.lower + (exclusive ? 1 : 0), &bound) &&
        (exclusive ? !(value > bound) : !(value >= bound))) {
      return false;
    }
  }
  const std::string_view upper = row.upper;
  if (!upper.empty() && upper != "+inf") {
    const bool exclusive = upper[0] == '<';
    double bound = 0.0;
    if (ReadReal(row.upper + (exclusive ? 1 : 0), &bound) &&
        (exclusive ? !(value < bound) : !(value <= bound))) {
      return false;
    }
  }
  return true;
}

bool HasChoices(const OptionDescriptor& row) { return row.choices[0] != '\0'; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

const OptionDescriptor* OptionDescriptors() { return kRows.data(); }

const OptionDescriptor* FindOptionDescriptor(const char* name) {
  if (name == nullptr) return nullptr;
  for (std::int32_t i = 0; i < kOptionRowCount; ++i) {
    if (SUValue::CompareCI(kRows[i].name, name) == 0) return &kRows[i];
  }
  return nullptr;
}

std::int32_t CheckRealOption(const OptionDescriptor& row, const char* text, std::int32_t type_code,
                             std::int32_t*) {
  if (type_code != SUValue::kNoType && type_code != SUValue::kInteger &&
      type_code != SUValue::kReal) {
    return kOptionWrongType;
  }
  double value = 0.0;
  if (!ReadReal(text, &value)) return kOptionNotRecognised;
  return WithinBounds(row, value) ? kOptionAccepted : kOptionOutOfBounds;
}

std::int32_t CheckIntegerOption(const OptionDescriptor& row, const char* text,
                                std::int32_t type_code, std::int32_t* out) {
  if (type_code != SUValue::kNoType) {
    const bool allowed = HasChoices(row) ? type_code == SUValue::kString ||
                                               ((row.flags & kOptionRowAcceptsNumber) != 0 &&
                                                type_code == SUValue::kInteger)
                                         : type_code == SUValue::kInteger;
    if (!allowed) return kOptionWrongType;
  }
  const std::int32_t resolved = ResolveOptionChoice(row, text, out);
  if (resolved != kOptionAccepted && resolved != kOptionRetiredChoice) return kOptionNotRecognised;
  return WithinBounds(row, *out) ? resolved : kOptionOutOfBounds;
}

const OptionDescriptor* OptionDescriptorOf(std::int32_t number) {
  if (number < 0) return nullptr;
  for (std::int32_t i = 0; i < kOptionRowCount; ++i) {
    if (kRows[i].number == number) return &kRows[i];
  }
  return nullptr;
}

bool OptionOutOfBounds(std::int32_t number, double value) {
  const OptionDescriptor* row = OptionDescriptorOf(number);
  return row != nullptr && !WithinBounds(*row, value);
}

void TellOptionNotUsed(const char* reader, std::int32_t number, std::int32_t stored,
                       const std::string& used) {
  // Readers read again at every solve (or step): the client hears it once.
  static std::mutex told_lock;
  static std::map<std::pair<std::string, std::int32_t>, std::int32_t> told;
  {
    const std::lock_guard<std::mutex> hold(told_lock);
    const auto [at, fresh] = told.try_emplace({reader, number}, stored);
    if (!fresh && at->second == stored) return;
    at->second = stored;
  }
  const OptionDescriptor* row = OptionDescriptorOf(number);
  const std::string name = row != nullptr ? row->name : "option " + std::to_string(number);
  SuPrint(0, "The %s refuses %s = %d and goes on with %s", reader, name.c_str(), &stored,
          used.c_str());
}

std::int32_t CheckBooleanOption(const OptionDescriptor& row, const char* text,
                                std::int32_t type_code, std::int32_t* out) {
  if (type_code != SUValue::kNoType && type_code != SUValue::kInteger &&
      type_code != SUValue::kLogical) {
    return kOptionWrongType;
  }
  if (text != nullptr && (EqualNoCase(text, "TRUE") || EqualNoCase(text, "FALSE"))) {
    *out = EqualNoCase(text, "TRUE") ? 1 : 0;
    return kOptionAccepted;
  }
  const std::int32_t resolved = ResolveOptionChoice(row, text, out);
  if (resolved != kOptionAccepted && resolved != kOptionRetiredChoice) return kOptionNotRecognised;
  return *out >= 2 ? kOptionOutOfBounds : kOptionAccepted;
}

std::int32_t CheckStringOption(const OptionDescriptor&, const char*, std::int32_t type_code,
                               std::int32_t*) {
  return (type_code >= 1 && type_code <= 4) || type_code >= 7 ? kOptionWrongType : kOptionAccepted;
}

std::int32_t ResolveOptionChoice(const OptionDescriptor& row, const char* text, std::int32_t* out) {
  if (text == nullptr) return kOptionNotRecognised;
  if (!HasChoices(row)) return ReadDecimal(text, out) ? kOptionAccepted : kOptionNotRecognised;
  std::string_view wanted = text;
  if (wanted.size() >= 2 && wanted.front() == '"' && wanted.back() == '"') {
    wanted = wanted.substr(1, wanted.size() - 2);
  }
  std::string_view list = row.choices;
  for (std::int32_t position = 0;; ++position) {
    const std::size_t bar = list.find('!');
    std::string_view name = list.substr(0, bar);
    const bool retired = !name.empty() && name.front() == '*';
    if (retired) name.remove_prefix(1);
    if (EqualNoCase(name, wanted)) {
      *out = position;
      return retired ? kOptionRetiredChoice : kOptionAccepted;
    }
    if (bar == std::string_view::npos) break;
    list.remove_prefix(bar + 1);
  }
  if ((row.flags & kOptionRowAcceptsNumber) != 0 && ReadDecimal(text, out)) return kOptionAccepted;
  return kOptionNotRecognised;
}

std::int32_t OptionChoiceName(const OptionDescriptor& row, std::int32_t position,
                              std::string* name) {
  if (!HasChoices(row)) return kOptionWrongType;
  if (position < 0) return kOptionNotRecognised;
  std::string_view list = row.choices;
  for (std::int32_t i = 0; i < position; ++i) {
    const std::size_t bar = list.find('!');
    if (bar == std::string_view::npos) return kOptionNotRecognised;
    list.remove_prefix(bar + 1);
  }
  name->assign(list.substr(0, list.find('!')));
  return kOptionAccepted;
}

Status IntegratorOptionNameTable(const char* name, std::int32_t* number) {
  if (name == nullptr) return status::kGeneralFailure;
  std::size_t low = 0;
  std::size_t high = kIntegratorNames.size();
  while (low < high) {
    const std::size_t middle = (low + high) / 2;
    const std::int32_t order = SUValue::CompareCI(kIntegratorNames[middle].name, name);
    if (order == 0) {
      *number = kIntegratorNames[middle].number;
      return status::kOk;
    }
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return status::kGeneralFailure;
}
