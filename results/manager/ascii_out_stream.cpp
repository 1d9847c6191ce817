#include "results/manager/ascii_out_stream.h"

#include <limits>

CSUAsciiOutStream::CSUAsciiOutStream(platform::IStream* stream) : stream_(stream) {
  if (stream_ != nullptr) stream_->AddRef();
}

CSUAsciiOutStream::~CSUAsciiOutStream() {
  if (stream_ != nullptr) stream_->Release();
}

void CSUAsciiOutStream::Write(const void* bytes, std::size_t count) {
  if (count == 0) return;
  if (stream_ == nullptr) {
    AddState(kBadBit);
    return;
  }
  // The sink takes 32-bit counts; a longer run goes in pieces.
  const auto* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const std::uint32_t piece = count > std::numeric_limits<std::uint32_t>::max()
                                    ? std::numeric_limits<std::uint32_t>::max()
                                    : static_cast<std::uint32_t>(count);
    std::uint32_t written = 0;
    if (status::IsFailure(stream_->Write(at, piece, &written)) || written != piece) {
      AddState(kBadBit);
      return;
    }
    at += piece;
    count -= piece;
  }
}
