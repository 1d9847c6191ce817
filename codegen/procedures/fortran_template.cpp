// The FORTRAN template and wrapper of the current calling interface, in
// fixed form: no line passes column 72.
// GCC 12 warns falsely on literal + std::string at -O3 (its bug 105329).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "codegen/names.h"
#include "codegen/procedures/fortran.h"
#include "codegen/procedures/generate.h"

using procdef::Dimensions;
using procdef::TypeCode;

namespace codegen {

void FortranWriter::Raw(const std::string& text) {
  std::fputs(text.c_str(), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}

void FortranWriter::operator()(const std::string& text) {
  const bool comment = !text.empty() && (text[0] == 'C' || text[0] == '*' || text[0] == 'c');
  if (comment || text.size() <= 72) {
    Raw(text);
    return;
  }
  // A safety net for statements the generator does not break itself:
  // split after a comma or before a blank outside quotes.
  const bool debug = text[0] == 'D';
  std::string rest = text;
  while (rest.size() > 72) {
    std::size_t split = 0;
    bool quoted = false;
    for (std::size_t p = 0; p < 72; ++p) {
      if (rest[p] == '\'') quoted = !quoted;
      if (quoted || p < 7) continue;
      if (rest[p] == ',') split = p + 1;
      if (rest[p] == ' ' && p > 10) split = p;
    }
    if (split == 0) break;
    Raw(rest.substr(0, split));
    rest = std::string(debug ? "D    &    " : "     &    ") + rest.substr(split);
  }
  Raw(rest);
}

void FortranWriter::Items(std::string head, const std::vector<std::string>& items,
                          const std::string& continuation) {
  for (const std::string& item : items) {
    if (head.size() + item.size() > 71 && head.size() > continuation.size()) {
      (*this)(head);
      head = continuation;
    }
    head += item;
  }
  (*this)(head);
}

std::vector<std::string> DimensionNames(const SUProcDef& def, bool input, std::int32_t index,
                                        const std::string& name) {
  std::vector<std::string> dims;
  const std::uint16_t d = input ? def.InputDescriptor(index) : def.OutputDescriptor(index);
  for (std::int32_t k = 0; k < Dimensions(d); ++k) {
    const char* text = input ? def.GetInputDimName(index, k) : def.GetOutputDimName(index, k);
    dims.push_back(ArgDimensionName(name.c_str(), k + 1, text));
  }
  return dims;
}

std::string FortranType(std::uint16_t d) {
  switch (TypeCode(d)) {
    case procdef::kInteger:
      return "INTEGER ";
    case procdef::kLogical:
      return "LOGICAL*4 ";
    case procdef::kString:
      return "CHARACTER*40 ";
    default:
      return "DOUBLE PRECISION ";
  }
}

std::string Joined(const std::vector<std::string>& items, const std::string& between) {
  std::string text;
  for (std::size_t k = 0; k < items.size(); ++k) {
    if (k > 0) text += between;
    text += items[k];
  }
  return text;
}

}  // namespace codegen

namespace {

using codegen::DimensionNames;
using codegen::FortranType;
using codegen::FortranWriter;
using codegen::Joined;

struct FArg {
  std::string name;
  std::uint16_t desc;
  std::uint32_t flags;
  std::vector<std::string> dims;
};

std::vector<FArg> ArgsOf(const SUProcDef& def, bool input) {
  std::vector<FArg> args;
  const std::int32_t count = input ? def.InputCount() : def.OutputCount();
  for (std::int32_t i = 0; i < count; ++i) {
    FArg a;
    a.name = input ? InputArgumentName(def, i + 1) : OutputArgumentName(def, i + 1);
    a.desc = input ? def.InputDescriptor(i) : def.OutputDescriptor(i);
    a.flags = input ? def.InputFlags(i) : def.OutputFlags(i);
    a.dims = DimensionNames(def, input, i, a.name);
    args.push_back(std::move(a));
  }
  return args;
}

std::string Str(std::int32_t n) { return std::to_string(n); }

// The debug print of one argument's value(s).
void DebugPrint(FortranWriter& line, const FArg& a) {
  const std::string& A = a.name;
  const std::int32_t d = static_cast<std::int32_t>(a.dims.size());
  if (d == 0) {
    switch (TypeCode(a.desc)) {
      case procdef::kInteger:
        line("D     CALL QLN_PRINT(0,'  " + A + "=%d'," + A + ",0,0,0,0)");
        break;
      case procdef::kLogical:
        line("D     IF (" + A + ") THEN");
        line("D       CALL QLN_PRINT(0,'  " + A + "=TRUE ',0,0,0,0,0)");
        line("D     ELSE");
        line("D       CALL QLN_PRINT(0,'  " + A + "=FALSE',0,0,0,0,0)");
        line("D     ENDIF");
        break;
      case procdef::kString:
        line("C This argument is a string: it uses up 2 places in the QLN_PRINT arg list");
        line("D     CALL QLN_PRINT(0,'  " + A + "=''%s'''," + A + ",0,0,0)");
        break;
      default:
        line("D     CALL QLN_PRINT(0,'  " + A + "=%g'," + A + ",0,0,0,0)");
        break;
    }
    return;
  }
  // Leading indices in outer loops, the last one element by element.
  for (std::int32_t n = 1; n < d; ++n) {
    line("D     DO i" + Str(n) + "=1, " + a.dims[n - 1]);
  }
  std::string format = "  " + A + "(";
  std::vector<std::string> values;
  for (std::int32_t n = 1; n < d; ++n) {
    format += "%d,";
    values.push_back("i" + Str(n));
  }
  while (values.size() < 5) values.push_back("0");
  line("D     CALL QLN_PRINT(0,'" + format + "*)%&'," + Joined(values, ",") + ")");
  line("D     CH = '='");
  line("D     DO i" + Str(d) + "=1, " + a.dims[d - 1]);
  std::string element = A + "(";
  for (std::int32_t n = 1; n <= d; ++n) element += (n > 1 ? ",i" : "i") + Str(n);
  element += ")";
  switch (TypeCode(a.desc)) {
    case procdef::kInteger:
      line("D       CALL QLN_PRINT(0,'%c%d%&',CH," + element + ",0,0)");
      break;
    case procdef::kLogical:
      line("D       IF (" + element + ") THEN");
      line("D         CALL QLN_PRINT(0,'%cTRUE%&',CH,0,0,0)");
      line("D       ELSE");
      line("D         CALL QLN_PRINT(0,'%cFALSE%&',CH,0,0,0)");
      line("D       ENDIF");
      break;
    case procdef::kString:
      line("D       CALL QLN_PRINT(0,'%c''%s''%&',CH," + element + ",0)");
      break;
    default:
      line("D       CALL QLN_PRINT(0,'%c%g%&',CH," + element + ",0,0)");
      break;
  }
  line("D       CH = ','");
  line("D     ENDDO");
  line("D     CALL QLN_PRINT(0,'',0,0,0,0,0)");
  for (std::int32_t n = 1; n < d; ++n) line("D     ENDDO");
}

}  // namespace

Status WriteFortranTemplate(const SUCodeGenerate& generate, const CodegenReport& report,
                            std::uint32_t request, const char* template_path, const char* name) {
  const std::string path = template_path != nullptr ? template_path : "";
  codegen::OutputFile file = codegen::OpenForWriting(report, "generate", path);
  if (file.get() == nullptr) return codegen::kFailureReport;
  FortranWriter line(std::move(file));
  const SUProcDef& def = *generate.definition;
  const std::uint32_t options = def.Options();
  const bool debug = (request & codegen::kRequestDebug) != 0;
  const bool function = (options & procdef::kFunction) != 0;
  const bool derivs = (options & procdef::kAnalyticDerivatives) != 0;
  const bool props = (options & procdef::kPropertiesId) != 0;
  const bool workspace = generate.workspace != 0;
  const std::string NAME = name != nullptr ? name : "";
  const std::vector<FArg> in = ArgsOf(def, true);
  const std::vector<FArg> out = ArgsOf(def, false);
  std::size_t most = 0;
  for (const auto& a : in) most = std::max(most, a.dims.size());
  for (const auto& a : out) most = std::max(most, a.dims.size());
  const std::uint16_t result = out.empty() ? procdef::kReal : out[0].desc;
  // A text cannot take the number 0: it gets blanks.
  const std::string zero = TypeCode(result) == procdef::kString ? "' '" : "0";

  // 1-2.
  line("C Code for Procedure Definition " + generate.display_name);
  line("C Template generated by QLN V12, based on definition");
  line("C Edit only where indicated by 'TODO:' markers");
  line("C");
  line(std::string(function ? "      FUNCTION " : "      SUBROUTINE ") + NAME + "(ICALL,");
  auto argument_line = [&line](const FArg& a, const std::string& continuation) {
    std::vector<std::string> items;
    for (const auto& dim : a.dims) items.push_back(" " + dim + ",");
    line.Items("     &    " + a.name + ",", items, continuation);
  };
  for (const auto& a : in) argument_line(a, "     &          ");
  if (!function) {
    for (const auto& a : out) argument_line(a, "     &           ");
  }
  if (props) line("     &    IPROPS,");
  if (workspace) line("     &    Workspace, WorkSize,");
  if (derivs) line("     &    NONZEROS, ROWS, COLS, DERIVS,");
  line("     &    IFAIL)");
  // 3-4.
  line("C");
  line("      IMPLICIT NONE");
  line("C");
  line("C Variable Declarations");
  line("C");
  auto declare = [&line](const FArg& a) {
    if (!a.dims.empty()) {
      std::vector<std::string> items;
      for (std::size_t k = 0; k < a.dims.size(); ++k) {
        items.push_back((k > 0 ? ", " : "") + a.dims[k]);
      }
      if (a.flags & 0x1) items.push_back(" ! " + a.dims.back() + " may have value 0");
      line.Items("      INTEGER ", items, "     &        ");
      line("      " + FortranType(a.desc) + a.name + "(" + Joined(a.dims, ",") + ")");
    } else {
      line("      " + FortranType(a.desc) + a.name);
    }
    line("");
  };
  line("C Input Variables");
  for (const auto& a : in) declare(a);
  if (!function) {
    line("C Output Variables");
    for (const auto& a : out) declare(a);
  }
  // 5.
  if (function) {
    line("C Function return value");
    // A text result is CHARACTER*40, as the wrapper declares it.
    line("      " + FortranType(result) + "RetVal," + NAME);
  }
  // 6.
  if (props) {
    line("C Properties ID code");
    line("      INTEGER IPROPS");
  }
  if (workspace) {
    line("C Work Space");
    line("      INTEGER WorkSize");
    line("      DOUBLE PRECISION Workspace(WorkSize)");
  }
  if (derivs) {
    line("C Derivatives handling");
    line("      INTEGER I, NONZEROS, ROW, COL");
    line("      INTEGER ROWS(NONZEROS), COLS(NONZEROS)");
    line("      DOUBLE PRECISION DERIVS(NONZEROS)");
  }
  line("C");
  // 7.
  if (most > 0) {
    line("C Array indexing variables");
    std::string text = "      INTEGER";
    for (std::size_t n = 1; n <= most; ++n) text += (n == 1 ? " I" : ",I") + Str(n);
    line(text);
    line("C");
  }
  // 8.
  line("C Parameter values for ICALL");
  line("      INTEGER ICALL, IOutputs, IPreCall, IPostCall");
  line("      PARAMETER (IOutputs=0, IPreCall=1, IPostCall=2)");
  line("      INTEGER IDerivs, IBoth");
  line("      PARAMETER(IDerivs=3, IBoth=4)");
  if (options & procdef::kProblemCalls) {
    line("      INTEGER INewProblem, ICloseProblem");
    line("      PARAMETER (INewProblem=5, ICloseProblem=6)");
  }
  line("C");
  line("C Parameter values for IFAIL return code");
  line("      INTEGER IFAIL, IOK, IWARN, ISEVERE, IFATAL");
  line("      PARAMETER(IOK=1, IWARN=2, ISEVERE=3, IFATAL=4)");
  line("C");
  // 9. Statement functions.
  if (derivs) {
    line("C Statement Functions");
    line("C Column numbers of Input variables");
    auto places = [&line](const std::vector<FArg>& args, const char* scalar, const char* count) {
      std::string e;
      for (const auto& a : args) {
        if (a.dims.empty()) {
          line("      INTEGER " + a.name + "_" + scalar);
          line("      " + a.name + "_" + scalar + "() =" + e + " 1");
          e = a.name + "_" + scalar + "() +";
        } else {
          line("      INTEGER " + a.name + "_First, " + a.name + "_Last");
          line("      " + a.name + "_First() =" + e + " 1");
          std::vector<std::string> items;
          for (std::size_t k = 0; k < a.dims.size(); ++k) {
            items.push_back((k > 0 ? "*" : "") + a.dims[k]);
          }
          line.Items("      " + a.name + "_Last()  =" + e + " ", items, "     &          ");
          e = a.name + "_Last() +";
        }
      }
      line(std::string("      INTEGER ") + count);
      // Without arguments the count is 0.
      line(std::string("      ") + count +
           "() = " + (e.empty() ? std::string("0") : e.substr(0, e.size() - 2)));
      line("C");
    };
    places(in, "Col", "NCols");
    if (function) {
      line("C Row number for output variable");
      const std::string result = out.empty() ? NAME : out[0].name;
      line("      INTEGER " + result + "_Row");
      line("      " + result + "_Row() = 1");
      line("C");
    } else {
      line("C Row numbers of output variables");
      places(out, "Row", "NRows");
    }
  }
  // 10.
  if (debug) {
    line("C Variables used in debug code only");
    if (most > 0) line("D     CHARACTER CH*1 ");
    line("D     CHARACTER*10 ICALLTYPE(9),IFAILTYPE(4)");
    line("D     DATA ICALLTYPE /'OUTPUTS', 'PRECALL', 'POSTCALL',");
    line("D    &     'DERIVS',  'BOTH',");
    line("D    &     'NEWPROB', 'CLOSEPROB',");
    line("D    &     'UNUSED',  'UNUSED'/");
    line("D     DATA IFAILTYPE /'OK','WARNING','SEVERE','FATAL'/");
    line("C");
  }
  // 11.
  line("C----+----------------------------------------------------------------+");
  // 12.
  if (debug) {
    line("C Entry Reporting - to enable, compile with /D_LINES");
    if (props) {
      line("D     CALL QLN_PRINT(0, 'Enter " + NAME + " ICALL=%d (%s) IPROPS=%d',");
      line("D    &ICall, ICallType(ICALL+1), IProps,0)");
    } else {
      line("D     CALL QLN_PRINT(0, 'Enter " + NAME + " ICALL=%d (%s)',");
      line("D    & ICall,ICallType(ICALL+1),0,0)");
    }
    if (workspace) {
      line("D     CALL QLN_PRINT(0, '" + NAME + " WSIZE=%d, WorkSpace at %p', ");
      line("D    &    WorkSize,WorkSpace,0,0,0)");
    }
    line("D     CALL QLN_PRINT(0,'" + NAME + " Inputs:',0,0,0,0,0)");
    for (const auto& a : in) DebugPrint(line, a);
  }
  // 13.
  if (function) {
    line("C This ensures all paths through the code assign a return value");
    line("      RetVal = " + zero);
  }
  line("C Make sure we always set IFAIL (to IFATAL by default)");
  line("      IFAIL = IFATAL");
  line("C");
  line("C Code Sections");
  line("C");
  // 14.
  line("      IF (ICALL.EQ.IOutputs .OR. ICALL.EQ.IBoth) THEN");
  line("C Call for Outputs");
  line("*********************** BEGIN USER CODE");
  if (function) {
    line("C TODO: Insert your code to compute RetVal here");
    line("        RetVal = " + zero);
  } else {
    for (const auto& b : out) {
      line("C TODO: Insert your code to compute " + b.name + (b.dims.empty() ? "" : "(*)") +
           " here");
      // A text cannot take the number 0: it gets blanks.
      const std::string value = TypeCode(b.desc) == procdef::kString ? "' '" : "0";
      if (b.dims.empty()) {
        line("        " + b.name + " = " + value + " ! TODO");
      } else {
        std::vector<std::string> index;
        for (std::size_t n = 1; n <= b.dims.size(); ++n) {
          line("        DO I" + Str(n) + "=1," + b.dims[n - 1]);
          index.push_back("I" + Str(n));
        }
        line("          " + b.name + "(" + Joined(index, ",") + ")= " + value + " ! TODO");
        for (std::size_t n = b.dims.size(); n >= 1; --n) line("        ENDDO ! I" + Str(n));
      }
    }
  }
  line("C TODO: Remember to change IFATAL to IOK");
  line("        IFAIL = IFATAL");
  line("*********************** END USER CODE");
  line(derivs ? "        IF (ICALL.NE.IBoth) GOTO 999" : "        GOTO 999");
  line("      ENDIF ! Outputs");
  line("C");
  // 15.
  if (derivs) {
    line("      IF (ICALL.EQ.IDerivs .OR. ICALL.EQ.IBoth) THEN");
    line("C Call for Derivatives");
    line("        DO I=1,NONZEROS");
    line("          ROW = ROWS(I)");
    line("          COL = COLS(I)");
    std::vector<FArg> rows = out;
    if (function && rows.size() > 1) rows.resize(1);
    for (std::size_t j = 0; j < rows.size(); ++j) {
      const FArg& b = rows[j];
      const std::string head = j == 0 ? "          IF (ROW." : "          ELSE IF (ROW.";
      if (b.dims.empty() || function) {
        line(head + "EQ." + b.name + "_Row()) THEN");
      } else {
        line(head + "GE." + b.name + "_First() .AND. ROW.LE." + b.name + "_Last()) THEN");
      }
      for (std::size_t i = 0; i < in.size(); ++i) {
        const FArg& a = in[i];
        const std::string col = i == 0 ? "            IF (COL." : "            ELSE IF (COL.";
        if (a.dims.empty()) {
          line(col + "EQ." + a.name + "_Col()) THEN");
        } else {
          line(col + "GE." + a.name + "_First() .AND. COL.LE." + a.name + "_Last()) THEN");
        }
        line("*********************** BEGIN USER CODE");
        line("C TODO: Derivative of " + b.name + " wrt " + a.name + (a.dims.empty() ? "" : "(*)"));
        line("              DERIVS(I) = 0.0");
        line("*********************** END USER CODE");
      }
      if (!in.empty()) line("            ENDIF ! COL");
    }
    if (!rows.empty()) line("          ENDIF ! ROW");
    line("        ENDDO");
    line("C TODO: Remember to change IFATAL to IOK");
    line("        IFAIL = IFATAL");
    line("        GOTO 999");
    line("      ENDIF ! Derivatives");
    line("C");
  }
  // 16.
  auto block = [&line](const char* test, const char* comment, const char* todo, const char* end) {
    line(std::string("      IF (ICALL.EQ.") + test + ") THEN");
    line(comment);
    line("*********************** BEGIN USER CODE");
    line(todo);
    line("C TODO: Remember to change IFATAL to IOK");
    line("        IFAIL=IFATAL");
    line("*********************** END USER CODE");
    line("        GOTO 999");
    line(std::string("      ENDIF ! ") + end);
    line("C");
  };
  if (options & procdef::kPrecall) {
    block("IPreCall", "C Call On New Run (PRECALL)", "C TODO: Insert your precall code here",
          "PreCall");
  }
  if (options & procdef::kPostcall) {
    block("IPostCall", "C Call On End Run (POSTCALL)", "C TODO: Insert your postcall code here",
          "PostCall");
  }
  if (options & procdef::kProblemCalls) {
    block("INewProblem", "C Call On New Problem", "C TODO: Insert your new problem code here",
          "NewProblem");
    block("ICloseProblem", "C Call On Close Problem", "C TODO: Insert your close problem code here",
          "CloseProblem");
  }
  // 17-18.
  line("999   CONTINUE");
  if (debug) {
    line("C Exit Reporting - enabled with /D_LINES");
    if (function) {
      const std::uint16_t t = TypeCode(result);
      if (t == procdef::kInteger) {
        line("D     CALL QLN_PRINT(0,'" + NAME + " result= %d',RETVAL,0,0,0,0)");
      } else if (t == procdef::kString) {
        line("D     CALL QLN_PRINT(0,'" + NAME + " result= ''%s''',RETVAL,0,0,0)");
      } else if (t == procdef::kLogical) {
        line("D     IF (RETVAL) THEN");
        line("D       CALL QLN_PRINT(0,'" + NAME + " result= .TRUE. ',0,0,0,0,0)");
        line("D     ELSE");
        line("D       CALL QLN_PRINT(0,'" + NAME + " result= .FALSE.',0,0,0,0,0)");
        line("D     ENDIF");
      } else {
        line("D     CALL QLN_PRINT(0,'" + NAME + " result= %g',RETVAL,0,0,0,0)");
      }
    } else {
      line("D     IF (ICALL.EQ.IOUTPUTS.OR.ICALL.EQ.IBOTH) THEN");
      line("D     CALL QLN_PRINT(0,'" + NAME + " Outputs:',0,0,0,0,0)");
      for (const auto& b : out) DebugPrint(line, b);
      line("D     ENDIF ! Dumping Outputs");
    }
    if (derivs) {
      line("C Derivatives");
      line("D     IF (ICALL.EQ.IDERIVS .OR. ICALL.EQ.IBOTH) THEN");
      line("D       CALL QLN_PRINT(0,'" + NAME + " Derivatives:',0,0,0,0,0)");
      line("D       DO I=1,NONZEROS");
      line("D         CALL QLN_PRINT(0,'(%3d,%3d) [A] %g',");
      line("D    &     ROWS(I),COLS(I),DERIVS(I),0,0)");
      line("D       ENDDO");
      line("D     ENDIF ! Dumping Derivatives");
    }
    line("D     CALL QLN_PRINT(0,");
    line("D    &'Leave " + NAME + " IFAIL=%d (%s)'");
    line("D    &,Ifail,IFAILTYPE(IFAIL),0,0)");
  }
  // 19.
  if (function) line("      " + NAME + " = RetVal");
  line("      RETURN");
  line("      END");
  line("C End " + NAME);
  return 0;
}

namespace {

// The string arguments a wrapper passes (outputs only when given), with
// the warning that says so; their count.
std::int32_t StringWarning(FortranWriter& line, const std::vector<FArg>& in,
                           const std::vector<FArg>* out, const std::string& NAME) {
  std::int32_t strings = 0;
  for (const auto& a : in) strings += TypeCode(a.desc) == procdef::kString;
  if (out != nullptr) {
    for (const auto& b : *out) strings += TypeCode(b.desc) == procdef::kString;
  }
  if (strings > 0) {
    line("C WARNING - This wrapper passes " + Str(strings) +
         (strings > 1 ? " string arguments into" : " string argument into"));
    line("C WARNING - " + NAME + ". This makes it platform specific and");
    line("C WARNING - it may have to be modified for other platforms.");
    line("C");
  }
  return strings;
}

}  // namespace

Status WriteFortranWrapper(const SUCodeGenerate& generate, const CodegenReport& report,
                           std::uint32_t request, const char* folder, const char* base,
                           const char* name) {
  (void)request;
  const std::string path = MakeGeneratedFileName(report, folder, true, base, ".f",
                                                 "FORTRAN wrapper implementation file");
  codegen::OutputFile file = codegen::OpenForWriting(report, "generate", path);
  if (file.get() == nullptr) return codegen::kFailureReport;
  FortranWriter line(std::move(file));
  const SUProcDef& def = *generate.definition;
  const std::uint32_t options = def.Options();
  const bool function = (options & procdef::kFunction) != 0;
  const bool derivs = (options & procdef::kAnalyticDerivatives) != 0;
  const bool props = (options & procdef::kPropertiesId) != 0;
  const bool workspace = generate.workspace != 0;
  const std::string NAME = name != nullptr ? name : "";
  const std::string decoration = def.InterfaceVersion() >= 3 ? "QLN13_" : "";
  const std::vector<FArg> in = ArgsOf(def, true);
  const std::vector<FArg> out = ArgsOf(def, false);

  line("C Wrapper code for Procedure Definition " + generate.display_name);
  line("C Generated automatically by QLN. *** Do Not Edit ***");
  line("C");
  const std::int32_t strings = StringWarning(line, in, function ? nullptr : &out, NAME);
  line("      SUBROUTINE " + decoration + NAME + "(ICall_IN,");
  line("     &     Inputs, InSizes,");
  line("     &     Outputs, OutSizes,");
  line("     &     InOffs, OutOffs,");
  line("     &     PropsId_In, Work, WSize_In,");
  line("     &     NZ_In, ROWS, COLS, ACTIVITY, DERIVS,");
  line("     &     IFail)");
  line("      !MS$ATTRIBUTES DLLEXPORT :: " + decoration + NAME);
  line("      IMPLICIT NONE");
  line("      INTEGER InSizes(*), OutSizes(*), InOffs(*), OutOffs(*)");
  line("      INTEGER PropsId_In, WSize_In, ICall_In, IFail");
  line("      INTEGER NZ_In,COLS(*),ROWS(*),ACTIVITY(*)");
  line("      DOUBLE PRECISION Inputs(*),Outputs(*),WORK(*),DERIVS(*)");
  line("C");
  line("      INTEGER ICALL");
  if (props) line("      INTEGER IProps");
  if (workspace) line("      INTEGER WSize");
  if (derivs) line("      INTEGER NZ");
  // A result other than a real comes back in RetVal and is stored as the
  // slots hold it: integers and logicals (0 or 1) as 64-bit integers, a
  // text as its 40 characters over five slots.
  const std::uint16_t result = out.empty() ? procdef::kReal : TypeCode(out[0].desc);
  const bool stored = function && result != procdef::kReal;
  if (function) line("      " + FortranType(result) + NAME);
  if (stored) {
    line("      " + FortranType(result) + "RetVal");
    if (result != procdef::kString) line("      INTEGER*8 IRetVal");
  }
  line("C");
  line("C Isolate input-only args from accidental user changes");
  line("      ICall = ICall_In");
  if (props) line("      IProps = PropsId_In");
  if (workspace) line("      WSize = WSize_In");
  if (derivs) line("      NZ = NZ_In");
  line("C");
  line("C     Now the actual call of " + NAME);
  line(stored     ? "      RetVal = " + NAME + "(ICall,"
       : function ? "      Outputs(OutOffs(1)) = " + NAME + "(ICall,"
                  : "      CALL " + NAME + "(ICall,");
  auto pass = [&line](const std::vector<FArg>& args, const char* values, const char* offsets,
                      const char* sizes) {
    std::int32_t k = 1;
    for (std::size_t i = 0; i < args.size(); ++i) {
      std::vector<std::string> items;
      for (std::size_t n = 0; n < args[i].dims.size(); ++n) {
        items.push_back(std::string(sizes) + "(" + Str(k++) + "),");
      }
      line.Items("     &   " + std::string(values) + "(" + offsets + "(" + Str(i + 1) + ")),",
                 items, "     &     ");
    }
  };
  pass(in, "Inputs", "InOffs", "InSizes");
  if (!function) pass(out, "Outputs", "OutOffs", "OutSizes");
  if (props) line("     &   IProps,     ! Properties ID code");
  if (workspace) line("     &   Work,WSize, ! Workspace");
  if (derivs) line("     &   NZ, ROWS, COLS, DERIVS, ! Derivative handling");
  line("     &   IFAIL");
  for (std::int32_t s = 0; s < strings; ++s) line("     &      ,40");
  line("     &   )");
  if (stored && result == procdef::kString) {
    line("      Outputs(OutOffs(1):OutOffs(1)+4) = TRANSFER(RetVal,Outputs(1:5))");
  } else if (stored) {
    line(result == procdef::kLogical ? "      IRetVal = MERGE(1,0,RetVal)"
                                     : "      IRetVal = RetVal");
    line("      Outputs(OutOffs(1)) = TRANSFER(IRetVal,Outputs(1))");
  }
  line("C");
  line("      RETURN");
  line("      END");
  line("C End " + NAME);
  return 0;
}

namespace {

// The old files name arguments by number: "InArg" + n, "OutArg" + n.
std::vector<FArg> NumberedArgs(const SUProcDef& def, bool input) {
  std::vector<FArg> args;
  const std::int32_t count = input ? def.InputCount() : def.OutputCount();
  for (std::int32_t i = 0; i < count; ++i) {
    FArg a;
    a.name = (input ? "InArg" : "OutArg") + Str(i + 1);
    a.desc = input ? def.InputDescriptor(i) : def.OutputDescriptor(i);
    a.flags = input ? def.InputFlags(i) : def.OutputFlags(i);
    a.dims = DimensionNames(def, input, i, a.name);
    args.push_back(std::move(a));
  }
  return args;
}

// An argument list of continuation lines: "," closes a line before the
// next argument; the trailing items carry their own leading comma.
class OldArgList {
 public:
  explicit OldArgList(FortranWriter& line) : line_(line) {}
  void Argument(const std::string& text) {
    Flush(",");
    pending_ = text;
    any_ = true;
  }
  // "     &      " + (",") + text.
  void Trailing(const std::string& indent, const std::string& text) {
    Flush("");
    pending_ = indent + (any_ ? "," : "") + text;
    any_ = true;
    trailing_ = true;
  }
  void Close(const std::string& closing_line) {
    if (!trailing_ && !pending_.empty()) {
      line_(pending_ + ")");
      return;
    }
    Flush("");
    line_(closing_line);
  }

