#include "platform/com_memory_stream.h"

#include <atomic>
#include <new>

namespace platform {
namespace {

class MemoryStream final : public IStream {
 public:
  explicit MemoryStream(std::size_t limit) : limit_(limit) {}

  Status QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
      AddRef();
      *object = static_cast<IStream*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  std::uint32_t AddRef() override { return ++references_; }
  std::uint32_t Release() override {
    const std::uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }

  Status Write(const void* bytes, std::uint32_t count, std::uint32_t* written) override {
    if (written != nullptr) *written = 0;
    if (count == 0) return S_OK;
    if (bytes == nullptr) return E_POINTER;
    if (count > limit_ - bytes_.size()) return STG_E_MEDIUMFULL;
    try {
      bytes_.append(static_cast<const char*>(bytes), count);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    if (written != nullptr) *written = count;
    return S_OK;
  }

  const std::string& Bytes() const { return bytes_; }

 private:
  ~MemoryStream() = default;

  std::atomic<std::uint32_t> references_{1};
  std::size_t limit_;
  std::string bytes_;
};

}  // namespace

Status CreateMemoryStream(IStream** stream, std::size_t limit) {
  if (stream == nullptr) return E_POINTER;
  *stream = new (std::nothrow) MemoryStream(limit);
  return *stream != nullptr ? S_OK : E_OUTOFMEMORY;
}

Status GetMemoryStreamBytes(IStream* stream, std::string* bytes) {
  if (stream == nullptr || bytes == nullptr) return E_POINTER;
  auto* memory = dynamic_cast<MemoryStream*>(stream);
  if (memory == nullptr) return E_INVALIDARG;
  *bytes = memory->Bytes();
  return S_OK;
}

}  // namespace platform
