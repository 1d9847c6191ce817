#include "codegen/flowsheet/compiled_flowsheet.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <strings.h>
#include <vector>

#include "codegen/build/build_driver.h"
#include "codegen/build/makefile_writer.h"
#include "codegen/build/product_folders.h"
#include "codegen/flowsheet/export_layer.h"
#include "codegen/name_tree.h"
#include "codegen/names.h"
#include "codegen/output_folder.h"
#include "daes/blocks/compiled_hooks.h"
#include "daes/model/var_table_entry.h"
#include "daes/problem/equation_code.h"
#include "daes/problem/solver_equation.h"
#include "daes/procedures/proc_def.h"
#include "daes/procedures/proc_equation.h"
#include "expr/tape/tape.h"
#include "foundation/interfaces/current_objects.h"
#include "foundation/interfaces/solver_options.h"
#include "foundation/messages/status_and_msg.h"
#include "foundation/messages/su_print.h"
#include "framework/libraries/library_api.h"
#include "framework/libraries/qln_dynamic_library.h"
#include "platform/posix_file.h"
#include "platform/safe_write.h"
#include "solve/options/solver_option_table.h"

namespace codegen {
namespace {

constexpr std::size_t kSwitchBuffer = 10;
constexpr std::int32_t kDefineBatch = 100;

// The environment variable, when set and short enough, overrides the option.
bool Switch(const char* variable, bool option) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] != '\0' && std::strlen(value) < kSwitchBuffer) {
    return value[0] != '0';
  }
  return option;
}

CodegenReport ReportOrPrint(const CodegenReport& report) {
  if (report) return report;
  return [](BvuStatusAndMsg* message) {
    if (message == nullptr) return;
    const char* text = message->GetText();
    SuPrint(message->GetStatus(), "%s", text != nullptr ? text : "");
    delete message;
  };
}

std::atomic<int> g_next_library{0};

// The loaded library, one per process.
struct LoadedState {
  XosDynamicLibrary* library = nullptr;
  double* x = nullptr;  // the library's variable array
  double* x_less_one = nullptr;
  bool loaded = false;
  std::string build_folder;
  std::string current_name;
  std::vector<double> reals;
  std::vector<int> ints;
  std::vector<char*> texts;
  std::vector<double> jacobian;  // the entries the Jacobian code writes
};
LoadedState g_loaded;

// Largest intermediate count of the last generation, for the arrays the
// engine hands the library.
std::size_t g_intermediates = 0;

// Where each library generated in this process writes its saved results
// (the interpreter's half capacity when its equations were written).
std::map<std::string, std::size_t> g_saved_results;

// The Jacobian code of each library generated in this process: how many
// entries it writes, and the writer whose offsets the rows hold.
struct JacobianCode {
  std::size_t entries = 0;
  std::uint64_t generation = 0;
};
std::map<std::string, JacobianCode> g_jacobian_code;

double* LoadedX() { return g_loaded.x; }

// The build folders this process made, each its own (mode 0700, fresh per
// generation): what another user puts in a shared run folder is never
// built on, run or loaded. They go when the process ends; kept files were
// copied out.
struct PrivateFolders {
  std::set<std::string> made;
  // The libraries built in them; no other is loaded.
  std::set<std::string> built;
  ~PrivateFolders() {
    for (const std::string& folder : made) RemoveWhole(folder);
  }
  static void RemoveWhole(const std::string& folder) {
    std::vector<platform::FolderEntry> entries;
    platform::ListFolderSorted(folder.c_str(), &entries);
    for (const platform::FolderEntry& e : entries) {
      platform::RemoveFile(JoinFolderAndName(folder.c_str(), e.name.c_str()).c_str());
    }
    platform::RemoveDirectory(folder.c_str());
  }
  bool Make(std::string* folder) {
    std::error_code ec;
    std::string path = (std::filesystem::temp_directory_path(ec) / "vantor-build-XXXXXX").string();
    int error = ec ? ec.value() : 0;
    if (ec || !platform::MakePrivateFolder(&path, &error)) {
      errno = error;
      *folder = path;
      return false;
    }
    *folder = path + "/";
    made.insert(*folder);
    return true;
  }
  void Remove(const std::string& folder) {
    if (made.erase(folder) == 0) return;
    for (auto i = built.begin(); i != built.end();) {
      i = i->rfind(folder, 0) == 0 ? built.erase(i) : std::next(i);
    }
    RemoveWhole(folder);
  }
};
PrivateFolders g_private;

std::string LibraryPath(const std::string& folder, const std::string& name) {
  return folder.empty() ? name + ".so" : JoinFolderAndName(folder.c_str(), name.c_str()) + ".so";
}

// Whether a kept file of the name would meet one already in the folder.
bool TakenIn(const std::string& folder, const std::string& name) {
  for (const std::string& file :
       {JoinFolderAndName(folder.c_str(), name.c_str()) + ".cpp",
        MakefileName(folder.c_str(), name.c_str()), LibraryPath(folder, name)}) {
    if (platform::PathExists(file.c_str())) return true;
  }
  return false;
}

}  // namespace

bool UseCompiledEvaluation(SolverOptions* options) {
  return Switch("QLN_CE_USE", options != nullptr && options->GetBool(kOptUseCompiledEvaluation));
}
bool KeepCompiledEvaluation(SolverOptions* options) {
  return Switch("QLN_CE_KEEP",
                options != nullptr && options->GetBool(kOptKeepCompiledEvaluationFiles));
}

std::string NormaliseEquationName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    if (c == '"') continue;
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

std::string CompactEquationName(const std::string& name) {
  std::string out;
  std::size_t i = 0;
  while (i < name.size()) {
    const char c = name[i];
    if (c == '.') {
      const std::string rest = name.substr(i + 1);
      if (rest.rfind("QV_FALSE.", 0) == 0 || rest.rfind("QV_TRUE.", 0) == 0) {
        const bool truth = rest[3] == 'T';
        out += truth ? 'T' : 'F';
        i += 1 + (truth ? 8 : 9);
        continue;
      }
      out += '.';
      i += rest.rfind("QV_", 0) == 0 ? 4 : 1;
      continue;
    }
    out += c;
    ++i;
  }
  if (out.size() > kEquationNameLimit) out.resize(kEquationNameLimit);
  return out;
}

std::string NextCompiledLibraryName(const std::string& folder) {
  for (;;) {
    const int n = g_next_library.fetch_add(1);
    const std::string name = "tcex" + std::to_string(n);
    // Other engines build in the same folder, each counting from 0: a name
    // whose makefile is there is another's, and the source is claimed by
    // making it, which only one process can.
    if (std::filesystem::exists(MakefileName(folder.c_str(), name.c_str()))) continue;
    const std::string source = JoinFolderAndName(folder.c_str(), name.c_str()) + ".cpp";
    if (std::FILE* f = std::fopen(source.c_str(), "wx")) {
      std::fclose(f);
      return name;
    }
    if (errno == EEXIST) continue;
    // A folder that takes no file: the writer reports it.
    return name;
  }
}

