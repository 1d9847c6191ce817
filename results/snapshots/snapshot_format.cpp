#include "results/snapshots/snapshot_format.h"

#include <cctype>
#include <cmath>
#include <cstring>

#include "foundation/files/file_utilities.h"
#include "foundation/persistence/binary_stream.h"
#include "framework/connections/file_io.h"
#include "framework/connections/segment.h"
#include "framework/messaging/message.h"
#include "platform/byte_order.h"
#include "platform/posix_file.h"

namespace snapshot {

namespace {

SnapshotClock g_clock = nullptr;

// At most size - 1 characters of the text, the rest of the field zeroed.
void CopyField(char* field, std::size_t size, const char* text, std::size_t text_limit) {
  std::memset(field, 0, size);
  if (text == nullptr) return;
  std::size_t n = 0;
  while (n < size - 1 && n < text_limit && text[n] != '\0') ++n;
  std::memcpy(field, text, n);
}

// A run number stored as a double in the oldest files, truncated toward
// zero; values outside the 16-bit range give 0 rather than wrapping.
std::uint16_t RunFromDouble(double value) {
  if (!std::isfinite(value) || value <= -1.0 || value >= 65536.0) return 0;
  return static_cast<std::uint16_t>(static_cast<std::int32_t>(value));
}

}  // namespace

std::uint32_t HeaderSizeOf(std::uint32_t version) {
  if (version >= 1 && version <= 5) return kHeaderSizeV1;
  if (version == 6 || version == 7) return kHeaderSizeV6;
  if (version == 8) return kHeaderSize;
  return 0;
}

SnapshotClock SetSnapshotClock(SnapshotClock clock) {
  const SnapshotClock previous = g_clock;
  g_clock = clock;
  return previous;
}

Status WriteBytes(XosFileIO* file, std::uint64_t position, const void* bytes, std::size_t size) {
  if (file == nullptr || !file->IsOpen()) return kNotOpen;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  while (size > 0) {
    const std::uint32_t chunk = size > 0x40000000u ? 0x40000000u : static_cast<std::uint32_t>(size);
    std::uint32_t written = 0;
    const Status result = file->WriteAt(p, chunk, &written, &position);
    if (status::IsFailure(result) || written < chunk) {
      CheckDiskFull(file->Name().c_str(), nullptr, static_cast<int>(file->LastSystemError()));
      return status::IsFailure(result) ? kIoFailed : kShortWrite;
    }
    p += chunk;
    size -= chunk;
  }
  return status::kOk;
}

Status ReadBytes(XosFileIO* file, std::uint64_t position, void* bytes, std::size_t size) {
  if (file == nullptr || !file->IsOpen()) return kNotOpen;
  auto* p = static_cast<std::uint8_t*>(bytes);
  while (size > 0) {
    const std::uint32_t chunk = size > 0x40000000u ? 0x40000000u : static_cast<std::uint32_t>(size);
    std::uint32_t read = 0;
    if (status::IsFailure(file->ReadAt(p, chunk, &read, &position))) return kIoFailed;
    if (read < chunk) return kShortRead;
    p += chunk;
    size -= chunk;
  }
  return status::kOk;
}

Status SyncFile(XosFileIO* file) {
  if (file == nullptr || !file->IsOpen()) return kNotOpen;
  int error = 0;
  return platform::SyncFile(file->Handle(), &error) ? status::kOk : kIoFailed;
}

Status ReadVersion(XosFileIO* file, std::uint32_t* version) {
  std::uint8_t word[4];
  const Status result = ReadBytes(file, 0, word, sizeof word);
  if (status::IsFailure(result)) return result;
  *version = platform::LoadLE32(word);
  return status::kOk;
}

Status ReadHeaderAt(XosFileIO* file, std::uint64_t position, std::uint64_t file_size,
                    std::uint32_t version, SputSSBlockHeader* header, HeaderKind* kind) {
  *kind = HeaderKind::kImplausible;
  const std::uint32_t size = HeaderSizeOf(version);
  if (size == 0) return kVersionTooNew;
  if (position > file_size || file_size - position < size) return status::kOk;
  std::uint8_t bytes[kHeaderSize];
  const Status result = ReadBytes(file, position, bytes, size);
  if (result == kShortRead) return status::kOk;
  if (status::IsFailure(result)) return result;
  header->Decode(bytes, version);
  if (header->position != position) return status::kOk;
  if (header->IsEndMarker()) {
    *kind = HeaderKind::kEnd;
    return status::kOk;
  }
  if (header->length < size || header->length > file_size - position) return status::kOk;
  *kind = header->IsLive() ? HeaderKind::kLive : HeaderKind::kFreed;
  return status::kOk;
}

Status EncodeStructureRecord(std::uint32_t participant_id, DseMessage* message,
                             std::vector<std::uint8_t>* out) {
  out->assign(kRecordLeadSize, 0);
  if (message != nullptr) {
    const Status packed = message->Pack(false);
    if (status::IsFailure(packed)) return packed;
    for (const DseSegment* s = message->FirstSegment(); s != nullptr; s = s->next) {
      out->insert(out->end(), s->frame, s->frame + s->FrameSize());
    }
  }
  platform::StoreLE32(out->data(), static_cast<std::uint32_t>(out->size()));
  platform::StoreLE32(out->data() + 4, participant_id);
  return status::kOk;
}

Status DecodeStructureRecord(const std::uint8_t* bytes, std::size_t size, DseMessage** message) {
  *message = nullptr;
  if (size == 0) return status::kOk;
  const std::uint8_t* place = bytes;
  const std::uint8_t* end = bytes + size;
  DseSegment* first = nullptr;
  DseSegment* last = nullptr;
  std::uint32_t expected = 1;
  Status result = status::kOk;
  for (std::uint32_t index = 1; index <= expected; ++index) {
    DseSegment* segment = DseSegment::Make(nullptr);
    if (segment == nullptr) {
      result = DseMessage::kNoMemory;
      break;
    }
    segment->next = nullptr;
    if (status::IsFailure(DseSegment::ParseFrame(segment, &place, end)) ||
        segment->index != index || (first != nullptr && segment->count != expected)) {
      DseSegment::ReturnToPool(segment);
      result = kShortRead;
      break;
    }
    if (first == nullptr) {
      first = segment;
      expected = segment->count;
    } else {
      last->next = segment;
    }
    last = segment;
  }
  // The record holds exactly the message's segments.
  if (status::IsSuccess(result) && (first == nullptr || place != end)) result = kShortRead;
  if (status::IsFailure(result)) {
    DseSegment::ReturnChain(first);
    return result;
  }
  std::uint32_t klass = 0, type = 0, subtype = 0;
  DseSegment::UnpackHeader(first, &klass, &type, &subtype);
  *message = DseMessage::DseMessageFromSegments(first, DseMessage::kOrdinaryClass, type, subtype);
  if (*message == nullptr) {
    DseSegment::ReturnChain(first);
    return DseMessage::kNoMemory;
  }
  return status::kOk;
}

Status ReadRecords(XosFileIO* file, std::uint64_t file_size, std::vector<RecordPlace>* records,
                   std::uint64_t* records_end) {
  records->clear();
  std::uint8_t start[kFileStartSize];
  Status result = ReadBytes(file, 0, start, sizeof start);
  if (status::IsFailure(result)) return result;
  const std::uint32_t count = platform::LoadLE32(start + 4);
  // Every record takes at least its lead: a count the file cannot hold is
  // refused before anything is reserved for it.
  if (count > (file_size - kFileStartSize) / kRecordLeadSize) return kShortRead;
  records->reserve(count);
  std::uint64_t position = kFileStartSize;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t lead[kRecordLeadSize];
    result = ReadBytes(file, position, lead, sizeof lead);
    if (status::IsFailure(result)) return result;
    RecordPlace place;
    place.position = position;
    place.length = platform::LoadLE32(lead);
    place.participant_id = platform::LoadLE32(lead + 4);
    if (place.length < kRecordLeadSize || place.length > file_size - position) return kShortRead;
    records->push_back(place);
    position += place.length;
  }
  *records_end = position;
  return status::kOk;
}

}  // namespace snapshot

