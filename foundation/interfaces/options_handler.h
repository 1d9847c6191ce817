// The options handler of the libraries the engine loads: numbered option
// requests answered from the solver options. The process-wide option table
// is one, and its address is what those libraries receive, so the class
// crosses into them: one virtual operation, fixed slot, no virtual
// destructor.
#pragma once

#include <cstdint>

// Answers numbered option requests (1..44): integer, real and text outs
// start at zero; the result is the kind of answer (1 integer, 2 real,
// 3 text, 4 integer with a label, 5 text with a real) or -1 when the
// request is unknown.
class QLNOptionsHandler {
 public:
  virtual std::int32_t OptionRequest(std::int32_t option, std::int32_t* iinfo, double* xinfo,
                                     const char** sinfo) = 0;

 protected:
  ~QLNOptionsHandler() = default;
};
