// RESULTS.similarity.tsv: the distinct pairwise similarities of a run with
// their numbers of pairs, written by `run` and read back by the plot report.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace strataperm {

// Writes RESULTS.similarity.tsv at `path`: the header "#SIMILARITY<TAB>PAIRS",
// then each distinct pairwise similarity (ascending, "%.17g", so it reads
// back exactly) with its number of unordered pairs. Throws OutputError.
void write_similarity_table(const std::string& path,
                            const std::vector<std::pair<double, std::int64_t>>& counts);

// Reads RESULTS.similarity.tsv at `path`: the header, then rows "SIMILARITY
// PAIRS" with similarities ascending in [0, 1] (or the one NaN row of a
// sample whose individuals all agree) and pair counts of at least 1, adding
// up to n(n - 1) / 2 for the `n_individuals` of the run.
std::vector<std::pair<double, std::int64_t>> read_similarity_counts(const std::string& path,
                                                                    int n_individuals);

}  // namespace strataperm
