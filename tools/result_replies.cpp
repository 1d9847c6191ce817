#include "tools/result_replies.h"

#include <cstring>

namespace vantor_client {
namespace {

// Little-endian reads that never pass the end.
class Reader {
 public:
  explicit Reader(const Bytes& bytes) : bytes_(bytes) {}
  bool Take(void* out, std::size_t n) {
    if (bytes_.size() - at_ < n) return false;
    std::memcpy(out, bytes_.data() + at_, n);
    at_ += n;
    return true;
  }
  template <typename T>
  bool Get(T* out) {
    return Take(out, sizeof *out);
  }
  // A 3-byte length counting the bytes and their NUL.
  bool Text(std::string* out) {
    std::uint8_t length[3];
    if (!Take(length, 3)) return false;
    const std::size_t n = length[0] | (length[1] << 8) | (std::size_t{length[2]} << 16);
    if (bytes_.size() - at_ < n) return false;
    out->assign(reinterpret_cast<const char*>(bytes_.data() + at_), n);
    at_ += n;
    if (!out->empty() && out->back() == '\0') out->pop_back();
    return true;
  }
  Bytes Rest() {
    Bytes rest(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), bytes_.end());
    at_ = bytes_.size();
    return rest;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  const Bytes& bytes_;
  std::size_t at_ = 0;
};

}  // namespace

bool DecodeResultKinds(const Bytes& body, std::vector<std::uint16_t>* kinds) {
  kinds->clear();
  if (body.size() % 2 != 0) return false;
  Reader in(body);
  std::uint16_t kind = 0;
  while (!in.AtEnd() && in.Get(&kind)) kinds->push_back(kind);
  return in.AtEnd();
}

bool DecodeResultValues(const Bytes& body, const std::vector<std::uint16_t>& kinds,
                        std::vector<ResultValue>* values) {
  values->clear();
  Reader in(body);
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    ResultValue value;
    value.kind = kinds[i];
    bool read = false;
    switch (value.kind) {
      case kResultByte: {
        std::uint8_t byte = 0;
        read = in.Get(&byte);
        value.word = byte;
        break;
      }
      case kResultWord:
        read = in.Get(&value.word);
        break;
      case kResultReal:
        read = in.Get(&value.real);
        break;
      case kResultRealAndFlags:
        read = in.Get(&value.real) && in.Get(&value.flags);
        break;
      case kResultText:
        read = in.Text(&value.text);
        break;
      case kResultTyped:
        read = i + 1 == kinds.size() && in.Get(&value.type);
        if (read) value.typed = in.Rest();
        break;
      default:
        read = false;
    }
    if (!read) return false;
    values->push_back(std::move(value));
  }
  return in.AtEnd();
}

bool DecodeRestoreReply(const Bytes& body, RestoreReply* reply) {
  Reader in(body);
  std::uint16_t kind = 0;
  std::uint32_t count = 0;
  if (!in.Get(&kind) || kind != 58) return false;
  if (!in.Get(&reply->status) || !in.Get(&reply->time) || !in.Get(&count)) return false;
  reply->count = static_cast<std::int32_t>(count);
  return in.Text(&reply->name) && in.Get(&reply->date) && in.Get(&reply->time_of_day) && in.AtEnd();
}

void PutResultItem(Request& request, const std::vector<std::uint32_t>& ids,
                   std::uint16_t attribute) {
  request.PutUInt8(0);
  request.PutUInt16(static_cast<std::uint16_t>(ids.size()));
  for (std::uint32_t id : ids) request.PutUInt24(id);
  request.PutUInt16(attribute);
  request.PutUInt16(0);
}

}  // namespace vantor_client
