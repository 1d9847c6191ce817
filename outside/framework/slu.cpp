// kvs_slu.so: the linear library on our own sparse LU drivers.
#include "outside/framework/export.h"
#include "outside/framework/linear_library.h"

extern "C" KVS_EXPORT platform::IUnknown* GetFactoryLASystem() {
  static const kvs::LibraryTexts texts{"1.0", "SLU", "Sparse linear solver on SLU", "SLU"};
  return kvs::MakeLinearFactory(texts, kvs::MakeSluLu);
}