void DefineEqnsWriter::Put(const std::string& piece, std::int32_t next) {
  if (column_ + piece.size() + 1 >= kDefineLineLimit) {
    const std::string comment = "\n/*" + std::to_string(next) + "*/";
    out_ << comment;
    column_ = comment.size() - 1;
  }
  out_ << piece;
  column_ += piece.size();
}

void DefineEqnsWriter::WriteBatch(std::int32_t first, std::int32_t last) {
  ++batch_;
  std::string head = "static void DefineEqns" + std::to_string(batch_) + "(void) { ";
  if (batch_ > 1) head += "DefineEqns" + std::to_string(batch_ - 1) + "(); ";
  head += "void (**p)(int) = &p_func[" + std::to_string(first - 1) + "];";
  out_ << head;
  column_ = head.size();
  for (std::int32_t i = first; i <= last; ++i) Put("*p++=Eqn" + std::to_string(i) + ";", i);
  out_ << "}\n";
  column_ = 0;
}

void DefineEqnsWriter::WriteExportBatch(std::int32_t first, const std::vector<Entry>& entries,
                                        std::int32_t total, std::int32_t* torn) {
  ++batch_;
  std::ostringstream head;
  head << "static void DefineEqns" << batch_ << "(void) { ";
  if (batch_ == 1) {
    head << "g_i=0; /*SetEqnProc pFn=SetEqn0;*/ memset(g_cEqnFlags, 0, " << total << ");";
  } else {
    head << "DefineEqns" << batch_ - 1 << "();";
  }
  out_ << head.str();
  column_ = head.str().size();
  // The names as adjacent literals, so a long batch can break its line.
  Put(" SetEqnNames(\"", first);
  for (const Entry& e : entries) {
    std::string escaped;
    for (char c : CompactEquationName(NormaliseEquationName(e.name))) {
      if (c == '\\') escaped.push_back('\\');
      escaped.push_back(c);
    }
    escaped.append("\\0");
    if (column_ + escaped.size() + 3 >= kDefineLineLimit) {
      out_ << "\"\n\"";
      column_ = 1;
    }
    out_ << escaped;
    column_ += escaped.size();
  }
  out_ << "\");";
  column_ += 3;
  std::int32_t i = first;
  for (const Entry& e : entries) {
    std::ostringstream call;
    call << "SetEqn(Eqn" << i;
    bool flagged = false;
    if (e.torn) {
      call << ",EQN_TORN";
      flagged = true;
      if (torn != nullptr) ++*torn;
    }
    if (e.conditional) {
      call << (flagged ? "|EQN_COND" : ",EQN_COND");
      flagged = true;
    }
    if (e.procedure) {
      call << (flagged ? "|EQN_PROC" : ",EQN_PROC") << "," << e.procedure_number << ","
           << e.output_number;
    }
    call << ");";
    Put(call.str(), i);
    ++i;
  }
  out_ << "}\n";
  column_ = 0;
}

void DefineEqnsWriter::Finish() {
  if (batch_ == 0) {
    out_ << "static void DefineEqns(void) { }\n";
  } else {
    out_ << "static void DefineEqns(void) { DefineEqns" << batch_ << "(); }\n";
  }
}

namespace {
// Made through its folder held open (the request's, when it is that), and
// put in place once written whole.
platform::NewFile OpenSource(const std::string& path) {
  std::string name, link;
  int error = 0;
  const platform::FileDescriptor folder = FolderOfPath(path, &name, &link, &error);
  platform::NewFile file;
  if (folder.valid()) file = platform::NewFile::Make(folder.get(), name, &error);
  if (!file.valid()) errno = error;
  return file;
}
}  // namespace

FlowsheetCodeWriter::FlowsheetCodeWriter(const std::string& path, bool compiled_evaluation)
    : file_(OpenSource(path)), compiled_(compiled_evaluation) {
  file_.precision(16);
  for (auto& s : sections_) s.precision(16);
  sections_[kInitSwitches] << "static void InitSwitches(int *pI) {";
  sections_[kPrecall] << "DLL_C_AS_C(int) PrecallProcs(void) {\n  if (g_pInstance->bPrecalled++) "
                         "return "
                      << kProceduresUnchanged << ";\n";
  sections_[kPostcall]
      << "DLL_C_AS_C(int) PostcallProcs(int iLast) {\n  if "
         "(!g_pInstance->bPrecalled) return "
      << kProceduresUnchanged
      << ";\n  g_pInstance->bPrecalled = 0;\n  int rc=0,iFailed=0;g_pProcName=0;\n";
}

