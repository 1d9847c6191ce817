#include "tools/result_replies.h"

#include <cstring>
#include <functional>

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

// The kind and header of a sent snapshot (requests 33 and 110).
bool ReadSentHeader(Reader& r, std::uint16_t kind, SnapshotEntry* e) {
  std::uint16_t read_kind = 0;
  return r.Get(&read_kind) && read_kind == kind && r.Get(&e->id) && r.Text(&e->name) &&
         r.Text(&e->description) && r.Get(&e->date) && r.Get(&e->time_of_day) && r.Get(&e->time) &&
         r.Get(&e->run) && r.Get(&e->count);
}

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

namespace vantor_client {
namespace {

constexpr double kJumpMarker = 2.999999950695069e28;

void PutPath(Request& request, const std::vector<std::uint32_t>& ids) {
  request.PutUInt8(0);
  request.PutUInt16(static_cast<std::uint16_t>(ids.size()));
  for (std::uint32_t id : ids) request.PutUInt24(id);
}

// An assignment as the results manager writes it, then its name.
bool ReadUseItem(Reader& r, UseItem* item) {
  if (!r.Get(&item->kind)) return false;
  switch (item->kind) {
    case 24:
      if (!r.Get(&item->real)) return false;
      break;
    case 1:
    case 4: {
      if (!r.Get(&item->type)) return false;
      item->typed.resize(item->type == 4 ? 8 : 4);
      if (!r.Take(item->typed.data(), item->typed.size())) return false;
      break;
    }
    case 2:
      break;
    default:
      // Texts and sets have no length of their own here.
      return false;
  }
  return r.Get(&item->pattern) && r.Get(&item->mask) && r.Text(&item->name);
}

}  // namespace

void PutSetReal(Request& request, const std::vector<std::uint32_t>& ids, std::uint16_t attribute,
                double value) {
  PutPath(request, ids);
  request.PutUInt16(attribute);
  request.PutUInt16(0);
  request.PutUInt16(4);
  request.PutDouble(value);
}

void PutPlotVariables(Request& request, double tolerance,
                      const std::vector<std::vector<std::uint32_t>>& paths) {
  request.PutUInt16(26);
  request.PutDouble(tolerance);
  request.PutUInt32(static_cast<std::uint32_t>(paths.size()));
  for (const auto& path : paths) PutPath(request, path);
}

namespace {
// Request 28 of a report kind: its own fields, then run 0 and the paths.
void PutReport(Request& request, std::uint16_t kind, const std::function<void()>& fields,
               const std::vector<std::vector<std::uint32_t>>& paths) {
  request.PutUInt16(28);
  request.PutUInt16(kind);
  fields();
  request.PutUInt32(0);
  request.PutUInt32(static_cast<std::uint32_t>(paths.size()));
  for (const auto& path : paths) PutPath(request, path);
}
}  // namespace

void PutTimePlot(Request& request, double start, double end,
                 const std::vector<std::vector<std::uint32_t>>& paths) {
  PutReport(
      request, 0, [&] { request.PutDouble(start), request.PutDouble(end); }, paths);
}

void PutIntervalProfile(Request& request, double start, double interval,
                        const std::vector<std::vector<std::uint32_t>>& paths) {
  PutReport(
      request, 2, [&] { request.PutDouble(start), request.PutDouble(interval); }, paths);
}

void PutSpecifiedProfile(Request& request, const std::vector<double>& times,
                         const std::vector<std::vector<std::uint32_t>>& paths) {
  PutReport(
      request, 1,
      [&] {
        request.PutUInt32(static_cast<std::uint32_t>(times.size()));
        for (double t : times) request.PutDouble(t);
      },
      paths);
}

bool DecodeProfileData(const Bytes& body, ProfileData* data) {
  Reader r(body);
  std::uint32_t found = 0;
  std::uint8_t reserved[3];
  std::uint32_t count = 0;
  if (!r.Get(&found) || !r.Take(reserved, 3) || !r.Get(&count)) return false;
  // (found + 1) x count doubles: the counts cannot ask for more than is there.
  const std::uint64_t doubles = (std::uint64_t{found} + 1) * count;
  if (doubles > body.size() / 8 || (count == 0 && found > body.size())) return false;
  data->times.assign(count, 0.0);
  for (double& t : data->times)
    if (!r.Get(&t)) return false;
  data->values.assign(found, std::vector<double>(count, 0.0));
  for (auto& values : data->values)
    for (double& v : values)
      if (!r.Get(&v)) return false;
  return r.AtEnd();
}

bool DecodePlotHeader(const Bytes& body, PlotData* data) {
  Reader r(body);
  std::uint32_t count = 0;
  if (!r.Get(&count) || (body.size() - 4) / 4 != count || body.size() % 4 != 0) return false;
  data->found.clear();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t flag = 0;
    if (!r.Get(&flag)) return false;
    data->found.push_back(flag != 0);
  }
  return r.AtEnd();
}

