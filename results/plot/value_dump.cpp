#include "results/plot/value_dump.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <sstream>

#include "foundation/messages/su_print.h"
#include "platform/safe_write.h"
#include "results/plot/result_model.h"

namespace {

constexpr Status kWriteFailed = 0x8000FFFFu;

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  const std::size_t n = std::char_traits<char>::length(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

// Why the platform's replacing open refused the file.
const char* WhyNotOpened(int error) {
  switch (error) {
    case ELOOP:
      return "it is a link to another file";
    case EINVAL:
      return "it is not a regular file";
    case EPERM:
      return "it is another user's file or has further names";
    default:
      return std::strerror(error);
  }
}

}  // namespace

ValueDumpFile::ValueDumpFile(ResultModel* model, std::string file_name,
                             std::vector<std::string> excluded)
    : model_(model), file_name_(std::move(file_name)), excluded_(std::move(excluded)) {}

ValueDumpFile::~ValueDumpFile() = default;

bool ValueDumpFile::Open() {
  if (file_name_.empty()) return false;
  if (stream_ == nullptr) {
    // Named without a folder it lands in the run folder, which others may
    // write in: no link there is written through, no one else's file emptied.
    int error = 0;
    stream_ = std::make_unique<platform::FileOutStream>(
        platform::OpenForReplace(file_name_.c_str(), &error));
    if (!stream_->is_open()) {
      SuPrint(0, "The quality-control file %s was not written: %s", file_name_.c_str(),
              WhyNotOpened(error));
    }
  }
  return stream_->is_open();
}

std::vector<std::string> ValueDumpFile::ReadExclusions(std::istream& in) {
  std::vector<std::string> excluded;
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    if (!line.empty()) excluded.push_back(std::move(line));
  }
  return excluded;
}

std::string ValueDumpFile::DisplayName(const std::string& name, bool copy, bool* copied) {
  if (copied != nullptr) *copied = copy;
  const std::size_t quote = name.find('"');
  const std::size_t blank = name.find(' ');
  if (quote == std::string::npos || (blank != std::string::npos && blank < quote)) return name;
  const std::string before = name.substr(0, quote);
  if (!EqualsIgnoringCase(before, "blocks(") && !EqualsIgnoringCase(before, "streams("))
    return name;
  const std::size_t closing = name.find('"', quote + 1);
  if (closing == std::string::npos) return name;
  std::size_t rest = closing + 1;
  if (rest < name.size() && name[rest] == ')') ++rest;
  if (copied != nullptr) *copied = true;
  return name.substr(quote + 1, closing - quote - 1) + name.substr(rest);
}

void ValueDumpFile::AddName(std::int32_t index, std::int32_t element, const std::string& name) {
  for (const std::string& part : excluded_) {
    if (!part.empty() && name.find(part) != std::string::npos) return;
  }
  names_.push_back({name, index, element});
}

void ValueDumpFile::BuildNames() {
  names_.clear();
  const std::int32_t count = model_->VariableCount();
  for (std::int32_t i = 0; i < count; ++i) {
    ResultVariable* variable = model_->VariableAt(i);
    if (variable == nullptr) continue;
    const std::int32_t elements = variable->ElementCount();
    if (elements <= 0) {
      AddName(i, -1, DisplayName(variable->FullName(), false, nullptr));
      continue;
    }
    for (std::int32_t e = 0; e < elements; ++e) {
      if (ResultVariable* element = variable->Element(e))
        AddName(i, e, DisplayName(element->FullName(), false, nullptr));
    }
  }
  // Names are distinct, so this is the order of a sort by name alone.
  std::sort(names_.begin(), names_.end(), [](const Name& a, const Name& b) {
    return a.text != b.text ? a.text < b.text : a.index < b.index;
  });
  built_ = true;
  generation_ = model_->Generation();
}

double ValueDumpFile::Threshold() const {
  return model_ != nullptr ? model_->ZeroThreshold() : 0.0;
}

std::string ValueDumpFile::ValueText(double value) const {
  if (value != 0.0 && std::fabs(value) <= Threshold()) return "0";
  std::ostringstream text;
  text << value;
  return text.str();
}

Status ValueDumpFile::WriteValues(const char* title, double time) {
  if (!Open()) return status::kOk;
  return WriteTable(title, time);
}

Status ValueDumpFile::WriteTable(const char* title, double time) {
  std::ostream& out = *stream_;
  out << '\n'
      << std::setw(15) << (title != nullptr ? title : "") << " Variable-Name (time = " << time
      << ")\n";
  if (model_ == nullptr) return out ? status::kOk : kWriteFailed;
  if (!built_ || generation_ != model_->Generation()) BuildNames();
  for (const Name& name : names_) {
    // The places are checked again: a stale list prints nothing wrong.
    ResultVariable* variable = model_->VariableAt(name.index);
    if (variable != nullptr && name.element >= 0) {
      variable =
          name.element < variable->ElementCount() ? variable->Element(name.element) : nullptr;
    }
    if (variable == nullptr) continue;
    double value = 0.0;
    variable->GetValue(&value);
    const char marker = (variable->Flags() & ResultVariable::kQueriedFlag) != 0 ? '?' : ' ';
    out << std::setw(15) << ValueText(value) << marker << name.text << '\n';
  }
  out.flush();
  return out ? status::kOk : kWriteFailed;
}

Status ValueDumpFile::WriteSensitivityLine(const std::string& subject, double value) {
  std::ostream& out = *stream_;
  out << subject;
  if (value != 0.0 && std::fabs(value) <= Threshold()) {
    out << " = 0.0\n";
  } else {
    out << " = " << value << '\n';
  }
  out.flush();
  return out ? status::kOk : kWriteFailed;
}

Status ValueDumpFile::WriteSensitivity(ResultVariable* y, ResultVariable* x, double value) {
  if (!Open() || y == nullptr || x == nullptr) return status::kOk;
  return WriteSensitivityLine("Sens: d(" + y->FullName() + ") by d(" + x->FullName() + ")", value);
}

Status ValueDumpFile::WriteSwitchTimeSensitivity(ResultVariable* y, std::int32_t switch_index,
                                                 double value) {
  if (!Open() || y == nullptr) return status::kOk;
  return WriteSensitivityLine("Sens: d(" + y->FullName() + ") by switchtime(" +
                                  std::to_string(std::int64_t{switch_index} + 1) + ")",
                              value);
}

Status ValueDumpFile::WriteLine(const char* text) {
  if (!Open()) return status::kOk;
  std::ostream& out = *stream_;
  out << (text != nullptr ? text : "") << '\n';
  out.flush();
  return out ? status::kOk : kWriteFailed;
}
