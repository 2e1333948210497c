#include "driver/plot.hpp"

#include <cstdio>

namespace strataperm {

int run_plot(const std::vector<std::string>&) {
  std::fprintf(stderr, "strataperm: plot is not available in this build\n");
  return 1;
}

}  // namespace strataperm
