// Named file mappings as POSIX shared memory: the mapping NAME is the object
// "/NAME". Whoever creates an object removes its name when done; the side
// that opens an existing one never does, and checks its real size first, so
// that a mapping shorter than announced is refused instead of faulting.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

class SharedMemory {
 public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // Maps size bytes of the existing object NAME for reading. False with
  // *why when it does not exist, is smaller than size, or size is 0.
  bool Open(const std::string& name, std::size_t size, std::string* why);
  // Makes a new object NAME of size bytes (an existing one is refused) and
  // maps it for writing; its name goes when this object closes.
  bool Create(const std::string& name, std::size_t size, std::string* why);
  // Unmaps, and removes the name when this object created it.
  void Close();

  bool IsOpen() const { return data_ != nullptr; }
  unsigned char* Data() const { return data_; }
  std::size_t Size() const { return size_; }

 private:
  bool Map(int fd, std::size_t size, int protection, const std::string& name, std::string* why);

  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::string created_;  // the object's name when this object made it
};

}  // namespace platform
