// How each optimiser's own end codes become the step results the engine
// reads (see nlp_system.h), before the final point is checked for
// feasibility.
#pragma once

#include <cstdint>
#include <cstring>

#include "outside/nlp/nlp_system.h"

namespace kvsnlp {

// NLopt 2.7 results of NLOPT_LD_SLSQP. A general failure is read by its
// message; the stop value is set only to catch an unbounded objective.
inline std::int32_t SlsqpStepResult(int code, const char* message) {
  switch (code) {
    case 1:  // NLOPT_SUCCESS
    case 3:  // NLOPT_FTOL_REACHED
    case 4:  // NLOPT_XTOL_REACHED
      return kConverged;
    case 2:  // NLOPT_STOPVAL_REACHED
      return kUnbounded;
    case 5:  // NLOPT_MAXEVAL_REACHED
    case 6:  // NLOPT_MAXTIME_REACHED
      return kLimit;
    case -4:  // NLOPT_ROUNDOFF_LIMITED
      return kAccuracyLimit;
    case -1:  // NLOPT_FAILURE
      if (message != nullptr) {
        if (std::strstr(message, "incompatible") != nullptr) return kInfeasible;
        if (std::strstr(message, "directional derivative") != nullptr) return kUphill;
        if (std::strstr(message, "Iteration limit") != nullptr) return kLimit;
        if (std::strstr(message, "LSQ subproblem") != nullptr) return kAccuracyLimit;
      }
      return kFailed;
    case -2:  // NLOPT_INVALID_ARGS
      return kBadProblem;
    case -5:  // NLOPT_FORCED_STOP
      return kStopped;
    default:  // NLOPT_OUT_OF_MEMORY and anything newer
      return kFailed;
  }
}

// Ipopt 3.11 ApplicationReturnStatus values.
inline std::int32_t IpoptStepResult(int code) {
  switch (code) {
    case 0:  // Solve_Succeeded
    case 1:  // Solved_To_Acceptable_Level
    case 6:  // Feasible_Point_Found
      return kConverged;
    case 2:   // Infeasible_Problem_Detected
    case -2:  // Restoration_Failed
      return kInfeasible;
    case 3:   // Search_Direction_Becomes_Too_Small
    case -3:  // Error_In_Step_Computation
      return kAccuracyLimit;
    case 4:  // Diverging_Iterates
      return kUnbounded;
    case 5:  // User_Requested_Stop
      return kStopped;
    case -1:  // Maximum_Iterations_Exceeded
    case -4:  // Maximum_CpuTime_Exceeded
      return kLimit;
    case -10:  // Not_Enough_Degrees_Of_Freedom
    case -11:  // Invalid_Problem_Definition
    case -12:  // Invalid_Option
      return kBadProblem;
    case -13:  // Invalid_Number_Detected
      return kEvaluationFailed;
    default:
      return kFailed;
  }
}

// Ipopt 3.11's name for an ApplicationReturnStatus value, for the line that
// says why a run ended.
inline const char* IpoptStatusName(int code) {
  switch (code) {
    case 0:
      return "Solve_Succeeded";
    case 1:
      return "Solved_To_Acceptable_Level";
    case 2:
      return "Infeasible_Problem_Detected";
    case 3:
      return "Search_Direction_Becomes_Too_Small";
    case 4:
      return "Diverging_Iterates";
    case 5:
      return "User_Requested_Stop";
    case 6:
      return "Feasible_Point_Found";
    case -1:
      return "Maximum_Iterations_Exceeded";
    case -2:
      return "Restoration_Failed";
    case -3:
      return "Error_In_Step_Computation";
    case -4:
      return "Maximum_CpuTime_Exceeded";
    case -10:
      return "Not_Enough_Degrees_Of_Freedom";
    case -11:
      return "Invalid_Problem_Definition";
    case -12:
      return "Invalid_Option";
    case -13:
      return "Invalid_Number_Detected";
    case -100:
      return "Unrecoverable_Exception";
    case -101:
      return "NonIpopt_Exception_Thrown";
    case -102:
      return "Insufficient_Memory";
    default:
      return "Internal_Error";
  }
}

}  // namespace kvsnlp
