// Fixed-form FORTRAN output shared by the FORTRAN generators.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "codegen/output_folder.h"

class SUProcDef;

namespace codegen {

// Writes lines, each flushed; statements longer than 72 columns are
// continued after a comma or a blank outside quotes.
class FortranWriter {
 public:
  explicit FortranWriter(OutputFile file) : out_(std::move(file)), file_(out_.get()) {}
  FortranWriter(const FortranWriter&) = delete;
  FortranWriter& operator=(const FortranWriter&) = delete;
  void operator()(const std::string& text);
  // head + items, starting a continuation line whenever the next item would
  // pass column 71.
  void Items(std::string head, const std::vector<std::string>& items,
             const std::string& continuation);

 private:
  void Raw(const std::string& text);
  OutputFile out_;
  std::FILE* file_;
};

// The dimension names of an argument ("%sDim%d" when unnamed).
std::vector<std::string> DimensionNames(const SUProcDef& def, bool input, std::int32_t index,
                                        const std::string& name);
// "INTEGER ", "LOGICAL*4 ", "CHARACTER*40 " or "DOUBLE PRECISION ".
std::string FortranType(std::uint16_t descriptor);
std::string Joined(const std::vector<std::string>& items, const std::string& between);

}  // namespace codegen
