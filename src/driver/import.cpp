#include "driver/import.hpp"

#include <cstdio>

namespace strataperm {

int run_import(const std::vector<std::string>&) {
  std::fprintf(stderr, "strataperm: import is not available in this build\n");
  return 1;
}

}  // namespace strataperm