namespace {

// The fixed run-time text before the storage: procedure look-up, the
// call checks and the packing macros, the instance record.
void WriteRunTimeHead(std::ostream& o, std::int32_t procedures, std::int32_t proc_data,
                      std::int32_t states, std::int32_t switches, bool exported) {
  o << "#define ErrorCode(a) (a&0xa000ffff)\n"
    << "static void ProcError(const char *proc, const char *lib) {\n"
    << "  switch (ErrorCode(GetLastDLLError())) {\n"
    << "  case 0xa0000033: QLN_Print(0xa031ffff, (char*)\"Failed to find procedure %s in DLL "
       "%s\\n\", proc, lib); break;\n"
    << "  case 0xa0000034: QLN_Print(0xa031ffff, (char*)\"Failed to find DLL %s\\n\", lib); "
       "break;\n"
    << "  case 0xa000ffff: QLN_Print(0xa031ffff, (char*)\"Found, but failed to load DLL %s\\n\", "
       "lib); break;\n"
    << "  default: QLN_Print(0xa031ffff, (char*)\"Loaded, but failed to initialize DLL %s\\n\", "
       "lib); break;\n  }\n}\n"
    << "static XosDynamicFunction **g_Functions;\n"
    << "#define FIND_PROC(i,proc,lib) if (iRes>=0) { g_Functions[i] = "
       "FindQLNFunctionInNamedDLL(proc,lib,GetDLLInitializationData(),0); "
       "if (!g_Functions[i]) { ProcError(proc,lib); iRes = -1; } }\n"
    << "static double *g_pDerivs; static const char *g_pProcName;\n"
    << "static int CheckIFail(int iFlag, int iCall, const char *name) {\n"
    << "  static const char *types[] = {\"Outputs \",\"Pre\",\"Post\",\"Derivatives\","
       "\"Outputs and derivatives \"};\n"
    << "  const char *type = iCall>=0&&iCall<=4 ? types[iCall] : \"\";\n"
    << "  if (iFlag==1) return 0;\n"
    << "  g_pProcName = name;\n"
    << "  if (iFlag==2) { QLN_Print(0x40000000, (char*)\"%scall of %s returned warning "
       "code\\n\", type, name); return 1; }\n"
    << "  QLN_Print(0xa031ffff, (char*)\"%scall of %s returned user error code\\n\", type, name);\n"
    << "  return -1;\n}\n"
    << "#define PRECALL(f,n) { int r_ = f(0,1); if (r_<0) { g_pInstance->bPrecalled = 0; return "
       "r_; } }\n"
    << "#define POSTCALL(f) { int r_ = f(0,2); if (r_<0) { if (!iFailed++) rc = r_; } }\n"
    << "#define PACKREALINPUT(p, v) { double v_ = (v); "
       "if (pdInputs[p] != v_) { pdInputs[p] = v_; bInputsChanged = 1; } }\n"
    << "#define PACKINTINPUT(p, v) { long long i_ = (v); "
       "if (memcmp(&pdInputs[p], &i_, 8)) { memcpy(&pdInputs[p], &i_, 8); bInputsChanged = 1; } "
       "}\n"
    << "#define PACKSTRINPUT(p, t) { if (bv_packstr((char*)&pdInputs[p], t)) bInputsChanged = 1; "
       "}\n"
    << "#define PACKFTNSTRINPUT(p, t) { if (bv_packFTNstr((char*)&pdInputs[p], t)) "
       "bInputsChanged = 1; }\n"
    << "#define PACKINTVECINPUT(k, v) { long long i_ = (v); char *a_ = (char *)piArgs + 8 * (k); "
       "if (memcmp(a_, &i_, 8)) { memcpy(a_, &i_, 8); bInputsChanged = 1; } }\n"
    << "#define PACKSTRVECINPUT(t) { if (bv_packstr(*(char **)psArgs, t)) bInputsChanged = 1; }\n"
    << "#define PACKFTNSTRVECINPUT(o, t) { if (bv_packFTNstr(psArgs + (o), t)) "
       "bInputsChanged = 1; }\n"
    << "#define PACKREALOUTPUT(p, v) pdOutputs[p] = (v)\n"
    << "#define UNPACKREALINPUT(p, i) x[i] = pdInputs[p]\n"
    << "static double temp; static int ires; static int g_iLevel;\n"
    << "typedef int (*SetVarUnscaledFn)(void*, int, double);\n"
    << "typedef int (*GetDelayedValueFn)(void*, int, double, double*);\n"
    << "struct InstanceData {\n"
    << "  SetVarUnscaledFn pSetVarUnscaled; void *pSetVarBlock;\n"
    << "  GetDelayedValueFn pGetDelayedValue; void *pDelayBlock;\n"
    << "  void *pBlock; int bPrecalled;\n"
    << "  double pProcData[" << std::max(proc_data, 1) << "];\n"
    << "  int pStateData[" << std::max(states, 1) << "];\n"
    << "  int pSwitchData[" << std::max(switches, 1) << "];\n"
    << "  void (*pDestroy)(void*); void *pDestroyData;\n"
    << (exported ? "  void *pBlk; int iFirstVar, iFirstEqn, iFirstNZ;\n" : "")
    << "};\n"
    << "static struct InstanceData *g_pInstance, *g_pCurrentInstance;\n"
    << "static const int g_nProcs = " << procedures << ";\n";
}

void WriteInlineFunctions(std::ostream& o) {
  o << "#include <math.h>\n#include <limits.h>\n#include <float.h>\n"
    << "static inline double bv_sqr(double x) { return x*x; }\n"
    << "static inline int bv_round(double x) { return (int)(x>=0 ? floor(x+0.5) : ceil(x-0.5)); "
       "}\n"
    << "static inline int bv_isqr(int x) { return x*x; }\n"
    << "static inline int bv_iabs(int x) { return x<0 ? -x : x; }\n"
    << "static inline double bv_fabs(double x) { return fabs(x); }\n"
    << "static inline double bv_time(void) { int o=31,i=0; double t=0.0; "
       "if (QLN_Rqst) QLN_Rqst(&o,&i,&t,0); return t; }\n"
    << "static inline double bv_delay(int i, double t, double now) {\n"
    << "  double v = now;\n"
    << "  if (!g_pInstance->pGetDelayedValue || "
       "g_pInstance->pGetDelayedValue(g_pInstance->pDelayBlock, i, t, &v) < 0) {\n"
    << "    QLN_Print(0xa031ffff, (char*)(t<0.0 ? \"Failed to get delayed value (lag<0.0)\\n\" : "
       "\"Failed to get delayed value\\n\"));\n"
    << "    return now;\n  }\n  return v;\n}\n"
    << "static int VarIsActive(int i) { (void)i; return 1; }\n";
}

// The two difference quotients of numeric derivatives: one for residuals,
// one (negated) for procedure outputs. A step that leaves the variable's
// bounds goes the other way, then to the bound with more room.
void WritePerturbation(std::ostream& o, double relative, double absolute) {
  o << "static const double g_dRelPerturb=" << relative << ",g_dAbsPerturb=" << absolute
    << ",g_dLargeLimit=1e+30;\n"
    << "static double bv_step(int iVar) {\n"
    << "  double keep=g_pX[iVar],d=g_dRelPerturb,lo=bounds[2*iVar],hi=bounds[2*iVar+1];\n"
    << "  if (fabs(keep)>g_dAbsPerturb) d*=keep;\n"
    << "  if (lo<hi && (keep+d>hi||keep+d<lo)) {\n"
    << "    d=-d;\n"
    << "    if (keep+d>hi||keep+d<lo) d=(hi-keep>=keep-lo ? hi : lo)-keep;\n"
    << "  }\n"
    << "  g_pX[iVar]=keep+d;\n"
    << "  return g_pX[iVar]-keep;\n}\n"
    << "static double bv_quotient(double change, double d) {\n"
    << "  if (fabs(d)>1.0 || fabs(change)<=fabs(d)*g_dLargeLimit) return change/d;\n"
    << "  return (d*change<0.0 ? -1.0 : 1.0)*g_dLargeLimit;\n}\n"
    << "static double PD(int iVar,double dOldRes,void (*pFn)(int)) {\n"
    << "  double keep=g_pX[iVar],d=bv_step(iVar),q;\n"
    << "  pFn(0); q=bv_quotient(res-dOldRes,d); g_pX[iVar]=keep; res=dOldRes;\n"
    << "  return q;\n}\n"
    << "static double PD(int iVar,int iEqn,int (*pFn)(int,int),double dOldOutput) {\n"
    << "  double keep=g_pX[iVar],d=bv_step(iVar),q;\n"
    << "  pFn(iEqn,0); q=bv_quotient(res-dOldOutput,d); g_pX[iVar]=keep; pFn(iEqn,0);\n"
    << "  return -q;\n}\n";
}

// The compiled-evaluation exports.
void WriteExports(std::ostream& o) {
  o << "DLL_C_AS_C(double) residual(int i){p_func[i-1](0);return res;}\n"
    << "DLL_C_AS_C(void) eqn_reset_state(int i){p_func[i-1](3);}\n"
    << "DLL_C_AS_C(void) setx(int i,double value){g_pX[i-1]=value;}\n"
    << "DLL_C_AS_C(double) procoutput(int i){p_func[i-1](-1);return res;}\n"
    << "DLL_C_AS_C(double) residual_nocond(int i){p_func[i-1](0);return res;}\n"
    << "DLL_PTR_C_AS_C(double) procderivs(int i){g_pDerivs=0;p_func[i-1](-2);return g_pDerivs;}\n"
    << "DLL_C_AS_C(int) eqn_level_state(int i,int "
       "ext_level){g_iLevel=ext_level;p_func[i-1](4);return ires;}\n"
    << "DLL_C_AS_C(double) getx(int i){return g_pX[i-1];}\n"
    << "DLL_C_AS_C(void) getx_address(double **x_ext,double "
       "**bounds_ext){*x_ext=g_pX;*bounds_ext=bounds;}\n"
    << "DLL_C_AS_C(void) setinterm_address(double* interm,int *int_interm,char "
       "**str_interm){s=interm;is=int_interm;ss=(const char**)str_interm;}\n"
    << "DLL_C_AS_C(void) register_setvarunscaled(void *pFn, void *pBlock){\n"
    << "  g_pInstance->pSetVarUnscaled=(SetVarUnscaledFn)pFn; "
       "g_pInstance->pSetVarBlock=pBlock;\n}\n"
    << "DLL_C_AS_C(void) register_getdelayedvalue(void *pFn, void *pBlock){\n"
    << "  g_pInstance->pGetDelayedValue=(GetDelayedValueFn)pFn; g_pInstance->pDelayBlock=pBlock;\n"
       "}\n"
    // The derivative code as well: the residual, then its Jacobian entries
    // into the caller's array.
    << "DLL_C_AS_C(double) residual_jacobian(int i,double *J)"
       "{p_func[i-1](0);g_pJ=J;p_func[i-1](1);return res;}\n";
}

// The block instance functions.
void WriteBlockInstance(std::ostream& o) {
  o << "DLL_C_AS_C(int) FinalizeBlock(void *pInstance) { (void)pInstance; return 0; }\n"
    << "DLL_C_AS_C(int) DestroyBlock(void *pInstance) {\n"
    << "  struct InstanceData *p = (struct InstanceData *)pInstance;\n"
    << "  if (!p) return 0;\n"
    << "  if (p->pDestroy) p->pDestroy(p->pDestroyData);\n"
    << "  if (g_pInstance==p) g_pInstance=0;\n"
    << "  if (g_pCurrentInstance==p) g_pCurrentInstance=0;\n"
    << "  free(p); return 0;\n}\n"
    << "DLL_C_AS_C(int) InitializeBlock(void *pInstance) {\n"
    << "  struct InstanceData *p = (struct InstanceData *)pInstance;\n"
    << "  memset(p->pProcData, 0, sizeof(p->pProcData));\n"
    << "  memset(p->pStateData, 0, sizeof(p->pStateData));\n"
    << "  InitSwitches(p->pSwitchData);\n"
    << "  p->pSetVarUnscaled=0; p->pGetDelayedValue=0; p->bPrecalled=0;\n"
    << "  g_pInstance=p;\n"
    << "  return PrecallProcs();\n}\n"
    << "DLL_C_AS_C(int) CreateBlock(void **ppInstance) {\n"
    << "  struct InstanceData *p = (struct InstanceData *)calloc(1, sizeof(struct "
       "InstanceData));\n"
    << "  if (!p) { QLN_Print(" << kNoMemoryStatus
    << ", (char*)\"No memory available to initialize DLL\\n\"); return " << kNoMemoryStatus
    << "; }\n"
    << "  *ppInstance = p; g_pInstance = p; g_pCurrentInstance = p;\n"
    << "  memset(p->pProcData, 0, sizeof(p->pProcData));\n"
    << "  memset(p->pStateData, 0, sizeof(p->pStateData));\n"
    << "  InitSwitches(p->pSwitchData);\n"
    << "  return 0;\n}\n";
}

// DLL_FINALIZE and DLL_INITIALIZE; `between` is written between them.
void WriteLibraryLifeCycle(std::ostream& o, std::int32_t procedures, const std::string& find_procs,
                           bool compiled, const FlowsheetGeneration& generation,
                           const std::string& between, bool add_path) {
  // The property package's tables and its start and end functions are
  // definitions of their own, outside the life-cycle functions.
  if (generation.properties_code) generation.properties_code(o);
  o << "DLL_C_AS_F(int) DLL_FINALIZE(void) {\n"
    << "  int iRes = 0;\n"
    << "  if (g_pInstance) DestroyBlock(g_pInstance);\n"
    << "  if (g_Functions) {\n"
    << "    for (int i=0; i<g_nProcs; i++) if (g_Functions[i]) ReleaseFunction(g_Functions[i]);\n"
    << "    free(g_Functions); g_Functions = 0;\n  }\n";
  if (!compiled) o << "  PropertiesFinalize();\n";
  o << "  return iRes;\n}\n";
  o << between;
  o << "DLL_C_AS_F(int) DLL_INITIALIZE(void) {\n  int iRes = 0;\n";
  if (!compiled) o << "  RegisterDummyOptionsHandler((void *)&DummyOptionsHandler);\n";
  o << "  g_pInstance=0; g_pCurrentInstance=0; DefineEqns();\n";
  if (add_path) o << "  AddQVSystemPath();\n";
  if (procedures > 0) {
    o << "  g_Functions = (XosDynamicFunction **)malloc(" << procedures
      << "*sizeof(XosDynamicFunction *));\n"
      << "  if (!g_Functions) {\n    QLN_Print(" << kNoMemoryStatus
      << ", (char*)\"No memory available to initialize DLL\\n\");\n    return " << kNoMemoryStatus
      << ";\n  }\n"
      << "  for (int i=0; i<" << procedures << "; i++) g_Functions[i] = 0;\n";
  }
  if (!compiled) o << "  if (iRes>=0) iRes = PropertiesInitialize();\n";
  o << find_procs;
  if (compiled) o << "  if (iRes>=0) iRes = CreateBlock((void **)&g_pInstance);\n";
  o << "  if (iRes<0) DLL_FINALIZE();\n  return iRes;\n}\n";
}

// The equation function of one row, in the fixed order of the block's
// code emission; false when it could not be written whole.
bool WriteEquationFunction(DAESSolverEquation* row, daes::EquationCState& state) {
  SolverEquationCodeWriter w(row, state);
  w.Prepare();
  w.WriteHead(0);
  w.WriteCaseLabel(daes::kTaskResetState);
  w.WriteResetState();
  w.WriteCaseLabel(daes::kTaskResidual);
  w.WriteResidual();
  w.WriteText("break;\n");
  w.WriteCaseLabel(daes::kTaskJacobian);
  w.WriteJacobian();
  w.WriteText("break;\n");
  w.WriteCaseLabel(daes::kTaskColumns);
  w.WriteColumnPattern();
  w.WriteText("break;\n");
  return w.WriteEnd() == 0;
}

std::size_t EmittedSections(const daes::EquationCState& state) {
  return static_cast<std::size_t>(
      std::count_if(state.sections.begin(), state.sections.end(),
                    [](const auto& section) { return section->emitted; }));
}

// In compiled evaluation a row that cannot be written whole gets a
// function that does nothing instead: its compiled number is 0, so the
// interpreter evaluates it, and the rest of the library still builds. A
// procedure row keeps its text: its call's wrapper and declaration are
// shared with the call's other rows. False when the row was left out.
bool WriteBlockEquationCode(DAESSolverEquation* row, daes::EquationCState& state,
                            bool compiled) {
  std::ostream* out = state.out;
  std::ostringstream function;
  function.precision(out->precision());
  const std::size_t sections = state.sections.size();
  const std::size_t emitted = EmittedSections(state);
  state.out = &function;
  const bool written = WriteEquationFunction(row, state);
  state.out = out;
  const bool own = state.sections.size() == sections && EmittedSections(state) == emitted &&
                   dynamic_cast<DAESProcSolverEquation*>(row) == nullptr;
  if (written || !compiled || !own) {
    *out << function.str();
    return true;
  }
  *out << "static void Eqn" << state.equation << "(int task){(void)task;}\n";
  return false;
}

}  // namespace

