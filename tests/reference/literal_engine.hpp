// The analysis as a plain, literal transcription of its definition: every
// similarity, density, sum and draw evaluated in the stated order on full
// offset-indexed matrices. It is the reference the fast engine is compared
// with, byte for byte; it is not part of the program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "analysis/engine.hpp"
#include "analysis/structure_fit.hpp"
#include "core/study.hpp"
#include "numerics/arrays.hpp"
#include "numerics/random.hpp"

namespace strataperm::literal {

// random_permutation with its shrinking pool moved down element by element.
void literal_random_permutation(IntVector out, int n, RandomStream& stream);

// The n x n similarity matrix, both triangles; returns the largest distance.
double compute_similarity(const LocusCounts& allele_count, int n, int n_loci,
                          DoubleMatrix similarity);

// The structure test on the full similarity matrix, rewritten in place into
// the 0/1 classification.
StructureFit test_population_structure(DoubleMatrix similarity, int rows, int columns);

void code_genotype(std::int64_t allele_sum, double& additive, double& dominance);
void centre_trait(DoubleVector column, int n);
// Sequential: rows in ascending order, in place, each row's mean over the
// column as it stands.
void adjust_sequentially(DoubleVector column, DoubleMatrix classification, int n);
// By list means: every mean from the unadjusted column, then subtracted.
void adjust_by_list_means(DoubleVector column, IntMatrix members, int n);
double within_list_sum_of_squares(DoubleVector values, IntMatrix members, int n);
int count_distinct_lists(IntMatrix members, int n);
double association_statistic(double sum_zz, double sum_xx, double sum_xy, double sum_zy,
                             double sum_xz);
void build_group_members(DoubleMatrix classification, int n, IntMatrix members);
void assign_donors(IntVector visit_order, IntMatrix members, int n, IntVector candidates,
                   ByteVector taken, IntVector donor, RandomStream& stream);

// The whole analysis, with the contract of the fast engine's run_analysis
// (one thread; progress is not reported).
AnalysisResult run_analysis(const Parameters& parameters, const SampleData& data,
                            MarkerSource& markers, RandomStream& stream,
                            const AnalysisOptions& options = {});

}  // namespace strataperm::literal
