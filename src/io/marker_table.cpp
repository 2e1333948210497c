#include "io/marker_table.hpp"

#include <cstdlib>

#include <unistd.h>

#include "core/errors.hpp"
#include "core/study.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

std::vector<MarkerInfo> read_marker_table(const std::string& path, int n_markers) {
  std::vector<MarkerInfo> info(static_cast<std::size_t>(n_markers));
  std::vector<bool> seen(static_cast<std::size_t>(n_markers), false);
  RecordReader reader(path);
  std::string line;
  while (reader.next_line(line)) {
    if (reader.line_number() == 1 || line.empty()) continue;  // header
    const std::vector<std::string> fields = split_tabs(line);
    char* end = nullptr;
    const long marker = std::strtol(fields[0].c_str(), &end, 10);
    if (fields.size() < 6 || end == fields[0].c_str() || *end != '\0' || marker < 1 ||
        marker > n_markers) {
      throw InputError("line " + std::to_string(reader.line_number()) +
                       " is not 'marker id chromosome position allele1 allele2' for a marker "
                       "from 1 to " + std::to_string(n_markers));
    }
    MarkerInfo& entry = info[static_cast<std::size_t>(marker - 1)];
    entry = MarkerInfo{fields[1], fields[2], fields[3], fields[4], fields[5]};
    seen[static_cast<std::size_t>(marker - 1)] = true;
  }
  for (int j = 0; j < n_markers; ++j)
    if (!seen[static_cast<std::size_t>(j)])
      throw InputError("marker " + std::to_string(j + 1) + " is not described");
  return info;
}

void write_marker_table(std::FILE* file, const std::vector<MarkerInfo>& markers) {
  std::fprintf(file, "marker\tid\tchromosome\tposition\tallele1\tallele2\n");
  for (std::size_t j = 0; j < markers.size(); ++j) {
    const MarkerInfo& m = markers[j];
    std::fprintf(file, "%zu\t%s\t%s\t%s\t%s\t%s\n", j + 1, m.id.c_str(), m.chromosome.c_str(),
                 m.position.c_str(), m.allele1.c_str(), m.allele2.c_str());
  }
}

std::optional<std::vector<MarkerInfo>> usable_marker_table(const std::string& folder, int n_markers,
                                                           const std::string& use,
                                                           std::string* why_not) {
  const std::string path = path_in_study(folder, "markers.tsv");
  if (::access(path.c_str(), F_OK) != 0) return std::nullopt;
  try {
    return read_marker_table(path, n_markers);
  } catch (const InputError& error) {
    warn(std::string("markers.tsv not used") + (use.empty() ? "" : " " + use) + ": " + error.what());
    if (why_not != nullptr) *why_not = error.what();
    return std::nullopt;
  }
}

}  // namespace strataperm
