// Writers of the option code of exported and compiled models: the
// "SetOptions" script that repeats the options in force, and an options
// handler that answers the option requests as the engine answers them now.
#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>
#include <string_view>

#include "solve/options/option_descriptors.h"
#include "solve/options/solver_option_table.h"

namespace {

// The text as the body of a C string literal.
std::string CEscaped(const char* text) {
  std::string escaped;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '"':
        escaped += "\\\"";
        break;
      case '\n':
        escaped += "\\n";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char octal[5];
          std::snprintf(octal, sizeof octal, "\\%03o", c);
          escaped += octal;
        } else {
          escaped += static_cast<char>(c);
        }
    }
  }
  return escaped;
}

std::string RealText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.16g", value);
  return text;
}

// A real as a C expression; the GNU compilers build the generated code.
std::string RealLiteral(double value) {
  if (std::isnan(value)) return "__builtin_nan(\"\")";
  if (std::isinf(value)) return value > 0 ? "__builtin_inf()" : "(-__builtin_inf())";
  return RealText(value);
}

// Built by appending: GCC 12 at -O3 warns falsely on `"\"" + string`.
std::string Quoted(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size() + 2);
  quoted += '"';
  quoted += text;
  quoted += '"';
  return quoted;
}

template <typename T>
T ReadAt(const void* address) {
  return address != nullptr ? *static_cast<const T*>(address) : T{};
}

// The script value of a row from the value in force.
std::string ScriptValue(const OptionDescriptor& row, std::uint32_t wire, const void* at) {
  switch (wire) {
    case kOptionWireFlag:
      return ReadAt<std::uint8_t>(at) != 0 ? "TRUE" : "FALSE";
    case kOptionWireReal:
      return RealText(ReadAt<double>(at));
    case kOptionWireText: {
      const auto* text = static_cast<const char*>(at);
      return Quoted(text != nullptr ? text : "");
    }
    default:
      break;
  }
  const std::int32_t value = ReadAt<std::int32_t>(at);
  std::string name;
  if (OptionChoiceName(row, value, &name) == kOptionAccepted) return Quoted(name);
  if (std::string_view(row.type_name) == "Boolean") return value != 0 ? "TRUE" : "FALSE";
  return std::to_string(value);
}

// One record of ORData from an answer of the options handler.
std::string Record(std::int32_t kind, std::int32_t integer, double real, const char* text) {
  const std::string quoted = Quoted(CEscaped(text != nullptr ? text : ""));
  switch (kind) {
    case 1:
      return "RDInt(" + std::to_string(integer) + ")";
    case 2:
      return "RDReal(" + RealLiteral(real) + ")";
    case 3:
      return "RDText(" + quoted + ")";
    case 4:
      return "RDLabel(" + std::to_string(integer) + ", " + quoted + ")";
    case 5:
      return "RDTextReal(" + quoted + ", " + RealLiteral(real) + ")";
    default:
      return "RDNone()";
  }
}

constexpr const char* kRecordClass =
    "class RD\n"
    "{\n"
    "public:\n"
    "  char cType; /* I integer, R real, S text, L integer with label, T text with real, X none "
    "*/\n"
    "  union {\n"
    "    int i;\n"
    "    double x;\n"
    "    const char *s;\n"
    "    struct { const char *s; int i; } si;\n"
    "    struct { const char *s; double x; } sx;\n"
    "  } u;\n"
    "};\n"
    "\n"
    "static RD RDNone() { RD r; r.cType = 'X'; r.u.i = 0; return r; }\n"
    "static RD RDInt(int i) { RD r; r.cType = 'I'; r.u.i = i; return r; }\n"
    "static RD RDReal(double x) { RD r; r.cType = 'R'; r.u.x = x; return r; }\n"
    "static RD RDText(const char *s) { RD r; r.cType = 'S'; r.u.s = s; return r; }\n"
    "static RD RDLabel(int i, const char *s) { RD r; r.cType = 'L'; r.u.si.s = s; r.u.si.i = i; "
    "return r; }\n"
    "static RD RDTextReal(const char *s, double x) { RD r; r.cType = 'T'; r.u.sx.s = s; "
    "r.u.sx.x = x; return r; }\n"
    "\n";

constexpr const char* kHandlerClass =
    "class OptionsHandler : public QLNOptionsHandler\n"
    "{\n"
    "public:\n"
    "  int OptionRequest(int option, int *iinfo, double *xinfo, const char **sinfo);\n"
    "};\n"
    "\n"
    "int OptionsHandler::OptionRequest(int option, int *iinfo, double *xinfo, const char **sinfo)\n"
    "{\n"
    "  *iinfo = 0; *xinfo = 0.0; *sinfo = 0;\n"
    "  if (option < 1 || option > 44) return -1;\n"
    "  const RD &r = ORData[option - 1];\n"
    "  switch (r.cType) {\n"
    "  case 'I': *iinfo = r.u.i; return 1;\n"
    "  case 'R': *xinfo = r.u.x; return 2;\n"
    "  case 'S': *sinfo = r.u.s; return 3;\n"
    "  case 'L': *iinfo = r.u.si.i; *sinfo = r.u.si.s; return 4;\n"
    "  case 'T': *sinfo = r.u.sx.s; *xinfo = r.u.sx.x; return 5;\n"
    "  }\n"
    "  return -1;\n"
    "}\n"
    "\n"
    "OptionsHandler DummyOptionsHandler;\n";

}  // namespace

void SolverOptionTable::WriteSetOptionsScript(std::ostream& out) {
  out << "rt_queue_tag *qln_acquire_script(int *blkptr, const char *scriptid)\n"
         "{\n"
         "  rt_queue_tag *pQueue;\n"
         "  (void)blkptr;\n"
         "  if (strcasecmp(scriptid, \"SetOptions\") != 0) return 0;\n"
         "  pQueue = rt_queue_new();\n";
  for (const OptionDescriptor* row = OptionDescriptors(); row->row < kOptionRowCount; ++row) {
    if (row->number < 0 || (row->flags & (kOptionRowNotScripted | kOptionRowHidden)) != 0) continue;
    std::uint32_t wire = 0;
    void* at = nullptr;
    ValueSlot(row->number, &wire, &at);
    std::string line = "QLNSolver Set ";
    line += row->name;
    line += '=';
    line += ScriptValue(*row, wire, at);
    line += '\n';
    out << "  rt_queue_append(pQueue, \"" << CEscaped(line.c_str()) << "\");\n";
  }
  out << "  return pQueue;\n"
         "}\n";
}

void SolverOptionTable::WriteOptionsHandlerCode(std::ostream& out) {
  out << kRecordClass << "static const RD ORData[44] = {\n";
  for (std::int32_t request = 1; request <= 44; ++request) {
    std::int32_t integer = 0;
    double real = 0.0;
    const char* text = nullptr;
    std::int32_t kind = OptionRequest(request, &integer, &real, &text);
    // The answers that depend on the run are those of a steady-state run
    // at its start.
    if (request == 31) {
      kind = 2;
      real = 0.0;
    } else if (request == 18) {
      kind = 4;
      integer = 1;
      text = "SteadyState";
    } else if (request == 35) {
      kind = 4;
      integer = 0;
      text = "";
    }
    out << "  " << Record(kind, integer, real, text) << (request < 44 ? "," : "") << " /* "
        << request << " */\n";
  }
  out << "};\n\n" << kHandlerClass;
}