namespace {

// What only an export writes and reads back.
struct ExportForm {
  std::string folder;
  std::string name;
  std::vector<ExportPort>* ports = nullptr;
  const std::vector<ExportVariableSetting>* settings = nullptr;
  bool quiet = false;
};

// The variables in column order, each with how it goes to the host: the
// AddVar lines of an export, in batches like the equations.
void WriteAddVars(std::ostream& o, DAESProblem* problem,
                  const std::vector<ExportVariableSetting>& settings) {
  const std::int32_t n = problem->VariableCount();
  std::vector<DAESVarTableEntry*> by_column(static_cast<std::size_t>(std::max(n, 0)), nullptr);
  for (std::int32_t i = 0; i < n; ++i) {
    DAESVarTableEntry* v = problem->GetVariable(i);
    const std::int32_t column = v != nullptr ? problem->ColumnOf(v) : 0;
    if (column >= 1 && column <= n) by_column[static_cast<std::size_t>(column - 1)] = v;
  }
  // A derivative points back to its state with a negative column.
  std::vector<std::int32_t> relation(by_column.size(), 0);
  for (std::size_t c = 0; c < by_column.size(); ++c) {
    DAESVarTableEntry* v = by_column[c];
    DAESVarTableEntry* d = v != nullptr ? v->GetDerivative() : nullptr;
    const std::int32_t dc = d != nullptr ? problem->ColumnOf(d) : 0;
    if (dc >= 1 && dc <= n) {
      relation[c] = dc;
      relation[static_cast<std::size_t>(dc - 1)] = -static_cast<std::int32_t>(c + 1);
    }
  }
  std::int32_t batch = 0;
  char line[512];
  for (std::size_t first = 0; first < by_column.size(); first += kDefineBatch) {
    ++batch;
    o << "static void AddVars" << batch << "(void) {";
    if (batch > 1) o << " AddVars" << batch - 1 << "();";
    o << "\n";
    const std::size_t last = std::min(first + kDefineBatch, by_column.size());
    for (std::size_t c = first; c < last; ++c) {
      DAESVarTableEntry* v = by_column[c];
      const ExportVariableSetting setting =
          c < settings.size() ? settings[c] : ExportVariableSetting{};
      double value = 0.0, lower = -1e30, upper = 1e30;
      std::int32_t fixed = 0;
      if (v != nullptr) {
        value = v->GetRealValue();
        v->GetBounds(&lower, &upper);
        const std::int32_t spec = v->GetSpec();
        if (spec == daes::kSpecFixed) {
          fixed = 1;
        } else if (spec == daes::kSpecStateInitial || spec == daes::kSpecRateInitial ||
                   spec == daes::kSpecInitial) {
          fixed = -1;
        }
      }
      double scale = 1.0;
      if (setting.mode != 1) {
        scale = setting.scale;
        // Open bounds stay open: a converted 1.5e308 would print as "inf".
        auto convert = [&setting](double x) {
          const double y = x * setting.scale + setting.offset;
          return std::isfinite(y) && std::fabs(x) < 1e300 ? y : x;
        };
        value = convert(value);
        lower = convert(lower);
        upper = convert(upper);
        if (lower > upper) std::swap(lower, upper);
      }
      // The text must stay a C number: no "inf" or "nan".
      if (!std::isfinite(value)) value = 0.0;
      if (!std::isfinite(lower)) lower = std::isnan(lower) ? -1.5e308 : std::copysign(1.5e308, lower);
      if (!std::isfinite(upper)) upper = std::isnan(upper) ? 1.5e308 : std::copysign(1.5e308, upper);
      if (!std::isfinite(scale) || scale == 0.0) scale = 1.0;
      std::snprintf(line, sizeof line, "AddVar(%.15g,%.15g,%.15g,%.15g,%d,%d,%d);", value, lower,
                    upper, scale, fixed, static_cast<int>(setting.first), relation[c]);
      o << line << "\n";
    }
    o << "}\n";
  }
  if (batch == 0) {
    o << "static void AddVars(void) { }\n";
  } else {
    o << "static void AddVars(void) { AddVars" << batch << "(); }\n";
  }
}

// The libraries an exported flowsheet's procedures need, and the
// function that puts the system's tool folder on PATH when one of them is
// the system's own; whether that function was written.
bool WriteLibraryReport(std::ostream& o, const CodegenReport& report,
                        const std::set<std::string>& libraries) {
  if (libraries.empty()) return false;
  Progress(report, "DLLs required by the exported flowsheet are:\n", nullptr);
  bool system = false;
  for (const std::string& l : libraries) {
    Progress(report, "  %s\n", l.c_str());
    for (const char* own : {"gpp", "dynamics", "modeler"}) {
      if (strcasecmp(l.c_str(), own) == 0) system = true;
    }
  }
  if (!system) return false;
  o << "static void AddQVSystemPath(void) {\n"
    << "  char cBin[1024];\n"
    << "  if (!QLNReadRegistryText(\"SOFTWARE\\\\Brunvald\\\\QVSystem\\\\38.0\\\\Dir\", \"Bin\", "
       "cBin, sizeof cBin)) return;\n"
    << "  const char *pPath = getenv(\"PATH\");\n"
    << "  if (pPath && strstr(pPath, cBin)) return;\n"
    << "  size_t n = strlen(cBin) + (pPath ? strlen(pPath) : 0) + 2;\n"
    << "  char *pNew = (char *)malloc(n);\n"
    << "  if (!pNew) return;\n"
    << "  snprintf(pNew, n, \"%s%s%s\", cBin, pPath ? \":\" : \"\", pPath ? pPath : \"\");\n"
    << "  setenv(\"PATH\", pNew, 1);\n"
    << "  free(pNew);\n}\n";
  return true;
}

// "a single" for one, the number otherwise; the plural ending.
void CountReport(const CodegenReport& report, const char* format, std::int32_t count) {
  if (count <= 0) return;
  const std::string number = count == 1 ? "a single" : std::to_string(count);
  Progress(report, format, number.c_str(), count == 1 ? "" : "s");
}

// The kept files, copied from the build folder into the named one as new
// files: nothing there is replaced or written through.
void KeepFiles(const CodegenReport& report, const std::string& from, const std::string& to,
               const std::string& name) {
  const std::string source = name + ".cpp", makefile = MakefileName(nullptr, name.c_str()),
                    library = name + ".so";
  for (const std::string& file : {source, makefile, library}) {
    const std::string built = JoinFolderAndName(from.c_str(), file.c_str());
    if (!platform::PathExists(built.c_str())) continue;
    const std::string kept = JoinFolderAndName(to.c_str(), file.c_str());
    int error = 0;
    if (!platform::CopyToNewFile(built.c_str(), kept.c_str(), &error)) {
      OpenFailure(report, "keep", kept, error);
    }
  }
}

Status Generate(const FlowsheetGeneration& generation, DAESProblem* problem, ExportForm* exported,
                std::string* library, std::int32_t* libraries) {
  library->clear();
  if (libraries != nullptr) *libraries = 0;
  ResetErrorCount();
  ResetWarningCount();
  const bool compiled = exported == nullptr;
  const CodegenReport report = ReportOrPrint(generation.report);
  if (problem == nullptr) {
    if (compiled) return 0;
    Failure(report, "There is no problem to export as %s\n", exported->name.c_str());
    return kFailed;
  }
  if (compiled && g_loaded.loaded) return 0;
  SolverOptions* options = SolverOptions::Instance();
  const bool keep = KeepCompiledEvaluation(options);
  if (compiled && !UseCompiledEvaluation(options)) return 0;

  std::string folder = compiled ? generation.folder : exported->folder;
  if (folder.empty()) {
    std::error_code ec;
    folder = std::filesystem::current_path(ec).string();
  }
  // Compiled evaluation builds in a folder of its own; the named folder
  // receives copies of the kept files.
  std::string keep_folder;
  if (compiled) {
    keep_folder = folder;
    if (!g_private.Make(&folder)) {
      if (errno == EPERM) {
        // Another user could swap the folder for one of theirs and run
        // their own makefile or library as ours.
        Failure(report,
                "Failed to make the build folder %s: a folder on its path is another user's or "
                "open to others without the sticky bit (set TMPDIR to a folder of your own)",
                folder.c_str());
      } else {
        OpenFailure(report, "make the build folder", folder, errno);
      }
      return kFailed;
    }
  }
  std::string name = compiled ? NextCompiledLibraryName(folder) : exported->name;
  while (compiled && keep && TakenIn(keep_folder, name)) {
    std::remove((JoinFolderAndName(folder.c_str(), name.c_str()) + ".cpp").c_str());
    name = NextCompiledLibraryName(folder);
  }
  const std::string source = JoinFolderAndName(folder.c_str(), name.c_str()) + ".cpp";
  std::int32_t library_count = 0;
  std::int32_t failed = 0;
  {
    FlowsheetCodeWriter writer(source, compiled);
    if (!writer.IsOpen()) {
      OpenFailure(report, "open", source, errno);
      if (compiled) g_private.Remove(folder);
      return kFailed;
    }
    Progress(report, "Generating flowsheet object code...\n", nullptr);

    // Procedure slots first: the wrappers name them.
    std::ostringstream find_procs;
    FindProcGenerator slots;
    slots.counter = FindProcBase();
    slots.out = &find_procs;
    std::vector<DAESSolverEquation*> rows;
    for (std::int32_t i = 0; i < problem->EquationCount(); ++i) {
      auto* row = dynamic_cast<DAESSolverEquation*>(problem->GetEquation(i));
      if (row == nullptr) continue;
      rows.push_back(row);
      if (auto* call = dynamic_cast<DAESProcSolverEquation*>(row)) {
        if (DAESProcDef* d = call->ProcedureDefinition()) d->WriteFindProc(slots);
      }
    }
    const std::int32_t procedures = slots.counter - FindProcBase();
    library_count = static_cast<std::int32_t>(slots.libraries.size());
    writer.total = static_cast<std::int32_t>(rows.size());

    // The equation functions, written into memory first: the storage and
    // instance sizes depend on them.
    std::ostringstream body;
    body.precision(16);
    daes::EquationCState state(body);
    state.initial_states = &writer.Text(FlowsheetCodeWriter::kInitSwitches);
    std::vector<DefineEqnsWriter::Entry> entries;
    std::int32_t calls = 0;
    const std::size_t half_before = TapeStateNow().capacity / 2;
    std::int32_t left_out = 0;
    for (DAESSolverEquation* row : rows) {
      const std::int32_t states_before = state.state_base + state.state_count + state.switches;
      if (!WriteBlockEquationCode(row, state, compiled)) {
        ++left_out;
        const char* named = row->GetNameText();
        Progress(report, "Equation %s could not be compiled; the interpreter evaluates it.\n",
                 named != nullptr ? named : "");
      }
      ++writer.written;
      DefineEqnsWriter::Entry e;
      const char* text = row->GetNameText();
      e.name = text != nullptr ? text : "";
      e.torn = (row->GetFlags() & daes::kTorn) != 0;
      e.conditional = state.state_base + state.state_count + state.switches != states_before;
      if (auto* call = dynamic_cast<DAESProcSolverEquation*>(row)) {
        if (call->OutputIndex() == 0) ++calls;
        e.procedure = true;
        e.procedure_number = calls;
        e.output_number = call->RowNumber();
      }
      entries.push_back(std::move(e));
    }
    daes::EmitCodeSections(state, true);
    failed = state.failed_functions - left_out;
    const std::size_t intermediates = TapeStateNow().capacity + 2;
    if (compiled) {
      g_jacobian_code[name] = {static_cast<std::size_t>(std::max(state.expr.tape.j_offset, 0)),
                               state.generation};
      g_intermediates = std::max(g_intermediates, intermediates);
      if (half_before == TapeStateNow().capacity / 2) {
        g_saved_results[name] = half_before;
      } else {
        g_saved_results.erase(name);
      }
    }

    std::ostream& o = writer.Out();
    if (!compiled) o << "#define TANQ_EXPORT\n";
    o << "#include \"flowsheetexportstub.cpp\"\n\n";
    WriteRunTimeHead(o, procedures, state.proc_data, state.state_base + state.state_count,
                     state.switches, !compiled);
    const std::int32_t n = problem->VariableCount();
    if (compiled) {
      o << "static double g_pX[" << std::max(n, 1) << "],bounds[" << std::max(2 * n, 1)
        << "],res,*s/* MaxIntermediates=" << intermediates << " */;int *is; const char **ss;\n"
        << "static double *g_pJ; static int *g_piCol;\n";
    } else {
      o << "static double s[" << intermediates << "],res,*g_pX,*g_pJ,bounds["
        << std::max(2 * n, 1) << "];static int is[" << intermediates << "],*g_piCol;static const char *ss["
        << intermediates << "];\n"
        << "static int GetNvars(void) { return " << n << "; }\n"
        << "static int GetNequs(void) { return " << writer.total << "; }\n"
        << "static int GetNZ(void) { return " << state.expr.tape.j_offset << "; }\n";
    }
    if (generation.optimise) {
      o << "#ifdef WIN32\n#pragma optimize(\"tga\", on)\n#endif\n";
    } else {
      o << "#ifdef WIN32\n//#pragma optimize(\"tga\", on)\n#endif\n";
    }
    WriteInlineFunctions(o);
    if (!compiled) {
      static const std::vector<ExportVariableSetting> kNone;
      WriteAddVars(o, problem, exported->settings != nullptr ? *exported->settings : kNone);
    }
    WritePerturbation(o, options != nullptr ? options->GetReal(kOptRelPerturb) : 1e-5,
                      options != nullptr ? options->GetReal(kOptAbsPerturb) : 1e-5);
    o << "#define EQN_COND 0x01\n#define EQN_TORN 0x02\n#define EQN_PROC 0x04\n"
      << "static unsigned char g_cEqnFlags[" << std::max(writer.total, 1) << "];\n"
      << "static void (*p_func[" << std::max(writer.total, 1) << "])(int);\n";
    o << body.str();
    DefineEqnsWriter define(o);
    for (std::int32_t first = 1; first <= writer.written; first += kDefineBatch) {
      const std::int32_t last = std::min(first + kDefineBatch - 1, writer.written);
      if (compiled) {
        define.WriteBatch(first, last);
      } else {
        const std::vector<DefineEqnsWriter::Entry> batch(entries.begin() + (first - 1),
                                                         entries.begin() + last);
        define.WriteExportBatch(first, batch, writer.total, &writer.torn);
      }
      writer.defined = last;
    }
    define.Finish();
    if (compiled) {
      WriteExports(o);
    } else {
      o << "static inline double residual(int i){if(g_cEqnFlags[i-1]&EQN_COND)p_func[i-1](3);"
           "p_func[i-1](0);return res;}\n"
        << "static inline double residual_nocond(int i){p_func[i-1](0);return res;}\n"
        << "static inline void eqn_reset_state(int i){p_func[i-1](3);}\n"
        << "static inline int eqn_level_state(int i,int "
           "ext_level){g_iLevel=ext_level;p_func[i-1](4);return ires;}\n";
    }
    o << writer.Text(FlowsheetCodeWriter::kInitSwitches).str() << "\n}\n";
    o << writer.Text(FlowsheetCodeWriter::kPrecall).str() << state.precall.str()
      << "  return 0;\n}\n";
    o << writer.Text(FlowsheetCodeWriter::kPostcall).str() << state.postcall.str()
      << "  if (iLast==INT_MAX && iFailed==1) QLN_Print(rc, (char*)\"procedure postcall failed "
         "for %s\", g_pProcName ? g_pProcName : \"\");\n"
      << "  if (iLast==INT_MAX && iFailed>1) QLN_Print(rc, (char*)\"%d procedure postcall "
         "failures (first was %s)\", iFailed, g_pProcName ? g_pProcName : \"\");\n"
      << "  return rc;\n}\n";
    WriteBlockInstance(o);
    std::ostringstream between;
    bool add_path = false;
    if (!compiled) {
      // The port variables' places in the block.
      for (ExportPort& port : *exported->ports) {
        port.block_indexes.assign(port.variables.size(), -1);
        for (std::size_t j = 0; j < port.variables.size(); ++j) {
          auto* v = dynamic_cast<DAESVarTableEntry*>(port.variables[j]);
          const std::int32_t column = v != nullptr ? problem->ColumnOf(v) : 0;
          if (column > 0) port.block_indexes[j] = column - 1;
        }
      }
      // The options in force go with the export: its handler answers the
      // host's option requests as the engine answers them now, and its
      // "SetOptions" script repeats them.
      std::ostringstream script;
      SolverOptionTable* table = SolverOptionTable::Instance();
      table->WriteOptionsHandlerCode(script);
      table->WriteSetOptionsScript(script);
      WriteBlockFactoryLayer(o, name, *exported->ports, script.str());
      add_path = WriteLibraryReport(between, report, slots.libraries);
    }
    WriteLibraryLifeCycle(o, procedures, find_procs.str(), compiled, generation, between.str(),
                          add_path);
    SetFindProcBase(slots.counter);
    if (!o.good()) {
      OpenFailure(report, "write", source, errno);
      return kFailed;
    }
    if (!compiled) {
      CountReport(report,
                  "The exported flowsheet contains %s torn equation%s - not all solvers support "
                  "tearing.",
                  writer.torn);
    }
  }
  if (failed > 0) {
    Failure(report, "%s equation(s) could not be compiled; see the messages above.\n",
            std::to_string(failed).c_str());
  }

  // The makefile of the one C++ source, then the build.
  std::string lines;
  if (!compiled) lines = ExportProductFolderLines(report, exported->quiet);
  CNameTree* tree = nullptr;
  bool fortran = false;
  Status s = WriteProcedureLibraryMakefilePart(
      report, &tree, generation.server_folder.c_str(), generation.debug, false, &fortran,
      folder.c_str(), compiled ? nullptr : "%tanq_defs.inc", compiled ? nullptr : lines.c_str(),
      name.c_str());
  if (status::IsSuccess(s) && generation.build) {
    s = RefuseOpenSearchFolders(report,
                                BuildSearchFolders(generation.server_folder.c_str(), !compiled));
  }
  if (status::IsSuccess(s) && generation.build) {
    Progress(report, "Compiling and linking flowsheet object code...\n", nullptr);
    s = RunNmakeBuild(report, nullptr, folder.c_str(), name.c_str(), true, false, nullptr, false,
                      fortran);
    if (status::IsSuccess(s)) s = CloseBuiltLibrary(report, LibraryPath(folder, name));
  }
  if (compiled) {
    g_loaded.build_folder = folder;
    const std::string built = LibraryPath(folder, name);
    if (status::IsSuccess(s) && generation.build && platform::IsOwnRegularFile(built.c_str())) {
      g_private.built.insert(built);
    }
    if (keep) {
      KeepFiles(report, folder, keep_folder, name);
    } else {
      std::remove(source.c_str());
    }
    SummariseBuildOutput(report, "compiled evaluation", library_count);
  }
  if (libraries != nullptr) *libraries = library_count;
  *library = name;
  return status::IsFailure(s) ? s : 0;
}

}  // namespace

