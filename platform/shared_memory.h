// Named file mappings as POSIX shared memory: the mapping NAME is the object
// "/NAME". Whoever creates an object maps it and removes its name when done.
// The side that opens an existing one never removes it, checks its real size
// first and reads the announced bytes into memory of its own at once: its
// creator may shrink or rewrite the object at any time, which must neither
// fault nor change what was read.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Reads the first size bytes of the existing object NAME into a private
  // copy. False with *why when it does not exist, is smaller than size
  // (also when it shrinks while being read), size is 0, or memory is short.
  bool Open(const std::string& name, std::size_t size, std::string* why);
  // Makes a new object NAME of size bytes (an existing one is refused) and
  // maps it for writing; its name goes when this object closes.
  bool Create(const std::string& name, std::size_t size, std::string* why);
  // Unmaps or frees the copy, and removes the name when this object created it.
  void Close();

  bool IsOpen() const { return data_ != nullptr; }
  unsigned char* Data() const { return data_; }
  std::size_t Size() const { return size_; }

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::unique_ptr<unsigned char[]> copy_;  // what Open read
  std::string created_;                    // the object's name when this object made it
};

}  // namespace platform