 private:
  void Flush(const std::string& end) {
    if (!pending_.empty()) line_(pending_ + end);
    pending_.clear();
  }
  FortranWriter& line_;
  std::string pending_;
  bool any_ = false;
  bool trailing_ = false;
};

// What both old-interface writers derive from the definition and request.
struct OldForm {
  OldForm(const SUCodeGenerate& generate, std::uint32_t request, const char* name)
      : def(*generate.definition), options(def.Options()),
        debug((request & codegen::kRequestDebug) != 0),
        function((options & procdef::kFunction) != 0),
        derivs((options & procdef::kAnalyticDerivatives) != 0),
        props((options & procdef::kPropertiesId) != 0 || def.InterfaceVersion() == 1),
        icall((options &
               (procdef::kPrecall | procdef::kPostcall | procdef::kAnalyticDerivatives)) != 0),
        workspace(generate.workspace != 0),
        // A version-1 function has no status lines.
        no_status(function && def.InterfaceVersion() == 1), NAME(name != nullptr ? name : ""),
        in(NumberedArgs(def, true)), out(NumberedArgs(def, false)) {}
  const SUProcDef& def;
  const std::uint32_t options;
  const bool debug, function, derivs, props, icall, workspace, no_status;
  const std::string NAME;
  const std::vector<FArg> in, out;
};

}  // namespace

Status WriteFortranTemplateOld(const SUCodeGenerate& generate, const CodegenReport& report,
                               std::uint32_t request, const char* template_path, const char* name) {
  const std::string path = template_path != nullptr ? template_path : "";
  codegen::OutputFile file = codegen::OpenForWriting(report, "generate", path);
  if (file.get() == nullptr) return codegen::kFailed;
  FortranWriter line(std::move(file));
  const OldForm form(generate, request, name);
  const auto& [def, options, debug, function, derivs, props, icall, workspace, no_status, NAME, in,
               out] = form;
  bool arrays = false;
  for (const auto& a : in) arrays |= !a.dims.empty();
  for (const auto& a : out) arrays |= !a.dims.empty();

  line("C Code for Procedure Definition " + generate.display_name);
  line("C");
  line(std::string(function ? "      FUNCTION " : "      SUBROUTINE ") + NAME + "(");
  OldArgList list(line);
  auto argument = [&list](const FArg& a) {
    std::string text = "     &      " + a.name;
    for (const auto& dim : a.dims) text += ", " + dim;
    list.Argument(text);
  };
  for (const auto& a : in) argument(a);
  if (!function) {
    for (const auto& b : out) argument(b);
  }
  if (!no_status) list.Argument("     &      Ifail");
  if (props) list.Trailing("     &      ", "PropsId");
  if (workspace) list.Trailing("     &      ", "Workspace, WSsize");
  if (derivs) list.Trailing("     &      ", "Derivs, NOut, NIn");
  if (icall) list.Trailing("     &      ", "ICall");
  list.Close("     &      )");

  auto declare = [&line](const FArg& a) {
    if (!a.dims.empty()) {
      std::vector<std::string> items;
      for (std::size_t k = 0; k < a.dims.size(); ++k) {
        items.push_back((k > 0 ? ", " : "") + a.dims[k]);
      }
      line.Items("      INTEGER ", items, "     &        ");
      line("      " + FortranType(a.desc) + a.name + "(" + Joined(a.dims, ",") + ")");
    } else {
      line("      " + FortranType(a.desc) + a.name);
    }
  };
  line("C Declaration of input arguments");
  for (const auto& a : in) declare(a);
  line("C Declaration of output arguments");
  if (function) {
    const std::uint16_t t = out.empty() ? procdef::kReal : TypeCode(out[0].desc);
    line(std::string(t == procdef::kInteger || t == procdef::kLogical ? "      INTEGER "
                                                                      : "      DOUBLE PRECISION ") +
         NAME);
  } else {
    for (const auto& b : out) declare(b);
  }
  if (!no_status) {
    line("      INTEGER Ifail, IOK, IWARN, ISEVERE, IFATAL");
    line("C Possible values for Ifail return flag");
    line("      PARAMETER(IOK=1,IWARN=2,ISEVERE=3,IFATAL=4)");
  }
  if (props) line("      INTEGER PropsId");
  if (workspace) {
    line("      INTEGER WSsize");
    line("      DOUBLE PRECISION Workspace(WSsize)");
  }
  if (derivs) {
    line("      INTEGER NOut,NIn");
    line("      DOUBLE PRECISION Derivs(NOut,NIn)");
  }
  if (icall) {
    line("      INTEGER ICall, IOutputs, IPreCall, IPostCall");
    line("C Values for ICall:");
    line("      PARAMETER (IOutputs=0, IPreCall=1, IPostCall=2)");
    line("      INTEGER IDerivs, IBoth");
    line("      PARAMETER(IDerivs=3, IBoth=4)");
  }
  const std::string rule =
      "C *******************************************************************************";
  if (derivs) {
    line(rule);
    line("C WARNING: Do not attempt to access Derivs array unless ICall = IDerivs or IBoth");
    line("C It may not have been allocated by the caller when derivatives are not requested");
    line(rule);
  }
  if (debug) {
    if (arrays) line("D     CHARACTER CH*1");
    line("C Compiler warnings that QLN_PRINT has varying argument types can be ignored");
    line("C Entry reporting (to enable, compile with /D_LINES)");
    line("D     CALL QLN_PRINT(0,'" + NAME + " Inputs:',0,0,0,0,0)");
    for (const auto& a : in) DebugPrint(line, a);
  }
  auto status_lines = [&line, no_status = no_status](const char* indent) {
    if (no_status) return;
    line(std::string("C") + indent + "Remember to change IFATAL to IOK");
    line(std::string(" ") + indent + "Ifail = IFATAL");
  };
  line("C");
  line("C     ************** Put your FORTRAN code here **************");
  line("C");
  if (function) {
    const std::uint16_t t = out.empty() ? procdef::kReal : TypeCode(out[0].desc);
    line("      " + NAME +
         (t == procdef::kInteger   ? " = 0"
          : t == procdef::kLogical ? " = .FALSE."
                                   : " = 0.0"));
    line("C");
  }
  if (options & procdef::kPrecall) {
    line("      IF ( ICALL.EQ.IPreCall ) THEN");
    line("C       TODO: Put your PreCall code here");
    status_lines("       ");
    line("      ENDIF");
    line("C");
  }
  if (options & procdef::kPostcall) {
    line("      IF ( ICALL.EQ.IPostCall ) THEN");
    line("C       TODO: Put your PostCall code here");
    status_lines("       ");
    line("      ENDIF");
    line("C");
  }
  if (icall) {
    if (derivs) {
      line("      IF ( ICALL.EQ.IOutputs .OR. ICALL.EQ.IBoth) THEN");
    } else {
      line("C NOTE: If you change code to return derivatives, ");
      line("C You will need to test for ICALL.EQ.4 (IBOTH) here as well");
      line("      IF ( ICALL.EQ.IOutputs ) THEN");
    }
    line("C       TODO: Put your code to calculate output value(s) here");
    status_lines("       ");
    line("      ENDIF");
  } else {
    line("C     TODO: Put your code to calculate output value(s) here");
    status_lines("     ");
  }
  line("C");
  if (derivs) {
    line("      IF ( ICALL.EQ.IDerivs .OR. ICALL.EQ.IBoth) THEN");
    line("C       TODO: Put your code to calculate derivative value(s) here");
    status_lines("       ");
    line("      ENDIF");
    line("C");
  }
  line("C     *************** End of User FORTRAN Code ***************");
  if (debug) {
    line("C");
    line("C Exit reporting");
    if (!function) {
      line("D     CALL QLN_PRINT(0,'" + NAME + " Outputs:',0,0,0,0,0)");
      for (const auto& b : out) DebugPrint(line, b);
    }
  }
  line("      RETURN");
  line("      END");
  return 0;
}

Status WriteFortranWrapperOld(const SUCodeGenerate& generate, const CodegenReport& report,
                              std::uint32_t request, const char* folder, const char* base,
                              const char* name) {
  const std::string path = MakeGeneratedFileName(report, folder, true, base, ".f",
                                                 "FORTRAN wrapper implementation file");
  codegen::OutputFile file = codegen::OpenForWriting(report, "generate", path);
  if (file.get() == nullptr) return codegen::kFailed;
  FortranWriter line(std::move(file));
  const OldForm form(generate, request, name);
  const auto& [def, options, debug, function, derivs, props, icall, workspace, no_status, NAME, in,
               out] = form;

  line("C Wrapper code for Procedure Definition " + generate.display_name);
  const std::int32_t strings = StringWarning(line, in, function ? nullptr : &out, NAME);
  line("      SUBROUTINE SU55IF_" + NAME + "(");
  line("     &     Inputs, InSizes,");
  line("     &     Outputs, OutSizes,");
  line("     &     InOffs, OutOffs, Ifail,");
  line("     &     PropsId_In, Work, WSize_In,");
  line("     &     Deriv, NOut_In, NIn_In,");
  line("     &     ICall_In)");
  line("      !MS$ATTRIBUTES DLLEXPORT :: SU55IF_" + NAME);
  line("      IMPLICIT NONE");
  line("      INTEGER InSizes(*), OutSizes(*), InOffs(*), OutOffs(*)");
  line("      INTEGER PropsId_In, WSize_In, ICall_In, Ifail");
  line("      INTEGER NOut_In, NIn_In");
  line("      DOUBLE PRECISION Inputs(*),Outputs(*),Work(*),Deriv(*)");
  line("C");
  if (icall) line("      INTEGER ICall");
  if (props) line("      INTEGER PropsId");
  if (workspace) line("      INTEGER WSize");
  if (derivs) line("      INTEGER NOut, NIn");
  if (function) {
    if (!out.empty() && TypeCode(out[0].desc) != procdef::kReal) {
      codegen::Failure(report, "Functions can only return reals", nullptr);
    }
    line("      DOUBLE PRECISION " + NAME);
  }
  line("C Values for IFAIL return code");
  line("      INTEGER IOK, IWARN, ISEVERE, IFATAL");
  line("      PARAMETER (IOK=1, IWARN=2,ISEVERE=3,IFATAL=4)");
  if (debug && derivs) line("D     INTEGER IRow, ICol");
  line("C Isolate local integers from FORTRAN-style interface");
  if (props) {
    line("C     Properties code is in PropsId");
    line("      PropsId = PropsId_In");
  }
  if (workspace) {
    line("C     Workspace is in Work, size in Wsize");
    line("      WSize = WSize_In");
  }
  if (derivs) {
    line("C Note: NIn  is number of input  ELEMENTS (size of Inputs)");
    line("C       NOut is number of output ELEMENTS (size of Outputs)");
    line("C       Derivatives are in Deriv, NOut outputs by NIn inputs");
    line("      NOut = NOut_In");
    line("      NIn = NIn_In");
  }
  if (icall) {
    line("C     ICall flag is in ICall");
    line("      ICall = ICall_In");
  }
  line("C     Ifail status flag is a return value, and cannot be isolated");
  if (debug) {
    line("D     CALL QLN_PRINT(0,'" + std::string(40, '=') + "',0,0,0,0,0)");
    if (icall && props) {
      line("D     CALL QLN_PRINT(0,'" + NAME + " ICALL %d ITYP %d%&',");
      line("D    &     ICall,PropsId,0,0,0)");
    } else if (icall) {
      line("D     CALL QLN_PRINT(0,'" + NAME + " ICALL %d%&',ICall,0,0,0,0)");
    }
    if (workspace) line("D     CALL QLN_PRINT(0,' WSIZE %d%&',WSize,0,0,0,0)");
    if (derivs) {
      line("D     CALL QLN_PRINT(0,' NOUT %d NIN %d%&',NOut,NIn,0,0,0)");
      line("D     CALL QLN_PRINT(0,' DERIV at %p (which is safe)',");
      line("D    &     Deriv,0,0,0,0)");
    }
    line("D     CALL QLN_PRINT(0,'" + std::string(40, '=') + "',0,0,0,0,0)");
  }
  line("C     Now the actual call of " + NAME);
  line(function ? "      Outputs(OutOffs(1)) = " + NAME + "(" : "      CALL " + NAME + "(");
  OldArgList list(line);
  auto pass = [&list](const std::vector<FArg>& args, const char* values, const char* offsets,
                      const char* sizes) {
    std::int32_t k = 1;
    for (std::size_t i = 0; i < args.size(); ++i) {
      std::string text =
          "     &   " + std::string(values) + "(" + offsets + "(" + Str(i + 1) + "))";
      for (std::size_t n = 0; n < args[i].dims.size(); ++n) {
        text += std::string(",") + sizes + "(" + Str(k++) + ")";
      }
      list.Argument(text);
    }
  };
  pass(in, "Inputs", "InOffs", "InSizes");
  if (!function) pass(out, "Outputs", "OutOffs", "OutSizes");
  if (!no_status) list.Argument("     &   Ifail");
  if (props) list.Trailing("     &   ", "PropsId");
  if (workspace) list.Trailing("     &   ", "Work, WSize");
  if (derivs) list.Trailing("     &   ", "Deriv, NOut, NIn");
  if (icall) list.Trailing("     &   ", "ICall");
  for (std::int32_t s = 0; s < strings; ++s) list.Trailing("     &      ", "40");
  list.Close("     &   )");
  if (debug && derivs) {
    line("C NB: Don't print Derivs array if derivs not requested: may crash");
    line("D     IF (ICall.EQ.3 .OR. ICall.EQ.4) THEN");
    line("D       DO IRow=1,NOut");
    line("D         CALL QLN_PRINT(0,'%4d%&',IRow,0,0,0,0)");
    line("D         DO ICol=1,NIn");
    line("D           CALL QLN_PRINT(0,'%c%g%&',' ',Deriv(IRow+(ICol-1)*NOut),0,0)");
    line("D         ENDDO");
    line("D         CALL QLN_PRINT(0,'',0,0,0,0,0)");
    line("D       ENDDO");
    line("D     ENDIF");
  }
  if (debug) line("D     CALL QLN_PRINT(0,'" + std::string(40, '-') + "',0,0,0,0,0)");
  line("      RETURN");
  line("      END");
  return 0;
}
