// QLNDecomposerProxy: the engine's face of the outside decomposition server,
// made by the problem manager for each caller that decomposes; and the torn
// blocks' second-level decomposition through it.
#pragma once

#include <atomic>
#include <cstdint>

#include "daes/blocks/block_kinds.h"
#include "solve/ifaces/decomposer.h"
#include "solve/options/options_client.h"
#include "solve/proxies/server_class.h"

inline constexpr Status kDecomposerRefused = 0x80004002u;   // E_NOINTERFACE
inline constexpr Status kDecomposerNoServer = 0x80004005u;  // E_FAIL
inline constexpr Status kExternalSingular = 0xA0310269u;
inline constexpr Status kExternalFailed = 0xA031FFFFu;
inline constexpr Status kServerSingular = 0xC0FE0001u;

class QLNDecomposerProxy final : public IQLNDecomposer, public QLNOptionsClient {
 public:
  // Finds and starts the server; without one the proxy answers E_FAIL.
  // Starts with one reference.
  QLNDecomposerProxy();

  Status QueryInterface(const platform::IID& iid, void** object) override;
  std::uint32_t AddRef() override { return ++refs_; }
  std::uint32_t Release() override;

  Status Decompose12(platform::IUnknown* factory, platform::IUnknown* equation_set,
                     std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
                     IQLNDecomposition** out) override {
    return Decompose(factory, equation_set, kind, mode, flags, out);
  }
  Status SetOption(std::uint32_t, VARIANT, platform::IUnknown*) override {
    return kDecomposerNoServer;
  }
  Status Reserved5() override { return kDecomposerNoServer; }
  Status Decompose(platform::IUnknown* factory, platform::IUnknown* equation_set,
                   std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
                   IQLNDecomposition** out) override;

  Status OptionChanged(std::int32_t number, const void* value) override;
  Status NamedOptionChanged(std::uint32_t, const SUValue&) override { return 0x80004001u; }

  // 0 no server, 1 version 12, 2 version 13 or later.
  std::uint32_t Level() const { return level_; }
  Status CreationStatus() const { return creation_; }
  const ServerOptionMap& Options() const { return options_; }

 private:
  ~QLNDecomposerProxy() override;
  void Start();

  std::uint32_t level_ = 0;
  std::atomic<std::uint32_t> refs_{1};
  IDecomposer* server_ = nullptr;  // IQLNDecomposer at level 2
  ServerOptionMap options_;
  Status creation_ = 0;
  bool joined_ = false;
};

// The torn blocks' decomposer: a new proxy per call, the block wrapped in a
// plain group, the problem manager as factory. Kind, variant, mode byte,
// switch and extra select what the server decomposes.
class ExternalBlockDecomposer final : public BlockDecomposer {
 public:
  ExternalBlockDecomposer(std::uint32_t kind, std::int32_t variant, std::uint32_t mode,
                          std::int32_t tearing_switch, std::int32_t extra)
      : kind_(kind), variant_(variant), mode_(mode), switch_(tearing_switch), extra_(extra) {}
  Status Decompose(DAESSolverBlock* block, DAESSolverBlock** out) override;

  // What the server receives.
  static std::uint32_t ServerMode(std::uint32_t m);
  static std::uint32_t ServerKind(std::uint32_t k);
  static std::uint32_t ServerFlags(std::int32_t v, std::int32_t s, std::int32_t e, bool tearing);

 private:
  std::uint32_t kind_;
  std::int32_t variant_;
  std::uint32_t mode_;
  std::int32_t switch_;
  std::int32_t extra_;
};
