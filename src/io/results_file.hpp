// The results file and the console report of a run: the verdict block, the
// P-values in marker order on the console, the sorted P-value table in the
// file; and the results file's table read back (for the plot report).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "analysis/structure_fit.hpp"
#include "analysis/within_group_permutation.hpp"
#include "core/study.hpp"
#include "io/run_log.hpp"
#include "io/similarity_table.hpp"
#include "numerics/arrays.hpp"

namespace strataperm {

// The verdict block: two lines of verdict text, the BIC line and an empty
// line. The results file's version and the console's differ by two full
// stops (none after "There does not exist population structure" and after
// the second BIC on the console).
void write_verdict_block(std::FILE* results, const StructureFit& fit);
void print_verdict_block(const StructureFit& fit);

// One line per marker, in marker order: "marker%-3d  P-value=%f".
void print_marker_p_values(DoubleVector p_values, int n_markers);

// The header and one "%-5d    %7.5f" line per marker, in the given order.
void write_p_value_table(std::FILE* results, IntVector marker_ids, DoubleVector p_values,
                         int n_markers);

// Checks, before any work, that the results file `name` (relative to the
// study folder) can be created; throws the established
// "can't open file NAME" error (standard output, status 1) when it cannot.
void check_results_file(const std::string& folder, const std::string& name);

// Writes the whole results file `name` of the study folder: the verdict
// block, then the sorted P-value table. Throws OutputError when it cannot be
// written; an earlier results file is then left as it was.
void write_results_file(const std::string& folder, const std::string& name, const StructureFit& fit,
                        IntVector marker_ids, DoubleVector p_values, int n_markers);

// extras_path("results.txt", ".log") is "results.log": the results file's name
// with its extension replaced (or the suffix appended when it has none).
std::string extras_path(const std::string& results_file, const std::string& suffix);

// The current time as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_now();

// The words of a command line joined by blanks, each quoted for a POSIX shell
// where it needs to be.
std::string shell_words(const std::vector<std::string>& words);

// One line of the results file's P-value table.
struct MarkerPValue {
  int marker = 0;
  double p_value = 0.0;
};

// Reads the last P-value table of the results file at `path`: the lines after
// the last line starting "marker#", up to a blank line or the end, each a
// marker number in [1, n_markers] (each at most once) and a P-value in [0, 1].
// Throws InputError "PATH: REASON" (naming the line) when the file cannot be
// read or the table is missing, empty or malformed.
std::vector<MarkerPValue> read_p_value_table(const std::string& path, int n_markers);

}  // namespace strataperm
