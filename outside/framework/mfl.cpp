// kvs_mfl.so: the linear library on UMFPACK.
#include "outside/framework/export.h"
#include "outside/framework/linear_library.h"

extern "C" KVS_EXPORT platform::IUnknown* GetFactoryLASystem() {
  static const kvs::LibraryTexts texts{"1.0", "MFL", "Sparse linear solver on UMFPACK", "MFL"};
  return kvs::MakeLinearFactory(texts, kvs::MakeUmfpackLu);
}
