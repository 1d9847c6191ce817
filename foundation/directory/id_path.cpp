#include "foundation/directory/id_path.h"

#include <ostream>

#include "foundation/persistence/binary_stream.h"

namespace {

constexpr std::size_t kMostIds = 0xFFFF;

bool IsOrdinary(std::uint32_t id) { return id != kIdPathRoot && id != kIdPathEnd; }

const std::string& EmptyName() {
  static const std::string empty;
  return empty;
}

}  // namespace

BvuIdPath::BvuIdPath(BvuBinaryStream& stream, Status* status) : with_names_(false) {
  std::uint8_t flag = 0;
  std::uint16_t count = 0;
  Status s = stream.GetUInt8(&flag);
  if (status::IsSuccess(s)) s = stream.GetUInt16(&count);
  with_names_ = flag != 0;
  for (std::uint16_t step = 0; step < count && status::IsSuccess(s); ++step) {
    std::uint32_t id = 0;
    s = stream.GetUInt24(&id);
    if (status::IsFailure(s)) break;
    std::string name;
    if (with_names_ && IsOrdinary(id)) {
      char* text = nullptr;
      s = stream.GetShortStringNew(&text);
      if (text != nullptr) name = text;
      delete[] text;
      if (status::IsFailure(s)) break;
    }
    ids_.push_back(id);
    if (with_names_) names_.push_back(std::move(name));
  }
  if (status != nullptr) *status = status::IsFailure(s) ? s : status::kOk;
}

const char* BvuIdPath::GetNameText(std::int32_t) { return ""; }

void BvuIdPath::Print(std::ostream& out) {
  for (std::size_t at = 0; at < ids_.size(); ++at) {
    if (at > 0) out << '.';
    if (ids_[at] == kIdPathRoot) {
      out << "ABS";
    } else if (ids_[at] == kIdPathEnd) {
      out << "END";
    } else {
      out << ids_[at];
    }
  }
  out << '\n';
}

Status BvuIdPath::Append(std::uint32_t id, const char* name) {
  if (ids_.size() >= kMostIds) return status::kBadArguments;
  ids_.push_back(id);
  if (with_names_) names_.emplace_back(name != nullptr ? name : "");
  return status::kOk;
}

void BvuIdPath::DropLast() {
  if (ids_.empty()) return;
  ids_.pop_back();
  if (with_names_) names_.pop_back();
}

Status BvuIdPath::Write(BvuBinaryStream& stream) const {
  Status s = stream.PutUInt8(with_names_ ? 1 : 0);
  if (status::IsSuccess(s)) s = stream.PutUInt16(count());
  for (std::size_t at = 0; at < ids_.size() && status::IsSuccess(s); ++at) {
    s = stream.PutUInt24(ids_[at]);
    if (status::IsSuccess(s) && with_names_ && IsOrdinary(ids_[at])) {
      s = stream.PutCString(names_[at].c_str());
    }
  }
  return status::IsFailure(s) ? s : status::kOk;
}

const std::string& BvuIdPath::NameAt(std::size_t at) const {
  return with_names_ && at < names_.size() ? names_[at] : EmptyName();
}
