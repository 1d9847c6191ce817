// What every framework library object shares: reference counting, the
// utility component, texts handed out through the services, messages to the
// engine's handler by print level, and the parameter table.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "solve/ifaces/kvs_common.h"

// From kvs_services.so, which every framework library links.
extern "C" KVSServices* GetKVSServices();

namespace kvs {

// A copy of `text` allocated with the services (null when out of memory).
char* ServicesText(const std::string& text);

// Counts references for the most derived class; QueryInterface stays its own.
class RefCounted {
 public:
  std::uint32_t AddRefImpl() { return ++refs_; }
  std::uint32_t ReleaseImpl(void* self_deleter_tag = nullptr);

 protected:
  virtual ~RefCounted() = default;

 private:
  std::atomic<std::uint32_t> refs_{1};
};

// The texts a library's utility component answers with.
struct LibraryTexts {
  const char* version;
  const char* product;  // also the prefix of the parameter names
  const char* description;
  const char* name;  // the component name ("_KVS_SPARSE", ...)
};

// Fills one of the utility component's text answers.
Status AnswerText(const char* text, char** out);

// Sends `text` to the handler when `level` <= the print level.
class Printer {
 public:
  Printer(KVSMessagesHandler* handler, const std::int32_t* print_level)
      : handler_(handler), level_(print_level) {}
  void operator()(std::int32_t level, const char* format, ...) const
      __attribute__((format(printf, 3, 4)));

 private:
  KVSMessagesHandler* handler_;
  const std::int32_t* level_;
};

// Results of KVSParameters::Set: positive is a refusal.
inline constexpr Status kParamUnknown = 1;
inline constexpr Status kParamWrongKind = 2;
inline constexpr Status kParamOutOfRange = 3;
inline constexpr Status kParamBadArgument = 4;

// A named parameter bound to a field of its owner. Booleans are texts "YES"
// or "NO" (any case; an integer 0 or 1 is taken too); integers and reals
// carry a closed range; a real also takes an integer value.
class ParameterTable {
 public:
  void AddInt(const char* name, std::int32_t* field, std::int32_t low, std::int32_t high);
  void AddReal(const char* name, double* field, double low, double high);
  void AddBool(const char* name, bool* field);
  // `choices` in their canonical spelling; matched without regard to case.
  void AddChoice(const char* name, std::int32_t* field, std::vector<std::string> choices);

  std::int32_t Count() const { return static_cast<std::int32_t>(entries_.size()); }
  Status Names(char*** names) const;
  Status Get(const char* name, std::int32_t* kind, void* value) const;
  Status Set(const char* name, std::int32_t kind, const void* value);

 private:
  enum class Type { kInt, kReal, kBool, kChoice };
  struct Entry {
    std::string name;
    Type type;
    void* field;
    double low, high;
    std::vector<std::string> choices;
  };
  // Names compared without regard to case, for the index.
  struct NoCaseHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const;
  };
  struct NoCaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  void Add(Entry entry);
  const Entry* Find(const char* name) const;
  std::vector<Entry> entries_;
  // Engines set parameters by name before solves: a name finds its entry
  // (the first of that name) without a scan.
  std::unordered_map<std::string, std::size_t, NoCaseHash, NoCaseEqual> index_;
};

}  // namespace kvs
