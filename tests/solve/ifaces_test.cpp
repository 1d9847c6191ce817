// Every cross-boundary operation called on a fake that lives in another
// module: the slot each operation takes in its table must be the order the
// servers were built against (the list in fakes/iface_ops.inc, not the
// headers), and the call must arrive at the operation of that name with its
// arguments.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

#include "platform/dynamic_library.h"
#include "solve/ifaces/decomposer.h"
#include "solve/ifaces/decomposition.h"
#include "solve/ifaces/equation_set.h"
#include "solve/ifaces/executive.h"
#include "solve/ifaces/integrator_server.h"
#include "solve/ifaces/kvs_common.h"
#include "solve/ifaces/kvs_linear.h"
#include "solve/ifaces/kvs_nlp.h"
#include "solve/ifaces/kvs_nonlinear.h"
#include "solve/ifaces/option_enumerator.h"
#include "tests/solve/fakes/call_log.h"

namespace {

using platform::IID;
using platform::IUnknown;

template <class I>
constexpr bool IsPlainInterface() {
  return std::is_abstract_v<I> && !std::has_virtual_destructor_v<I> && sizeof(I) == sizeof(void*);
}
static_assert(IsPlainInterface<KVSServices>());
#define IFACE(I, iid) static_assert(IsPlainInterface<I>(), #I);
#define END_IFACE
#define PLAIN(I) IFACE(I, 0)
#define END_PLAIN
#define OP(...)
#include "tests/solve/fakes/iface_ops.inc"
#undef IFACE
#undef END_IFACE
#undef PLAIN
#undef END_PLAIN
#undef OP

// The vtable slot of a virtual member function (g++ keeps 1 + byte offset).
template <class M>
std::ptrdiff_t SlotOf(M member) {
  static_assert(sizeof(M) == 2 * sizeof(std::ptrdiff_t));
  std::ptrdiff_t raw[2];
  std::memcpy(raw, &member, sizeof raw);
  if ((raw[0] & 1) == 0) return -1;  // not virtual
  return (raw[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

class CrossBoundary : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    platform::LibraryOpen opened = platform::OpenLibrary(VANTOR_IFACE_FAKES);
    ASSERT_NE(opened.handle, nullptr) << opened.error;
    make_ = reinterpret_cast<MakeFakeFunction>(platform::LibrarySymbol(opened.handle, "MakeFake"));
    plain_ = reinterpret_cast<MakeFakePlainFunction>(
        platform::LibrarySymbol(opened.handle, "MakeFakePlain"));
    last_ = reinterpret_cast<LastCallFunction>(platform::LibrarySymbol(opened.handle, "LastCall"));
    ASSERT_TRUE(make_ && plain_ && last_);
  }

  // Through QueryInterface, as a server's caller gets it.
  template <class I>
  I* Get(const IID& iid) {
    IUnknown* made = make_(&iid);
    if (made == nullptr) return nullptr;
    void* object = nullptr;
    EXPECT_EQ(made->QueryInterface(iid, &object), 0u);
    EXPECT_EQ(made->Release(), 1u);
    return static_cast<I*>(object);
  }

  template <class I>
  I* Plain(const char* name) {
    return static_cast<I*>(plain_(name));
  }

  void Check(std::ptrdiff_t slot, std::ptrdiff_t order, const char* what, Status result,
             const std::string& expected) {
    EXPECT_EQ(slot, order) << what;
    EXPECT_EQ(result, kFakeResult) << what;
    EXPECT_EQ(std::string(last_()), expected) << what;
  }

  static inline MakeFakeFunction make_ = nullptr;
  static inline MakeFakePlainFunction plain_ = nullptr;
  static inline LastCallFunction last_ = nullptr;

  // Sample arguments.
  std::int32_t i32 = 0;
  std::uint32_t u32 = 0;
  std::uint8_t u8 = 0;
  double d = 0;
  void* object = &d;
  IUnknown* unknown = nullptr;
  char* text = nullptr;
  char** names = nullptr;
  char16_t* wide = nullptr;
  char16_t version[kDecomposerVersionChars] = {};
  QLNVariable* variable = nullptr;
  DAESEqnRow* row = nullptr;
  const char* name = "Torn";
  const char* texts[1] = {"@E failed"};
  void* objects[1] = {&d};
  const std::int32_t ints[2] = {1, 2};
  const std::int64_t rows[2] = {1, 2};
  const double reals[2] = {1.5, 2.5};
  KVSIndexList list{2, ints};
  DecompositionStatistics stats{};
  IQLNDecomposition* decomposition = nullptr;
  OptionEntry entries[10] = {};
  OptionEntry1* old_entries = nullptr;
  SensitivityItem items[32] = {};
  KVSSubSystem* sub = nullptr;
  std::int32_t* positions = nullptr;
  KVSAttributeDescription* records = nullptr;
  KVSMessagesHandler* handler = reinterpret_cast<KVSMessagesHandler*>(&u8);
  KVSNumericAlgebraicESO* algebraic = reinterpret_cast<KVSNumericAlgebraicESO*>(&i32);
  KVSNumericNLPESO* nlp = reinterpret_cast<KVSNumericNLPESO*>(&u32);
  KVSLASystem* la = nullptr;
  KVSNLASystem* nla = nullptr;
  KVSNLPSystem* nlp_system = nullptr;
  QLNVariableRecord* var_records = nullptr;
  QLNVariableRecord var_record_array[4] = {};
  QLNEquationRecord eqn_record_array[4] = {};
};

#define IFACE(I, iid)        \
  TEST_F(CrossBoundary, I) { \
    I* obj = Get<I>(iid);    \
    ASSERT_NE(obj, nullptr) << #I;
#define END_IFACE                \
  EXPECT_EQ(obj->Release(), 0u); \
  }
#define PLAIN(I)             \
  TEST_F(CrossBoundary, I) { \
    I* obj = Plain<I>(#I);   \
    ASSERT_NE(obj, nullptr) << #I;
#define END_PLAIN }
#define OP(I, order, Method, params, args, sample) \
  Check(SlotOf(&I::Method), order, #I "::" #Method, obj->Method sample, CallLineOf{#Method} sample);
#include "tests/solve/fakes/iface_ops.inc"

TEST_F(CrossBoundary, KVSServices) {
  auto* services = Plain<KVSServices>("KVSServices");
  ASSERT_NE(services, nullptr);
  EXPECT_EQ(SlotOf(&KVSServices::Free), 0);
  EXPECT_EQ(SlotOf(&KVSServices::Alloc), 1);
  services->Free(object);
  EXPECT_EQ(std::string(last_()), CallLine("Free", object));
  EXPECT_EQ(services->Alloc(24), reinterpret_cast<void*>(std::uintptr_t{kFakeResult}));
  EXPECT_EQ(std::string(last_()), CallLine("Alloc", std::uint64_t{24}));
}

TEST(InterfaceIds, EngineFamilyAndFrameworkIdsReadAsWritten) {
  const struct {
    IID iid;
    const char* text;
  } cases[] = {
      {IID_IDecomposition, "{00380008-07A4-463A-A513-F2F46FF75FB8}"},
      {IID_IQLNESO, "{00380014-07A4-463A-A513-F2F46FF75FB8}"},
      {IID_IUnifiedIntegrator, "{00380022-07A4-463A-A513-F2F46FF75FB8}"},
      {IID_IQLNSensitivityManager, "{00380025-07A4-463A-A513-F2F46FF75FB8}"},
      {IID_KVSNLPSystemFactory, "{CF691D50-2FD1-11D3-96AA-006097B14265}"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::GuidText(c.iid), c.text);
  static_assert(offsetof(OptionEntry1, engine_number) == 8 && offsetof(OptionEntry1, vt) == 16);
}

}  // namespace
