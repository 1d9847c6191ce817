#include "codegen/flowsheet/export_layer.h"

#include <cctype>

#include "daes/model/var_table_entry.h"
#include "expr/codegen/code_writer.h"

namespace codegen {
namespace {

constexpr std::size_t kComponentField = 8;

// A text as a C string literal body.
std::string Literal(const std::string& text) { return EscapedText(text.c_str()); }

// A text inside a line comment: a line break would end the comment, and a
// backslash at its end would take the next line into it.
std::string CommentText(const char* text) {
  std::string out = text != nullptr ? text : "";
  for (char& c : out) {
    if (c == '\n' || c == '\r' || c == '\\') c = ' ';
  }
  return out;
}

}  // namespace

std::string ExportIdentityName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (std::islower(u)) {
      out.push_back(static_cast<char>(std::toupper(u)));
    } else if (std::isupper(u) || std::isdigit(u)) {
      out.push_back(c);
    } else {
      out.push_back('_');
    }
  }
  return out;
}

std::string PortHostName(const std::string& name) {
  std::string out;
  std::size_t i = 0;
  while (i <= name.size()) {
    const std::size_t dot = name.find('.', i);
    const std::size_t end = dot == std::string::npos ? name.size() : dot;
    std::string segment = name.substr(i, end - i);
    static const std::string kOpen = "blocks(\"";
    if (segment.size() >= kOpen.size() + 2 && segment.compare(0, kOpen.size(), kOpen) == 0 &&
        segment.compare(segment.size() - 2, 2, "\")") == 0) {
      segment = segment.substr(kOpen.size(), segment.size() - kOpen.size() - 2);
    }
    for (char c : segment) out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    if (dot == std::string::npos) break;
    out.push_back('.');
    i = dot + 1;
  }
  return out;
}

std::string ComponentField(const std::string& name) {
  std::string field = name.substr(0, kComponentField);
  field.resize(kComponentField, ' ');
  return field;
}

void WritePortDefinition(std::ostream& out, std::size_t k, const ExportPort& port) {
  const std::size_t m = port.variables.size();
  out << "  pPort = (rt_port_tag *) (*IBP(blk_port(blkptr)+" << k << "));\n"
      << "  qln_set_port_num_vars(pPort," << m << ");\n";
  if (port.attributes > 0) {
    out << "  // indicate the number of extended attributes...\n"
        << "  pPort->set_num_attrs(" << port.attributes << ");\n";
  }
  for (std::size_t j = 0; j < m; ++j) {
    const std::int32_t index = j < port.block_indexes.size() ? port.block_indexes[j] : -1;
    if (index < 0) continue;
    const char* variable = port.variables[j] != nullptr ? port.variables[j]->GetNameText() : "";
    out << "  qln_add_port_var(pPort," << j << ", iFirstVar+" << index << "); //"
        << CommentText(variable) << " \n";
  }
  // The variables beyond the component fractions and attributes.
  const long long plain = static_cast<long long>(m) -
                          static_cast<long long>(port.components.size()) -
                          static_cast<long long>(port.attributes);
  out << "  qln_define_port_components(pPort, " << plain << ", \"";
  for (const std::string& c : port.components) out << Literal(ComponentField(c));
  out << "\");\n";
}

