// markers.tsv: the description of the candidate markers that `import` writes
// beside a study (tab-separated, header "marker id chromosome position
// allele1 allele2", one line per marker).
#pragma once

#include <string>
#include <vector>

namespace strataperm {

struct MarkerInfo {
  std::string id, chromosome, position, allele1, allele2;
};

// Reads `path` into info[0..M-1] by marker number. Throws InputError when the
// file cannot be read, is malformed or does not describe markers 1..M; the
// message ("line 3 is not ...", "marker 7 is not described") leaves the file
// for the caller to name.
std::vector<MarkerInfo> read_marker_table(const std::string& path, int n_markers);

}  // namespace strataperm
