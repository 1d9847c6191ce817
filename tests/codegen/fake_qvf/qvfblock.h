/* A small stand-in for the host block framework's headers: the names an
 * exported flowsheet uses, with just enough behaviour for tests to create
 * a block, evaluate it and look at its ports. */
#ifndef FAKE_QVFBLOCK_H
#define FAKE_QVFBLOCK_H

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#define QVFBLOCK_MAJOR_VSN 11
#define QVFBLOCK_MINOR_VSN 0
#define QVFBLKFACTORY_MAJOR_VSN 11
#define QVFBLKFACTORY_MINOR_VSN 1
#define SIZEOF_RTBLK 0

enum { RT_PORT_TYPE_MATERIAL_STREAM = 1, RT_PORT_TYPE_UNSPECIFIED = 2 };
enum { RT_PORT_DIR_INPUT = 1, RT_PORT_DIR_OUTPUT = 2 };
enum { RT_PORT_BASIS_FRAC = 1, RT_PORT_BASIS_UNSPECIFIED = 2 };

class HLXContext;
struct qvf_pipe;
struct qvf_kernel_library;
struct qvf_param_dict;
struct qvf_proc_table;
struct qvf_solver_table;

struct qvf_port {};
struct rt_port_tag : qvf_port {
  std::string name;
  int type = 0, direction = 0, basis = 0, attributes = 0, first_component = 0;
  std::vector<int> variables;
  std::string components;
  void set_num_attrs(int n) { attributes = n; }
};

/* A script's queue of command lines, as the host runs them. */
struct rt_queue_tag {
  std::vector<std::string> lines;
};
inline rt_queue_tag *rt_queue_new() { return new rt_queue_tag; }
inline void rt_queue_append(rt_queue_tag *q, const char *line) { q->lines.push_back(line); }

struct qvf_blk_methods;
/* The block record: the instance pointer sits at IBP(b)[SIZEOF_RTBLK]. */
struct rt_blk {
  void *instance = nullptr;
  const char *ident = "B1";
  int vstart = 0, estart = 0, nzstart = 0, num_port = 0;
  std::vector<double> x, f, jac, lower, upper;
  std::vector<int> jrow, jcol;
  std::vector<std::string> eqn_names;
  std::vector<rt_port_tag *> ports;
  void *port_slots[16] = {};
  const qvf_blk_methods *methods = nullptr;
  bool destroyed = false;
  rt_blk() = default;
  rt_blk(const rt_blk &) = delete;
  rt_blk &operator=(const rt_blk &) = delete;
  /* The block owns the ports added to it. */
  ~rt_blk() {
    for (rt_port_tag *p : ports) delete p;
  }
};
typedef rt_blk *VRKBLK_P;
#define IBP(b) ((void **)(b))

struct qvf_blk_methods {
  int (*inq_script)(VRKBLK_P, const char *);
  int (*inq_nscript)(VRKBLK_P);
  int (*invoke)(VRKBLK_P, const char *, HLXContext *, int, const char **);
  void (*dim)(VRKBLK_P, int *, int *, int *);
  void (*ini)(VRKBLK_P, int *);
  void (*de_ini)(VRKBLK_P, int *);
  void (*user_init)(VRKBLK_P, int *);
  void (*res)(VRKBLK_P, int *);
  void (*jac)(VRKBLK_P, int *);
  void (*group_res)(VRKBLK_P, int, int *);
  void (*group_jac)(VRKBLK_P, int, int *);
  void (*destroy)(VRKBLK_P);
};

inline int blk_vstart(VRKBLK_P b) { return b->vstart; }
inline int blk_estart(VRKBLK_P b) { return b->estart; }
inline int blk_nzstart(VRKBLK_P b) { return b->nzstart; }
inline double *blk_x(VRKBLK_P b) { return b->x.data(); }
inline double *blk_f(VRKBLK_P b) { return b->f.data(); }
inline double *blk_jac(VRKBLK_P b) { return b->jac.data(); }
inline const char *blk_ident(VRKBLK_P b) { return b->ident; }
inline void blk_free_ident(VRKBLK_P b) { b->ident = nullptr; }
inline void **blk_port(VRKBLK_P b) { return b->port_slots; }
#define blk_num_port(b) ((b)->num_port)
inline void blk_eqn_name(VRKBLK_P b, int i, const char *name) {
  if ((int)b->eqn_names.size() <= i) b->eqn_names.resize(i + 1);
  b->eqn_names[i] = name;
}
inline void blk_jac_struct(VRKBLK_P b, int nz, int row, int col) {
  if ((int)b->jrow.size() <= nz) b->jrow.resize(nz + 1), b->jcol.resize(nz + 1);
  b->jrow[nz] = row;
  b->jcol[nz] = col;
}
inline void blk_var_define(VRKBLK_P b, int i, double lower, double upper, double, int, int, int) {
  if ((int)b->lower.size() <= i) b->lower.resize(i + 1), b->upper.resize(i + 1);
  b->lower[i] = lower;
  b->upper[i] = upper;
}
inline void vrkblk_destroy(VRKBLK_P b) { b->destroyed = true; }
inline void vrkblk_set_methods(VRKBLK_P b, const qvf_blk_methods *m) { b->methods = m; }
inline void vrkblk_add_port(VRKBLK_P b, qvf_port *p) {
  auto *port = static_cast<rt_port_tag *>(p);
  b->ports.push_back(port);
  b->port_slots[b->num_port++] = port;
}
inline rt_port_tag *vrkport_create(const char *name, int type, int direction, int basis) {
  auto *p = new rt_port_tag;
  p->name = name;
  p->type = type;
  p->direction = direction;
  p->basis = basis;
  return p;
}
inline void vrkport_set_num_vars(rt_port_tag *p, int n) { p->variables.assign(n, -1); }
inline void vrkport_add_var(rt_port_tag *p, int j, int var) { p->variables.at(j) = var; }
inline void vrkport_define_components(rt_port_tag *p, int first, int n, const char *fields) {
  p->first_component = first;
  p->components.assign(fields, (size_t)n * 8);
}

/* What the exported library printed, for the tests to read; a test that
 * only drives the library takes the types alone. */
#ifndef FAKE_QVF_TYPES_ONLY
extern "C" __attribute__((visibility("default"))) char g_fake_qvf_printed[4096];
char g_fake_qvf_printed[4096];
inline int vrkprintf(const char *format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  strncat(g_fake_qvf_printed, line, sizeof g_fake_qvf_printed - strlen(g_fake_qvf_printed) - 1);
  return n;
}
#endif

class QVFModelLibrary {
 public:
  virtual ~QVFModelLibrary() = default;
  virtual const char *Name() = 0;
  virtual const char *Version() = 0;
  virtual const char *Producer() = 0;
  virtual const char *Description() = 0;
};
class QVFBlkFactory {
 public:
  virtual ~QVFBlkFactory() = default;
  virtual const char *Identity() = 0;
  virtual const char *ErrorMessage() = 0;
  virtual QVFModelLibrary *Library() = 0;
  virtual int CreateBlock(VRKBLK_P blkptr, int *ierror) = 0;
};
/* The host's list of factories; the test owns it. */
class QVFFactoryLibrary {
 public:
  virtual ~QVFFactoryLibrary() = default;
  virtual void AddFactory(QVFBlkFactory *f) = 0;
  virtual QVFBlkFactory *FindFactory(const char *identity) = 0;
  virtual void RemoveFactory(QVFBlkFactory *f) = 0;
};

#endif
