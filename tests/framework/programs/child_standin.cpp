// A child engine stand-in: records its arguments and folder in VANTOR_CHILD_RECORD, then waits.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  const char* record = std::getenv("VANTOR_CHILD_RECORD");
  if (record == nullptr) return 2;
  const std::string partial = std::string(record) + ".part";
  std::FILE* out = std::fopen(partial.c_str(), "w");
  if (out == nullptr) return 3;
  char folder[4096] = {};
  if (getcwd(folder, sizeof(folder) - 1) == nullptr) return 4;
  std::fprintf(out, "%s\n", folder);
  for (int i = 1; i < argc; ++i) std::fprintf(out, "%s\n", argv[i]);
  std::fclose(out);
  if (std::rename(partial.c_str(), record) != 0) return 5;
  for (int i = 0; i < 600; ++i) usleep(100000);
  return 0;
}
