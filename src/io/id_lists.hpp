// Id lists: SNP ids (--background-ids, --markers-ids, --extract, --exclude:
// the first field of each line) and individuals (--keep, --remove: FID IID,
// or IID, a line). Blank lines and lines starting with '#' are skipped.
#pragma once

#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "io/genotype_records.hpp"

namespace strataperm {

// Reads a SNP id list. Throws InputError when it lists none.
std::vector<std::string> read_id_list(const std::string& path);

// Writes the background loci a run or an import chose (background_ids.txt):
// a '#' line saying what the list is, then one id a line, a list that
// --background-ids reads back.
void write_background_id_list(std::FILE* file, const std::vector<std::string>& ids);

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