using namespace snapshot;

bool SputSSBlockHeader::IsEndMarker() const {
  return flags == 0 && length == 0 && std::memcmp(name, "EOF", 4) == 0;
}

void SputSSBlockHeader::SetName(const char* text) { CopyField(name, kNameSize, text, kNameSize); }

void SputSSBlockHeader::SetDescription(const char* text) {
  CopyField(description, kDescriptionSize, text, kDescriptionSize);
}

void SputSSBlockHeader::SetRunPosition(const RunPosition& at) {
  time = at.time;
  run = at.run;
  count = at.count;
}

RunPosition SputSSBlockHeader::GetRunPosition() const { return RunPosition{time, run, count}; }

void SputSSBlockHeader::SetDateTimeNow() {
  const platform::LocalDateTime now = g_clock != nullptr ? g_clock() : platform::LocalNow();
  time_of_day[0] = static_cast<std::uint8_t>(now.second);
  time_of_day[1] = static_cast<std::uint8_t>(now.minute);
  time_of_day[2] = static_cast<std::uint8_t>(now.hour);
  time_of_day[3] = 0;
  date[0] = static_cast<std::uint8_t>(now.day);
  date[1] = static_cast<std::uint8_t>(now.month);
  date[2] = static_cast<std::uint8_t>(now.year % 100);
  date[3] = static_cast<std::uint8_t>(now.year / 100);
}