void WriteBlockFactoryLayer(std::ostream& out, const std::string& name,
                            const std::vector<ExportPort>& ports, const std::string& script) {
  const std::string identity = ExportIdentityName(name);
  const std::string shown = Literal(name);
  out << "#define QLNBLOCKPOINTER(blkptr) (IBP(blkptr)[SIZEOF_RTBLK])\n\n"
      << "static int g_iBlockFactories = 0;\n";
  out << script;

  // The block callbacks.
  out << "static int qln_inq_script(VRKBLK_P blkptr, const char *pName) {\n"
      << "  (void)blkptr; return pName && !strcasecmp(pName, \"SetOptions\");\n}\n"
      << "static int qln_inq_nscript(VRKBLK_P blkptr) { (void)blkptr; return 1; }\n"
      << "#if QVFBLOCK_MAJOR_VSN==11\n"
      << "static int qln_invoke(VRKBLK_P blkptr, const char *pName, HLXContext *pContext, int "
         "nArgs, const char **ppArgs) {\n"
      << "  (void)pContext; (void)nArgs; (void)ppArgs;\n"
      << "  return qln_inq_script(blkptr, pName) ? 0 : 1;\n}\n"
      << "#else\n"
      << "static int qln_invoke(VRKBLK_P blkptr, const char *pName) {\n"
      << "  return qln_inq_script(blkptr, pName) ? 0 : 1;\n}\n"
      << "#endif\n"
      << "static void qln_dim(VRKBLK_P blkptr, int *pnEqns, int *pnVars, int *pnNZ) {\n"
      << "  (void)blkptr; *pnEqns = GetNequs(); *pnVars = GetNvars(); *pnNZ = GetNZ();\n}\n";

  out << "static void qln_ini(VRKBLK_P blkptr, int *ierror) {\n"
      << "  struct InstanceData *p = (struct InstanceData *)QLNBLOCKPOINTER(blkptr);\n"
      << "  g_pInstance = p; g_pCurrentInstance = p;\n"
      << "#if QVFBLOCK_MAJOR_VSN==11\n"
      << "  p->iFirstVar = blk_vstart(blkptr); p->iFirstEqn = blk_estart(blkptr); p->iFirstNZ = "
         "blk_nzstart(blkptr);\n"
      << "#else\n"
      << "  p->iFirstVar = blk_first_var(blkptr); p->iFirstEqn = blk_first_eqn(blkptr); "
         "p->iFirstNZ = blk_first_nz(blkptr);\n"
      << "#endif\n"
      << "  g_pX = blk_x(blkptr) + p->iFirstVar;\n"
      << "  g_iVar = 0; AddVars();\n"
      << "  {\n"
      << "    char cName[256]; const char *pId = blk_ident(blkptr); int iNZ = 0;\n"
      << "    for (int i=0; i<GetNequs(); i++) {\n"
      << "      snprintf(cName, sizeof cName, \"%s.%s\", pId ? pId : \"\", bv_EqnName(i));\n"
      << "      blk_eqn_name(blkptr, p->iFirstEqn+i, cName);\n"
      << "      p_func[i](2);\n"
      << "      for (int k=1; k<=g_piCol[0]; k++, iNZ++)\n"
      << "        blk_jac_struct(blkptr, p->iFirstNZ+iNZ, p->iFirstEqn+i, "
         "p->iFirstVar+g_piCol[k]-1);\n"
      << "    }\n"
      << "  }\n";
  if (!ports.empty()) {
    out << "  int iFirstVar = blk_vstart(blkptr);\n"
        << "  rt_port_tag * pPort = 0;\n";
    for (std::size_t k = 0; k < ports.size(); ++k) WritePortDefinition(out, k, ports[k]);
  }
  out << "  *ierror = InitializeBlock(p) < 0;\n}\n";

  out << "static void qln_de_ini(VRKBLK_P blkptr, int *ierror) {\n"
      << "  *ierror = FinalizeBlock(QLNBLOCKPOINTER(blkptr)) < 0;\n"
      << "  if (*ierror) vrkprintf(\"Failed to finalize block %s\\n\", blk_ident(blkptr));\n}\n"
      << "static void qln_user_init(VRKBLK_P blkptr, int *ierror) { (void)blkptr; *ierror = 0; }\n"
      << "static void qln_res(VRKBLK_P blkptr, int *ierror) {\n"
      << "  struct InstanceData *p = (struct InstanceData *)QLNBLOCKPOINTER(blkptr);\n"
      << "  double *pF = blk_f(blkptr) + p->iFirstEqn;\n"
      << "  g_pInstance = p; g_pX = blk_x(blkptr) + p->iFirstVar;\n"
      << "  for (int i=0; i<GetNequs(); i++) pF[i] = residual(i+1);\n"
      << "  *ierror = 0;\n}\n"
      << "static void qln_jac(VRKBLK_P blkptr, int *ierror) {\n"
      << "  struct InstanceData *p = (struct InstanceData *)QLNBLOCKPOINTER(blkptr);\n"
      << "  g_pInstance = p; g_pX = blk_x(blkptr) + p->iFirstVar;\n"
      << "  g_pJ = blk_jac(blkptr) + p->iFirstNZ;\n"
      << "  for (int i=0; i<GetNequs(); i++) { p_func[i](0); p_func[i](1); }\n"
      << "  *ierror = 0;\n}\n"
      << "static int qln_group_eqn(VRKBLK_P blkptr, int iGroup) {\n"
      << "  struct InstanceData *p = (struct InstanceData *)QLNBLOCKPOINTER(blkptr);\n"
      << "  g_pInstance = p; g_pX = blk_x(blkptr) + p->iFirstVar;\n"
      << "  int i = iGroup - p->iFirstEqn;\n"
      << "  return i>=0 && i<GetNequs() ? i : -1;\n}\n"
      << "static void qln_group_res(VRKBLK_P blkptr, int iGroup, int *ierror) {\n"
      << "  int i = qln_group_eqn(blkptr, iGroup);\n"
      << "  *ierror = i<0;\n"
      << "  if (i>=0) blk_f(blkptr)[iGroup] = residual(i+1);\n}\n"
      << "static void qln_group_jac(VRKBLK_P blkptr, int iGroup, int *ierror) {\n"
      << "  int i = qln_group_eqn(blkptr, iGroup);\n"
      << "  *ierror = i<0;\n"
      << "  if (i<0) return;\n"
      << "  struct InstanceData *p = (struct InstanceData *)QLNBLOCKPOINTER(blkptr);\n"
      << "  g_pJ = blk_jac(blkptr) + p->iFirstNZ; /* each equation knows its own entries */\n"
      << "  p_func[i](0); p_func[i](1);\n}\n"
      << "static void qln_destroy(VRKBLK_P blkptr) {\n"
      << "  DestroyBlock(QLNBLOCKPOINTER(blkptr));\n"
      << "  QLNBLOCKPOINTER(blkptr) = 0;\n"
      << "  blk_free_ident(blkptr);\n}\n";

  // Block creation: the instance, the ports, then the methods.
  out << "class QLN_BlkFactory;\n"
      << "static void qln_block_gone(void *pData);\n"
      << "static void qln_create_block(VRKBLK_P blkptr, QLN_BlkFactory *pFactory, int *ierror) "
         "{\n"
      << "  struct InstanceData *p = 0;\n"
      << "  *ierror = CreateBlock((void **)&p) < 0;\n"
      << "  if (!*ierror) {\n"
      << "    QLNBLOCKPOINTER(blkptr) = p;\n"
      << "    p->pBlk = blkptr; p->pDestroy = qln_block_gone; p->pDestroyData = pFactory;\n"
      << "  }\n";
  if (!ports.empty()) {
    out << "        blk_num_port(blkptr) = 0;\n"
        << "        rt_port_tag * pPort = 0;\n";
    for (const ExportPort& port : ports) {
      const bool stream = port.type == 1 || port.type == 2;
      const char* direction = port.direction == 1 ? "RT_PORT_DIR_INPUT," : "RT_PORT_DIR_OUTPUT,";
      out << "        if (!*ierror) {\n"
          << "          pPort = vrkport_create(\"" << Literal(PortHostName(port.name));
      if (stream) {
        out << "\",RT_PORT_TYPE_MATERIAL_STREAM," << direction << "RT_PORT_BASIS_FRAC);\n";
      } else {
        out << "\",RT_PORT_TYPE_UNSPECIFIED," << direction << "RT_PORT_BASIS_UNSPECIFIED);\n";
      }
      out << "          if (pPort) {\n"
          << "            vrkblk_add_port((VRKBLK_P)blkptr, (qvf_port*)pPort);\n"
          << "          } else *ierror=1;\n"
          << "        }\n";
    }
  }
  out << "  if (*ierror) {\n"
      << "    if (p) { p->pDestroy = 0; DestroyBlock(p); QLNBLOCKPOINTER(blkptr) = 0; }\n"
      << "    vrkblk_destroy(blkptr);\n"
      << "    return;\n  }\n"
      << "  static const qvf_blk_methods methods = {\n"
      << "    qln_inq_script, qln_inq_nscript, qln_invoke, qln_dim, qln_ini, qln_de_ini,\n"
      << "    qln_user_init, qln_res, qln_jac, qln_group_res, qln_group_jac, qln_destroy };\n"
      << "  vrkblk_set_methods(blkptr, &methods);\n}\n";

  // The factory and its model library.
  out << "class QLN_BlkFactory : public QVFBlkFactory {\n"
      << " public:\n"
      << "  class ModelLibrary : public QVFModelLibrary {\n"
      << "   public:\n"
      << "    const char *Name() { return \"" << shown << " Model Library\"; }\n"
      << "    const char *Version() { return \"1\"; }\n"
      << "    const char *Producer() { return \"Quillon\"; }\n"
      << "    const char *Description() { return \"This model library was generated from the "
      << shown << " Quillon simulation.\"; }\n"
      << "  };\n"
      << "  QLN_BlkFactory() : m_nActive(0) {}\n"
      << "  const char *Identity() { return \"" << identity << "\"; }\n"
      << "  const char *ErrorMessage() { return 0; }\n"
      << "  QVFModelLibrary *Library() { return &m_Library; }\n"
      << "  int CreateBlock(VRKBLK_P blkptr, int *ierror) {\n"
      << "    qln_create_block(blkptr, this, ierror);\n"
      << "    if (!*ierror) m_nActive++;\n"
      << "    return *ierror ? -1 : 0;\n  }\n"
      << "  int ActiveBlocks() const { return m_nActive; }\n"
      << "  void BlockGone() { if (m_nActive>0) m_nActive--; }\n"
      << " private:\n"
      << "  int m_nActive;\n"
      << "  ModelLibrary m_Library;\n"
      << "};\n"
      << "static void qln_block_gone(void *pData) { ((QLN_BlkFactory *)pData)->BlockGone(); }\n";

  // The library entry points.
  out << "DLL_C_AS_C(int) qvfdll_init(qvf_pipe *pPipe, QVFFactoryLibrary *pFactories, "
         "qvf_kernel_library *pKernel, qvf_param_dict *pParams, qvf_proc_table *pProcs, void "
         "*pSpare) {\n"
      << "  (void)pPipe; (void)pKernel; (void)pParams; (void)pProcs; (void)pSpare;\n"
      << "  if (!pFactories) { vrkprintf(\"No factory library\\n\"); return 1; }\n"
      << "  QLN_BlkFactory *pFactory = new QLN_BlkFactory;\n"
      << "  vrkprintf(\"Adding factory %s %p\\n\", pFactory->Identity(), (void *)pFactory);\n"
      << "  pFactories->AddFactory(pFactory);\n"
      << "  g_iBlockFactories++;\n"
      << "  return 0;\n}\n"
      << "DLL_C_AS_C(int) qvfdll_unload(qvf_pipe *pPipe, QVFFactoryLibrary *pFactories, "
         "qvf_param_dict *pParams, qvf_proc_table *pProcs, qvf_solver_table *pSolvers) {\n"
      << "  (void)pParams; (void)pProcs; (void)pSolvers;\n"
      << "  QLN_BlkFactory *pFactory = pFactories ? (QLN_BlkFactory "
         "*)pFactories->FindFactory(\""
      << identity << "\") : 0;\n"
      << "  if (!pFactory) {\n"
      << "    if (pPipe) vrkprintf(\"Unable to remove block factory from library.\");\n"
      << "    return -2;\n  }\n"
      << "  if (pFactory->ActiveBlocks()) return -1;\n"
      << "  pFactories->RemoveFactory(pFactory);\n"
      << "  delete pFactory;\n"
      << "  return --g_iBlockFactories > 0 ? 1 : 0;\n}\n"
      << "DLL_C_AS_C(int) qvfdll_version(const char *pName, int *pMajor, int *pMinor) {\n"
      << "  if (!pMajor || !pMinor) return -1;\n"
      << "  if (!pName) return 1;\n"
      << "  if (!strcmp(pName, \"QVFDLL\")) { *pMajor = 11; *pMinor = 0; return 0; }\n"
      << "  if (!strcmp(pName, \"QVFBLOCK\")) {\n"
      << "#if QVFBLOCK_MAJOR_VSN==11 && QVFBLOCK_MINOR_VSN==0\n"
      << "    *pMajor = 11; *pMinor = 0;\n"
      << "#else\n"
      << "    *pMajor = 10; *pMinor = 0;\n"
      << "#endif\n"
      << "    return 0;\n  }\n"
      << "  if (!strcmp(pName, \"QVFBLKFACTORY\")) {\n"
      << "#if QVFBLKFACTORY_MAJOR_VSN==11 && QVFBLKFACTORY_MINOR_VSN==1\n"
      << "    *pMajor = 11; *pMinor = 1;\n"
      << "#else\n"
      << "    *pMajor = 11; *pMinor = 0;\n"
      << "#endif\n"
      << "    return 0;\n  }\n"
      << "  if (!strcmp(pName, \"QVFPIPE\")) { *pMajor = 3; *pMinor = 0; return 0; }\n"
      << "  return 1;\n}\n";
}

}  // namespace codegen
