// Loading the open solver framework's libraries: the services object that
// allocates the texts crossing the boundary, and a library's factory with
// the texts of its utility component.
#pragma once

#include <cstdint>
#include <string>

#include "solve/ifaces/kvs_common.h"

inline constexpr Status kKvsLoadFailed = 0xA000FFFFu;

// Loads "kvs_services.dll" once; 0, or kKvsLoadFailed after printing why.
Status LoadKvsServices();
// Null when the services are not loaded.
void* KvsServicesAlloc(std::uint64_t size);
void KvsServicesFree(void* block);
// A copy of text in a services block; null without services.
char* KvsServicesCopy(const char* text);

struct KvsFactory {
  platform::IUnknown* factory = nullptr;  // the queried interface, one reference
  std::string version;
  std::string product;
  std::string name;  // the component name, "_KVS_..."
};

// Finds `entry` in `library`, calls it and queries the result for `iid`.
// A missing library prints "Failed to load %s..." (0xA000FFFF) when `say`
// and gives null. The texts are read from the utility component.
Status LoadKvsFactory(const char* library, const char* entry, const platform::IID& iid, bool say,
                      KvsFactory* out);

// Takes a text the framework handed out and frees it.
std::string TakeKvsText(char* text);