Status GenerateCompiledCode(const FlowsheetGeneration& generation, DAESProblem* problem,
                            std::string* library, std::int32_t* libraries) {
  return Generate(generation, problem, nullptr, library, libraries);
}

Status GenerateExportCode(const FlowsheetGeneration& generation, DAESProblem* problem,
                          const FlowsheetExport& request, std::int32_t* libraries) {
  ExportForm form;
  form.folder = request.folder;
  form.name = request.name;
  form.ports = request.ports;
  form.settings = request.settings;
  form.quiet = request.quiet;
  std::vector<ExportPort> no_ports;
  if (form.ports == nullptr) form.ports = &no_ports;
  std::string library;
  return Generate(generation, problem, &form, &library, libraries);
}

void* LoadedCompiledLibrary() { return g_loaded.library; }
const std::string& CompiledBuildFolder() { return g_loaded.build_folder; }
void SetCompiledBuildFolder(const std::string& folder) { g_loaded.build_folder = folder; }

namespace {

void Clean(const std::string& folder, const std::string& name) {
  if (name.empty()) return;
  RunNmakeBuild(CodegenReport{}, nullptr, folder.empty() ? nullptr : folder.c_str(), name.c_str(),
                true, true, "clean", true, false);
  // A build folder of our own goes whole.
  g_private.Remove(folder);
}

void Release() {
  daes::CurrentCompiledLibrary() = daes::CompiledLibrary{};
  if (g_loaded.library != nullptr) g_loaded.library->Release();
  g_loaded.library = nullptr;
  g_loaded.x = nullptr;
  g_loaded.x_less_one = nullptr;
  g_loaded.loaded = false;
}

QLNInitializationBlock g_block;

}  // namespace

