// kvs_sparse.so: the nonlinear library over our own sparse LU drivers.
#include "outside/framework/export.h"
#include "outside/framework/newton.h"

extern "C" KVS_EXPORT platform::IUnknown* GetFactoryNLASystem() {
  static const kvs::LibraryTexts texts{"1.0", "SPARSE", "Sparse Newton and dogleg solver on SLU",
                                       kKvsSparseName};
  return kvs::MakeNonlinearFactory(texts, kvs::MakeSluLu);
}
