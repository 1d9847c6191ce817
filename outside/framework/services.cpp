// kvs_services.so: the one allocator every text crossing the solver framework
// boundary comes from and goes back to, so the giver and the receiver never
// depend on sharing a C runtime.
#include <cstdlib>

#include "outside/framework/export.h"
#include "solve/ifaces/kvs_common.h"

namespace {

class Services final : public KVSServices {
 public:
  void Free(void* block) override { std::free(block); }
  // A zero-byte request still gives a block that Free accepts.
  void* Alloc(std::uint64_t size) override { return std::malloc(size == 0 ? 1 : size); }
};

Services the_services;

}  // namespace

extern "C" KVS_EXPORT KVSServices* GetKVSServices() { return &the_services; }
