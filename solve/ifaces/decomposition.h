// The decomposition server and the decomposition object it builds through the
// engine's factory: the server's creation, version and option interfaces,
// its decompose call, and the ordered list of groups it returns.
#pragma once

#include <cstdint>

#include "solve/ifaces/com_types.h"

inline constexpr platform::IID IID_IDecomposition = EngineIid(0x08);
inline constexpr platform::IID IID_IDecomp12Ex = EngineIid(0x09);
inline constexpr platform::IID IID_IDecomposer = EngineIid(0x0A);
inline constexpr platform::IID IID_IQLNDecomposition = EngineIid(0x0B);
inline constexpr platform::IID IID_IQLNDecomposer = EngineIid(0x0C);
inline constexpr platform::IID IID_IQLNDecomposition20 = EngineIid(0x0D);
inline constexpr platform::IID IID_IOptionEnumerator1 = EngineIid(0x1A);
inline constexpr platform::IID IID_IOptionEnumerator2 = EngineIid(0x1B);
inline constexpr platform::IID IID_IDecomposerCreation = EngineIid(0x1C);

// Statuses a decomposition answers.
inline constexpr Status kDecompositionSingular = 0xC0FE0001u;
inline constexpr Status kDecompositionGroupFailedSevere = 0xC0FE0002u;
inline constexpr Status kDecompositionGroupFailed = 0x80FE0002u;
inline constexpr Status kDecompositionOutOfMemory = 0xC0FE0003u;

struct DecompositionStatistics {
  std::uint32_t count;
  std::uint32_t by_type[7];  // group types 1 to 7
};

// IDecomposition and IQLNDecomposition answer with one table; the split of
// its operations between the two was never observable, so all sit here.
class IDecomposition : public platform::IUnknown {
 protected:
  ~IDecomposition() = default;
};

class IQLNDecomposition : public IDecomposition {
 public:
  /* 3 */ virtual Status GetGroupCount(std::int32_t* count) = 0;
  // Takes the group's IQLNESOSolve and numbers it 1, 2, ... by addition.
  /* 4 */ virtual Status AddGroup(platform::IUnknown* group) = 0;
  /* 5 */ virtual Status GetGroup(std::int32_t index, const platform::IID& iid, void** out) = 0;
  /* 6 */ virtual Status GetStatistics(DecompositionStatistics* statistics,
                                       std::uint32_t* largest_size) = 0;
  /* 7 */ virtual Status IsSolved(std::uint32_t* solved) = 0;
  /* 8 */ virtual Status SetSolved(std::uint32_t solved) = 0;
  /* 9 */ virtual Status Reserve(std::int32_t count) = 0;
  /* 10 */ virtual Status SolveGroups(std::int32_t announce, std::int32_t mode,
                                      std::int32_t count_flag, std::int32_t* iterations) = 0;
  /* 11 */ virtual Status ForEachGroup20(std::int32_t a, std::int32_t* b) = 0;

 protected:
  ~IQLNDecomposition() = default;
};

class IDecomp12Ex : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Reserve(std::int32_t count) = 0;

 protected:
  ~IDecomp12Ex() = default;
};

class IQLNDecomposition20 : public platform::IUnknown {
 public:
  /* 3 */ virtual Status ReportIndeterminate() = 0;
  /* 4 */ virtual Status ForEachGroup20() = 0;

 protected:
  ~IQLNDecomposition20() = default;
};

// A server of version 12.
class IDecomposer : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Decompose12(platform::IUnknown* factory, platform::IUnknown* equation_set,
                                     std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
                                     IQLNDecomposition** out) = 0;

 protected:
  ~IDecomposer() = default;
};

// A server of version 13 or later. `proxy` is the engine's own decomposer
// object that forwards the option.
class IQLNDecomposer : public IDecomposer {
 public:
  /* 4 */ virtual Status SetOption(std::uint32_t server_id, VARIANT value,
                                   platform::IUnknown* proxy) = 0;
  /* 5 */ virtual Status Reserved5() = 0;  // E_FAIL
  /* 6 */ virtual Status Decompose(platform::IUnknown* factory, platform::IUnknown* equation_set,
                                   std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
                                   IQLNDecomposition** out) = 0;

 protected:
  ~IQLNDecomposer() = default;
};

// What CoCreateInstance hands out; the version is read with atoi.
inline constexpr int kDecomposerVersionChars = 24;
class IDecomposerCreation : public platform::IUnknown {
 public:
  /* 3 */ virtual Status GetVersion(char16_t* text /* kDecomposerVersionChars */) = 0;

 protected:
  ~IDecomposerCreation() = default;
};

// The servers' option lists, ten entries a call until Next answers non-zero.
// Engine option number 0 asks the engine to find the option by its name.
struct OptionEntry {
  char16_t* name;  // freed by the engine with CoTaskMemFree
  std::uint32_t engine_number;
  std::uint32_t server_id;
  std::uint16_t vt;
};
static_assert(sizeof(OptionEntry) == 24);

struct OptionEntry1 {
  std::uint8_t unused[8];
  std::uint32_t engine_number;
  std::uint32_t server_id;
  std::uint16_t vt;
  std::uint8_t tail[6];
};
static_assert(sizeof(OptionEntry1) == 24);

class IOptionEnumerator2 : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Next(std::uint32_t count, OptionEntry* entries,
                              std::uint32_t* fetched) = 0;

 protected:
  ~IOptionEnumerator2() = default;
};

// The older form hands out one array per batch, freed by the engine with
// CoTaskMemFree.
class IOptionEnumerator1 : public platform::IUnknown {
 public:
  /* 3 */ virtual Status Next(std::uint32_t count, OptionEntry1** entries,
                              std::uint32_t* fetched) = 0;

 protected:
  ~IOptionEnumerator1() = default;
};
