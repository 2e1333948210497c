#include "io/cluster_file.hpp"

#include <map>
#include <utility>

#include "core/errors.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

namespace {

std::string key_of(const IndividualKey& id, ClusterMatch match) {
  return match == ClusterMatch::individual ? id.individual_id
                                           : id.family_id + "\t" + id.individual_id;
}

std::string name_of(const IndividualKey& id, ClusterMatch match) {
  return match == ClusterMatch::individual || id.family_id.empty()
             ? id.individual_id
             : id.family_id + " " + id.individual_id;
}

}  // namespace

Clusters read_clusters(const std::string& path, ClusterMatch match,
                       const std::vector<IndividualKey>& study,
                       const std::vector<IndividualKey>& left_out, bool unknown_passed_over) {
  Clusters clusters;
  const std::size_t n = study.size();
  std::vector<std::string> label(n);
  std::vector<long long> line_of(n, 0);
  std::map<std::string, std::size_t> index;  // key -> study individual
  std::map<std::string, long long> skipped;  // key of a left-out individual -> line seen
  if (match != ClusterMatch::order) {
    for (std::size_t i = 0; i < n; ++i) index.emplace(key_of(study[i], match), i);
    for (const IndividualKey& id : left_out) skipped.emplace(key_of(id, match), 0);
  }
  RecordReader reader(path);
  std::vector<std::string> fields;
  std::size_t next = 0;  // ClusterMatch::order: the next individual
  while (reader.next_fields(fields)) {
    if (fields[0][0] == '#') continue;
    if (match == ClusterMatch::order) {
      if (fields.size() != 1)
        reader.fail("holds " + std::to_string(fields.size()) +
                    " fields; one cluster label a line is expected, the individuals in the "
                    "study's order");
      if (next == n)
        reader.fail("is one line too many: the study has " + std::to_string(n) + " individuals");
      label[next] = fields[0];
      line_of[next] = reader.line_number();
      ++next;
      continue;
    }
    const bool three = fields.size() == 3;
    if (!(three || (match == ClusterMatch::individual && fields.size() == 2))) {
      reader.fail(std::string("holds ") + std::to_string(fields.size()) + " field" +
                  (fields.size() == 1 ? "" : "s") + "; expected " +
                  (match == ClusterMatch::individual ? "IID CLUSTER (or FID IID CLUSTER)"
                                                     : "FID IID CLUSTER"));
    }
    IndividualKey id;
    if (three) id.family_id = fields[0];
    id.individual_id = fields[three ? 1 : 0];
    const std::string key = key_of(id, match);
    const auto named_before = [&](long long first_line) {
      if (first_line != 0)
        reader.fail("individual " + name_of(id, match) + " is named twice (first on line " +
                    std::to_string(first_line) + ")");
    };
    if (const auto found = index.find(key); found != index.end()) {
      named_before(line_of[found->second]);
      label[found->second] = fields.back();  // the cluster
      line_of[found->second] = reader.line_number();
    } else if (const auto passed = skipped.find(key); passed != skipped.end()) {
      named_before(passed->second);
      passed->second = reader.line_number();
    } else if (unknown_passed_over) {
      if (clusters.passed_over++ == 0)
        clusters.first_passed_over = "line " + std::to_string(reader.line_number()) +
                                     " (individual " + name_of(id, match) + ")";
    } else {
      reader.fail("individual " + name_of(id, match) + " is not in the genotype files");
    }
  }
  if (match == ClusterMatch::order && next < n) {
    throw InputError(path + ": holds " + std::to_string(next) + " cluster labels for the study's " +
                     std::to_string(n) + " individuals (one a line, in their order)");
  }
  for (std::size_t i = 0; i < n; ++i)
    if (line_of[i] == 0)
      throw InputError(path + ": no cluster for individual " + name_of(study[i], match));

  std::map<std::string, int> number;
  clusters.of.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto [at, added] = number.emplace(label[i], static_cast<int>(clusters.labels.size()));
    if (added) clusters.labels.push_back(label[i]);
    clusters.of[i] = at->second;
  }
  return clusters;
}

}  // namespace strataperm
