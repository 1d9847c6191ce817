// The description of one user procedure: its names, library, source file,
// language, calling-interface version, option bits and typed, dimensioned
// arguments. A persistent collectable; the model's procedure definitions
// derive from it and add loading and calling, code generation reads it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <set>
#include <string>
#include <vector>

#include "foundation/collections/bvu_collectable.h"
#include "platform/status.h"

class BvuBinaryStream;

namespace procdef {
inline constexpr std::uint16_t kClassId = 303;

inline constexpr std::uint32_t kLanguageUnknown = 0;
inline constexpr std::uint32_t kLanguageFortran = 1;
inline constexpr std::uint32_t kLanguageC = 2;
inline constexpr std::uint32_t kLanguageCpp = 3;

inline constexpr std::uint32_t kFunction = 0x1;
inline constexpr std::uint32_t kPrecall = 0x2;
inline constexpr std::uint32_t kPostcall = 0x4;
inline constexpr std::uint32_t kPropertiesId = 0x8;
inline constexpr std::uint32_t kAnalyticDerivatives = 0x10;
inline constexpr std::uint32_t kInputsByPointer = 0x80;
inline constexpr std::uint32_t kSourceIsText = 0x100;
inline constexpr std::uint32_t kProblemCalls = 0x2000;

// Argument descriptors: the type code in bits 0-3, the dimension count in
// bits 8-15.
inline constexpr std::uint16_t TypeCode(std::uint16_t d) { return d & 0xF; }
inline constexpr std::uint16_t Dimensions(std::uint16_t d) { return d >> 8; }
inline constexpr std::uint16_t kInteger = 2;
inline constexpr std::uint16_t kLogical = 3;
inline constexpr std::uint16_t kReal = 4;
inline constexpr std::uint16_t kString = 5;

// Names in the message form fit a 256-byte buffer.
inline constexpr std::size_t kMaxMessageName = 255;
// Texts longer than this in the stored forms are damage, not data.
inline constexpr std::uint32_t kMaxStoredText = 1u << 20;
}  // namespace procdef

// What WriteFindProc writes into: the running slot counter, the text and the
// set of libraries of one generation.
struct FindProcGenerator {
  std::int32_t counter = 1;
  std::ostream* out = nullptr;
  std::set<std::string> libraries;
};
// The first slot number of the current generation (1 at start).
std::int32_t FindProcBase();
void SetFindProcBase(std::int32_t base);

class SUProcDef : public BvuCollectable {
 public:
  SUProcDef() = default;
  SUProcDef(const SUProcDef& other);
  SUProcDef& operator=(const SUProcDef&) = delete;
  ~SUProcDef() override = default;

  static ClCollectable* Create() { return new SUProcDef; }
  ClCollectable* NewEmpty() const override { return new SUProcDef; }
  ClCollectable* Copy() const override { return new SUProcDef(*this); }
  std::uint16_t ClassId() const override { return procdef::kClassId; }
  void RestoreFromVStream(Clvistream& stream) override;
  void RestoreFromFile(ClFileStream& file) override;
  void SaveToVStream(Clvostream& stream) const override;
  void SaveToFile(ClFileStream& file) const override;
  const char* GetNameText(std::int32_t) override { return implementation_.c_str(); }

  // Null when unnamed.
  virtual const char* InputName(std::int32_t i) const;
  virtual const char* OutputName(std::int32_t i) const;
  virtual const char* SavedInputName(std::int32_t i) const;
  virtual const char* SavedOutputName(std::int32_t i) const;
  virtual const char* DisplayName() const { return nullptr; }
  virtual void SetDisplayName(const char*) {}
  virtual Status WriteDefinition(BvuBinaryStream& message) const;
  // Reads on past a failure; the status of the last read.
  virtual Status ReadDefinition(BvuBinaryStream& message);
  // The base has no procedure behind it: status 4.
  virtual Status Call(std::int32_t* status);

