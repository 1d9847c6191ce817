#include "solve/proxies/decomposer_proxy.h"

#include <cstdlib>
#include <string>

#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/su_print.h"
#include "platform/com.h"
#include "solve/groups/decomposition.h"
#include "solve/groups/eso_group.h"
#include "solve/options/solver_option_table.h"
#include "solve/proxies/server_host.h"

namespace {

constexpr std::int32_t kOptDecomposerProgId = 152;
constexpr std::int32_t kOptMultipleGroup = 153;
constexpr std::int32_t kOptTearingNumber = 97;
constexpr std::uint32_t kFlagSingleGroup = 0x4;
constexpr std::uint32_t kFlagCounted = 0x800;

// The version text up to its first zero or the end of the buffer, in
// ASCII; a server may leave it unterminated.
std::string VersionText(const char16_t* buffer) {
  std::string out;
  for (int i = 0; i < kDecomposerVersionChars && buffer[i] != 0; ++i) {
    out += buffer[i] < 0x80 ? static_cast<char>(buffer[i]) : '?';
  }
  return out;
}

// Holds the decomposition the server made and shows its groups' blocks as
// its rows, which stay the groups'.
class ExternalInnerBlock final : public DAESSolverBlock {
 public:
  explicit ExternalInnerBlock(QLNDecomposition* decomposition) : decomposition_(decomposition) {
    for (std::uint32_t i = 0; i < decomposition->GetRowCount(); ++i) {
      if (DAESBlock* b = decomposition->GetRow(i)) AddRow(b);
    }
  }
  ~ExternalInnerBlock() override {
    ClearRows();
    decomposition_->Release();
  }

 private:
  QLNDecomposition* decomposition_;
};

}  // namespace

QLNDecomposerProxy::QLNDecomposerProxy() { Start(); }

void QLNDecomposerProxy::Start() {
  ServerProxyHost* host = GetServerProxyHost();
  joined_ = host != nullptr ? host->JoinCom() <= 1 : platform::CoInitializeEx(nullptr, 0) <= 1;
  const char* text = SolverOptionTable::Instance()->GetString(kOptDecomposerProgId);
  const std::string prog_id = text != nullptr ? text : "Brunvald.Decomposer";
  platform::CLSID clsid{};
  std::string found;
  creation_ = FindServerClass(prog_id, false, &clsid, &found);
  if (creation_ != 0) return;
  void* made = nullptr;
  creation_ = platform::CoCreateInstance(clsid, nullptr, 23, IID_IDecomposerCreation, &made);
  if (creation_ != 0 || made == nullptr) {
    if (creation_ == 0) creation_ = kDecomposerNoServer;  // success without an object
    return;
  }
  auto* creation = static_cast<IDecomposerCreation*>(made);
  char16_t buffer[kDecomposerVersionChars + 1] = {};
  const std::string version =
      creation->GetVersion(buffer) == 0 ? VersionText(buffer) : std::string();
  // atoi's reading, with a long text of digits held at the top instead of
  // overflowing.
  const long parsed = std::strtol(version.c_str(), nullptr, 10);
  const int number = parsed > 1000000 ? 1000000 : parsed < 0 ? 0 : static_cast<int>(parsed);
  std::uint32_t level = 0;
  if (number == 12) {
    SuPrint(0,
            "Warning: Found Decomposition Server version %s.\nThis may not be compatible with "
            "Fennick version 38.0",
            version.c_str());
    level = 1;
  } else if (number < 12) {
    SuPrint(kProxyFailure,
            "Found Decomposition Server version %s.\nThis is not supported by Fennick version "
            "38.0",
            version.c_str());
    creation->Release();
    creation_ = kDecomposerRefused;
    return;
  } else {
    level = 2;
  }
  void* server = nullptr;
  const Status q =
      creation->QueryInterface(level == 2 ? IID_IQLNDecomposer : IID_IDecomposer, &server);
  creation->Release();
  if (q != 0 || server == nullptr) {
    creation_ = q != 0 ? q : kDecomposerNoServer;
    return;
  }
  server_ = static_cast<IDecomposer*>(server);
  level_ = level;
  void* list = nullptr;
  if (level_ == 2) {
    if (server_->QueryInterface(IID_IOptionEnumerator2, &list) == 0 && list != nullptr) {
      auto* e = static_cast<IOptionEnumerator2*>(list);
      options_.Enumerate(e, this, "Decomposer");
      e->Release();
    }
  } else if (server_->QueryInterface(IID_IOptionEnumerator1, &list) == 0 && list != nullptr) {
    auto* e = static_cast<IOptionEnumerator1*>(list);
    options_.Enumerate(e, this, "Decomposer");
    e->Release();
  }
}

QLNDecomposerProxy::~QLNDecomposerProxy() {
  if (server_ != nullptr) server_->Release();
  if (joined_) {
    if (ServerProxyHost* host = GetServerProxyHost()) {
      host->LeaveCom();
    } else {
      platform::CoUninitialize();
    }
  }
}

