// markers.tsv: the description of the candidate markers that `import` writes
// beside a study (tab-separated, header "marker id chromosome position
// allele1 allele2", one line per marker), read by `run` (the table's labels)
// and `plot` (the Manhattan plot).
#pragma once

#include <cstdio>
#include <optional>
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

// Writes the table of `markers` (marker j at markers[j - 1]).
void write_marker_table(std::FILE* file, const std::vector<MarkerInfo>& markers);

// markers.tsv of the study `folder` when there is a usable one: none when the
// file is absent, and none with a warning ("markers.tsv not used FOR: WHY")
// when it cannot be used; `why_not` (when given) receives the reason.
std::optional<std::vector<MarkerInfo>> usable_marker_table(const std::string& folder, int n_markers,
                                                           const std::string& use,
                                                           std::string* why_not = nullptr);

}  // namespace strataperm
