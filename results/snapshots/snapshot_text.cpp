#include "results/snapshots/snapshot_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string_view>

#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/virtual_stream.h"
#include "foundation/values/typed_value.h"

namespace {

constexpr std::uint8_t kOtherNode = 0;
constexpr std::uint8_t kUseDataNode = 1;
constexpr std::uint32_t kInitialElementCapacity = 16;
constexpr std::uint32_t kMost24Bit = 0xFFFFFF;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[i]);
    if (std::tolower(ca) != std::tolower(cb)) return false;
  }
  return true;
}

// The names from below the root down to the node.
std::string PathBelow(BvuDirectoryNode* root, BvuDirectoryNode* node) {
  std::vector<const char*> names;
  for (BvuDirectoryNode* at = node; at != nullptr && at != root; at = at->Parent())
    names.push_back(at->Name() != nullptr ? at->Name() : "");
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path += *it;
  return path;
}

// Components split at the dots outside an index, so "(2)" stays joined to
// the name before it; leading dots dropped.
std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  int depth = 0;
  for (char c : path) {
    if (c == '(') ++depth;
    if (c == ')' && depth > 0) --depth;
    if (c == '.' && depth == 0) {
      if (!part.empty()) parts.push_back(part);
      part.clear();
      continue;
    }
    part += c;
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

const char* SpecificationWord(std::uint32_t code, bool derivative) {
  switch (code & 0xFFFF) {
    case 1:
      return "FREE";
    case 2:
      return "INITIAL";
    case 4:
    case 64:
      return "FIXED";
    case 8:
      return derivative ? "INITIAL" : "FREE";
    case 16:
      return "OBJECTIVE";
    case 32:
      return "VARY";
    default:
      return nullptr;
  }
}

// The value's text; false for a type written without one.
bool ValueText(const SUValue& value, std::string* text) {
  const std::uint16_t type = value.type;
  if (type == SUValue::kLogical) {
    *text = value.payload.integer != 0 ? "True" : "False";
    return true;
  }
  if (type == SUValue::kReal) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%#.16g", value.payload.real);
    *text = buffer;
    return true;
  }
  if (type == SUValue::kString || type == SUValue::kName) {
    const char* s = value.GetString();
    const std::string_view body = s != nullptr ? s : "";
    if (body.find('\n') != std::string_view::npos || body.find('"') != std::string_view::npos) {
      *text = "TEXT ";
      *text += body;
      *text += "\r\nENDTEXT";
      return true;
    }
  }
  if (type == SUValue::kInteger || type == SUValue::kString || type == SUValue::kName ||
      type == SUValue::kEmptySet || type == SUValue::kIntSet || type == SUValue::kStringSet) {
    std::ostringstream out;
    value.Print(out);
    *text = out.str();
    return true;
  }
  return false;
}

class TextWriter {
 public:
  TextWriter(SimSnapshotTextRecord& record, Clvostream& out) : record_(record), out_(out) {}

  void Write() {
    Header();
    Tree();
    while (!open_.empty()) Close();
    Put("END\r\n");
  }

 private:
  void Put(std::string_view text) { out_.PutBytes(text.data(), text.size()); }

  void Header() {
    char line[128];
    if (record_.has_header)
      std::snprintf(line, sizeof line, "Snapshot snap%04u\r\n", record_.id);
    else
      std::snprintf(line, sizeof line, "Snapshot snap0000\r\n");
    Put(line);
    Put("// Start of Snapshot Header Information. Please don't modify or move.\r\n");
    Put("description : \"");
    Put(record_.description.empty() ? "None Supplied" : record_.description);
    Put("\";\r\n");
    const std::uint32_t d = record_.date;
    const std::uint32_t t = record_.time_of_day;
    std::snprintf(line, sizeof line, "solution_date : \"%02i%c%02i%c%02i%02i %02i:%02i:%02i\";\r\n",
                  static_cast<int>(d & 0xFF), '-', static_cast<int>((d >> 8) & 0xFF), '-',
                  static_cast<int>((d >> 24) & 0xFF), static_cast<int>((d >> 16) & 0xFF),
                  static_cast<int>((t >> 16) & 0xFF), static_cast<int>((t >> 8) & 0xFF),
                  static_cast<int>(t & 0xFF));
    Put(line);
    std::snprintf(line, sizeof line, "Solution_Time : %.16g;\r\n", record_.position.time);
    Put(line);
    std::snprintf(line, sizeof line, "Solution_Convergence : %d;\r\n",
                  static_cast<int>(record_.position.count));
    Put(line);
    std::snprintf(line, sizeof line, "Run_Number : %u;\r\n",
                  static_cast<unsigned>(record_.position.run));
    Put(line);
    if (!record_.notes.empty()) {
      Put("user_notes : \"");
      Put(record_.notes);
      Put("\";\r\n");
    }
    Put("// End of Snapshot Header Information.\r\n");
  }