Status QLNDecomposerProxy::QueryInterface(const platform::IID& iid, void** object) {
  if (object == nullptr) return platform::E_INVALIDARG;
  if (iid == platform::IID_IUnknown || iid == IID_IQLNDecomposer || iid == IID_IDecomposer) {
    *object = static_cast<IQLNDecomposer*>(this);
    AddRef();
    return 0;
  }
  *object = nullptr;
  return platform::E_NOINTERFACE;
}

std::uint32_t QLNDecomposerProxy::Release() {
  const std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

Status QLNDecomposerProxy::Decompose(platform::IUnknown* factory, platform::IUnknown* equation_set,
                                     std::uint32_t kind, std::uint32_t mode, std::uint32_t flags,
                                     IQLNDecomposition** out) {
  if (!SolverOptions::Instance()->GetBool(kOptMultipleGroup)) {
    flags |= kFlagSingleGroup;
  } else if ((flags & kFlagSingleGroup) == 0) {
    ServerProxyHost* host = GetServerProxyHost();
    if (host != nullptr && host->PositiveCountTest()) flags |= kFlagCounted;
  }
  if (level_ == 1) return server_->Decompose12(factory, equation_set, kind, mode, flags, out);
  if (level_ == 2) {
    return static_cast<IQLNDecomposer*>(server_)->Decompose(factory, equation_set, kind, mode,
                                                            flags, out);
  }
  return kDecomposerNoServer;
}

Status QLNDecomposerProxy::OptionChanged(std::int32_t number, const void* value) {
  if (level_ != 1 && level_ != 2) return kDecomposerNoServer;
  VARIANT v{};
  if (!options_.ValueFor(number, value, &v)) return 0;
  if (level_ != 2) return 0;  // a version-12 server takes no options
  return static_cast<IQLNDecomposer*>(server_)->SetOption(options_.IdOf(number), v,
                                                          static_cast<IQLNDecomposer*>(this));
}

std::uint32_t ExternalBlockDecomposer::ServerMode(std::uint32_t m) {
  std::uint32_t mode = m & 7;
  if (static_cast<std::int8_t>(m & 0xFF) < 0) {
    mode += 64;
  } else if ((m & 0x10000) == 0) {
    mode += 32;
  }
  return mode;
}

std::uint32_t ExternalBlockDecomposer::ServerKind(std::uint32_t k) {
  return (k & 7) + ((k & 0x10000) != 0 ? 16 : 0);
}

std::uint32_t ExternalBlockDecomposer::ServerFlags(std::int32_t v, std::int32_t s, std::int32_t e,
                                                   bool tearing) {
  std::uint32_t flags = v != 0 ? 1 : 0;
  if (tearing) flags |= s != 0 ? 256 : 2;
  if (e != 0) flags |= 0x1000;
  return flags;
}

Status ExternalBlockDecomposer::Decompose(DAESSolverBlock* block, DAESSolverBlock** out) {
  *out = nullptr;
  auto* proxy = new QLNDecomposerProxy();
  auto* group = new QLNESOGroup(block);
  group->AddRef();
  // The inner groups of a torn block leave its torn rows to the tear
  // iteration, which sets their outputs.
  if (dynamic_cast<DAESTornBlock*>(block) != nullptr) group->SetFlags(kGroupTornOutputsKnown);
  platform::IUnknown* set = nullptr;
  ServerProxyHost* host = GetServerProxyHost();
  platform::IUnknown* factory = host != nullptr ? host->Executive() : nullptr;
  Status result = kExternalFailed;
  if (group->QueryInterface(platform::IID_IUnknown, reinterpret_cast<void**>(&set)) == 0 &&
      set != nullptr) {
    if (factory != nullptr) factory->AddRef();
    IQLNDecomposition* made = nullptr;
    const bool tearing = SolverOptions::Instance()->GetInt(kOptTearingNumber) > 0;
    const Status s = proxy->Decompose(factory, set, ServerKind(kind_), ServerMode(mode_),
                                      ServerFlags(variant_, switch_, extra_, tearing), &made);
    if (status::IsFailure(s)) {
      result = s == kServerSingular ? kExternalSingular : kExternalFailed;
      if (made != nullptr) made->Release();
    } else if (made == nullptr) {
      result = 0;
    } else {
      // Only our own decomposition object can stand as a block.
      void* ours = nullptr;
      if (made->QueryInterface(IID_IQLNDecomposition, &ours) == 0 && ours != nullptr) {
        made->Release();
        auto* d = dynamic_cast<QLNDecomposition*>(static_cast<IQLNDecomposition*>(ours));
        if (d != nullptr) {
          *out = new ExternalInnerBlock(d);
          result = 0;
        } else {
          static_cast<IQLNDecomposition*>(ours)->Release();
        }
      } else {
        made->Release();
      }
    }
    if (factory != nullptr) factory->Release();
    set->Release();
  }
  group->Release();
  proxy->Release();
  return result;
}
