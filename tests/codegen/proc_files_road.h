// What the road tests of the procedure-files service share: the request
// that generates (and builds) a library's files, and a call of a built
// procedure through its interface.
#pragma once

#include <cmath>
#include <filesystem>
#include <memory>
#include <vector>

#include "daes/procedures/su_proc_def.h"
#include "framework/libraries/library_loader.h"
#include "tests/codegen/codegen_helpers.h"
#include "tools/client.h"

namespace codegen_test {

// Sub-kind 0: generate (and build) the procedures' files in the folder.
inline std::unique_ptr<vantor_client::Request> GenerateProcFiles(
    const std::filesystem::path& folder, const std::vector<SUProcDef*>& defs, bool build) {
  auto request = std::make_unique<vantor_client::Request>(113);
  request->PutUInt16(0);
  request->PutUInt32(0x7);
  request->PutString(folder.c_str());
  request->PutUInt32(static_cast<std::uint32_t>(defs.size()));
  request->PutString("");
  request->PutUInt8(build ? 1 : 0);
  for (const SUProcDef* d : defs) {
    d->WriteDefinition(*request);
    request->PutUInt32(0);
  }
  return request;
}

using NewEntry = void (*)(int*, double*, int*, double*, int*, int*, int*, int*, double*, int*, int*,
                          int*, int*, int*, double*, int*);

// y of one real input x through the 16-argument interface; its IFAIL.
inline double CallNew(NewEntry entry, int first, double x, int* ifail) {
  double inputs[1] = {x}, outputs[1] = {0.0}, work = 0.0, derivs[1] = {0.0};
  int sizes[1] = {0}, in_offs[1] = {first}, out_offs[1] = {first};
  int icall = 0, props = 0, wsize = 0, nonzeros = 0, rows[1] = {0}, cols[1] = {0}, unused = 0;
  *ifail = 0;
  entry(&icall, inputs, sizes, outputs, sizes, in_offs, out_offs, &props, &work, &wsize, &nonzeros,
        rows, cols, &unused, derivs, ifail);
  return outputs[0];
}

// The procedure "Twice" of the library "grouplib", y of one real input x,
// its source twice.c.
inline void DefineTwice(SUProcDef* twice) {
  Define(twice, "Twice", procdef::kLanguageC, 0, {{procdef::kReal, 0, "x"}},
         {{procdef::kReal, 0, "y"}});
  twice->SetLibrary("grouplib");
  twice->SetSourceFile("twice.c", false);
}

// TWICE of 1.5 from the library, as the engine's user loads it (a
// procedure built to answer twice its input); NaN when it cannot be loaded.
inline double CallTwice(const std::filesystem::path& library) {
  XosDynamicLibrary* loaded = XosDynamicLibrary::Load(library.c_str(), nullptr);
  if (loaded == nullptr) return std::nan("");
  auto entry = reinterpret_cast<NewEntry>(loaded->LookUpSymbol("TWICE", nullptr));
  int ifail = 0;
  const double y = entry != nullptr ? CallNew(entry, 0, 1.5, &ifail) : std::nan("");
  loaded->Release();
  return y;
}

}  // namespace codegen_test
