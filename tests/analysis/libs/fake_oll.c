/* Stands in for the OLL interface library: exports the eleven entry points
 * and logs each call with its arguments; the test reads the log through
 * OLLTestLog. Built twice: whole, and without OLLRemoveItem. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

static char oll_log[16384];
static int32_t next_index = 7;

static void Log(const char* line) {
  size_t used = strlen(oll_log);
  if (used + strlen(line) + 2 < sizeof oll_log) {
    strcat(oll_log, line);
    strcat(oll_log, "\n");
  }
}

const char* OLLTestLog(void) { return oll_log; }
void OLLTestReset(void) {
  oll_log[0] = 0;
  next_index = 7;
}

int32_t OLLConnectToServer(const char* name, int32_t c, void* ctx) {
  char line[256];
  snprintf(line, sizeof line, "Connect(%s,%d,%s)", name, (int)c, ctx ? "ctx" : "null");
  Log(line);
  return 0;
}

int32_t OLLSetParameters(int32_t n, const int32_t* ids, const int32_t* values) {
  char line[256];
  int k = snprintf(line, sizeof line, "SetParameters(%d,{", (int)n);
  for (int32_t i = 0; i < n; ++i)
    k += snprintf(line + k, sizeof line - k, "%s%d", i ? "," : "", (int)ids[i]);
  k += snprintf(line + k, sizeof line - k, "},{");
  for (int32_t i = 0; i < n; ++i)
    k += snprintf(line + k, sizeof line - k, "%s%d", i ? "," : "", (int)values[i]);
  snprintf(line + k, sizeof line - k, "})");
  Log(line);
  return 0;
}

int32_t OLLCreateGroup(const char* name, int32_t m, const int64_t* handles, const char** tags,
                       int32_t g1, int32_t v, int32_t g2, int32_t f, int32_t* results) {
  char line[512];
  int k = snprintf(line, sizeof line, "CreateGroup(%s,%d,{", name, (int)m);
  for (int32_t i = 0; i < m; ++i)
    k += snprintf(line + k, sizeof line - k, "%s%lld:%s", i ? "," : "", (long long)handles[i],
                  tags[i]);
  snprintf(line + k, sizeof line - k, "},%d,%d,%d,%d)", (int)g1, (int)v, (int)g2, (int)f);
  Log(line);
  for (int32_t i = 0; i < m; ++i) results[i] = 100 + i;
  return 0;
}

int32_t OLLSetGroupParameters(const char* name, int32_t n, const int32_t* ids,
                              const int32_t* values) {
  char line[256];
  int k = snprintf(line, sizeof line, "SetGroupParameters(%s,%d", name, (int)n);
  for (int32_t i = 0; i < n; ++i)
    k += snprintf(line + k, sizeof line - k, ",%d=%d", (int)ids[i], (int)values[i]);
  snprintf(line + k, sizeof line - k, ")");
  Log(line);
  return 0;
}

int32_t OLLSetItemParameters(const char* name, int32_t item, int32_t n, const int32_t* ids,
                             const double* values) {
  char line[256];
  int k = snprintf(line, sizeof line, "SetItemParameters(%s,%d,%d", name, (int)item, (int)n);
  for (int32_t i = 0; i < n; ++i)
    k += snprintf(line + k, sizeof line - k, ",%d=%g", (int)ids[i], values[i]);
  snprintf(line + k, sizeof line - k, ")");
  Log(line);
  return 0;
}

int32_t OLLModifyItemTag(const char* name, int32_t item, const char* tag) {
  char line[256];
  snprintf(line, sizeof line, "ModifyItemTag(%s,%d,%s)", name, (int)item, tag);
  Log(line);
  return strcmp(tag, "bad") != 0;
}

#ifndef OLL_WITHOUT_REMOVE
int32_t OLLRemoveItem(const char* name, int32_t item) {
  char line[256];
  snprintf(line, sizeof line, "RemoveItem(%s,%d)", name, (int)item);
  Log(line);
  return 5;
}
#endif

int32_t OLLAddItem(const char* name, int64_t handle, const char* tag, int32_t* two) {
  char line[256];
  snprintf(line, sizeof line, "AddItem(%s,%lld,%s,a=%d)", name, (long long)handle, tag,
           (int)two[1]);
  Log(line);
  two[0] = next_index++;
  return 0;
}

int32_t OLLEnableItem(const char* name, int32_t item, int32_t a, int32_t b) {
  char line[256];
  snprintf(line, sizeof line, "EnableItem(%s,%d,%d,%d)", name, (int)item, (int)a, (int)b);
  Log(line);
  return 0;
}

int32_t OLLSimulationEvent(int32_t event, double time, void* ctx) {
  char line[256];
  snprintf(line, sizeof line, "Event(%d,%g,%s)", (int)event, time, ctx ? "ctx" : "null");
  Log(line);
  return 1;
}

static const char kUom[] = "kg/s";
int32_t OLLGetUOM(const char* name, int32_t item, const char** uom) {
  (void)name;
  (void)item;
  *uom = kUom; /* static: the engine must not free it */
  return 0;
}
