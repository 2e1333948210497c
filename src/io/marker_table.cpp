#include "io/marker_table.hpp"

#include <cstdlib>

#include "core/errors.hpp"
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

}  // namespace strataperm