  // Pre-order, children in index order, without recursion: a tree from
  // outside may nest deep.
  void Tree() {
    BvuDirectoryProper* root = record_.Tree();
    struct Level {
      BvuDirectoryNode* node;
      std::int32_t next;
    };
    std::vector<Level> levels{{root, root->LowIndex()}};
    while (!levels.empty()) {
      Level& level = levels.back();
      BvuDirectoryNode* child = nullptr;
      std::int32_t index = NextChildIndex(level.node, level.next);
      while (child == nullptr && index <= level.node->HighIndex()) {
        child = level.node->ChildAt(index++);
        if (child == nullptr) index = NextChildIndex(level.node, index);
      }
      level.next = index;
      if (child == nullptr) {
        levels.pop_back();
        continue;
      }
      if (child->GetKind() == SimUseData::kKind)
        Statement(*static_cast<SimUseData*>(child), PathBelow(root, child));
      levels.push_back({child, child->LowIndex()});
    }
  }

  void Close() {
    Put("ENDWITHIN;\r\n");
    open_.pop_back();
  }

  void Statement(SimUseData& node, const std::string& path) {
    std::vector<std::string> parts = SplitPath(path);
    bool derivative = false;
    if (!parts.empty() && SameIgnoringCase(parts.back(), "Derivative")) {
      derivative = true;
      parts.pop_back();
    }
    if (parts.empty()) return;
    std::string value_text;
    bool carries_specification = false;
    if (!Value(node, &value_text, &carries_specification)) return;

    // Blocks stay open only down to what the open stack and this path share
    // from the outermost level: a sibling unit with the same inner names
    // must not land inside the previous unit's blocks.
    const std::size_t parents = parts.size() - 1;
    std::size_t shared = 0;
    while (shared < open_.size() && shared < parents &&
           SameIgnoringCase(open_[shared], parts[shared]))
      ++shared;
    while (open_.size() > shared) Close();
    for (std::size_t i = shared; i < parents; ++i) {
      Put("WITHIN ");
      Put(parts[i]);
      Put("\r\n");
      open_.push_back(parts[i]);
    }

    std::string line;
    if (derivative) line += '$';
    line += parts.back();
    line += ": ";
    line += value_text;
    const char* word = SpecificationWord(node.attribute, derivative);
    if (carries_specification && word != nullptr) {
      line += ", ";
      line += word;
      if (node.extra != SimUseData::kNoExtra) {
        line += ", ";
        line += std::to_string(node.extra);
      }
    }
    line += ";\r\n";
    Put(line);
  }

  // The text of the node's value; false when the node has no value to set.
  bool Value(const SimUseData& node, std::string* text, bool* carries_specification) {
    const SUPackedValueTable& table = record_.Values();
    if (node.variable_index == SimUseData::kArray ||
        node.variable_index >= static_cast<std::uint32_t>(table.Count()))
      return false;
    SUValue value;
    if (status::IsFailure(table.Record(static_cast<std::int32_t>(node.variable_index))
                              .ToValue(&value, table.Pool())))
      return false;
    if (!ValueText(value, text)) return false;
    *carries_specification = value.type == SUValue::kReal;
    return true;
  }

  SimSnapshotTextRecord& record_;
  Clvostream& out_;
  std::vector<std::string> open_;
};

