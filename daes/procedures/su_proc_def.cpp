#include "daes/procedures/su_proc_def.h"

#include <strings.h>

#include <cstring>
#include <memory>
#include <ostream>

#include "expr/codegen/code_writer.h"
#include "foundation/collections/factory.h"
#include "foundation/persistence/binary_stream.h"
#include "foundation/persistence/file_stream.h"
#include "foundation/persistence/virtual_stream.h"

namespace {

const ClassIdRegistrar kRegistrar(&SUProcDef::Create, procdef::kClassId);

std::int32_t g_find_proc_base = 1;

const char* const kFortranSuffixes[] = {".f", ".for", ".f77", ".f90"};
const char* const kCSuffixes[] = {".c"};
const char* const kCppSuffixes[] = {".cpp", ".C"};

// The extension from the last '.', or null.
const char* Extension(const std::string& text) {
  const std::size_t dot = text.rfind('.');
  return dot == std::string::npos ? nullptr : text.c_str() + dot;
}

std::string Copied(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

// Texts of the stored forms are a length and that many characters; a length
// beyond the limit or the stream's end is damage.
bool ReadVText(Clvistream& stream, std::string* out) {
  std::int32_t n = 0;
  if (!stream.GetI32(n)) return false;
  return n >= 0 && static_cast<std::uint32_t>(n) <= procdef::kMaxStoredText && [&] {
    out->assign(static_cast<std::size_t>(n), '\0');
    return n == 0 || stream.GetBytes(out->data(), static_cast<std::size_t>(n));
  }();
}

void WriteVText(Clvostream& stream, const std::string& text) {
  stream.PutI32(static_cast<std::int32_t>(text.size()));
  if (!text.empty()) stream.PutBytes(text.data(), text.size());
}

bool ReadFileText(ClFileStream& file, std::string* out) {
  std::uint32_t n = 0;
  if (!file.Read32(n)) return false;
  out->clear();
  if (n == 0) return true;
  if (n > procdef::kMaxStoredText) return false;
  std::unique_ptr<char[]> buffer(new char[n + 1]);
  // A shorter text (its zero early, or the end of the file) is taken as read.
  const bool read = file.ReadString(buffer.get(), n + 1);
  out->assign(buffer.get());
  return read || !file.Error();
}

bool WriteFileText(ClFileStream& file, const std::string& text) {
  if (!file.Write32(static_cast<std::uint32_t>(text.size()))) return false;
  return text.empty() || file.WriteString(text.c_str());
}

}  // namespace

std::int32_t FindProcBase() { return g_find_proc_base; }
void SetFindProcBase(std::int32_t base) { g_find_proc_base = base; }

SUProcDef::SUProcDef(const SUProcDef& other)
    : BvuCollectable(other), has_source_(other.has_source_), source_(other.source_),
      suffix_(other.suffix_), suffix_shown_(other.suffix_shown_), language_(other.language_),
      options_(other.options_), version_(other.version_), slot_(other.slot_),
      implementation_(other.implementation_) {
  SetLibrary(other.library_.empty() ? nullptr : other.library_.c_str());
  // Dimension names and saved names stay with the original.
  for (const auto* from : {&other.inputs_, &other.outputs_}) {
    auto& to = from == &other.inputs_ ? inputs_ : outputs_;
    for (const Argument& a : *from) {
      Argument b;
      b.descriptor = a.descriptor;
      b.flags = a.flags;
      b.name = a.name;
      to.push_back(std::move(b));
    }
  }
}

void SUProcDef::SetImplementationName(const char* text) {
  if (text != nullptr) implementation_ = text;
}

void SUProcDef::SetLibrary(const char* text) {
  library_.clear();
  if (text == nullptr) return;
  std::string name = text;
  if (!name.empty() && name[0] == '"') {
    name.erase(0, 1);
    const std::size_t last = name.rfind('"');
    if (last != std::string::npos) name.resize(last);
  }
  const char* ext = Extension(name);
  if (ext != nullptr && (strcasecmp(ext, ".dll") == 0 || strcasecmp(ext, ".so") == 0 ||
                         strcasecmp(ext, ".shr") == 0)) {
    name.resize(static_cast<std::size_t>(ext - name.c_str()));
  }
  library_ = name;
}

void SUProcDef::SetSourceFile(const char* text, bool keep) {
  source_.clear();
  suffix_.clear();
  suffix_shown_ = false;
  has_source_ = text != nullptr;
  if (text == nullptr || language_ == procdef::kLanguageUnknown) {
    if (text != nullptr) {
      std::string t = text;
      if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
      source_ = t;
    }
    if (keep) options_ |= procdef::kSourceIsText;
    return;
  }
  std::string t = text;
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
  source_ = t;
  if (keep) {
    options_ |= procdef::kSourceIsText;
    return;
  }
  if (HasLanguageSuffix(language_, Extension(source_))) return;
  suffix_ = DefaultSuffix(language_);
  suffix_shown_ = !suffix_.empty();
}

void SUProcDef::SetLanguage(std::uint32_t code) {
  language_ = code;
  if (!has_source_) return;
  suffix_.clear();  // the old suffix hidden and dropped
  suffix_shown_ = false;
  if (code == procdef::kLanguageUnknown || (options_ & procdef::kSourceIsText) != 0 ||
      HasLanguageSuffix(code, Extension(source_))) {
    return;
  }
  // Added hidden: readers show it when they want the file name.
  suffix_ = DefaultSuffix(code);
}

std::string SUProcDef::SourceFile() const { return suffix_shown_ ? source_ + suffix_ : source_; }

void SUProcDef::SetArgumentCounts(std::int32_t inputs, std::int32_t outputs) {
  inputs_.assign(static_cast<std::size_t>(inputs > 0 ? inputs : 0), Argument{});
  outputs_.assign(static_cast<std::size_t>(outputs > 0 ? outputs : 0), Argument{});
}

namespace {
template <class V>
auto* At(V& args, std::int32_t i) {
  return i >= 0 && static_cast<std::size_t>(i) < args.size() ? &args[static_cast<std::size_t>(i)]
                                                             : nullptr;
}
}  // namespace

void SUProcDef::SetInputDescriptor(std::int32_t i, std::uint16_t d) {
  if (auto* a = At(inputs_, i)) a->descriptor = d;
}
void SUProcDef::SetOutputDescriptor(std::int32_t i, std::uint16_t d) {
  if (auto* a = At(outputs_, i)) a->descriptor = d;
}
void SUProcDef::SetInputName(std::int32_t i, const char* text) {
  if (auto* a = At(inputs_, i)) a->name = Copied(text);
}
void SUProcDef::SetOutputName(std::int32_t i, const char* text) {
  if (auto* a = At(outputs_, i)) a->name = Copied(text);
}
void SUProcDef::SetSavedInputName(std::int32_t i, const char* text) {
  if (auto* a = At(inputs_, i)) a->saved_name = Copied(text);
}
void SUProcDef::SetSavedOutputName(std::int32_t i, const char* text) {
  if (auto* a = At(outputs_, i)) a->saved_name = Copied(text);
}
void SUProcDef::AddInputFlags(std::int32_t i, std::uint32_t bits) {
  if (auto* a = At(inputs_, i)) a->flags |= bits;
}
void SUProcDef::AddOutputFlags(std::int32_t i, std::uint32_t bits) {
  if (auto* a = At(outputs_, i)) a->flags |= bits;
}

const char* SUProcDef::InputName(std::int32_t i) const {
  const auto* a = At(inputs_, i);
  return a != nullptr && !a->name.empty() ? a->name.c_str() : nullptr;
}
const char* SUProcDef::OutputName(std::int32_t i) const {
  const auto* a = At(outputs_, i);
  return a != nullptr && !a->name.empty() ? a->name.c_str() : nullptr;
}
const char* SUProcDef::SavedInputName(std::int32_t i) const {
  const auto* a = At(inputs_, i);
  return a != nullptr && !a->saved_name.empty() ? a->saved_name.c_str() : nullptr;
}
const char* SUProcDef::SavedOutputName(std::int32_t i) const {
  const auto* a = At(outputs_, i);
  return a != nullptr && !a->saved_name.empty() ? a->saved_name.c_str() : nullptr;
}
std::uint16_t SUProcDef::InputDescriptor(std::int32_t i) const {
  const auto* a = At(inputs_, i);
  return a != nullptr ? a->descriptor : 0;
}
std::uint16_t SUProcDef::OutputDescriptor(std::int32_t i) const {
  const auto* a = At(outputs_, i);
  return a != nullptr ? a->descriptor : 0;
}
std::uint32_t SUProcDef::InputFlags(std::int32_t i) const {
  const auto* a = At(inputs_, i);
  return a != nullptr ? a->flags : 0;
}
std::uint32_t SUProcDef::OutputFlags(std::int32_t i) const {
  const auto* a = At(outputs_, i);
  return a != nullptr ? a->flags : 0;
}

void SUProcDef::SetDimName(std::vector<Argument>& args, std::int32_t i, std::int32_t j,
                           const char* text) {
  Argument* a = At(args, i);
  if (a == nullptr) return;
  if (!a->has_dims) {
    a->has_dims = true;
    a->dims.assign(procdef::Dimensions(a->descriptor), std::string());
  }
  if (std::string* d = At(a->dims, j)) *d = Copied(text);
}

const char* SUProcDef::DimName(const std::vector<Argument>& args, std::int32_t i, std::int32_t j) {
  const Argument* a = At(args, i);
  if (a == nullptr || !a->has_dims) return "*";
  const std::string* d = At(a->dims, j);
  return d != nullptr && !d->empty() ? d->c_str() : "*";
}

void SUProcDef::SetInputDimName(std::int32_t i, std::int32_t j, const char* text) {
  SetDimName(inputs_, i, j, text);
}
void SUProcDef::SetOutputDimName(std::int32_t i, std::int32_t j, const char* text) {
  SetDimName(outputs_, i, j, text);
}
const char* SUProcDef::GetInputDimName(std::int32_t i, std::int32_t j) const {
  return DimName(inputs_, i, j);
}
const char* SUProcDef::GetOutputDimName(std::int32_t i, std::int32_t j) const {
  return DimName(outputs_, i, j);
}

bool SUProcDef::HasLanguageSuffix(std::uint32_t code, const char* extension) {
  if (extension == nullptr) return false;
  auto any = [&](const auto& list) {
    for (const char* s : list) {
      if (strcasecmp(s, extension) == 0) return true;
    }
    return false;
  };
  switch (code) {
    case procdef::kLanguageFortran:
      return any(kFortranSuffixes);
    case procdef::kLanguageC:
      return any(kCSuffixes);
    case procdef::kLanguageCpp:
      return any(kCppSuffixes);
    default:
      return false;
  }
}

const char* SUProcDef::DefaultSuffix(std::uint32_t code) {
  switch (code) {
    case procdef::kLanguageFortran:
      return ".f";
    case procdef::kLanguageC:
      return ".c";
    case procdef::kLanguageCpp:
      return ".cpp";
    default:
      return "";
  }
}

const char* SUProcDef::LanguageName(std::uint32_t code) {
  switch (code) {
    case procdef::kLanguageFortran:
      return "FORTRAN";
    case procdef::kLanguageC:
      return "C";
    case procdef::kLanguageCpp:
      return "C++";
    default:
      return "Unknown";
  }
}

Status SUProcDef::Call(std::int32_t* status) {
  if (status != nullptr) *status = 4;
  return status::kGeneralFailure;
}

void SUProcDef::WriteFindProc(FindProcGenerator& generator) {
  if (slot_ >= FindProcBase()) return;
  slot_ = generator.counter++;
  const char* decoration = "";
  if (language_ == procdef::kLanguageFortran) decoration = version_ >= 3 ? "QLN13_" : "SU55IF_";
  const std::string library = library_.empty() ? std::string("AnonymousDLL") : library_;
  // Both names come from the model: each stays inside its literal.
  if (generator.out != nullptr) {
    *generator.out << "  FIND_PROC(" << slot_ - FindProcBase() << ",\"" << decoration
                   << EscapedText(implementation_.c_str()) << "\", \""
                   << EscapedText(library.c_str()) << "\");\n";
  }
  generator.libraries.insert(library);
}

// Binary file: source, library, language, options, implementation name,
// the counts and the descriptors.
void SUProcDef::SaveToFile(ClFileStream& file) const {
  if (!WriteFileText(file, source_) || !WriteFileText(file, library_) || !file.Write32(language_) ||
      !file.Write32(options_) || !WriteFileText(file, implementation_) ||
      !file.Write32(static_cast<std::uint32_t>(inputs_.size())) ||
      !file.Write32(static_cast<std::uint32_t>(outputs_.size()))) {
    return;
  }
  for (const auto* args : {&inputs_, &outputs_}) {
    for (const Argument& a : *args) {
      if (!file.Write16(a.descriptor)) return;
    }
  }
}

void SUProcDef::RestoreFromFile(ClFileStream& file) {
  std::string source, library, implementation;
  std::uint32_t language = 0, options = 0, n_in = 0, n_out = 0;
  if (!ReadFileText(file, &source) || !ReadFileText(file, &library) || !file.Read32(language) ||
      !file.Read32(options) || !ReadFileText(file, &implementation) || !file.Read32(n_in) ||
      !file.Read32(n_out) || n_in > 0x7FFF || n_out > 0x7FFF) {
    return;  // a damaged body leaves the definition as it was
  }
  std::vector<std::uint16_t> descriptors(n_in + n_out);
  for (std::uint16_t& d : descriptors) {
    if (!file.Read16(d)) return;
  }
  options_ = options;
  language_ = language;
  SetSourceFile(source.empty() ? nullptr : source.c_str(), false);
  SetLanguage(language);
  SetLibrary(library.empty() ? nullptr : library.c_str());
  implementation_ = implementation;
  version_ = 2;
  SetArgumentCounts(static_cast<std::int32_t>(n_in), static_cast<std::int32_t>(n_out));
  for (std::uint32_t k = 0; k < n_in + n_out; ++k) {
    (k < n_in ? inputs_[k] : outputs_[k - n_in]).descriptor = descriptors[k];
  }
}

void SUProcDef::SaveToVStream(Clvostream& stream) const {
  stream.PutI32(-1);
  WriteVText(stream, source_);
  WriteVText(stream, library_);
  stream.PutU32(language_);
  stream.PutI32(static_cast<std::int32_t>(options_));
  stream.PutI32(static_cast<std::int32_t>(version_));
  WriteVText(stream, implementation_);
  stream.PutI32(static_cast<std::int32_t>(inputs_.size()));
  stream.PutI32(static_cast<std::int32_t>(outputs_.size()));
  for (const auto* args : {&inputs_, &outputs_}) {
    for (std::size_t i = 0; i < args->size(); ++i) {
      const Argument& a = (*args)[i];
      stream.PutI16(static_cast<std::int16_t>(a.descriptor));
      WriteVText(stream, a.saved_name);
      if (version_ > 3) {
        stream.PutI32(static_cast<std::int32_t>(a.flags));
        const std::vector<Argument>& all = *args;
        for (std::int32_t j = 0; j < procdef::Dimensions(a.descriptor); ++j) {
          const std::string name = DimName(all, static_cast<std::int32_t>(i), j);
          WriteVText(stream, name == "*" ? std::string() : name);
        }
      }
    }
  }
}

void SUProcDef::RestoreFromVStream(Clvistream& stream) {
  auto fail = [&] { stream.Clear(stream.ReadState() | Clvios::kFailBit); };
  std::int32_t first = 0;
  if (!stream.GetI32(first)) return fail();
  const bool named = first == -1;
  std::string source;
  if (named) {
    if (!ReadVText(stream, &source)) return fail();
  } else {
    // The older form: the first integer is the source's length.
    if (first < 0 || static_cast<std::uint32_t>(first) > procdef::kMaxStoredText) return fail();
    source.assign(static_cast<std::size_t>(first), '\0');
    if (first > 0 && !stream.GetBytes(source.data(), source.size())) return fail();
  }
  std::string library, implementation;
  std::uint32_t language = 0;
  std::int32_t options = 0, version = 0, n_in = 0, n_out = 0;
  if (!ReadVText(stream, &library) || !stream.GetU32(language) || !stream.GetI32(options) ||
      !stream.GetI32(version) || !ReadVText(stream, &implementation) || !stream.GetI32(n_in) ||
      !stream.GetI32(n_out) || n_in < 0 || n_out < 0 || n_in > 0x7FFF || n_out > 0x7FFF) {
    return fail();
  }
  if (version == 0) version = 2;
  std::vector<Argument> ins(static_cast<std::size_t>(n_in)), outs(static_cast<std::size_t>(n_out));
  for (auto* args : {&ins, &outs}) {
    for (Argument& a : *args) {
      std::int16_t d = 0;
      if (!stream.GetI16(d)) return fail();
      a.descriptor = static_cast<std::uint16_t>(d);
      if (named && !ReadVText(stream, &a.saved_name)) return fail();
      if (version > 3) {
        std::int32_t flags = 0;
        if (!stream.GetI32(flags)) return fail();
        a.flags = static_cast<std::uint32_t>(flags);
        a.dims.assign(procdef::Dimensions(a.descriptor), std::string());
        a.has_dims = !a.dims.empty();
        for (std::string& name : a.dims) {
          if (!ReadVText(stream, &name)) return fail();
        }
      }
    }
  }
  has_source_ = !source.empty();
  source_ = source;
  suffix_.clear();
  suffix_shown_ = false;
  library_ = library;
  language_ = language;
  options_ = static_cast<std::uint32_t>(options);
  version_ = static_cast<std::uint32_t>(version);
  implementation_ = implementation;
  inputs_ = std::move(ins);
  outputs_ = std::move(outs);
}

Status SUProcDef::WriteDefinition(BvuBinaryStream& message) const {
  const char* display = DisplayName();
  message.PutString(display != nullptr ? display : "");
  message.PutString(implementation_.c_str());
  message.PutString(source_.c_str());
  message.PutString(library_.c_str());
  message.PutUInt32(version_);
  message.PutUInt32(language_);
  message.PutUInt32(options_);
  message.PutUInt16(static_cast<std::uint16_t>(inputs_.size()));
  message.PutUInt16(static_cast<std::uint16_t>(outputs_.size()));
  for (const auto* args : {&inputs_, &outputs_}) {
    for (std::size_t i = 0; i < args->size(); ++i) {
      const Argument& a = (*args)[i];
      message.PutUInt16(a.descriptor);
      message.PutCString(a.name.c_str());
      message.PutUInt32(a.flags);
      for (std::int32_t j = 0; j < procdef::Dimensions(a.descriptor); ++j) {
        message.PutCString(DimName(*args, static_cast<std::int32_t>(i), j));
      }
    }
  }
  return 0;
}

Status SUProcDef::ReadDefinition(BvuBinaryStream& message) {
  // A failed read leaves the rest of the body out of step: stop there.
  Status last = 0;
  auto text = [&](std::string* out) {
    char* t = nullptr;
    last = message.GetStringNew(&t);
    *out = t != nullptr ? t : "";
    delete[] t;
    return !status::IsFailure(last);
  };
  std::string name, implementation, source, library;
  if (!text(&name)) return last;
  implementation_ = name;
  SetDisplayName(name.c_str());
  if (!text(&implementation)) return last;
  if (!implementation.empty()) implementation_ = implementation;
  if (!text(&source)) return last;
  if (!source.empty()) SetSourceFile(source.c_str(), false);
  if (!text(&library)) return last;
  if (!library.empty()) SetLibrary(library.c_str());
  std::uint32_t version = 0, language = 0, options = 0;
  if (status::IsFailure(last = message.GetUInt32(&version))) return last;
  version_ = version;
  if (status::IsFailure(last = message.GetUInt32(&language))) return last;
  SetLanguage(language);
  if (status::IsFailure(last = message.GetUInt32(&options))) return last;
  options_ = options;
  std::uint16_t n_in = 0, n_out = 0;
  if (status::IsFailure(last = message.GetUInt16(&n_in))) return last;
  if (status::IsFailure(last = message.GetUInt16(&n_out))) return last;
  SetArgumentCounts(n_in, n_out);
  char buffer[procdef::kMaxMessageName + 1];
  for (auto* args : {&inputs_, &outputs_}) {
    for (std::size_t i = 0; i < args->size(); ++i) {
      Argument& a = (*args)[i];
      std::uint16_t d = 0;
      if (status::IsFailure(last = message.GetUInt16(&d))) return last;
      a.descriptor = d;
      buffer[0] = '\0';
      if (status::IsFailure(last = message.GetShortStringInto(buffer, sizeof buffer))) return last;
      if (buffer[0] != '\0') a.name = buffer;
      std::uint32_t flags = 0;
      if (status::IsFailure(last = message.GetUInt32(&flags))) return last;
      a.flags |= flags;
      for (std::int32_t j = 0; j < procdef::Dimensions(d); ++j) {
        buffer[0] = '\0';
        if (status::IsFailure(last = message.GetShortStringInto(buffer, sizeof buffer))) {
          return last;
        }
        if (buffer[0] != '\0' && std::strcmp(buffer, "*") != 0) {
          SetDimName(*args, static_cast<std::int32_t>(i), j, buffer);
        }
      }
    }
  }
  return last;
}
