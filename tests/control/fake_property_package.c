/* A property package for the tests, with the Linux calling convention of
 * the engine: integers 8 bytes wide by reference, texts as 40-character
 * blank-padded fields, their lengths by value (size_t) at the end. Its
 * behaviour is set through fake_gpp_set, and every call is logged with the
 * texts it received, so that a test can see the exact bytes. Built without
 * GPP_OPTIONS when FAKE_NO_OPTIONS is defined. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

enum {
  kIniAnswer = 0,     /* GPP_INI's status (1 accepts) */
  kFailRequest = 1,   /* the GPP_QUERY request that answers status 3 */
  kLoadFlag = 2,      /* GPP_LOAD's load flag */
  kOptionsAnswer = 3, /* GPP_OPTIONS's second integer */
  kKeys = 4
};

static long long settings[kKeys] = {1, 0, 1, 0};
static char log_text[65536];

static void Log(const char* text) {
  size_t used = strlen(log_text);
  size_t room = sizeof log_text - used - 1;
  strncat(log_text, text, room);
}

static void LogField(const char* field, size_t length) {
  char text[64];
  snprintf(text, sizeof text, "[%.*s]%zu", (int)(length < 40 ? length : 40), field, length);
  Log(text);
}

static void Put(char* field, size_t length, const char* text) {
  size_t n = strlen(text);
  for (size_t i = 0; i < length; ++i) field[i] = i < n ? text[i] : ' ';
}

void fake_gpp_set(int key, long long value) {
  if (key >= 0 && key < kKeys) settings[key] = value;
}
const char* fake_gpp_log(void) { return log_text; }
void fake_gpp_reset(void) {
  long long defaults[kKeys] = {1, 0, 1, 0};
  memcpy(settings, defaults, sizeof settings);
  log_text[0] = '\0';
}

void GPP_INI(char* text1, char* text2, int64_t* status, size_t length1, size_t length2) {
  Log("INI");
  LogField(text1, length1);
  LogField(text2, length2);
  Log(*status == 1 ? " status1\n" : " status?\n");
  *status = settings[kIniAnswer];
}

static const char* components[3][3] = {
    {"WATER", "H2O", "7732-18-5"}, {"ETHANOL", "C2H5OH", "64-17-5"}, {"METHANE", "CH4", "74-82-8"}};
/* Rows of the component lists: list, property name, component. */
static const char* rows[3][3] = {
    {"Liquids", "Density", "WATER"}, {"Liquids", "Enthalpy", "ETHANOL"}, {"Gases", "Density", ""}};

void GPP_QUERY(int64_t* request, int64_t* index, char* a, char* b, char* c, int64_t* status,
               size_t la, size_t lb, size_t lc) {
  char text[64];
  snprintf(text, sizeof text, "QUERY %lld %lld %zu %zu %zu\n", (long long)*request,
           (long long)*index, la, lb, lc);
  Log(text);
  *status = settings[kFailRequest] == *request ? 3 : 0;
  switch (*request) {
    case 1:
    case 3:
      *index = 3;
      break;
    case 2:
      if (*index >= 1 && *index <= 3) {
        Put(a, la, components[*index - 1][0]);
        Put(b, lb, components[*index - 1][1]);
        Put(c, lc, components[*index - 1][2]);
      }
      break;
    case 4:
      if (*index >= 1 && *index <= 3) {
        Put(a, la, rows[*index - 1][0]);
        Put(b, lb, rows[*index - 1][1]);
        Put(c, lc, rows[*index - 1][2]);
      }
      break;
  }
}

void GPP_LOAD(int64_t* objects, int64_t* components_per, char* names, int64_t* options_per,
              char* groups, char* options, int64_t* most_components, int64_t* most_options,
              int64_t* flag, size_t name_length, size_t group_length, size_t option_length) {
  char text[128];
  snprintf(text, sizeof text, "LOAD %lld %lld %lld %zu %zu %zu\n", (long long)*objects,
           (long long)*most_components, (long long)*most_options, name_length, group_length,
           option_length);
  Log(text);
  for (int64_t i = 0; i < *objects; ++i) {
    snprintf(text, sizeof text, "object %lld: %lld components, %lld options\n", (long long)i + 1,
             (long long)components_per[i], (long long)options_per[i]);
    Log(text);
    for (int64_t k = 0; k < *most_components; ++k) {
      LogField(names + (i * *most_components + k) * name_length, name_length);
    }
    Log("\n");
    for (int64_t k = 0; k < *most_options; ++k) {
      LogField(options + (i * *most_options + k) * option_length, option_length);
      LogField(groups + (i * *most_options + k) * group_length, group_length);
    }
    Log("\n");
  }
  *flag = settings[kLoadFlag];
}

void GPP_UNLOAD(int64_t* flag) {
  char text[32];
  snprintf(text, sizeof text, "UNLOAD %lld\n", (long long)*flag);
  Log(text);
}

void GPP_END(void) { Log("END\n"); }

#ifndef FAKE_NO_OPTIONS
void GPP_OPTIONS(int64_t* first, int64_t* second) {
  char text[48];
  snprintf(text, sizeof text, "OPTIONS %lld %lld\n", (long long)*first, (long long)*second);
  Log(text);
  *second = settings[kOptionsAnswer];
}
#endif
