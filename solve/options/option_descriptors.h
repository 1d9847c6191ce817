// The static description of every solver option the client knows: its script
// name, number, wire type, default text, bounds, choices, value checker and
// flags. It drives the checking of values the client types and the option
// script written into exported model code. Rows without a number are settings
// the client keeps and the script repeats; the engine holds no value for them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/status.h"

// Wire type codes of option values, as id-path reads report them.
inline constexpr std::uint32_t kOptionWireFlag = 1;     // one byte
inline constexpr std::uint32_t kOptionWireInteger = 4;  // 32-bit
inline constexpr std::uint32_t kOptionWireReal = 24;    // double
inline constexpr std::uint32_t kOptionWireText = 68;    // the characters

// Row flags.
inline constexpr std::uint64_t kOptionRowNotScripted = 0x1;
inline constexpr std::uint64_t kOptionRowAcceptsNumber = 0x4;  // choices or a plain number
inline constexpr std::uint64_t kOptionRowHidden = 0x8;

// Results of the value checkers and the choice resolver.
enum OptionCheck : std::int32_t {
  kOptionAccepted = 0,
  kOptionOutOfBounds = 1,
  kOptionWrongType = 2,
  kOptionNotRecognised = 3,
  kOptionRetiredChoice = 4,
};

struct OptionDescriptor;

// (row, value text, SUValue type code of the value being set, integer out
// that starts at -1) -> OptionCheck. Checkers report; they never store.
using OptionChecker = std::int32_t (*)(const OptionDescriptor& row, const char* text,
                                       std::int32_t type_code, std::int32_t* out);

struct OptionDescriptor {
  std::int64_t row;          // 0..198; 199 in the end row
  const char* name;          // "" in the end row
  std::int32_t number;       // -1: no numbered value
  std::uint32_t wire_type;   // kOptionWire...
  const char* type_name;     // "Integer", "Double", "Boolean" or "String"
  const char* default_text;  // as the client shows it
  const char* lower;         // "" or "-inf": none; leading ">": exclusive
  const char* upper;         // "" or "+inf": none; leading "<": exclusive
  const char* choices;       // names split by "!", "*" marks a retired name
  OptionChecker checker;
  std::uint64_t flags;
};

inline constexpr std::int32_t kOptionRowCount = 199;

// The rows in order, followed by the end row.
const OptionDescriptor* OptionDescriptors();
// The row of a script name (letter case ignored), or null.
const OptionDescriptor* FindOptionDescriptor(const char* name);

std::int32_t CheckRealOption(const OptionDescriptor& row, const char* text, std::int32_t type_code,
                             std::int32_t* out);
std::int32_t CheckIntegerOption(const OptionDescriptor& row, const char* text,
                                std::int32_t type_code, std::int32_t* out);
std::int32_t CheckBooleanOption(const OptionDescriptor& row, const char* text,
                                std::int32_t type_code, std::int32_t* out);
std::int32_t CheckStringOption(const OptionDescriptor& row, const char* text,
                               std::int32_t type_code, std::int32_t* out);

// The row of a numbered option, or null.
const OptionDescriptor* OptionDescriptorOf(std::int32_t number);
// True when the numbered option has a row whose bounds exclude `value`.
bool OptionOutOfBounds(std::int32_t number, double value);
// Said by a reader that goes on with `used` where integer option `number`
// stores `stored`: "The <reader> refuses <name> = <stored> and goes on with
// <used>", once for each reader and option while the stored value stays.
void TellOptionNotUsed(const char* reader, std::int32_t number, std::int32_t stored,
                       const std::string& used);

// The integer a text stands for in the row: the position of a choice name
// (surrounding double quotes and a retired mark ignored; a retired match gives
// kOptionRetiredChoice), or a decimal number where the row takes one.
std::int32_t ResolveOptionChoice(const OptionDescriptor& row, const char* text, std::int32_t* out);
// The choice name at a position, retired mark kept: kOptionAccepted,
// kOptionWrongType without a choice list, kOptionNotRecognised past its end.
std::int32_t OptionChoiceName(const OptionDescriptor& row, std::int32_t position,
                              std::string* name);

// The option number of a name the integrator server knows its options by
// (letter case ignored); 0xA000FFFF for an unknown name.
Status IntegratorOptionNameTable(const char* name, std::int32_t* number);