  void SetImplementationName(const char* text);
  void SetLibrary(const char* text);
  void SetSourceFile(const char* text, bool keep);
  void SetLanguage(std::uint32_t code);
  void SetArgumentCounts(std::int32_t inputs, std::int32_t outputs);
  void SetOptions(std::uint32_t options) { options_ = options; }
  void SetInterfaceVersion(std::uint32_t version) { version_ = version; }
  void SetInputDescriptor(std::int32_t i, std::uint16_t d);
  void SetOutputDescriptor(std::int32_t i, std::uint16_t d);
  void SetInputName(std::int32_t i, const char* text);
  void SetOutputName(std::int32_t i, const char* text);
  void SetSavedInputName(std::int32_t i, const char* text);
  void SetSavedOutputName(std::int32_t i, const char* text);
  void AddInputFlags(std::int32_t i, std::uint32_t bits);
  void AddOutputFlags(std::int32_t i, std::uint32_t bits);
  void SetInputDimName(std::int32_t i, std::int32_t j, const char* text);
  void SetOutputDimName(std::int32_t i, std::int32_t j, const char* text);
  // "*" when not named.
  const char* GetInputDimName(std::int32_t i, std::int32_t j) const;
  const char* GetOutputDimName(std::int32_t i, std::int32_t j) const;

  const std::string& ImplementationName() const { return implementation_; }
  // Empty when none.
  const std::string& Library() const { return library_; }
  bool HasSource() const { return has_source_; }
  // The source without an added default suffix.
  const std::string& PlainSource() const { return source_; }
  // With the default suffix when one was added and is shown.
  std::string SourceFile() const;
  // The name with the added suffix made visible (the file generator's form).
  std::string ShownSourceFile() const { return source_ + suffix_; }
  void ShowSuffix(bool shown) { suffix_shown_ = shown; }
  std::uint32_t BaseLength() const {
    return suffix_.empty() ? 0 : static_cast<std::uint32_t>(source_.size());
  }
  std::uint32_t Language() const { return language_; }
  std::uint32_t Options() const { return options_; }
  std::uint32_t InterfaceVersion() const { return version_; }
  std::int32_t InputCount() const { return static_cast<std::int32_t>(inputs_.size()); }
  std::int32_t OutputCount() const { return static_cast<std::int32_t>(outputs_.size()); }
  std::uint16_t InputDescriptor(std::int32_t i) const;
  std::uint16_t OutputDescriptor(std::int32_t i) const;
  std::uint32_t InputFlags(std::int32_t i) const;
  std::uint32_t OutputFlags(std::int32_t i) const;

  static bool HasLanguageSuffix(std::uint32_t code, const char* extension);
  static const char* DefaultSuffix(std::uint32_t code);
  static const char* LanguageName(std::uint32_t code);

  // The "FIND_PROC" line of this definition, once per generation.
  void WriteFindProc(FindProcGenerator& generator);
  std::int32_t GetProcIndex() const { return slot_ - FindProcBase(); }
  std::int32_t SlotNumber() const { return slot_; }

 protected:
  struct Argument {
    std::uint16_t descriptor = 0;
    std::uint32_t flags = 0;
    std::string name;
    std::string saved_name;
    bool has_dims = false;
    std::vector<std::string> dims;  // empty entries are unnamed
  };
  std::vector<Argument>& Inputs() { return inputs_; }
  std::vector<Argument>& Outputs() { return outputs_; }
  const std::vector<Argument>& Inputs() const { return inputs_; }
  const std::vector<Argument>& Outputs() const { return outputs_; }

 private:
  static void SetDimName(std::vector<Argument>& args, std::int32_t i, std::int32_t j,
                         const char* text);
  static const char* DimName(const std::vector<Argument>& args, std::int32_t i, std::int32_t j);

  std::string library_;
  bool has_source_ = false;
  std::string source_;
  std::string suffix_;  // the added default suffix with its '.', or empty
  bool suffix_shown_ = false;
  std::uint32_t language_ = procdef::kLanguageFortran;
  std::uint32_t options_ = 0;
  std::uint32_t version_ = 2;
  std::int32_t slot_ = 0;
  std::vector<Argument> inputs_;
  std::vector<Argument> outputs_;
  std::string implementation_;
};
