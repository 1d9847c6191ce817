// Object graphs to and from bytes in the binary form (through temporary
// files) and text in the virtual-stream form, for the persistence tests.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "foundation/collections/collectable.h"
#include "foundation/collections/collection.h"
#include "foundation/collections/set.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/memory_stream.h"
#include "foundation/persistence/persistence.h"
#include "tests/foundation/test_collectables.h"

namespace testobjects {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A temporary file holding `bytes`, positioned at its start.
inline File FileWithBytes(const std::string& bytes) {
  File f(std::tmpfile());
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
  std::rewind(f.get());
  return f;
}

inline std::string AllBytes(std::FILE* f) {
  std::string out;
  std::rewind(f);
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return out;
}

inline std::string SaveToBytes(const ClCollectable* object) {
  File f(std::tmpfile());
  ClFileStream stream(f.get());
  StoreCollectableToFile(stream, object);
  std::fflush(f.get());
  return AllBytes(f.get());
}

inline ClCollectable* RestoreFromBytes(const std::string& bytes, ClCollectable* target = nullptr) {
  File f = FileWithBytes(bytes);
  ClFileStream stream(f.get());
  return RestoreCollectableFromFile(stream, target);
}

inline std::string SaveToText(const ClCollectable* object) {
  ClMemoryOutStream out;
  StoreCollectable(out, object);
  return out.Text();
}

inline ClCollectable* RestoreFromText(const std::string& text, ClCollectable* target = nullptr) {
  ClMemoryInStream in(text);
  return RestoreCollectable(in, target);
}

// Deletes every object reachable from `root` once: collections hold their
// items, links their targets, and none of them owns what it points to.
inline void DestroyGraph(ClCollectable* root) {
  if (root == nullptr) return;
  ClIdentitySet seen;
  ClOrdered pending;
  pending.Append(root);
  while (!pending.IsEmpty()) {
    ClCollectable* object = pending.RemoveAt(pending.Entries() - 1);
    if (object == nullptr || seen.Contains(object)) continue;
    seen.Insert(object);
    if (auto* collection = dynamic_cast<ClCollection*>(object)) {
      collection->Apply(
          [](ClCollectable* item, void* data) { static_cast<ClOrdered*>(data)->Append(item); },
          &pending);
    } else if (auto* link = dynamic_cast<Link*>(object)) {
      pending.Append(link->target);
    }
  }
  seen.ClearAndDestroy();
}

}  // namespace testobjects