bool DecodePlotData(const Bytes& body, PlotData* data) {
  Reader r(body);
  std::uint32_t found = 0;
  std::uint8_t reserved[3];
  std::uint32_t samples = 0;
  if (!r.Get(&found) || !r.Take(reserved, 3) || !r.Get(&samples) || !r.Get(&data->first) ||
      !r.Get(&data->last) || !r.Get(&data->interval))
    return false;
  // Every sample takes 8 bytes: the counts cannot ask for more than is
  // there, and without samples a variable still counts against the body.
  if (samples == 0 ? found > body.size() : found != 0 && samples > body.size() / 8 / found)
    return false;
  data->samples.assign(found, {});
  data->jumps.assign(found, {});
  for (std::uint32_t v = 0; v < found; ++v) {
    while (data->samples[v].size() < samples) {
      double value = 0;
      if (!r.Get(&value)) return false;
      if (value == kJumpMarker) {
        PlotJump jump;
        if (!r.Get(&jump.time) || !r.Get(&jump.before) || !r.Get(&jump.after)) return false;
        data->jumps[v].push_back(jump);
        continue;
      }
      data->samples[v].push_back(value);
    }
  }
  return r.AtEnd();
}

namespace {

bool ReadU24(Reader& r, std::uint32_t* value) {
  std::uint8_t bytes[3];
  if (!r.Take(bytes, 3)) return false;
  *value = bytes[0] | (bytes[1] << 8) | (std::uint32_t{bytes[2]} << 16);
  return true;
}

}  // namespace

bool DecodeSnapshotList(const Bytes& body, std::uint16_t kind, std::vector<SnapshotEntry>* list) {
  Reader r(body);
  list->clear();
  std::uint16_t read_kind = 0;
  if (kind != 0 && (!r.Get(&read_kind) || read_kind != kind)) return false;
  std::uint32_t count = 0;
  // Each snapshot takes at least 29 bytes.
  if (!ReadU24(r, &count) || count > body.size() / 29) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    SnapshotEntry e;
    if (!r.Get(&e.date) || !r.Get(&e.time_of_day) || !r.Get(&e.time) || !r.Get(&e.run) ||
        !r.Get(&e.count) || !r.Text(&e.name) || !r.Text(&e.description) || !ReadU24(r, &e.id))
      return false;
    list->push_back(std::move(e));
  }
  return r.AtEnd();
}

bool DecodeFileList(const Bytes& body, std::vector<std::string>* names) {
  Reader r(body);
  names->clear();
  std::uint32_t count = 0;
  if (!ReadU24(r, &count) || count > body.size() / 4) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string name;
    if (!r.Text(&name)) return false;
    names->push_back(std::move(name));
  }
  return r.AtEnd();
}

bool DecodeSentSnapshot(const Bytes& body, std::uint16_t kind, SnapshotEntry* e) {
  Reader r(body);
  return ReadSentHeader(r, kind, e);
}