void SputSSBlockHeader::SetDateTimeFromText(const char* text) {
  std::uint32_t numbers[6] = {};
  int found = 0;
  for (const char* p = text != nullptr ? text : ""; *p != '\0' && found < 6;) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
      ++p;
      continue;
    }
    std::uint32_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
      if (value < 100000) value = value * 10 + static_cast<std::uint32_t>(*p - '0');
    }
    numbers[found++] = value;
  }
  date[0] = static_cast<std::uint8_t>(numbers[0]);
  date[1] = static_cast<std::uint8_t>(numbers[1]);
  date[2] = static_cast<std::uint8_t>(numbers[2] % 100);
  date[3] = static_cast<std::uint8_t>(numbers[2] / 100);
  time_of_day[2] = static_cast<std::uint8_t>(numbers[3]);
  time_of_day[1] = static_cast<std::uint8_t>(numbers[4]);
  time_of_day[0] = static_cast<std::uint8_t>(numbers[5]);
  time_of_day[3] = 0;
}

std::uint32_t SputSSBlockHeader::DateWord() const { return platform::LoadLE32(date); }
std::uint32_t SputSSBlockHeader::TimeWord() const { return platform::LoadLE32(time_of_day); }

void SputSSBlockHeader::Encode(std::uint8_t* out) const {
  std::memset(out, 0, kHeaderSize);
  platform::StoreLE64(out, position);
  platform::StoreLE32(out + 8, length);
  std::memcpy(out + 12, time_of_day, 4);
  std::memcpy(out + 16, date, 4);
  platform::StoreLE32(out + 20, reserved20);
  platform::StoreLEDouble(out + 24, time);
  platform::StoreLE16(out + 32, run);
  platform::StoreLE16(out + 34, static_cast<std::uint16_t>(count));
  platform::StoreLE32(out + 36, reserved36);
  platform::StoreLE32(out + 40, flags);
  std::memcpy(out + 44, name, kNameSize);
  std::memcpy(out + 84, description, kDescriptionSize);
}

