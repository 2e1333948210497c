// The results file and the P-value reports.
#pragma once

#include <cstdio>
#include <string>

#include "numerics/arrays.hpp"

namespace strataperm {

// The results file is written to a temporary file beside its target and
// renamed over the target only when the run has completed, so a failure midway
// never leaves a truncated table in place of an earlier one. If the process
// exits before commit(), the temporary file is removed.
class ResultsFile {
 public:
  // Opens the temporary file. On failure prints "can't open file <name>" on
  // standard output and exits with status 1.
  explicit ResultsFile(const std::string& target);
  ResultsFile(const ResultsFile&) = delete;
  ResultsFile& operator=(const ResultsFile&) = delete;

  std::FILE* stream() const { return stream_; }

  // Closes the temporary file and renames it over the target. Returns 0 on
  // success; otherwise prints a message on standard error and returns 1.
  int commit();

 private:
  std::string target_;
  std::FILE* stream_ = nullptr;
};

// One line per marker, in marker order: "marker%-3d  P-value=%f".
void print_marker_p_values(DoubleVector p_values, int n_markers);

// The header and one "%-5d    %7.5f" line per marker, in the given order.
void write_p_value_table(std::FILE* results, IntVector marker_ids, DoubleVector p_values,
                         int n_markers);

}  // namespace strataperm
