#include "study/locus_choice.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>

#include "core/errors.hpp"
#include "io/id_lists.hpp"

namespace strataperm {


namespace {

// Marks the variants whose ids the list at `path` holds; returns how many ids
// matched none.
std::size_t mark_listed(const VariantList& variants, const std::string& path,
                        std::vector<char>& marked) {
  const std::vector<std::string> list = read_id_list(path);
  const std::unordered_set<std::string> ids(list.begin(), list.end());
  std::unordered_set<std::string> found;
  for (std::size_t v = 0; v < variants.size(); ++v) {
    const std::string id(variants.id(v));
    if (ids.count(id) != 0) {
      marked[v] = 1;
      found.insert(id);
    }
  }
  return ids.size() - found.size();
}

}  // namespace

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

void sort_by_genome_position(const VariantList& variants, std::vector<std::size_t>& indices) {
  // The rank of each chromosome name in genome order (names that order alike,
  // such as "1" and "chr1", share a rank).
  const std::vector<std::string>& names = variants.chromosome_names();
  std::vector<std::size_t> order(names.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return chromosome_before(names[a], names[b]);
  });
  std::vector<std::size_t> rank(names.size(), 0);
  for (std::size_t k = 1; k < order.size(); ++k)
    rank[order[k]] = rank[order[k - 1]] + (chromosome_before(names[order[k - 1]], names[order[k]]) ? 1 : 0);
  std::stable_sort(indices.begin(), indices.end(), [&](std::size_t a, std::size_t b) {
    const std::size_t ra = rank[variants.chromosome_index(a)];
    const std::size_t rb = rank[variants.chromosome_index(b)];
    if (ra != rb) return ra < rb;
    return variants.position(a) < variants.position(b);
  });
}

LocusChoice choose_loci(const StudyChoices& settings, const VariantList& variants,
                        const std::vector<LocusSummary>& loci, std::size_t kept) {
  LocusChoice choice;
  const std::size_t count = variants.size();
  for (std::size_t v = 0; v < count; ++v) {
    choice.with_missing += loci[v].complete(kept) ? 0 : 1;
    choice.unplaced += variants.position(v) <= 0 ? 1 : 0;
  }

  std::vector<char> listed_marker(count, 0);
  const bool markers_listed = !settings.marker_ids.empty() || settings.region.has_value();
  if (!settings.marker_ids.empty()) {
    choice.marker_ids_not_found = mark_listed(variants, settings.marker_ids, listed_marker);
  } else if (settings.region) {
    const std::string chromosome = plain_chromosome(settings.region->chromosome);
    for (std::size_t v = 0; v < count; ++v) {
      listed_marker[v] = plain_chromosome(variants.chromosome(v)) == chromosome &&
                         variants.position(v) >= settings.region->from &&
                         variants.position(v) <= settings.region->to;
    }
  }

  std::vector<char> background(count, 0);
  if (!settings.background_ids.empty()) {
    std::vector<char> listed(count, 0);
    choice.background_ids_not_found = mark_listed(variants, settings.background_ids, listed);
    for (std::size_t v = 0; v < count; ++v) {
      if (!listed[v]) continue;
      if (listed_marker[v]) {
        ++choice.background_also_marker;
      } else if (!loci[v].complete(kept)) {
        ++choice.listed_background_missing;
      } else {
        background[v] = 1;
      }
    }
  } else {
    std::vector<std::size_t> pool;
    for (std::size_t v = 0; v < count; ++v) {
      if (!loci[v].complete(kept) || listed_marker[v] || variants.position(v) <= 0) continue;
      if (loci[v].minor_allele_frequency() < settings.min_maf) {
        ++choice.below_maf;
      } else {
        pool.push_back(v);
      }
    }
    choice.pool = pool.size();
    sort_by_genome_position(variants, pool);
    for (std::size_t v : spread_evenly(pool, static_cast<std::size_t>(settings.background_count)))
      background[v] = 1;
  }
  for (std::size_t v = 0; v < count; ++v)
    if (background[v]) choice.background.push_back(v);
  sort_by_genome_position(variants, choice.background);

  std::vector<char> extracted, excluded;
  if (!settings.extract.empty()) {
    extracted.assign(count, 0);
    mark_listed(variants, settings.extract, extracted);
  }
  if (!settings.exclude.empty()) {
    excluded.assign(count, 0);
    mark_listed(variants, settings.exclude, excluded);
  }
  for (std::size_t v = 0; v < count; ++v) {
    if (background[v] || (markers_listed && !listed_marker[v])) continue;
    const LocusSummary& locus = loci[v];
    if (!chromosome_listed(settings.chromosomes, variants.chromosome(v))) {
      ++choice.markers_other_chromosome;
    } else if (!extracted.empty() && !extracted[v]) {
      ++choice.markers_not_extracted;
    } else if (!excluded.empty() && excluded[v]) {
      ++choice.markers_excluded;
    } else if (locus.called == 0) {
      ++choice.markers_no_call;
    } else if (static_cast<double>(kept - static_cast<std::size_t>(locus.called)) >
               settings.max_missing * static_cast<double>(kept)) {
      ++choice.markers_too_many_missing;
    } else if (locus.minor_allele_frequency() < settings.maf) {
      ++choice.markers_below_maf;
    } else {
      choice.markers.push_back(v);
      choice.markers_with_missing += locus.complete(kept) ? 0 : 1;
      choice.markers_monomorphic += locus.minor_allele_frequency() == 0.0 ? 1 : 0;
    }
  }
  choice.markers.shrink_to_fit();
  return choice;
}

}  // namespace strataperm
