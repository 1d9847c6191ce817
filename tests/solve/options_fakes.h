// Partners of the option table in tests: a client that records what it is
// told, in one log shared by all clients of a test so that the order of
// calls across clients shows, and an owner with fixed answers.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/interfaces/solver_options_owner.h"
#include "foundation/values/typed_value.h"
#include "solve/options/options_client.h"

struct ClientCall {
  const void* client;
  std::int32_t number;  // -1 for a named call
  const void* value;
  std::uint32_t id;
  std::string text;  // a named call's value, printed
};

class RecordingClient : public QLNOptionsClient {
 public:
  RecordingClient(std::vector<ClientCall>* log, Status answer = 0) : log_(log), answer_(answer) {}

  Status OptionChanged(std::int32_t number, const void* value) override {
    log_->push_back({this, number, value, 0, {}});
    return answer_;
  }
  Status NamedOptionChanged(std::uint32_t id, const SUValue& value) override {
    std::string text =
        value.GetString() != nullptr ? value.GetString() : std::to_string(value.payload.integer);
    log_->push_back({this, -1, nullptr, id, text});
    return answer_;
  }

 private:
  std::vector<ClientCall>* log_;
  Status answer_;
};

inline SUValue IntValue(std::int32_t v) { return SUValue::ConstructInt(v, SUValue::kInteger); }
inline SUValue LogicalValue(bool v) { return SUValue::ConstructInt(v ? 1 : 0, SUValue::kLogical); }
inline SUValue RealValue(double v) {
  SUValue value;
  value.SetType(SUValue::kReal);
  value.SetReal(v);
  return value;
}
inline SUValue TextValue(const char* text) {
  SUValue value;
  value.SetType(SUValue::kString);
  value.SetString(text);
  return value;
}

// An owner with a time unit and a working folder but no run folder.
class FolderOwner : public SolverOptionsOwner {
 public:
  void SetPrintLevel(std::int32_t level) override { print_level = level; }
  const char* TimeUnit(double* scale) override {
    *scale = 60.0;
    return "Minutes";
  }
  const char* WorkingFolderPath() override { return "C:\\work\\"; }
  const char* RunFolderPath() override { return nullptr; }
  std::int32_t print_level = -1;
};
