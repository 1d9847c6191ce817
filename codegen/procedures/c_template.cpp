// The C header and the C template of the current calling interface.
// GCC 12 warns falsely on literal + std::string at -O3 (its bug 105329).
#pragma GCC diagnostic ignored "-Wrestrict"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "codegen/names.h"
#include "codegen/output_folder.h"
#include "codegen/procedures/generate.h"

namespace {

using procdef::Dimensions;
using procdef::TypeCode;

// One generated line at a time, each flushed.
class LineWriter {
 public:
  explicit LineWriter(codegen::OutputFile file) : out_(std::move(file)), file_(out_.get()) {}
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;
  void operator()(const std::string& text) {
    std::fputs(text.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
  }

 private:
  codegen::OutputFile out_;
  std::FILE* file_;
};

std::string Str(std::int32_t n) { return std::to_string(n); }

bool IsIntLike(std::uint16_t d) {
  return TypeCode(d) == procdef::kInteger || TypeCode(d) == procdef::kLogical;
}

const char* TypeName(std::uint16_t d) {
  static const char* const kNames[] = {"NoType", "SameType", "Integer", "Logical",
                                       "Real",   "String",   "Name",    "Spec"};
  const std::uint16_t t = TypeCode(d);
  return t < 8 ? kNames[t] : "NoType";
}

// The pointer line of an argument: "  int *pA = (int *)(&pInputs[pInOffs[i]]);".
std::string PointerLine(std::uint16_t d, const std::string& name, const char* values,
                        const char* offsets, std::int32_t i) {
  const std::string at = "(&" + std::string(values) + "[" + offsets + "[" + Str(i) + "]]);";
  switch (TypeCode(d)) {
    case procdef::kInteger:
    case procdef::kLogical:
      return "  int *" + name + " = (int *)" + at;
    case procdef::kReal:
      return "  double *" + name + " = (double *)" + at;
    case procdef::kString:
      if (Dimensions(d) > 0) return "  char **" + name + " = (char **)" + at;
      return "  char *" + name + " = (char *)" + at;
    default:
      return std::string();
  }
}

// "  int ADimsSizes[ADims] = {pInSizes[k], ...};" advancing k.
std::string DimsSizesLine(const std::string& prefix, std::int32_t d, const char* sizes,
                          std::int32_t* k) {
  std::string text = "  int " + prefix + "DimsSizes[" + prefix + "Dims] = {";
  for (std::int32_t n = 0; n < d; ++n) {
    if (n > 0) text += ", ";
    text += std::string(sizes) + "[" + Str((*k)++) + "]";
  }
  return text + "};";
}

// The flattened element index of a d-dimensional argument.
std::string FlatIndex(const std::string& name, std::int32_t d) {
  std::string index = "iDim1";
  for (std::int32_t n = 2; n <= d; ++n) {
    index = "(" + index + "*" + name + "DimsSizes[" + Str(n - 1) + "]+iDim" + Str(n) + ")";
  }
  return index;
}

// The debug prints of an array argument, element by element.
void ArrayPrints(LineWriter& line, std::uint16_t desc, const std::string& name) {
  const std::int32_t d = Dimensions(desc);
  if (d >= 2) {
    std::string loops;
    for (std::int32_t n = 1; n < d; ++n) {
      loops += "for (iDim" + Str(n) + "=0;iDim" + Str(n) + "<" + name + "DimsSizes[" + Str(n - 1) +
               "];iDim" + Str(n) + "++) ";
    }
    line("  " + loops + " {");
  }
  std::string head = "  QLN_Print(0,\"  " + name + "(";
  std::string tail;
  for (std::int32_t n = 1; n < d; ++n) {
    head += "%d,";
    tail += ",&iDim" + Str(n);
  }
  line(head + "*)%&\"" + tail + ");");
  line("  for (iDim" + Str(d) + "=0,ch='=';iDim" + Str(d) + "<" + name + "DimsSizes[" + Str(d - 1) +
       "];iDim" + Str(d) + "++,ch=',') ");
  const std::string index = FlatIndex(name, d);
  switch (TypeCode(desc)) {
    case procdef::kInteger:
      line("    QLN_Print(0,\"%c%d%&\", &ch, &p" + name + "[" + index + "]);");
      break;
    case procdef::kString:
      line("    QLN_Print(0,\"%c'%s'%&\", &ch, p" + name + "[" + index + "]);");
      break;
    case procdef::kLogical:
      line("    QLN_Print(0,\"%c%s%&\", &ch, p" + name + "[" + index + "]?\"TRUE\":\"FALSE\");");
      break;
    default:
      line("    QLN_Print(0,\"%c%g%&\", &ch, &p" + name + "[" + index + "]);");
      break;
  }
  if (d >= 2) {
    line("    QLN_Print(0,\"\");");
    line("  }");
  }
}

// The debug print of a scalar argument; r is "p" or "&" before its name.
void ScalarPrint(LineWriter& line, std::uint16_t d, const std::string& A, const std::string& r) {
  switch (TypeCode(d)) {
    case procdef::kInteger:
      line("  QLN_Print(0,\"  " + A + "=%d\"," + r + A + ");");
      break;
    case procdef::kReal:
      line("  QLN_Print(0,\"  " + A + "=%g\"," + r + A + ");");
      break;
    case procdef::kLogical:
      line("  QLN_Print(0,\"  " + A + "=%s\",(*(" + r + A + "))?\"TRUE\":\"FALSE\");");
      break;
    case procdef::kString:
      line("  QLN_Print(0,\"  " + A + "='%s'\",p" + A + ");");
      break;
    default:
      break;
  }
}

std::string InitialValue(std::uint16_t d) {
  if (TypeCode(d) == procdef::kReal) return "0.0";
  if (TypeCode(d) == procdef::kString) return "NULL";
  return "0";
}

struct Args {
  std::vector<std::string> in, out;
  std::vector<std::uint16_t> in_desc, out_desc;
};

Args Collect(const SUProcDef& def) {
  Args a;
  for (std::int32_t i = 0; i < def.InputCount(); ++i) {
    a.in.push_back(InputArgumentName(def, i + 1));
    a.in_desc.push_back(def.InputDescriptor(i));
  }
  for (std::int32_t j = 0; j < def.OutputCount(); ++j) {
    a.out.push_back(OutputArgumentName(def, j + 1));
    a.out_desc.push_back(def.OutputDescriptor(j));
  }
  return a;
}

// The header of a template: the template's path with the extension of its
// file name, if it has one, replaced by ".h". A dot in a folder's name is no
// extension: the header stays in the template's folder.
std::string HeaderBeside(const char* template_path) {
  std::string path = template_path;
  const std::size_t slash = path.rfind('/');
  const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = path.rfind('.');
  if (dot != std::string::npos && dot > name) path.erase(dot);
  return path + ".h";
}

}  // namespace

Status WriteCHeader(const SUCodeGenerate& generate, const CodegenReport& report,
                    std::string* header, const char* folder, bool wrapper, const char* base,
                    const char* name, const char* template_path) {
  const SUProcDef& def = *generate.definition;
  const std::uint32_t options = def.Options();
  const bool props = (options & procdef::kPropertiesId) != 0 || def.InterfaceVersion() == 1;
  const bool icall =
      (options & (procdef::kPrecall | procdef::kPostcall | procdef::kAnalyticDerivatives)) != 0;
  const char* description = wrapper ? "'C' wrapper header file" : "'C' template header file";
  std::string path;
  if (template_path != nullptr) {
    path = HeaderBeside(template_path);
    codegen::Progress(report,
                      wrapper ? "Generating 'C' wrapper header file %s"
                              : "Generating 'C' template header file %s",
                      path.c_str());
  } else {
    path = MakeGeneratedFileName(report, folder, wrapper, base, ".h", description);
  }
  codegen::OutputFile file = codegen::OpenForWriting(report, "generate", path);
  if (file.get() == nullptr) return codegen::kFailed;
  LineWriter line(std::move(file));
  const std::string NAME = name != nullptr ? name : "";
  const std::string lower = base != nullptr ? base : "";
  const std::string guard = NAME + (wrapper ? "I_H" : "_H");
  line("#ifndef " + guard);
  line("#define " + guard);
  line("/*** Prototypes for Procedure Definition " + generate.display_name + " ***/");
  line("#include \"bvutcfor.h\"");
  line("#if defined(SOLARIS) || defined(SGI) || (defined(UNIX) && defined(DEC_AXP))");
  line("#define " + NAME + "_C " + lower + "_");
  if (wrapper) line("#define SU55IF_" + NAME + "_C su55if_" + lower + "_");
  line("#elif defined(HP9000) || defined(RS6000)");
  line("#define " + NAME + "_C " + lower);
  if (wrapper) line("#define SU55IF_" + NAME + "_C su55if_" + lower);
  // __linux__ joins the Windows branch so that the names map as there.
  line(
      "#elif (defined(INTEL_X86)&&defined(WIN32)) || (defined(DEC_AXP)&&defined(WIN32)) || "
      "defined(CRAY) || defined(__linux__)");
  line("#define " + NAME + "_C " + NAME);
  if (wrapper) line("#define SU55IF_" + NAME + "_C SU55IF_" + NAME);
  line("#else");
  line("#error \"Platform is not defined\"");
  line("#endif");
  line(" ");
  if (wrapper) {
    const bool function = (options & procdef::kFunction) != 0;
    std::string type = "EXT_C_AS_F(void) ";
    if (function) {
      const std::uint16_t first = def.OutputDescriptor(0);
      if (IsIntLike(first)) {
        type = "EXT_C_AS_F(int) ";
      } else if (TypeCode(first) == procdef::kString) {
        type = "EXT_PTR_C_AS_F(char) ";
      } else {
        type = "EXT_C_AS_F(double) ";
      }
    }
    line(type + NAME + "_C (");
    auto element = [](std::uint16_t d) -> std::string {
      if (TypeCode(d) == procdef::kReal) return "double";
      if (TypeCode(d) == procdef::kString) return "char *";
      return "int";
    };
    auto argument = [&](const char* label, std::int32_t n, std::uint16_t d) {
      std::string text = std::string("    /* ") + label + Str(n) + "  */ " + element(d) + "*,";
      for (std::int32_t k = 0; k < Dimensions(d); ++k) text += "int*,";
      line(text + " ");
    };
    for (std::int32_t i = 0; i < def.InputCount(); ++i) {
      argument("Input  #", i + 1, def.InputDescriptor(i));
    }
    if (!function) {
      for (std::int32_t j = 0; j < def.OutputCount(); ++j) {
        argument("Output #", j + 1, def.OutputDescriptor(j));
      }
    }
    line("      int*               /* Iflag - status flag */");
    if (props) line("      ,int*              /* Properties Id */");
    if (generate.workspace != 0) line("      ,double*,int*      /* Workspace and size */");
    if (options & procdef::kAnalyticDerivatives) {
      line("      ,double*,int*,int* /* Derivs array and dimensions */");
    }
    if (icall) line("      ,int*              /* ICall */");
    line("      );");
  }
  line("#endif");
  if (header != nullptr) *header = path;
  return 0;
}

Status WriteCTemplate(const SUCodeGenerate& generate, const CodegenReport& report,
                      std::uint32_t request, const char* folder, const char* base, const char* name,
                      const char* template_path) {
  std::string header;
  const Status status =
      WriteCHeader(generate, report, &header, folder, false, base, name, template_path);
  if (status & 0x80000000u) {
    std::string failed = header;
    if (failed.empty() && template_path != nullptr) failed = HeaderBeside(template_path);
    codegen::FollowUp(report, "Failed to create %s header file", failed.c_str());
    return status;
  }
  const std::string path = template_path != nullptr ? template_path : "";
  codegen::OutputFile file = codegen::OpenForWriting(report, "create", path);
  if (file.get() == nullptr) return codegen::kFailed;
  LineWriter line(std::move(file));
  const SUProcDef& def = *generate.definition;
  const std::uint32_t options = def.Options();
  const bool debug = (request & codegen::kRequestDebug) != 0;
  const bool derivs = (options & procdef::kAnalyticDerivatives) != 0;
  const bool function = (options & procdef::kFunction) != 0;
  const bool by_pointer = (options & procdef::kInputsByPointer) != 0;
  const bool problem = (options & procdef::kProblemCalls) != 0;
  const bool workspace = generate.workspace != 0;
  const std::string NAME = name != nullptr ? name : "";
  const Args args = Collect(def);
  const std::int32_t nin = def.InputCount();
  const std::int32_t nout = def.OutputCount();

  // 1. Heading.
  line("/*");
  line(" * Code for Procedure Definition " + generate.display_name);
  line(" * Generated by QLN V12");
  line(" */");
  line("#include \"" + header + "\"");
  line("#include \"bvdll.h\"");
  line("#include <basetsd.h>");
  line("/* include any additional header files here */");
  line("");
  // 2.
  if (debug) {
    line("#ifdef PROCEDURE_CALL_DEBUG");
    line("/* To disable debug diagnostics, comment out this define");
    line("   or recompile as RELEASE code */");
    line("#define " + NAME + "_DEBUG");
    line("#endif");
    line("");
  }
  // 3.
  line("/* Values for ICALL */");
  line("#define ICALL_OUTPUTS 0");
  line("#define ICALL_PRECALL 1");
  line("#define ICALL_POSTCALL 2");
  line("#define ICALL_DERIVS 3");
  line("#define ICALL_BOTH 4");
  if (problem) {
    line("#define ICALL_OPENPROB 5");
    line("#define ICALL_CLOSEPROB 6");
  }
  line("");
  line("/* Values for pIFail return code */");
  line("#define IFAIL_OK 1");
  line("#define IFAIL_WARN 2");
  line("#define IFAIL_SEVERE 3");
  line("#define IFAIL_FATAL 4");
  line("");
  // 4. The exported entry.
  line(
      "/*\n * This function is EXPORTED from the DLL.\n * Do not change its name or signature.\n "
      "*/");
  std::string decoration;
  if (def.Language() == procdef::kLanguageFortran) {
    decoration = def.InterfaceVersion() < 3 ? "SU55IF_" : "QLN13_";
  }
  line("DLL_C_AS_F(void) " + decoration + NAME + "_C(");
  line("      __int3264 *pICall,");
  line("      double *pInputs,__int3264 *pInSizes,");
  line("      double *pOutputs,__int3264 *pOutSizes,");
  line("      __int3264 *pInOffs,__int3264 *pOutOffs,");
  line("      __int3264 *pPropsId,double *pWork,__int3264 *pWSize,");
  line(
      "      __int3264 *pNonZeros, __int3264 *pRows, __int3264 *pCols, __int3264 *pUnused, "
      "double *pDerivs,");
  line("      __int3264 *pIfail)");
  line("{");
  // 6 before 5 is decided here: the largest dimension count.
  std::int32_t most = 0;
  for (std::uint16_t d : args.in_desc) most = std::max<std::int32_t>(most, Dimensions(d));
  for (std::uint16_t d : args.out_desc) most = std::max<std::int32_t>(most, Dimensions(d));
  // 5. The debug loops over the workspace and the derivatives count with
  // iDim1, which the array block declares only when there are arrays.
  if (debug) {
    line("#ifdef " + NAME + "_DEBUG");
    line("/* Variables used for diagnostics */");
    line("  char ch;");
    if (most == 0 && (workspace || derivs)) line("  int iDim1;");
    line("#endif /* " + NAME + "_DEBUG */");
  }
  // 6.
  if (most > 0) {
    line("/* Variables used for array accessing */");
    std::string text = "  int iDim1";
    for (std::int32_t n = 2; n <= most; ++n) text += ",iDim" + Str(n);
    line(text + ";");
    line("");
  }
  // 7.
  line("/* Protect arguments from accidental change */");
  line("  const int ICall = *pICall;     /* type of call */");
  if (options & procdef::kPropertiesId)
    line("  const int PropsId = *pPropsId; /* Properties Id */");
  if (workspace) line("  const int WSize = *pWSize;     /* Workspace size */");
  if (derivs) line("  int NONZEROS = *pNonZeros;     /* non-zero count */");
  line("");
  // 8. Inputs.
  line("/* Input arguments */");
  std::int32_t k = 0;
  for (std::int32_t i = 0; i < nin; ++i) {
    const std::string& A = args.in[i];
    const std::uint16_t d = args.in_desc[i];
    const std::int32_t dims = Dimensions(d);
    if (by_pointer || dims > 0) {
      const std::string text = PointerLine(d, "p" + A, "pInputs", "pInOffs", i);
      if (!text.empty()) line(text);
    } else {
      const std::string at = "(&pInputs[pInOffs[" + Str(i) + "]]);";
      switch (TypeCode(d)) {
        case procdef::kInteger:
        case procdef::kLogical:
          line("  const int " + A + " = *(int*)" + at);
          break;
        case procdef::kReal:
          line("  const double " + A + " = pInputs[pInOffs[" + Str(i) + "]];");
          break;
        case procdef::kString:
          line("  const char *p" + A + " = (char *)" + at);
          break;
        default:
          break;
      }
    }
    if (dims > 0) {
      if (derivs) line("#define " + A + "_FIRST (pInOffs[" + Str(i) + "] + 1)");
      line("#define " + A + "Dims " + Str(dims));
      line(DimsSizesLine(A, dims, "pInSizes", &k));
    } else if (derivs) {
      line("#define " + A + "_COL (pInOffs[" + Str(i) + "] + 1)");
    }
  }
  // 9. Outputs.
  line("");
  line("/* Output arguments */");
  std::int32_t ko = 0;
  if (!function) {
    for (std::int32_t j = 0; j < nout; ++j) {
      const std::string& B = args.out[j];
      const std::uint16_t d = args.out_desc[j];
      const std::string text = PointerLine(d, "p" + B, "pOutputs", "pOutOffs", j);
      if (!text.empty()) line(text);
      if (Dimensions(d) > 0) {
        if (derivs) line("#define " + B + "_FIRST (pOutOffs[" + Str(j) + "] + 1)");
        line("#define " + B + "Dims " + Str(Dimensions(d)));
        line(DimsSizesLine(B, Dimensions(d), "pOutSizes", &ko));
      } else if (derivs) {
        line("#define " + B + "_ROW (pOutOffs[" + Str(j) + "] + 1)");
      }
    }
  } else if (nout > 0) {
    const std::uint16_t d = args.out_desc[0];
    const std::string text = PointerLine(d, "pResult", "pOutputs", "pOutOffs", 0);
    if (!text.empty()) line(text);
    if (Dimensions(d) > 0) {
      line("#define ResultDims " + Str(Dimensions(d)));
      line(DimsSizesLine("Result", Dimensions(d), "pOutSizes", &ko));
    }
    // The derivative case names the result's row.
    if (derivs) {
      line("#define " + args.out[0] + (Dimensions(d) > 0 ? "_FIRST" : "_ROW") +
           " (pOutOffs[0] + 1)");
    }
  }
  line("");
  // 10. Entry diagnostics.
  if (debug) {
    line("#ifdef " + NAME + "_DEBUG");
    line("/* Entry Diagnostics */");
    line("  {");
    line(
        "  const char* CallType[] = "
        "{\"OUTPUTS\",\"PRECALL\",\"POSTCALL\",\"DERIVS\",\"BOTH\",\"OPENPROB\",\"CLOSEPROB\"};");
    line("  QLN_Print(0,\"Enter " + NAME + ", ICall=%d (%s)\",&ICall,CallType[ICall]);");
    if (options & procdef::kPropertiesId) line("  QLN_Print(0,\"  PropsId=%d%&\",pPropsId);");
    if (workspace) {
      line("  QLN_Print(0,\"  Workspace(%d) %&\",pWSize);");
      line("  for (iDim1=0,ch='=';iDim1<WSize;iDim1++,ch=',')");
      line("     QLN_Print(0,\"%c%g%&\", &ch, &pWork[iDim1]);");
    }
    if ((options & procdef::kPropertiesId) || workspace) line("  QLN_Print(0,\"\");");
    line("  QLN_Print(0,\"" + NAME + " Inputs:\");");
    const std::string r = by_pointer ? "p" : "&";
    for (std::int32_t i = 0; i < nin; ++i) {
      const std::string& A = args.in[i];
      const std::uint16_t d = args.in_desc[i];
      if (Dimensions(d) > 0) {
        ArrayPrints(line, d, A);
        continue;
      }
      ScalarPrint(line, d, A, r);
    }
    line("  }");
    line("#endif /* " + NAME + "_DEBUG */");
    line("");
  }
  // 11. The switch.
  const std::string fatal = "      *pIfail = IFAIL_FATAL; /* TODO: change to IFAIL_OK */";
  line("/* Now the actual code of the procedure */");
  line("  switch (ICall)");
  line("  {");
  line("   case ICALL_OUTPUTS:");
  line("   case ICALL_BOTH:");
  line("      {");
  if (!function) {
    line("      /* TODO: Put your code to compute outputs here */");
    for (std::int32_t j = 0; j < nout; ++j) {
      const std::string& B = args.out[j];
      const std::uint16_t d = args.out_desc[j];
      const std::string value = InitialValue(d);
      if (Dimensions(d) == 0) {
        line("      /* p" + B + " is a scalar */");
        line("      *p" + B + " = " + value + ";");
      } else if (Dimensions(d) == 1) {
        line("      /* p" + B + " is a 1-dimensional array */");
        line("      for (iDim1=0;iDim1<" + B + "DimsSizes[0];iDim1++)");
        line("      {");
        line("         p" + B + "[iDim1]=" + value + ";");
        line("      }");
      } else {
        line("      /* *p" + B + " is an array with " + Str(Dimensions(d)) + " dimensions */");
      }
    }
    line(fatal);
    line("      } /* end dealing with outputs */");
  } else {
    line("      /* TODO: Put your code to compute function result here */");
    const std::uint16_t t = nout > 0 ? TypeCode(args.out_desc[0]) : 0;
    if (t >= procdef::kInteger && t <= procdef::kString) line("        *pResult = 0;");
    line(fatal);
    line("      } /* end dealing with function result */");
  }
  if (derivs) {
    line("      if (ICALL_OUTPUTS==ICall) break;");
    line("      /* Fall through when ICall == ICALL_BOTH */");
  } else {
    line("      break;");
  }
  line("");
  // 12. Derivatives.
  if (derivs) {
    line("   case ICALL_DERIVS:");
    line("      {");
    line("      int i;");
    line("      /* TODO: Put your code to compute derivatives here */");
    line("      for (i=0;i<NONZEROS;i++)");
    line("        {");
    line("          int iRow = pRows[i],iCol = pCols[i];");
    line("/* Note:");
    line(" * It simplifies the code to deal with the arguments");
    line(" * in reverse order.");
    line(" */");
    const std::int32_t rows = function ? std::min<std::int32_t>(nout, 1) : nout;
    for (std::int32_t j = rows - 1; j >= 0; --j) {
      const std::string& B = args.out[j];
      const bool array = Dimensions(args.out_desc[j]) > 0;
      line("          " + std::string(j == rows - 1 ? "" : "else ") + "if (" + B +
           (array ? "_FIRST <=" : "_ROW ==") + " iRow)");
      line("          {");
      bool written = false;
      for (std::int32_t i = nin - 1; i >= 0; --i) {
        const std::string& A = args.in[i];
        const std::uint16_t d = args.in_desc[i];
        const bool in_array = Dimensions(d) > 0;
        const std::string prefix = written ? "else " : "";
        if (TypeCode(d) == procdef::kReal) {
          line("/* TODO: Disable this block if derivative of " + B + " wrt " + A +
               " is not active */");
          line("#if 1");
          line("            " + prefix + "if (" + A +
               (in_array ? "_FIRST <= iCol)" : "_COL == iCol)"));
          line("            {");
          line("              pDerivs[i] = 0.0; /* TODO: Compute deriv of " + B + " wrt " + A +
               " here */");
          line("            } /* end " + B + " wrt " + A + " */");
          line("#endif");
          line("");
          written = true;
        } else {
          line(" /* " + A + " is " + TypeName(d) + " and cannot be active */");
          if (debug) {
            line("#ifdef " + NAME + "_DEBUG");
            line("            " + prefix + "if (" + A + "_" + (in_array ? "FIRST <=" : "COL ==") +
                 " iCol)");
            line("             {");
            line("                QLN_Print(-1,\"" + NAME +
                 ": Bad derivative call: " + TypeName(d) + " " + A + " cannot be active\");");
            line("                continue;");
            line("             }");
            line("#endif");
            line("");
          }
        }
      }
      line("          } /* end " + B + " */");
      line("");
    }
    line("        } /* end for i */");
    line("");
    line(fatal);
    line("      } /* end dealing with derivatives */");
    line("      break;");
    line("");
  }
  // 13. The other calls.
  auto other = [&](const char* label, const char* todo, const char* end) {
    line(std::string("   case ") + label + ":");
    line("      {");
    line(std::string("      /* TODO: Put your code to handle ") + todo + " here */");
    line(fatal);
    line(std::string("      } /* end dealing with ") + end + " */");
    line("      break;");
    line("");
  };
  if (options & procdef::kPrecall) other("ICALL_PRECALL", "precall", "precall");
  if (options & procdef::kPostcall) other("ICALL_POSTCALL", "postcall", "postcall");
  if (problem) {
    other("ICALL_OPENPROB", "new problem", "new problem");
    other("ICALL_CLOSEPROB", "closing problem", "closing problem");
  }
  // 14.
  line("   default:");
  line("      {");
  line("      QLN_Print(-1,\"" + NAME + " was called with ICall=%d, which was not handled\",");
  line("          &ICall);");
  line("      *pIfail = IFAIL_FATAL;");
  line("      }");
  line("      break;");
  line("  } /* end switch ICall */");
  line("");
  // 15. Exit diagnostics.
  if (debug) {
    line("#ifdef " + NAME + "_DEBUG");
    line("  {");
    line("/* Exit Diagnostics*/");
    line(" const char *FailType[] = {\"\",\"OK\",\"WARN\",\"SEVERE\",\"FATAL\"};");
    line("  if (ICall==ICALL_BOTH || ICall==ICALL_OUTPUTS)");
    line("  {");
    if (!function) {
      line("    QLN_Print(0,\"" + NAME + " Outputs:\");");
      for (std::int32_t j = 0; j < nout; ++j) {
        const std::string& B = args.out[j];
        const std::uint16_t d = args.out_desc[j];
        if (Dimensions(d) > 0) {
          ArrayPrints(line, d, B);
          continue;
        }
        switch (TypeCode(d)) {
          case procdef::kInteger:
            line("    QLN_Print(0,\"  " + B + "=%d\",p" + B + ");");
            break;
          case procdef::kReal:
            line("    QLN_Print(0,\"  " + B + "=%g\",p" + B + ");");
            break;
          case procdef::kString:
            line("    QLN_Print(0,\"  " + B + "='%s'\",p" + B + ");");
            break;
          case procdef::kLogical:
            line("    QLN_Print(0,\"  " + B + "=%s\",(*p" + B + ")?\"TRUE\":\"FALSE\");");
            break;
          default:
            break;
        }
      }
    } else if (nout > 0) {
      switch (TypeCode(args.out_desc[0])) {
        case procdef::kInteger:
          line("    QLN_Print(0,\"" + NAME + " Result = %d\",pResult);");
          break;
        case procdef::kString:
          line("    QLN_Print(0,\"" + NAME + " Result = %s\",pResult);");
          break;
        case procdef::kLogical:
          line("    QLN_Print(0,\"" + NAME + " Result = %s\",(*pResult?\"TRUE\":\"FALSE\"));");
          break;
        default:
          line("    QLN_Print(0,\"" + NAME + " Result = %g\",pResult);");
          break;
      }
    }
    line("  } /* end if ICall == OUTPUTS || BOTH */");
    if (derivs) {
      line("  if (ICALL_BOTH == ICall || ICALL_DERIVS == ICall )");
      line("   {");
      line("    QLN_Print(0,\"" + NAME + " Derivatives:\");");
      line("     for (iDim1=0;iDim1<NONZEROS;iDim1++)");
      line("     {");
      line("       QLN_Print(0,\"  Deriv(%3d,%3d) %&\",&pRows[iDim1],&pCols[iDim1]);");
      line("       QLN_Print(0,\"= %g\",&pDerivs[iDim1]);");
      line("     } /* end for iDim1*/");
      line("   } /* end if derivatives */");
      line("");
    }
    line("  QLN_Print(0,\"Leave " + NAME + ", IFail=%d (%s)\",pIfail,FailType[*pIfail]);");
    line("  }");
    line("#endif /* " + NAME + "_DEBUG */");
    line("");
  }
  line("} /* end " + NAME + "_C */");
  return 0;
}

Status WriteCTemplateOld(const SUCodeGenerate& generate, const CodegenReport& report,
                         std::uint32_t request, const char* folder, bool wrapper, const char* base,
                         const char* name, const char* template_path) {
  std::string header;
  const Status status =
      WriteCHeader(generate, report, &header, folder, wrapper, base, name, template_path);
  if (status & 0x80000000u) return status;
  const SUProcDef& def = *generate.definition;
  std::string path;
  if (template_path != nullptr) {
    path = template_path;
  } else {
    const std::string description =
        std::string("'") + SUProcDef::LanguageName(def.Language()) +
        (wrapper ? "' wrapper implementation file" : "' template implementation file");
    path = MakeGeneratedFileName(report, folder, wrapper, base,
                                 SUProcDef::DefaultSuffix(def.Language()), description.c_str());
  }
  codegen::OutputFile file = codegen::OpenForWriting(report, "generate", path);
  if (file.get() == nullptr) return codegen::kFailed;
  LineWriter line(std::move(file));
  const std::uint32_t options = def.Options();
  const bool debug = (request & codegen::kRequestDebug) != 0;
  const bool derivs = (options & procdef::kAnalyticDerivatives) != 0;
  const bool function = (options & procdef::kFunction) != 0;
  const bool by_pointer = (options & procdef::kInputsByPointer) != 0;
  const bool props = (options & procdef::kPropertiesId) != 0 || def.InterfaceVersion() == 1;
  const bool icall =
      (options & (procdef::kPrecall | procdef::kPostcall | procdef::kAnalyticDerivatives)) != 0;
  const bool workspace = generate.workspace != 0;
  const std::string NAME = name != nullptr ? name : "";
  const std::int32_t nin = def.InputCount();
  const std::int32_t nout = def.OutputCount();
  std::int32_t most = 0;
  for (std::int32_t i = 0; i < nin; ++i) {
    most = std::max<std::int32_t>(most, Dimensions(def.InputDescriptor(i)));
  }
  for (std::int32_t j = 0; j < nout; ++j) {
    most = std::max<std::int32_t>(most, Dimensions(def.OutputDescriptor(j)));
  }

  // 1-2.
  line("/*** Wrapper code for Procedure Definition " + generate.display_name + " ***/");
  line("#include \"" + header + "\"");
  line("#include <basetsd.h>");
  line("");
  line("EXT_C_AS_C(void) QLN_Print(int status, char *_Zform, ...);");
  line("EXT_C_AS_C(int) QLN_Rqst(int *option, int *iinfo, double *xinfo, char **sinfo );");
  line("");
  if (debug) {
    line("/*#undef PROCEDURE_CALL_DEBUG*/");
    line("");
  }
  if (icall) {
    line("/* Values for ICALL */");
    line("#define OUTPUTS 0");
    line("#define PRECALL 1");
    line("#define POSTCALL 2");
    line("#define DERIVS 3");
    line("#define BOTH 4");
    line("");
  }
  line("/* Values for pIFail return code */");
  line("#define OK 1");
  line("#define WARN 2");
  line("#define SEVERE 3");
  line("#define FATAL 4");
  line("");
  // 3.
  line("DLL_C_AS_F(void) " + std::string(wrapper ? "SU55IF_" : "") + NAME + "_C(");
  line("      double *pInputs,__int3264 *pInSizes,");
  line("      double *pOutputs,__int3264 *pOutSizes,");
  line("      __int3264 *pInOffs,__int3264 *pOutOffs,__int3264 *pIfail,");
  line("      __int3264 *pPropsId,double *pWork,__int3264 *pWSize,");
  line("      double *pDeriv,__int3264 *pNOut,__int3264 *pNIn,");
  line("      __int3264 *pICall)");
  line("{");
  // 4. Tables and loop variables of the diagnostics.
  if (debug) {
    line("#ifdef PROCEDURE_CALL_DEBUG");
    auto table = [&line](const char* label, std::int32_t count, auto value, const char* what) {
      if (count == 0) return;
      std::string text = std::string("  int ") + label + "[" + Str(count) + "] = {";
      for (std::int32_t k = 0; k < count; ++k) text += (k > 0 ? "," : "") + Str(value(k));
      line(text + "}; /* " + what + " - fixed by definition*/");
    };
    table(
        "InDims", nin, [&def](std::int32_t k) { return Dimensions(def.InputDescriptor(k)); },
        "Dimension counts of inputs");
    table(
        "OutDims", nout, [&def](std::int32_t k) { return Dimensions(def.OutputDescriptor(k)); },
        "Dimension counts of outputs");
    table(
        "InTypes", nin, [&def](std::int32_t k) { return TypeCode(def.InputDescriptor(k)); },
        "Types of inputs");
    table(
        "OutTypes", nout, [&def](std::int32_t k) { return TypeCode(def.OutputDescriptor(k)); },
        "Types of outputs");
    std::string vars = "  char ch; int iOut";
    for (std::int32_t n = 1; n <= std::max<std::int32_t>(most, 1); ++n) vars += ",iDim" + Str(n);
    line(vars + ";");
    line("#endif");
  }
  // 5. Local copies.
  std::vector<std::string> locals;
  if (props) locals.push_back("PropsId=*pPropsId");
  if (workspace) locals.push_back("Wsize=*pWSize");
  if (derivs) {
    locals.push_back("NOut=*pNOut,NIn=*pNIn,ICall=*pICall");
  } else if (icall) {
    locals.push_back("ICall=*pICall");
  }
  if (!locals.empty()) {
    line("  /* Isolate local integers from FORTRAN-style interface */");
    std::string text = "  int ";
    for (std::size_t k = 0; k < locals.size(); ++k) text += (k > 0 ? ", " : "") + locals[k];
    line(text + ";");
    if (derivs) {
      line("  /* Note: NIn  is number of input  ELEMENTS (size of pInputs)   */");
      line("  /*       NOut is number of output ELEMENTS (size of pOutputs)  */");
    }
    if (!wrapper) {
      if (derivs) line("  /* Derivatives at pDeriv, NOut outputs by NIn inputs */");
      line("  /* Ifail status flag in *pIfail */");
      if (props) line("  /* Properties identified by PropsId */");
      if (workspace) line("  /* Workspace   at pWork, size Wsize */");
      if (icall) line("  /* ICall flag  in ICall */");
    }
  }
  // 6. Argument access.
  line("  /* Procedure input/output arguments access */");
  std::int32_t k = 0;
  for (std::int32_t i = 0; i < nin; ++i) {
    const std::uint16_t d = def.InputDescriptor(i);
    const std::string A = "IArg" + Str(i + 1);
    const std::string at = "(&pInputs[pInOffs[" + Str(i) + "]]);";
    if (!by_pointer && Dimensions(d) == 0) {
      if (IsIntLike(d)) line("  int " + A + " = *(int*)" + at);
      if (TypeCode(d) == procdef::kReal) {
        line("  double " + A + " = pInputs[pInOffs[" + Str(i) + "]];");
      }
      if (TypeCode(d) == procdef::kString) line("  char *p" + A + " = (char *)" + at);
    } else {
      const std::string text = PointerLine(d, "p" + A, "pInputs", "pInOffs", i);
      if (!text.empty()) line(text);
    }
    if (Dimensions(d) > 0) {
      line("  int " + A + "Dims = " + Str(Dimensions(d)) + "; ");
      std::string text = "  int " + A + "DimsSizes[" + Str(Dimensions(d)) + "] = {";
      for (std::int32_t n = 0; n < Dimensions(d); ++n) {
        text += (n > 0 ? ", " : "") + std::string("pInSizes[") + Str(k++) + "]";
      }
      line(text + "};");
    }
  }
  std::int32_t ko = 0;
  for (std::int32_t j = 0; j < (function ? std::min<std::int32_t>(nout, 1) : nout); ++j) {
    const std::uint16_t d = def.OutputDescriptor(j);
    const std::string B = function ? "Result" : "OArg" + Str(j + 1);
    const std::string text = PointerLine(d, "p" + B, "pOutputs", "pOutOffs", j);
    if (!text.empty()) line(text);
    if (Dimensions(d) > 0) {
      line("  int " + B + "Dims = " + Str(Dimensions(d)) + "; ");
      std::string sizes = "  int " + B + "DimsSizes[" + Str(Dimensions(d)) + "] = {";
      for (std::int32_t n = 0; n < Dimensions(d); ++n) {
        sizes += (n > 0 ? ", " : "") + std::string("pOutSizes[") + Str(ko++) + "]";
      }
      line(sizes + "};");
    }
  }
  // 7. Entry reporting.
  if (debug) {
    line("#ifdef PROCEDURE_CALL_DEBUG");
    line("  QLN_Print(0,\"" + std::string(60, '=') + "\");");
    line("  QLN_Print(0,\"" + NAME + "%&\");");
    if (icall) line("  QLN_Print(0,\" ICALL %d%&\",&ICall);");
    if (props) line("  QLN_Print(0,\" ITYP %d%&\",&PropsId);");
    line("  QLN_Print(0,\"\");");
    if (workspace) line("  QLN_Print(0,\"       WS_SIZE %d at %p\",&Wsize,pWork);");
    if (derivs) {
      line("  QLN_Print(0,\"       NOUT %d, NIN %d\",&NOut,&NIn);");
      line("  QLN_Print(0,\"       DERIVS at %p, size %d\",pDeriv,NOut*NIn);");
    }
    line("  QLN_Print(0,\" Inputs:\");");
    for (std::int32_t i = 0; i < nin; ++i) {
      const std::uint16_t d = def.InputDescriptor(i);
      if (Dimensions(d) > 0) {
        ArrayPrints(line, d, "IArg" + Str(i + 1));
      } else {
        ScalarPrint(line, d, "IArg" + Str(i + 1), by_pointer ? "p" : "&");
      }
    }
    line("#endif");
  }
  if (wrapper) {
    // 8. The call of the user's routine.
    line("  /* Now the actual call of " + NAME + " */");
    if (function && nout > 0) {
      const std::uint16_t d = def.OutputDescriptor(0);
      std::string store = "  *((double*)";
      if (IsIntLike(d)) store = "  *((int*)";
      // A text result is copied into its slots, where the C layout holds
      // texts (a cast itself cannot be assigned to).
      if (TypeCode(d) == procdef::kString) {
        line("  { char *pText =");
      } else {
        line(store + "(&pOutputs[pOutOffs[0]]))  =");
      }
    }
    line("  " + NAME + "_C (");
    auto pass = [&line](std::uint16_t d, const std::string& first, std::int32_t* sizes,
                        const char* size_name) {
      std::string cast;
      if (IsIntLike(d)) cast = "(int*)";
      if (TypeCode(d) == procdef::kString) cast = Dimensions(d) > 0 ? "(char **)" : "(char *)";
      std::string text = "    " + cast + first;
      for (std::int32_t n = 0; n < Dimensions(d); ++n) {
        text += std::string("&") + size_name + "[" + Str((*sizes)++) + "],";
      }
      line(text);
    };
    std::int32_t ks = 0;
    for (std::int32_t i = 0; i < nin; ++i) {
      pass(def.InputDescriptor(i), "&pInputs[pInOffs[" + Str(i) + "]],", &ks, "pInSizes");
    }
    if (!function) {
      std::int32_t os = 0;
      for (std::int32_t j = 0; j < nout; ++j) {
        pass(def.OutputDescriptor(j), "&pOutputs[pOutOffs[" + Str(j) + "]],", &os, "pOutSizes");
      }
    }
    line("    pIfail               /* Ifail - status flag */");
    if (props) line("    ,&PropsId            /* Properties */");
    if (workspace) line("    ,pWork,&Wsize        /* Workspace and size */");
    if (derivs) line("    ,pDeriv,&NOut,&NIn   /* Derivs array and dimensions */");
    if (icall) line("    ,&ICall              /* ICall */");
    line("    );");
    if (function && nout > 0 && TypeCode(def.OutputDescriptor(0)) == procdef::kString) {
      line("    int i; char *pOut = (char *)(&pOutputs[pOutOffs[0]]);");
      line("    for (i=0; pText && i<39 && pText[i]; i++) pOut[i] = pText[i];");
      line("    pOut[i] = 0; }");
    }
    line("}");
    return 0;
  }
  // 9. The template.
  const std::string fatal = "    *pIfail=FATAL;/*FATAL error (no code yet!)*/";
  line("  /************** Put your C code here **************/");
  if (function && nout > 0) {
    const std::uint16_t d = def.OutputDescriptor(0);
    if (IsIntLike(d)) line("  *pResult = 0;");
    if (TypeCode(d) == procdef::kReal) line("  *pResult = 0.0;");
    if (TypeCode(d) == procdef::kString) line("  *pResult = NULL;");
  }
  if (options & procdef::kPrecall) {
    line("  if (ICall==PRECALL) {");
    line("    /* TODO: Put your PreCall code here */");
    line(fatal);
    line("  }");
  }
  if (options & procdef::kPostcall) {
    line("  if (ICall==POSTCALL) {");
    line("    /* TODO: Put your PostCall code here */");
    line(fatal);
    line("  }");
  }
  line(icall ? "  if (ICall==OUTPUTS || ICall==BOTH) {" : "  {");
  line("/* TODO: Put your code to calculate output value(s) here */");
  line(fatal);
  line("  }");
  if (derivs) {
    line("  if (ICall==DERIVS || ICall==BOTH) {");
    line("/* TODO: Put your code to calculate derivatives here */");
    line(fatal);
    line("  }");
  }
  if (debug) {
    line("#ifdef PROCEDURE_CALL_DEBUG");
    line("  QLN_Print(0,\"" + NAME + " Outputs:\");");
    for (std::int32_t j = 0; j < (function ? 0 : nout); ++j) {
      const std::uint16_t d = def.OutputDescriptor(j);
      const std::string B = "OArg" + Str(j + 1);
      if (Dimensions(d) > 0) {
        ArrayPrints(line, d, B);
      } else if (TypeCode(d) == procdef::kString) {
        line("  QLN_Print(0,\"  " + B + "='%s'\",p" + B + ");");
      } else {
        ScalarPrint(line, d, B, "p");
      }
    }
    if (derivs) {
      line("  if (ICall==DERIVS || ICall==BOTH)");
      line("  for (iOut=0;iOut<NOut;iOut++) {");
      line("    QLN_Print(0,\"  Deriv(%d,*)%&\",&iOut);");
      line("    for (iDim1=0,ch='=';iDim1<NIn;iDim1++,ch=',')");
      line("      QLN_Print(0,\"%c%g%&\",&ch,&pDeriv[iOut+iDim1*NOut]);");
      line("    QLN_Print(0,\"\");");
      line("  }");
    }
    line("  QLN_Print(0,\" return status: %d\",pIfail);");
    line("#endif");
  }
  line("}");
  return 0;
}