// Collects the text in a string, for callers that want it whole.
class StringOutStream : public Clvostream {
 public:
  std::string text;
  void PutBytes(const char* bytes, std::size_t count) override { text.append(bytes, count); }
  void PutU16(std::uint16_t) override {}
  void PutI16(std::int16_t) override {}
  void PutU32(std::uint32_t) override {}
  void PutI32(std::int32_t) override {}
  void PutULong(std::uint32_t) override {}
  void PutLong(std::int32_t) override {}
  void PutFloat(float) override {}
  void PutDouble(double) override {}
  void PutChar(char value) override { text += value; }
  void PutUChar(unsigned char value) override { text += static_cast<char>(value); }
  void PutString(const char* value) override { text.append(value, std::strlen(value) + 1); }
  void PutDoubles(const double*, std::size_t) override {}
  void PutFloats(const float*, std::size_t) override {}
  void PutU32s(const std::uint32_t*, std::size_t) override {}
  void PutI32s(const std::int32_t*, std::size_t) override {}
  void PutULongs(const std::uint32_t*, std::size_t) override {}
  void PutLongs(const std::int32_t*, std::size_t) override {}
  void PutU16s(const std::uint16_t*, std::size_t) override {}
  void PutI16s(const std::int16_t*, std::size_t) override {}
  void PutSignedBytes(const signed char*, std::size_t) override {}
  void PutSignedChar(signed char) override {}
  void PutUnsignedBytes(const unsigned char*, std::size_t) override {}
  void PutByte(std::uint8_t) override {}
};

Status ReadText(BvuBinaryStream& stream, std::string* text) {
  char* read = nullptr;
  const Status s = stream.GetStringNew(&read);
  if (status::IsFailure(s)) {
    delete[] read;
    return s;
  }
  text->assign(read != nullptr ? read : "");
  delete[] read;
  return status::kOk;
}

}  // namespace

SimUseData::SimUseData(BvuDirectoryNode* parent, const char* name)
    : BvuDirectoryProper(parent, name) {
  elements.reserve(kInitialElementCapacity);
}

Status WriteUseDataNode(BvuDirectoryNode* node, BvuBinaryStream& stream, void*) {
  if (node->GetKind() != SimUseData::kKind) return stream.PutUInt8(kOtherNode);
  const auto& data = *static_cast<SimUseData*>(node);
  if (data.elements.size() > kMost24Bit) return status::kBadArguments;
  Status s = stream.PutUInt8(kUseDataNode);
  if (status::IsSuccess(s)) s = stream.PutUInt32(data.variable_index);
  if (status::IsSuccess(s)) s = stream.PutUInt24(data.type);
  if (status::IsSuccess(s)) s = stream.PutUInt8(static_cast<std::uint8_t>(data.attribute));
  if (status::IsSuccess(s)) s = stream.PutUInt24(static_cast<std::uint32_t>(data.elements.size()));
  for (std::size_t i = 0; i < data.elements.size() && status::IsSuccess(s); ++i)
    s = stream.PutUInt32(data.elements[i]);
  return status::IsFailure(s) ? s : status::kOk;
}

Status WriteUseDataTree(BvuDirectoryNode* root, BvuBinaryStream& stream) {
  return root->WriteTree(stream, WriteUseDataNode, nullptr);
}

Status ReadUseDataNode(BvuBinaryStream& stream, BvuDirectoryNode*, std::int32_t, std::int32_t,
                       const char* name, void*, BvuDirectoryNode** node) {
  *node = nullptr;
  std::uint32_t index = 0;
  std::uint32_t type = 0;
  std::uint8_t attribute = 0;
  std::uint32_t count = 0;
  Status s = stream.GetUInt32(&index);
  if (status::IsSuccess(s)) s = stream.GetUInt24(&type);
  if (status::IsSuccess(s)) s = stream.GetUInt8(&attribute);
  if (status::IsSuccess(s)) s = stream.GetUInt24(&count);
  if (status::IsFailure(s)) return s;
  // The elements are read before the node is made; a count beyond the
  // body fails at its end, one element at a time.
  std::vector<std::uint32_t> elements;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t element = 0;
    s = stream.GetUInt32(&element);
    if (status::IsFailure(s)) return s;
    elements.push_back(element);
  }
  auto* data = new SimUseData(nullptr, name);
  data->variable_index = index;
  data->type = static_cast<std::uint16_t>(type);
  data->attribute = attribute;
  data->elements = std::move(elements);
  *node = data;
  return status::kOk;
}

