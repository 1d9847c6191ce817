#include <cstdio>

#include "app/banner.h"

int main() {
  std::printf("%s\n", vantor_app::BannerText().c_str());
  std::fflush(stdout);
  return 0;
}
