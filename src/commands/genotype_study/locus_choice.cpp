#include "commands/genotype_study/locus_choice.hpp"

#include <string>
#include <unordered_set>

#include "core/errors.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

namespace {

// Reads an id list: the first field of each line; blank lines and lines
// starting with '#' are skipped.
std::unordered_set<std::string> read_id_list(const std::string& path) {
  RecordReader reader(path);
  std::unordered_set<std::string> ids;
  std::vector<std::string> fields;
  while (reader.next_fields(fields)) {
    if (fields[0][0] == '#') continue;
    ids.insert(fields[0]);
  }
  if (ids.empty()) throw InputError(path + ": the file lists no ids");
  return ids;
}

// Marks the variants whose ids `ids` holds; returns how many ids matched none.
std::size_t mark_listed(const std::vector<Variant>& variants,
                        const std::unordered_set<std::string>& ids, std::vector<char>& marked) {
  std::unordered_set<std::string> found;
  for (std::size_t v = 0; v < variants.size(); ++v) {
    if (ids.count(variants[v].id) != 0) {
      marked[v] = 1;
      found.insert(variants[v].id);
    }
  }
  return ids.size() - found.size();
}

}  // namespace

// `count` positions spread evenly over `pool` (all of it when it is smaller):
// pool[floor((2i+1) P / 2K)] for i = 0..K-1, in pool order.
std::vector<std::size_t> spread_evenly(const std::vector<std::size_t>& pool, std::size_t count) {
  if (count >= pool.size()) return pool;
  std::vector<std::size_t> chosen(count);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned long long at =
        (2ULL * i + 1) * pool.size() / (2ULL * static_cast<unsigned long long>(count));
    chosen[i] = pool[static_cast<std::size_t>(at)];
  }
  return chosen;
}


LocusChoice choose_loci(const StudyChoices& settings, const std::vector<Variant>& variants,
                        const std::vector<LocusSummary>& loci) {
  LocusChoice choice;
  const std::size_t count = variants.size();
  for (const LocusSummary& locus : loci) choice.with_missing += locus.has_missing ? 1 : 0;

  std::vector<char> listed_marker(count, 0);
  const bool markers_listed = !settings.marker_ids.empty() || settings.region.has_value();
  if (!settings.marker_ids.empty()) {
    choice.marker_ids_not_found =
        mark_listed(variants, read_id_list(settings.marker_ids), listed_marker);
  } else if (settings.region) {
    const std::string chromosome = plain_chromosome(settings.region->chromosome);
    for (std::size_t v = 0; v < count; ++v) {
      listed_marker[v] = plain_chromosome(variants[v].chromosome) == chromosome &&
                         variants[v].position >= settings.region->from &&
                         variants[v].position <= settings.region->to;
    }
  }

  std::vector<char> background(count, 0);
  if (!settings.background_ids.empty()) {
    std::vector<char> listed(count, 0);
    choice.background_ids_not_found =
        mark_listed(variants, read_id_list(settings.background_ids), listed);
    for (std::size_t v = 0; v < count; ++v) {
      if (!listed[v]) continue;
      if (listed_marker[v]) {
        ++choice.background_also_marker;
      } else if (loci[v].has_missing) {
        ++choice.listed_background_missing;
      } else {
        background[v] = 1;
      }
    }
  } else {
    std::vector<std::size_t> pool;
    for (std::size_t v = 0; v < count; ++v) {
      if (loci[v].has_missing || listed_marker[v]) continue;
      if (loci[v].minor_allele_frequency < settings.min_maf) {
        ++choice.below_maf;
      } else {
        pool.push_back(v);
      }
    }
    choice.pool = pool.size();
    for (std::size_t v : spread_evenly(pool, static_cast<std::size_t>(settings.background_count)))
      background[v] = 1;
  }

  for (std::size_t v = 0; v < count; ++v) {
    if (background[v]) {
      choice.background.push_back(v);
    } else if (markers_listed ? listed_marker[v] : true) {
      if (!loci[v].has_missing) {
        choice.markers.push_back(v);
      } else if (markers_listed) {
        ++choice.listed_markers_missing;
      }
    }
  }
  return choice;
}

}  // namespace strataperm