Status LoadCompiledLibrary(DAESProblem* problem, const char* library) {
  SolverOptions* options = SolverOptions::Instance();
  if (g_loaded.library != nullptr) {
    if (library != nullptr) return 0;
    Release();
    if (!KeepCompiledEvaluation(options)) Clean(g_loaded.build_folder, g_loaded.current_name);
  }
  g_loaded.library = nullptr;
  g_loaded.x = nullptr;
  if (library == nullptr) {
    g_loaded.current_name.clear();
    g_loaded.loaded = false;
    return 0;
  }
  g_loaded.current_name = library;
  g_loaded.loaded = false;
  SuPrint(0, "Loading flowsheet object code library (%s)...\n", library);
  const std::string path = LibraryPath(g_loaded.build_folder, library);
  g_block = QLNInitializationBlock{};
  g_block.kind = 3;
  g_block.further_word = reinterpret_cast<std::uintptr_t>(GetCompiledCodeInitData());
  // The option table answers what the library's start-up asks, as the
  // start record's options do.
  g_block.options_handler = SolverOptionTable::Instance();
  // Only a library this process built, still the file it made.
  XosDynamicLibrary* loaded = nullptr;
  if (g_private.built.count(path) != 0 && platform::IsOwnRegularFile(path.c_str())) {
    loaded = QLNDynamicLibrary::Load(path.c_str(), &g_block);
  }
  Status result = 0;
  if (loaded != nullptr) {
    auto symbol = [loaded](const char* name) { return loaded->EntryPoint(name); };
    void* setinterm = symbol("setinterm_address");
    void* getx = symbol("getx_address");
    void* residual = symbol("residual");
    void* setx = symbol("setx");
    void* procoutput = symbol("procoutput");
    void* procderivs = symbol("procderivs");
    if (setinterm == nullptr || getx == nullptr || residual == nullptr || setx == nullptr ||
        procoutput == nullptr || procderivs == nullptr) {
      loaded->Release();
      loaded = nullptr;
    } else {
      g_loaded.library = loaded;
      daes::CompiledLibrary& table = daes::CurrentCompiledLibrary();
      table = daes::CompiledLibrary{};
      using Register = void (*)(void*, void*);
      if (auto* reg = reinterpret_cast<Register>(symbol("register_setvarunscaled"))) {
        reg(reinterpret_cast<void*>(&CompiledCodeSetVarUnscaled), problem);
      }
      if (auto* reg = reinterpret_cast<Register>(symbol("register_getdelayedvalue"))) {
        reg(reinterpret_cast<void*>(&CompiledCodeGetDelayedValue),
            static_cast<DAESSolverBlock*>(problem));
      }
      double* x = nullptr;
      double* bounds = nullptr;
      reinterpret_cast<void (*)(double**, double**)>(getx)(&x, &bounds);
      g_loaded.x = x;
      g_loaded.x_less_one = x != nullptr ? x - 1 : nullptr;
      const std::size_t n = std::max<std::size_t>(g_intermediates, TapeStateNow().capacity + 2);
      g_loaded.reals.assign(n, 0.0);
      g_loaded.ints.assign(n, 0);
      g_loaded.texts.assign(n, nullptr);
      reinterpret_cast<void (*)(double*, int*, char**)>(setinterm)(
          g_loaded.reals.data(), g_loaded.ints.data(), g_loaded.texts.data());
      // The derivative pass reads the values a residual leaves there when
      // the equations were written in this process, their layout known.
      if (auto found = g_saved_results.find(library); found != g_saved_results.end()) {
        table.reals = g_loaded.reals.data();
        table.ints = g_loaded.ints.data();
        table.half = found->second;
        table.size = std::min(g_loaded.reals.size(), g_loaded.ints.size());
      }
      if (auto code = g_jacobian_code.find(library); code != g_jacobian_code.end()) {
        if (auto* both = reinterpret_cast<double (*)(std::uint32_t, double*)>(
                symbol("residual_jacobian"))) {
          g_loaded.jacobian.assign(std::max<std::size_t>(code->second.entries, 1), 0.0);
          table.residual_jacobian = both;
          table.jacobian = g_loaded.jacobian.data();
          table.jacobian_size = code->second.entries;
          table.generation = code->second.generation;
        }
      }
      table.residual = reinterpret_cast<double (*)(std::uint32_t)>(residual);
      table.procoutput = reinterpret_cast<double (*)(std::uint32_t)>(procoutput);
      table.procderivs = reinterpret_cast<double* (*)(std::uint32_t)>(procderivs);
      table.eqn_reset_state = reinterpret_cast<void (*)(std::uint32_t)>(symbol("eqn_reset_state"));
      table.eqn_level_state = reinterpret_cast<std::int32_t (*)(std::uint32_t, std::int32_t)>(
          symbol("eqn_level_state"));
      table.postcall_procs = reinterpret_cast<Status (*)(std::int32_t)>(symbol("PostcallProcs"));
      table.getx_address = &LoadedX;
      // Every variable's value goes to the library's array.
      if (problem != nullptr) problem->WriteCompiledValues();
      if (auto* precall = reinterpret_cast<int (*)()>(symbol("PrecallProcs"))) {
        const int answer = precall();
        if (answer < 0) result = static_cast<Status>(answer);
      }
      table.precall_procs = reinterpret_cast<Status (*)()>(symbol("PrecallProcs"));
    }
  }
  if (loaded != nullptr && status::IsSuccess(result) && (result & 0x80000000u) == 0) {
    if (problem != nullptr) problem->SetCompiledEvaluation(1, nullptr);
    g_loaded.loaded = true;
    SuPrint(result, "Loaded flowsheet object code library (%s)\n", library);
    return result;
  }
  if (loaded != nullptr) Release();
  if (result == 0) result = kCompiledLoadFailed;
  SuPrint(result, "Failed to load/generate flowsheet object code library (%s)\n", library);
  if (!KeepCompiledEvaluation(options)) Clean(g_loaded.build_folder, g_loaded.current_name);
  g_loaded.current_name.clear();
  g_loaded.loaded = false;
  return result;
}

Status FlowsheetCompiledCode::Generate(DAESProblem* problem, std::int32_t, std::int32_t,
                                       std::uint64_t, std::string* library) {
  return GenerateCompiledCode(generation_, problem, library, nullptr);
}

Status FlowsheetCompiledCode::Load(DAESProblem* problem, const char* library) {
  return LoadCompiledLibrary(problem, library);
}

}  // namespace codegen

extern "C" Status CompiledCodeSetVarUnscaled(void* problem, std::int32_t i, double value) {
  // The library numbers variables by the problem's columns.
  auto* p = static_cast<DAESProblem*>(problem);
  for (std::int32_t k = 0; p != nullptr && k < p->VariableCount(); ++k) {
    DAESVarTableEntry* v = p->GetVariable(k);
    if (v != nullptr && p->ColumnOf(v) == i) return v->SetValue(value);
  }
  return codegen::kCompiledLoadFailed;
}
