// The variable-value dump: a plain-text file with the values of all model
// variables at a time, sorted by name, and single sensitivity lines. The
// problem manager makes it with the file name (none: nothing is ever
// written) and the name substrings to leave out; runs, the optimisation
// driver and the sensitivity manager write into it. Server thread only.
//
// Its name list is rebuilt whenever the problem has changed since it was
// built, and every index is checked when the values are read, so that a
// rebuilt problem never prints a value under another variable's name.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

class ResultModel;
class ResultVariable;
namespace platform {
class FileOutStream;
}

class ValueDumpFile {
 public:
  ValueDumpFile(ResultModel* model, std::string file_name, std::vector<std::string> excluded);
  ~ValueDumpFile();
  ValueDumpFile(const ValueDumpFile&) = delete;
  ValueDumpFile& operator=(const ValueDumpFile&) = delete;

  // Opens the file on first use, replacing an existing one of ours (a
  // link, another user's file or one with further names is refused, with
  // a line saying why, and nothing is written), then writes a table of
  // every variable's value.
  Status WriteValues(const char* title, double time);
  // "Sens: d(<y>) by d(<x>) = <v>"
  Status WriteSensitivity(ResultVariable* y, ResultVariable* x, double value);
  // "Sens: d(<y>) by switchtime(<switch + 1>) = <v>"
  Status WriteSwitchTimeSensitivity(ResultVariable* y, std::int32_t switch_index, double value);
  // A line of text and an end of line, opening the file on first use as
  // the tables do.
  Status WriteLine(const char* text);

  // Excluded name substrings, one a line; line ends, trailing blanks and
  // blank lines are dropped.
  static std::vector<std::string> ReadExclusions(std::istream& in);

  // The name as written: blocks("B1").T becomes B1.T, and so for streams(
  // in any case; other names are left as they are. *copied tells whether a
  // new text was made (always with copy).
  static std::string DisplayName(const std::string& name, bool copy, bool* copied);
  // Adds a name with the variable's place unless it holds an excluded
  // substring.
  void AddName(std::int32_t index, std::int32_t element, const std::string& name);
  std::size_t NameCount() const { return names_.size(); }

 private:
  struct Name {
    std::string text;
    std::int32_t index;    // in the model's variable list
    std::int32_t element;  // -1 for a variable that is not an array
  };
  bool Open();
  Status WriteTable(const char* title, double time);
  void BuildNames();
  std::string ValueText(double value) const;
  double Threshold() const;
  Status WriteSensitivityLine(const std::string& subject, double value);

  ResultModel* model_;
  std::string file_name_;
  std::vector<std::string> excluded_;
  std::unique_ptr<platform::FileOutStream> stream_;
  std::vector<Name> names_;
  bool built_ = false;
  std::uint32_t generation_ = 0;
};
