#include "io/similarity_table.hpp"

#include <cmath>
#include <cstdio>

#include "core/errors.hpp"
#include "io/output_file.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

void write_similarity_table(const std::string& path,
                            const std::vector<std::pair<double, std::int64_t>>& counts) {
  OutputFile file(path);
  std::fprintf(file.stream(), "#SIMILARITY\tPAIRS\n");
  for (const auto& [similarity, pairs] : counts)
    std::fprintf(file.stream(), "%.17g\t%lld\n", similarity, static_cast<long long>(pairs));
  file.commit();
}

std::vector<std::pair<double, std::int64_t>> read_similarity_counts(const std::string& path,
                                                                    int n_individuals) {
  RecordReader reader(path);
  std::string line;
  if (!reader.next_line(line) || line != "#SIMILARITY\tPAIRS")
    throw InputError(path + ", line 1: it is not the header '#SIMILARITY<TAB>PAIRS'");
  std::vector<std::pair<double, std::int64_t>> counts;
  long long total = 0;
  const long long expected =
      static_cast<long long>(n_individuals) * (static_cast<long long>(n_individuals) - 1) / 2;
  while (reader.next_line(line)) {
    const std::vector<std::string> fields = split_tabs(line);
    if (fields.size() != 2) reader.fail("the line is not 'SIMILARITY<TAB>PAIRS'");
    double similarity = 0.0;
    if (!parse_real_field(fields[0], similarity))
      reader.fail("the similarity '" + fields[0] + "' is not a number");
    long long pairs = 0;
    if (fields[1].empty() || fields[1].size() > 18 ||
        fields[1].find_first_not_of("0123456789") != std::string::npos ||
        (pairs = std::stoll(fields[1])) < 1)
      reader.fail("the pair count '" + fields[1] + "' is not a whole number from 1 up");
    if (std::isnan(similarity)) {
      // 0/0: no two individuals differ, and that is the only row.
      if (!counts.empty()) reader.fail("a NaN similarity beside others");
    } else {
      if (!(similarity >= 0.0 && similarity <= 1.0))
        reader.fail("the similarity " + fields[0] + " is not in [0, 1]");
      if (!counts.empty() && !(similarity > counts.back().first))
        reader.fail("the similarities are not ascending");
    }
    if (pairs > expected - total)
      reader.fail("the pairs add up to more than the " + std::to_string(expected) +
                  " pairs of the " + std::to_string(n_individuals) + " individuals of the run");
    total += pairs;
    counts.emplace_back(similarity, pairs);
  }
  if (total != expected)
    throw InputError(path + ": its pairs add up to " + std::to_string(total) + ", not the " +
                     std::to_string(expected) + " pairs of the " +
                     std::to_string(n_individuals) + " individuals of the run");
  return counts;
}

}  // namespace strataperm
