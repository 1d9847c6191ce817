// The decomposition server "Brunvald.Decomposer": one COM object answering
// the creation interface (version "13"), IQLNDecomposer and the option
// enumerator. Decompose reads the block through the equation-set interfaces,
// plans the groups (block_plan.h) and builds them and the decomposition
// through the engine's factory.
#pragma once

#include <atomic>
#include <cstdint>

#include "outside/server_com.h"
#include "solve/ifaces/decomposer.h"
#include "solve/ifaces/executive.h"

namespace decomposer {

// {5C53F927-81A7-4582-A0AC-501424C6430D}
inline constexpr platform::CLSID CLSID_Decomposer =
    platform::MakeGuid("{5C53F927-81A7-4582-A0AC-501424C6430D}");
inline constexpr char kDecomposerVersion[] = "13";

// Server ids of the options it publishes.
inline constexpr std::uint32_t kOptionTearing = 1;
inline constexpr std::uint32_t kOptionMultipleGroup = 2;

class DecomposerServer final : public IDecomposerCreation, public IQLNDecomposer {
 public:
  DecomposerServer();

  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;

  Status GetVersion(char16_t* text) override;

  Status Decompose12(platform::IUnknown* factory, platform::IUnknown* equation_set,
                     std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
                     IQLNDecomposition** out) override;
  Status SetOption(std::uint32_t server_id, VARIANT value, platform::IUnknown* proxy) override;
  Status Reserved5() override;
  Status Decompose(platform::IUnknown* factory, platform::IUnknown* equation_set,
                   std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
                   IQLNDecomposition** out) override;

 private:
  ~DecomposerServer();

  std::atomic<std::uint32_t> refs_{0};
  std::int32_t tearing_ = -1;  // -1 until received: the flags decide
  std::int32_t multiple_group_ = 1;
};

}  // namespace decomposer
