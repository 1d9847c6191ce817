#include "expr/codegen/code_writer.h"

#include <cstdio>
#include <cstring>
#include <ostream>
#include <sstream>

#include "expr/tree/expression.h"
#include "platform/posix_file.h"
#include "platform/safe_write.h"

namespace {

// A BSTR that frees itself.
class Bstr {
 public:
  explicit Bstr(const std::string& text) : text_(platform::BstrFromUtf8(text)) {}
  ~Bstr() { platform::SysFreeString(text_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  operator platform::BSTR() const { return text_; }

 private:
  platform::BSTR text_;
};

// The object every builder call hands back is released at once; a failure
// is raised.
void Check(Status status, platform::IUnknown* object) {
  if (object != nullptr) object->Release();
  if (status::IsFailure(status)) throw CodeBuilderError(status);
}

std::string HexStatus(Status status) {
  char text[64];
  std::snprintf(text, sizeof text, "code builder call failed with 0x%08X",
                static_cast<unsigned>(status));
  return text;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string EscapedText(const char* text) {
  std::string out;
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
    switch (*p) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out.push_back(*p);
    }
  }
  return out;
}

namespace {

bool IdentifierChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

// Runs of consecutive members: first "\"" and, for a longer run, ":" last "\"".
void WriteIntegerRuns(std::ostream& out, const std::vector<std::int32_t>& members) {
  std::size_t i = 0;
  while (i < members.size()) {
    std::size_t j = i;
    while (j + 1 < members.size() &&
           static_cast<std::int64_t>(members[j + 1]) == static_cast<std::int64_t>(members[j]) + 1) {
      ++j;
    }
    out << members[i] << "\\\"";
    if (j > i) out << ':' << members[j] << "\\\"";
    i = j + 1;
  }
}

// The set forms: the class, the name, then the members unless the set is
// an empty declaration.
template <typename WriteMembers>
void WriteSet(std::ostream& out, const char* cls, const char* name, bool empty,
              WriteMembers members) {
  if (empty && name == nullptr) {
    out << '(' << cls << "())";
    return;
  }
  out << cls;
  if (name != nullptr) out << ' ' << name;
  if (empty) return;
  out << "(_T(\"";
  members();
  out << "\"))";
}

}  // namespace

CodeBuilderError::CodeBuilderError(Status status)
    : std::runtime_error(HexStatus(status)), status_(status) {}

// --- set iterators ---

SetIterators::~SetIterators() {
  for (Expression* set : sets) Expression::Release(set);
}

void SetIterators::Resize(std::size_t count) {
  while (sets.size() > count) {
    Expression::Release(sets.back());
    sets.pop_back();
  }
  sets.resize(count, nullptr);
}

void SetIterators::Set(std::size_t k, Expression* set) {
  if (k >= sets.size()) Resize(k + 1);
  if (set != nullptr) set->AddRef();
  Expression::Release(sets[k]);
  sets[k] = set;
}

bool SetIterators::IsString(std::size_t k) const {
  return k < sets.size() && sets[k] != nullptr &&
         (sets[k]->GetResultType() & SUValue::kKindMask) == SUValue::kString;
}

// --- builder ---

void ExprCodeWriter::NotifyBuilder(const std::string& name, std::int32_t kind,
                                   const std::string& second) {
  if (!Notifying()) return;
  const Bstr a(name), b(second);
  platform::IUnknown* object = nullptr;
  Check(builder->AnnounceName(a, kind, b, &object), object);
}

void ExprCodeWriter::LinkArgument(const std::string& name, const std::string& second) {
  if (!Notifying()) return;
  const Bstr a(name), b(second);
  platform::IUnknown* object = nullptr;
  Check(builder->LinkArgument(a, b, &object), object);
}

void ExprCodeWriter::DescribeValue(const std::string& name, const SUValue& value) {
  if (!Notifying()) return;
  const Bstr n(name);
  platform::IUnknown* object = nullptr;
  const auto type = static_cast<std::int32_t>(value.type & 0x0F);
  switch (value.type & 0x0F) {
    case SUValue::kInteger:
    case SUValue::kSpecification:
      Check(builder->DescribeIntegerValue(n, SUValue::kInteger, value.payload.integer, &object),
            object);
      return;
    case SUValue::kReal:
      Check(builder->DescribeRealValue(n, type, value.payload.real, &object), object);
      return;
    case SUValue::kLogical:
      Check(builder->DescribeLogicalValue(n, type, value.payload.integer != 0 ? 1 : 0, &object),
            object);
      return;
    case SUValue::kString: {
      const Bstr text(value.GetString() != nullptr ? value.GetString() : "");
      Check(builder->DescribeStringValue(n, type, text, &object), object);
      return;
    }
    case SUValue::kName:
      NotifyBuilder(value.GetString() != nullptr ? value.GetString() : "", kBuilderName, name);
      return;
    case 10:
      if (!value.IsIntegerSet() || value.count == 0) {
        Check(builder->AddIntegerSetElement(n, type, kEmptyIntegerSetMark, &object), object);
        return;
      }
      for (std::int32_t i = 0; i < value.count; ++i) {
        object = nullptr;
        Check(builder->AddIntegerSetElement(n, type, value.GetIntAt(i), &object), object);
      }
      return;
    case 13:
      if (!value.IsStringSet()) return;
      for (std::int32_t i = 0; i < value.count; ++i) {
        const char* member = value.GetStringAt(i);
        const Bstr text(member != nullptr ? member : "");
        object = nullptr;
        Check(builder->AddStringSetElement(n, type, text, &object), object);
      }
      return;
    default:
      return;
  }
}

// --- text utilities ---

std::ostream& Indent(ExprCodeWriter& writer, std::ostream& out, std::int32_t delta) {
  if (writer.indent != 0) out << std::string(2u * writer.indent, ' ');
  writer.indent = static_cast<std::uint32_t>(static_cast<std::int32_t>(writer.indent) + delta);
  return out;
}

std::ostream& ChangeIndent(ExprCodeWriter& writer, std::int32_t delta, std::ostream& out) {
  writer.indent = static_cast<std::uint32_t>(static_cast<std::int32_t>(writer.indent) + delta);
  if (writer.indent != 0) out << std::string(2u * writer.indent, ' ');
  return out;
}

void WriteStringLiteral(ExprCodeWriter&, std::ostream& out, const char* text, const char* prefix) {
  out << "(CONST_CHAR_STAR)";
  WriteWideLiteral(out, text, prefix);
}

void WriteWideLiteral(std::ostream& out, const char* text, const char* prefix) {
  out << "_T(\"";
  if (prefix != nullptr) out << prefix;
  out << EscapedText(text) << "\\0\")";
}

std::string RealLiteral(double value) {
  char text[128];
  std::snprintf(text, sizeof text, "%#.17g", value);
  std::string s(text);
  if (s.find('e') == std::string::npos && !s.empty() && s.back() == '0') {
    const std::size_t last = s.find_last_not_of('0');
    s.erase(last + 1);
  }
  return s;
}

void WriteConstant(ExprCodeWriter& writer, std::ostream& out, const SUValue& value,
                   const char* name) {
  const bool scalar = !value.IsArray();
  switch (value.type & 0x0F) {
    case SUValue::kInteger:
      if (scalar) out << value.payload.integer;
      return;
    case SUValue::kLogical:
      if (scalar) out << (value.payload.integer != 0 ? "true" : "false");
      return;
    case SUValue::kReal:
      if (scalar) out << RealLiteral(value.payload.real);
      return;
    case SUValue::kString: {
      const char* text = value.Kind() == SUValue::kString || value.Kind() == SUValue::kName
                             ? value.GetString()
                             : nullptr;
      WriteStringLiteral(writer, out, text != nullptr ? text : "");
      return;
    }
    case SUValue::kSpecification: {
      if (!scalar) return;
      switch (value.payload.integer) {
        case SUValue::kFree:
          out << "ESpecCalculated";
          return;
        case SUValue::kInitial:
          out << "ESpecInitial";
          return;
        case SUValue::kFixed:
          out << "ESpecFixed";
          return;
        case SUValue::kRateInitial:
          out << "ESpecRateInitial";
          return;
        case SUValue::kObjective:
          out << "ESpecObjective";
          return;
        case SUValue::kVary:
          out << "ESpecVary";
          return;
        default:
          out << "(QV_SpecType)" << value.payload.integer;
          return;
      }
    }
    case 8:
      if (name != nullptr) {
        out << "QV_SetValue " << name;
      } else {
        out << "(QV_SetValue())";
      }
      return;
    case 10: {
      std::vector<std::int32_t> members;
      if (value.IsIntegerSet()) {
        for (std::int32_t i = 0; i < value.count; ++i) members.push_back(value.GetIntAt(i));
      } else if (!value.IsArray()) {
        members.push_back(value.payload.integer);
      }
      WriteSet(out, "QV_IntSetValue", name, members.empty(),
               [&] { WriteIntegerRuns(out, members); });
      return;
    }
    case 13: {
      std::vector<std::string> members;
      if (value.IsStringSet()) {
        for (std::int32_t i = 0; i < value.count; ++i) {
          const char* member = value.GetStringAt(i);
          members.emplace_back(member != nullptr ? member : "");
        }
      } else if (!value.IsArray() && value.Kind() == SUValue::kString) {
        members.emplace_back(value.GetString() != nullptr ? value.GetString() : "");
      }
      WriteSet(out, "QV_StrSetValue", name, members.empty(), [&] {
        for (const std::string& member : members) out << EscapedText(member.c_str()) << "\\\"";
      });
      return;
    }
    default:
      return;
  }
}

std::string CIdentifier(ExprCodeWriter&, const char* name) {
  if (name == nullptr) return std::string();
  std::string upper;
  for (const char* p = name; *p != '\0'; ++p) upper.push_back(Upper(*p));
  const std::size_t quote = upper.find('"');
  if (quote == std::string::npos) {
    // Generated code must not take a character of a name for its own.
    for (char& c : upper) {
      if (!IdentifierChar(c) && c != '.') c = '_';
    }
    return upper;
  }
  const std::size_t close = upper.find(')', quote);
  if (quote >= 2 && close != std::string::npos) {
    std::string result = "_";
    result.push_back(upper[0]);
    result.push_back('_');
    for (std::size_t i = quote + 1; i < close; ++i) {
      if (upper[i] != '"') result.push_back(IdentifierChar(upper[i]) ? upper[i] : '_');
    }
    return result;
  }
  // Outside the indexed-name form: a valid identifier all the same.
  for (char& c : upper) {
    if (!IdentifierChar(c)) c = '_';
  }
  return upper;
}

void WriteSetIterParams(const std::vector<std::uint16_t>& iterator_types, std::ostream& out,
                        bool declare, bool term_counter, bool min_max) {
  out << '(';
  for (std::size_t k = 0; k < iterator_types.size(); ++k) {
    if (k > 0) out << ", ";
    if (declare) {
      out << ((iterator_types[k] & SUValue::kKindMask) == SUValue::kString ? "QV_StringSetIter &"
                                                                           : "QV_IntegerSetIter &");
    }
    out << "QV_VSI" << k + 1;
  }
  bool any = !iterator_types.empty();
  if (term_counter) {
    if (any) out << ", ";
    out << (declare ? "int iTermToIgnore=-1" : "iTerm++");
    any = true;
  }
  if (min_max) {
    if (any) out << ", ";
    out << (declare ? "double dMinMax=0.0" : "dMinMax");
  }
  out << ')';
}

std::string FolderFile(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + '/' + name;
}

void AppendFileToText(std::string& text, const char* folder, const char* file_name) {
  const std::string path =
      FolderFile(folder != nullptr ? folder : "", file_name != nullptr ? file_name : "");
  if (path.size() > 1023 || !platform::IsOwnRegularFile(path.c_str())) return;
  platform::FileOpenMode mode;
  mode.read = true;
  mode.create = false;
  mode.no_follow = true;
  mode.no_wait = true;
  int error = 0;
  platform::FileDescriptor file = platform::OpenOwnedFile(path.c_str(), mode, &error);
  if (!file.valid()) return;
  std::string read;
  char piece[1022];
  std::size_t got = 0;
  while (platform::ReadSome(file.get(), piece, sizeof piece, &got, &error) && got > 0) {
    read.append(piece, got);
  }
  text += read;
  platform::RemoveFile(path.c_str());
}

void WriteSetIterationHeader(ExprCodeWriter& writer, std::ostream& out, bool string_set,
                             std::uint32_t number, const std::string& set_code) {
  Indent(writer, out) << (string_set ? "QV_StringSetIter QV_VSI" : "QV_IntegerSetIter QV_VSI")
                      << number << '(' << set_code << ");\n";
  Indent(writer, out, 1) << "while (QV_VSI" << number << ".Next()) {\n";
}
