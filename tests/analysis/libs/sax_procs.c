/* A user procedure library for the outside-procedure action's tests: each
 * call is logged with its arguments; the answer of each event is set by the
 * test through an extra export. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

static char sax_log[8192];
static int32_t answers[12];

static void Append(const char* line) {
  size_t used = strlen(sax_log);
  if (used + strlen(line) + 1 < sizeof sax_log) strcat(sax_log, line);
}

int32_t SaxProc(int32_t event, double time, int32_t na, int64_t* a, int32_t nb, int64_t* b,
                void* context) {
  char line[256];
  int n = snprintf(line, sizeof line, "ev%d t=%g A=", (int)event, time);
  for (int32_t i = 0; i < na && n < 200; ++i)
    n += snprintf(line + n, sizeof line - n, "%lld,", (long long)a[i]);
  n += snprintf(line + n, sizeof line - n, " B=");
  for (int32_t i = 0; i < nb && n < 230; ++i)
    n += snprintf(line + n, sizeof line - n, "%lld,", (long long)b[i]);
  snprintf(line + n, sizeof line - n, " ctx=%s;", context != NULL ? "set" : "null");
  Append(line);
  return (event >= 0 && event < 12) ? answers[event] : 0;
}

const char* SaxLog(void) { return sax_log; }
void SaxReset(void) {
  sax_log[0] = 0;
  memset(answers, 0, sizeof answers);
}
void SaxSetAnswer(int32_t event, int32_t answer) {
  if (event >= 0 && event < 12) answers[event] = answer;
}
