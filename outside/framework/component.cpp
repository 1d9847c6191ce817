#include "outside/framework/component.h"

#include <strings.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kvs {

char* ServicesText(const std::string& text) {
  KVSServices* services = GetKVSServices();
  auto* block = static_cast<char*>(services->Alloc(text.size() + 1));
  if (block != nullptr) std::memcpy(block, text.c_str(), text.size() + 1);
  return block;
}

std::uint32_t RefCounted::ReleaseImpl(void*) {
  const std::uint32_t left = --refs_;
  if (left == 0) delete this;
  return left;
}

Status AnswerText(const char* text, char** out) {
  if (out == nullptr) return kParamBadArgument;
  *out = ServicesText(text);
  return *out == nullptr ? kParamBadArgument : 0;
}

void Printer::operator()(std::int32_t level, const char* format, ...) const {
  if (handler_ == nullptr || *level_ < level) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  handler_->Print(text, 0, 0);
}

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

}  // namespace

std::size_t ParameterTable::NoCaseHash::operator()(std::string_view name) const {
  std::size_t h = 14695981039346656037ull;  // FNV-1a
  for (char c : name) h = (h ^ static_cast<unsigned char>(Lower(c))) * 1099511628211ull;
  return h;
}

bool ParameterTable::NoCaseEqual::operator()(std::string_view a, std::string_view b) const {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

void ParameterTable::Add(Entry entry) {
  index_.emplace(entry.name, entries_.size());  // a repeated name keeps the first
  entries_.push_back(std::move(entry));
}

void ParameterTable::AddInt(const char* name, std::int32_t* field, std::int32_t low,
                            std::int32_t high) {
  Add({name, Type::kInt, field, double(low), double(high), {}});
}
void ParameterTable::AddReal(const char* name, double* field, double low, double high) {
  Add({name, Type::kReal, field, low, high, {}});
}
void ParameterTable::AddBool(const char* name, bool* field) {
  Add({name, Type::kBool, field, 0, 1, {}});
}
void ParameterTable::AddChoice(const char* name, std::int32_t* field,
                               std::vector<std::string> choices) {
  Add({name, Type::kChoice, field, 0, 0, std::move(choices)});
}

const ParameterTable::Entry* ParameterTable::Find(const char* name) const {
  const auto at = index_.find(std::string_view(name));
  return at != index_.end() ? &entries_[at->second] : nullptr;
}

Status ParameterTable::Names(char*** names) const {
  if (names == nullptr) return kParamBadArgument;
  KVSServices* services = GetKVSServices();
  auto** array = static_cast<char**>(services->Alloc(sizeof(char*) * entries_.size()));
  if (array == nullptr) return kParamBadArgument;
  for (size_t i = 0; i < entries_.size(); ++i) array[i] = ServicesText(entries_[i].name);
  *names = array;
  return 0;
}

Status ParameterTable::Get(const char* name, std::int32_t* kind, void* value) const {
  if (name == nullptr || kind == nullptr || value == nullptr) return kParamBadArgument;
  const Entry* e = Find(name);
  if (e == nullptr) return kParamUnknown;
  switch (e->type) {
    case Type::kInt:
      *kind = kKvsInteger;
      *static_cast<std::int32_t*>(value) = *static_cast<std::int32_t*>(e->field);
      return 0;
    case Type::kReal:
      *kind = kKvsReal;
      *static_cast<double*>(value) = *static_cast<double*>(e->field);
      return 0;
    case Type::kBool:
      *kind = kKvsText;
      *static_cast<char**>(value) = ServicesText(*static_cast<bool*>(e->field) ? "YES" : "NO");
      return 0;
    case Type::kChoice:
      *kind = kKvsText;
      *static_cast<char**>(value) =
          ServicesText(e->choices[size_t(*static_cast<std::int32_t*>(e->field))]);
      return 0;
  }
  return kParamUnknown;
}

Status ParameterTable::Set(const char* name, std::int32_t kind, const void* value) {
  if (name == nullptr || value == nullptr) return kParamBadArgument;
  const Entry* e = Find(name);
  if (e == nullptr) return kParamUnknown;
  const char* text = kind == kKvsText ? static_cast<const char*>(value) : nullptr;
  if (kind == kKvsText && text == nullptr) return kParamBadArgument;
  switch (e->type) {
    case Type::kInt: {
      if (kind != kKvsInteger) return kParamWrongKind;
      const std::int32_t v = *static_cast<const std::int32_t*>(value);
      if (v < e->low || v > e->high) return kParamOutOfRange;
      *static_cast<std::int32_t*>(e->field) = v;
      return 0;
    }
    case Type::kReal: {
      double v;
      if (kind == kKvsReal)
        v = *static_cast<const double*>(value);
      else if (kind == kKvsInteger)
        v = *static_cast<const std::int32_t*>(value);
      else
        return kParamWrongKind;
      if (!(v >= e->low && v <= e->high)) return kParamOutOfRange;  // NaN too
      *static_cast<double*>(e->field) = v;
      return 0;
    }
    case Type::kBool: {
      bool v;
      if (kind == kKvsInteger) {
        const std::int32_t i = *static_cast<const std::int32_t*>(value);
        if (i != 0 && i != 1) return kParamOutOfRange;
        v = i == 1;
      } else if (kind == kKvsText) {
        if (strcasecmp(text, "YES") == 0)
          v = true;
        else if (strcasecmp(text, "NO") == 0)
          v = false;
        else
          return kParamOutOfRange;
      } else {
        return kParamWrongKind;
      }
      *static_cast<bool*>(e->field) = v;
      return 0;
    }
    case Type::kChoice: {
      if (kind != kKvsText) return kParamWrongKind;
      for (size_t i = 0; i < e->choices.size(); ++i)
        if (strcasecmp(text, e->choices[i].c_str()) == 0) {
          *static_cast<std::int32_t*>(e->field) = static_cast<std::int32_t>(i);
          return 0;
        }
      return kParamOutOfRange;
    }
  }
  return kParamUnknown;
}

}  // namespace kvs
