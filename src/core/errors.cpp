#include "core/errors.hpp"

#include <cstdio>

#include "numerics/arrays.hpp"

namespace strataperm {

int report_error(const Error& error) {
  if (error.to_standard_output()) {
    std::printf("%s\n", error.what());
    std::fflush(stdout);
  } else {
    std::fflush(stdout);
    std::fprintf(stderr, "strataperm: %s\n", error.what());
  }
  return error.exit_status();
}

void warn(const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "strataperm: warning: %s\n", text.c_str());
}

void report_memory_exhausted() {
  run_time_error("allocation failure: not enough memory for a study of this size");
}

}  // namespace strataperm