namespace {

// Copies one variable tree, record by record, to its end (the level-up
// of its root); each name goes whole, as the engine's reader takes it.
bool CopyTree(Reader& r, Request& out) {
  constexpr std::uint8_t kRootTag = 12;
  constexpr std::uint8_t kLevelUp = 0x80;
  std::uint32_t depth = 0;
  for (;;) {
    std::uint8_t tag = 0;
    if (!r.Get(&tag) || status::IsFailure(out.PutUInt8(tag))) return false;
    if (tag >= kLevelUp) {
      if (depth == 0) return true;
      --depth;
      continue;
    }
    std::uint32_t index = 0, kind = 0;
    std::uint16_t length = 0;
    if (!ReadU24(r, &index) || !ReadU24(r, &kind) || !r.Get(&length) || length == 0) return false;
    std::string name(length, '\0');
    std::uint8_t flag = 0;
    if (!r.Take(name.data(), length) || !r.Get(&flag)) return false;
    name.pop_back();
    if (status::IsFailure(out.PutUInt24(index)) || status::IsFailure(out.PutUInt24(kind)) ||
        status::IsFailure(out.PutCString(name.c_str())) || status::IsFailure(out.PutUInt8(flag)))
      return false;
    if (tag != kRootTag) ++depth;
    if (flag == 0) continue;
    std::uint32_t variable = 0, type = 0, count = 0;
    std::uint8_t attribute = 0;
    if (!r.Get(&variable) || !ReadU24(r, &type) || !r.Get(&attribute) || !ReadU24(r, &count))
      return false;
    out.PutUInt32(variable);
    out.PutUInt24(type);
    out.PutUInt8(attribute);
    out.PutUInt24(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t element = 0;
      if (!r.Get(&element) || status::IsFailure(out.PutUInt32(element))) return false;
    }
  }
}

}  // namespace

bool PutSnapshotImport(Request& request, const std::vector<Bytes>& sent) {
  if (sent.empty() || status::IsFailure(request.PutUInt32(static_cast<std::uint32_t>(sent.size()))))
    return false;
  for (const Bytes& one : sent) {
    Reader r(one);
    SnapshotEntry e;
    if (!ReadSentHeader(r, 33, &e)) return false;
    request.PutUInt32(e.date);
    request.PutUInt32(e.time_of_day);
    request.PutDouble(e.time);
    request.PutUInt16(e.run);
    request.PutUInt16(e.count);
    request.PutString(e.name.c_str());
    request.PutString(e.description.c_str());
    request.PutUInt24(e.id);
    // The values follow the tree, which is read past.
    Request past(55);
    if (!CopyTree(r, past)) return false;
    for (std::uint8_t byte : r.Rest())
      if (status::IsFailure(request.PutUInt8(byte))) return false;
  }
  Reader first(sent[0]);
  SnapshotEntry e;
  return ReadSentHeader(first, 33, &e) && CopyTree(first, request);
}

bool DecodeUseReply(const Bytes& body, std::uint16_t request, UseReply* reply) {
  Reader r(body);
  *reply = UseReply();
  if ((request != 20 && request != 146) || !r.Get(&reply->kind) || reply->kind != 20 ||
      !r.Get(&reply->staged))
    return false;
  if (request == 146) {
    // Each name takes at least its length and NUL.
    if (reply->staged > body.size() / 4) return false;
    for (std::uint32_t i = 0; i < reply->staged; ++i) {
      std::string name;
      if (!r.Text(&name)) return false;
      reply->staged_names.push_back(name);
    }
  }
  std::uint32_t count = 0;
  if (!r.Get(&count) || count > body.size() / 12) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    UseItem item;
    if (!ReadUseItem(r, &item)) return false;
    reply->items.push_back(std::move(item));
  }
  return r.AtEnd();
}

}  // namespace vantor_client
