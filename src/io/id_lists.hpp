// Id lists: SNP ids (--background-ids, --markers-ids, --extract, --exclude:
// the first field of each line) and individuals (--keep, --remove: FID IID,
// or IID, a line). Blank lines and lines starting with '#' are skipped.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "io/genotype_records.hpp"

namespace strataperm {

// Reads a SNP id list. Throws InputError when it lists none.
std::vector<std::string> read_id_list(const std::string& path);

// The individuals an id list names: FID + tab + IID keys from lines of two
// fields or more, IID keys from lines of one.
struct IndividualList {
  std::unordered_set<std::string> pairs, individuals;
  bool names(const GenotypedSample& sample, bool match_individual_id) const {
    return individuals.count(sample.individual_id) != 0 ||
           (match_individual_id ? false
                                : pairs.count(sample.family_id + "\t" + sample.individual_id) != 0);
  }
};

// Reads an individual list; with `match_individual_id` (VCF samples) every
// line names an IID (the second field of a two-field line).
IndividualList read_individual_list(const std::string& path, bool match_individual_id);

}  // namespace strataperm