void SputSSBlockHeader::Decode(const std::uint8_t* bytes, std::uint32_t version) {
  const auto text = [](const std::uint8_t* p) { return reinterpret_cast<const char*>(p); };
  std::memcpy(time_of_day, bytes + (version >= 8 ? 12 : 8), 4);
  std::memcpy(date, bytes + (version >= 8 ? 16 : 12), 4);
  if (version >= 8) {
    position = platform::LoadLE64(bytes);
    length = platform::LoadLE32(bytes + 8);
    reserved20 = platform::LoadLE32(bytes + 20);
    time = platform::LoadLEDouble(bytes + 24);
    run = platform::LoadLE16(bytes + 32);
    count = static_cast<std::int16_t>(platform::LoadLE16(bytes + 34));
    reserved36 = platform::LoadLE32(bytes + 36);
    flags = platform::LoadLE32(bytes + 40);
    CopyField(name, kNameSize, text(bytes + 44), kNameSize);
    CopyField(description, kDescriptionSize, text(bytes + 84), kDescriptionSize);
  } else {
    position = platform::LoadLE32(bytes);
    length = platform::LoadLE32(bytes + 4);
    reserved20 = 0;
    time = platform::LoadLEDouble(bytes + 16);
    if (version >= 6) {
      run = platform::LoadLE16(bytes + 24);
      count = static_cast<std::int16_t>(platform::LoadLE16(bytes + 26));
      reserved36 = platform::LoadLE32(bytes + 28);
      flags = platform::LoadLE32(bytes + 32);
      CopyField(name, kNameSize, text(bytes + 36), kNameSize);
      CopyField(description, kDescriptionSize, text(bytes + 76), kDescriptionSize);
    } else {
      run = RunFromDouble(platform::LoadLEDouble(bytes + 24));
      count = static_cast<std::int16_t>(platform::LoadLE16(bytes + 32));
      reserved36 = 0;
      flags = platform::LoadLE32(bytes + 40);
      CopyField(name, kNameSize, text(bytes + 44), 84);
      CopyField(description, kDescriptionSize, nullptr, 0);
    }
  }
  header_size = HeaderSizeOf(version);
  data_position = position + header_size;
}

Status SputSSBlockHeader::WriteToMessage(BvuBinaryStream* message) const {
  Status result = message->PutUInt32(DateWord());
  if (status::IsSuccess(result)) result = message->PutUInt32(TimeWord());
  if (status::IsSuccess(result)) result = message->PutDouble(time);
  if (status::IsSuccess(result)) result = message->PutUInt16(run);
  if (status::IsSuccess(result)) result = message->PutUInt16(static_cast<std::uint16_t>(count));
  if (status::IsSuccess(result)) result = message->PutString(name);
  if (status::IsSuccess(result)) result = message->PutString(description);
  if (status::IsSuccess(result)) result = message->PutUInt24(Id());
  return result;
}

Status SputSSBlockHeader::ReadFromMessage(BvuBinaryStream* message) {
  std::uint32_t date_word = 0, time_word = 0, id = 0;
  std::uint16_t run_number = 0, snapshot_count = 0;
  double at = 0.0;
  Status result = message->GetUInt32(&date_word);
  if (status::IsSuccess(result)) result = message->GetUInt32(&time_word);
  if (status::IsSuccess(result) && message->TryGet8(&at) == 0) result = status::kUnhandled;
  if (status::IsSuccess(result)) result = message->GetUInt16(&run_number);
  if (status::IsSuccess(result)) result = message->GetUInt16(&snapshot_count);
  char text[256];
  if (status::IsSuccess(result)) result = message->GetStringInto(text, sizeof text);
  if (status::IsSuccess(result)) SetName(text);
  if (status::IsSuccess(result)) result = message->GetStringInto(text, sizeof text);
  if (status::IsSuccess(result)) SetDescription(text);
  if (status::IsSuccess(result)) result = message->GetUInt24(&id);
  if (status::IsFailure(result)) return result;
  platform::StoreLE32(date, date_word);
  platform::StoreLE32(time_of_day, time_word);
  time = at;
  run = run_number;
  count = static_cast<std::int16_t>(snapshot_count);
  flags = kLiveFlag | (id & kIdMask);
  return status::kOk;
}

SputSSBlockHeader SputSSBlockHeader::EndMarker(std::uint64_t position) {
  SputSSBlockHeader marker;
  marker.position = position;
  marker.SetName(kEndMarkerName);
  marker.SetDateTimeNow();
  return marker;
}
