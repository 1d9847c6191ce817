// Writes the estimation definition of service-110 message 92 the way the
// client does, with variable references as the fakes' u32 ids.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/analysis/body_writer.h"

namespace analysis_fakes {

struct ExperimentRecord {
  struct Input {
    std::uint32_t variable;
    std::vector<std::pair<double, double>> points;
  };
  struct Initial {
    std::uint32_t variable;
    double value;
  };
  struct Entry {
    std::uint32_t variable;
    double time;  // dynamic only
    double observed;
    bool has_weight;
    double weight;
  };
  std::string name;
  bool dynamic = false;
  std::vector<Input> inputs;
  std::vector<Initial> initial_values;
  std::vector<Initial> initial_rates;
  std::vector<std::uint32_t> measured;
  std::vector<Entry> entries;
  double weight = 1.0;
  std::uint32_t snapshot_request = 0xFFFFFFFFu;
  std::string snapshot;
};

struct DefinitionRecord {
  struct Estimated {
    std::uint32_t variable;
    double a, b;
  };
  struct Record {
    std::uint32_t variable;
    double initial, c, d;
  };
  std::vector<Estimated> estimated;
  std::vector<ExperimentRecord> experiments;
  std::uint32_t heteroscedasticity = 0;
  std::vector<Record> records;
  std::uint32_t single = 0;
};

inline void WriteExperiment(BodyWriter& w, const ExperimentRecord& e) {
  w.Str(e.name).U16(e.dynamic ? 0 : 1).U16(static_cast<std::uint16_t>(e.inputs.size()));
  if (e.dynamic) {
    w.U16(static_cast<std::uint16_t>(e.initial_values.size()));
    w.U16(static_cast<std::uint16_t>(e.initial_rates.size()));
  }
  w.U16(static_cast<std::uint16_t>(e.measured.size()));
  w.U16(static_cast<std::uint16_t>(e.entries.size()));
  w.F64(e.weight);
  if (e.dynamic) {
    for (const auto& i : e.initial_values) w.U32(i.variable).F64(i.value);
    for (const auto& i : e.initial_rates) w.U32(i.variable).F64(i.value);
  }
  for (const auto& input : e.inputs) {
    w.U32(input.variable).U32(static_cast<std::uint32_t>(input.points.size()));
    for (const auto& [t, v] : input.points) w.F64(t).F64(v);
  }
  for (std::uint32_t m : e.measured) w.U32(m);
  for (const auto& entry : e.entries) {
    w.U32(entry.variable);
    if (e.dynamic) w.F64(entry.time);
    w.F64(entry.observed).U8(entry.has_weight ? 1 : 0);
    if (entry.has_weight) w.F64(entry.weight);
  }
  w.U32(e.snapshot_request).Str(e.snapshot);
}

// Kind 92 and the definition.
inline BodyWriter DefinitionMessage(const DefinitionRecord& d) {
  BodyWriter w;
  w.U16(92).U16(static_cast<std::uint16_t>(d.estimated.size()));
  for (const auto& e : d.estimated) w.U32(e.variable).F64(e.a).F64(e.b);
  w.U16(static_cast<std::uint16_t>(d.experiments.size()));
  for (const auto& e : d.experiments) WriteExperiment(w, e);
  w.U32(d.heteroscedasticity).U32(static_cast<std::uint32_t>(d.records.size()));
  for (const auto& r : d.records) w.U32(r.variable).F64(r.initial).F64(r.c).F64(r.d);
  w.U32(d.single);
  return w;
}

}  // namespace analysis_fakes