SimSnapshotTextRecord::SimSnapshotTextRecord() : tree_(new BvuDirectoryProper(nullptr, "")) {
  SputSSBlockHeader now;
  now.SetDateTimeNow();
  date = now.DateWord();
  time_of_day = now.TimeWord();
}

SimSnapshotTextRecord::~SimSnapshotTextRecord() {
  BvuDirectoryProper::DeleteBelow(tree_);
  delete tree_;
}

Status SimSnapshotTextRecord::ReadFromMessage(BvuBinaryStream& stream) {
  std::uint16_t run = 0;
  std::uint16_t count = 0;
  Status s = stream.GetUInt16(&kind);
  if (status::IsSuccess(s)) s = stream.GetUInt32(&id);
  if (status::IsSuccess(s)) s = ReadText(stream, &name);
  if (status::IsSuccess(s)) s = ReadText(stream, &description);
  if (status::IsSuccess(s)) s = stream.GetUInt32(&date);
  if (status::IsSuccess(s)) s = stream.GetUInt32(&time_of_day);
  std::uint64_t time_bits = 0;
  if (status::IsSuccess(s)) s = stream.GetUInt64(&time_bits);
  if (status::IsSuccess(s)) s = stream.GetUInt16(&run);
  if (status::IsSuccess(s)) s = stream.GetUInt16(&count);
  if (status::IsFailure(s)) return s;
  std::memcpy(&position.time, &time_bits, sizeof time_bits);
  position.run = run;
  position.count = static_cast<std::int16_t>(count);
  if (kind == kTextKind) return ReadText(stream, &text);
  s = tree_->ReadTree(stream, ReadUseDataNode, nullptr);
  if (status::IsSuccess(s)) s = values_.Restore(stream);
  return status::IsFailure(s) ? s : status::kOk;
}

Status SimSnapshotTextRecord::WriteToMessage(BvuBinaryStream& stream) const {
  Status s = stream.PutUInt16(kind);
  if (status::IsSuccess(s)) s = stream.PutUInt32(id);
  if (status::IsSuccess(s)) s = stream.PutString(name.c_str());
  if (status::IsSuccess(s)) s = stream.PutString(description.c_str());
  if (status::IsSuccess(s)) s = stream.PutUInt32(date);
  if (status::IsSuccess(s)) s = stream.PutUInt32(time_of_day);
  if (status::IsSuccess(s)) s = stream.PutDouble(position.time);
  if (status::IsSuccess(s)) s = stream.PutUInt16(position.run);
  if (status::IsSuccess(s)) s = stream.PutUInt16(static_cast<std::uint16_t>(position.count));
  if (status::IsFailure(s)) return s;
  if (kind == kTextKind)
    s = stream.PutString(text.c_str());
  else {
    s = WriteUseDataTree(tree_, stream);
    if (status::IsSuccess(s)) s = values_.Save(stream);
  }
  return status::IsFailure(s) ? s : status::kOk;
}

void SimSnapshotTextRecord::FillBlockHeader(SputSSBlockHeader* header) const {
  header->SetName(name.c_str());
  header->SetDescription(description.c_str());
  header->SetRunPosition(position);
  header->flags = id & snapshot::kIdMask;
  for (int i = 0; i < 4; ++i) {
    header->date[i] = static_cast<std::uint8_t>(date >> (8 * i));
    header->time_of_day[i] = static_cast<std::uint8_t>(time_of_day >> (8 * i));
  }
}

void WriteSnapshotText(SimSnapshotTextRecord& record, Clvostream& out) {
  TextWriter(record, out).Write();
}

std::string SnapshotText(SimSnapshotTextRecord& record) {
  StringOutStream out;
  WriteSnapshotText(record, out);
  return std::move(out.text);
}
