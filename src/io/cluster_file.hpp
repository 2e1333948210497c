// User-given groups: a cluster file as PLINK's --within takes it.
//
// One individual a line, fields separated by blanks or tabs; blank lines and
// lines starting with '#' are skipped:
//   family_and_individual  FID IID CLUSTER, matched by both ids (PLINK input,
//                          a study folder with individuals.tsv);
//   individual             IID CLUSTER, or FID IID CLUSTER with the FID not
//                          compared (VCF samples, whose name is the IID);
//   order                  one CLUSTER a line, the study's individuals in
//                          their order (a study folder without
//                          individuals.tsv).
// Lines naming an individual that the genotype files hold but the study left
// out (by --keep/--remove or a missing trait) are passed over; so are, when
// `unknown_passed_over` is set (a study folder, which keeps no list of the
// individuals its import left out), lines naming anyone not in the study,
// counted in Clusters::passed_over. Everything else
// that does not fit is refused with the file, line and individual named: an
// individual the genotype files do not hold, one named twice, a line with a
// field missing (or too many), a study individual without a cluster.
#pragma once

#include <string>
#include <vector>

#include "io/study_folder.hpp"

namespace strataperm {

enum class ClusterMatch { family_and_individual, individual, order };

struct Clusters {
  std::vector<int> of;              // of[i]: the group of study individual i, numbered 0, 1, ...
                                    // in the order the labels first appear among the individuals
  std::vector<std::string> labels;  // labels[g]: the label of group g
  long passed_over = 0;              // lines passed over as naming no study individual
  std::string first_passed_over;     // "line N (individual ...)" of the first of them
};

// The groups of the `study` individuals (in study order) from the cluster
// file `path`; `left_out` are the individuals of the genotype files the study
// does not hold. With ClusterMatch::order only the count of `study` is used.
// Throws InputError.
Clusters read_clusters(const std::string& path, ClusterMatch match,
                       const std::vector<IndividualKey>& study,
                       const std::vector<IndividualKey>& left_out = {},
                       bool unknown_passed_over = false);


}  // namespace strataperm
