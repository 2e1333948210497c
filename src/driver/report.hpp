// The results file and the P-value reports.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

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

// The extras of `strataperm run`, written beside the results file.
//
// extras_path("results.txt", ".log") is "results.log": the results file's name
// with its extension replaced.
std::string extras_path(const std::string& results_file, const std::string& suffix);

// One candidate marker's description from markers.tsv (tab-separated, header
// "marker id chromosome position allele1 allele2", one line per marker).
struct MarkerInfo {
  std::string id, chromosome, position;
};

// Reads markers.tsv into info[0..M-1] by marker number. Returns false with a
// reason when the file is malformed or does not describe markers 1..M.
bool read_marker_table(const std::string& path, int n_markers, std::vector<MarkerInfo>& info,
                       std::string& reason);

// Writes the sorted P-value table with marker ids and positions:
// "marker id chromosome position p_value", tab-separated, one line per marker.
bool write_named_table(const std::string& path, IntVector marker_ids, DoubleVector p_values,
                       int n_markers, const std::vector<MarkerInfo>& info);

}  // namespace strataperm
