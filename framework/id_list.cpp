#include "framework/id_list.h"

#include <memory>

#include "foundation/binary_stream.h"

Status DseIdList::Read(BvuBinaryStream& stream) {
  ids.clear();
  names.clear();
  std::uint8_t flag = 0;
  std::uint16_t count = 0;
  Status read = stream.GetUInt8(&flag);
  if (status::IsSuccess(read)) read = stream.GetUInt16(&count);
  if (status::IsFailure(read)) return read;
  has_names = flag != 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t id = 0;
    read = stream.GetUInt24(&id);
    if (status::IsFailure(read)) return read;
    ids.push_back(id);
    if (!has_names) continue;
    if (id == kRoot || id == kEnd) {
      names.emplace_back();
      continue;
    }
    char* name = nullptr;
    read = stream.GetShortStringNew(&name);
    const std::unique_ptr<char[]> owned(name);
    if (status::IsFailure(read)) return read;
    names.emplace_back(name != nullptr ? name : "");
  }
  return status::kOk;
}
