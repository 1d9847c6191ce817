// kvs_sparse_mfl.so: the nonlinear library over UMFPACK.
#include "outside/framework/export.h"
#include "outside/framework/newton.h"

extern "C" KVS_EXPORT platform::IUnknown* GetFactoryNLASystem() {
  static const kvs::LibraryTexts texts{
      "1.0", "SPARSE_MFL", "Sparse Newton and dogleg solver on UMFPACK", kKvsSparseName};
  return kvs::MakeNonlinearFactory(texts, kvs::MakeUmfpackLu);
}
