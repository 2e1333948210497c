// libFuzzer target for the readers of the small text tables: the cluster file
// (in each of its three ways of matching), the covariate table (likewise), the
// phenotype table, the id lists,
// markers.tsv, individuals.tsv, RESULTS.log, RESULTS.tsv,
// RESULTS.similarity.tsv and the results file's P-value table.
//
// The first byte of the input picks the reader; the rest is the file, written
// to a folder of this process. A reader may refuse any input with InputError;
// anything else (a crash, a result that breaks the reader's own promise)
// stops the fuzzer. The seeds in corpus_tables are small valid files and
// slightly broken ones.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "fuzz/scratch_folder.hpp"
#include "io/association_table.hpp"
#include "io/cluster_file.hpp"
#include "io/covariate_table.hpp"
#include "io/id_lists.hpp"
#include "io/marker_table.hpp"
#include "io/phenotype_table.hpp"
#include "io/results_file.hpp"
#include "io/run_log.hpp"
#include "io/similarity_table.hpp"
#include "io/study_folder.hpp"

using namespace strataperm;

namespace {

// Three study individuals and one the study left out, as a cluster file and
// the tables of ids may name them.
const std::vector<IndividualKey> kStudy = {{"f1", "i1"}, {"f2", "i2"}, {"f3", "i3"}};
const std::vector<IndividualKey> kLeftOut = {{"f4", "i4"}};

void check(bool holds) {
  if (!holds) std::abort();
}

void read_with(int reader, const std::string& path) {
  // 0xf0 and above: the covariate table, each way of matching, four choices
  // of columns.
  if (reader >= 0xf0) {
    const CovariateMatch match = reader % 3 == 0   ? CovariateMatch::family_and_individual
                                 : reader % 3 == 1 ? CovariateMatch::individual
                                                   : CovariateMatch::order;
    const char* const selections[] = {"", "2", "b", "1-2"};
    const CovariateTable table = read_covariate_table(path, selections[(reader >> 2) & 3], match);
    check(!table.names.empty());
    for (const CovariateRow& row : table.ordered) check(row.values.size() == table.names.size());
    for (const auto& [key, row] : table.rows) {
      check(row.values.size() == table.names.size());
      for (const auto& value : row.values) check(!value || std::isfinite(*value));
    }
    return;
  }
  switch (reader % 12) {
    case 0:
    case 1:
    case 2: {
      const ClusterMatch match = reader % 12 == 0   ? ClusterMatch::family_and_individual
                                 : reader % 12 == 1 ? ClusterMatch::individual
                                                    : ClusterMatch::order;
      const Clusters clusters = read_clusters(path, match, kStudy, kLeftOut, reader % 24 >= 12);
      check(clusters.of.size() == kStudy.size());
      for (int g : clusters.of) check(g >= 0 && g < static_cast<int>(clusters.labels.size()));
      break;
    }
    case 3: {
      const PhenotypeTable table = read_phenotype_table(path, reader % 24 >= 12 ? "2" : "", false);
      for (const auto& [key, row] : table.rows) check(!row.trait || std::isfinite(*row.trait));
      break;
    }
    case 4:
      check(!read_id_list(path).empty());
      break;
    case 5:
      read_individual_list(path, reader % 24 >= 12);
      break;
    case 6:
      check(read_marker_table(path, 3).size() == 3);
      break;
    case 7:
      read_individual_table(path);
      break;
    case 8: {
      const LoggedRun run = read_run_log(path);
      check(run.parameters.n_markers >= 1);
      break;
    }
    case 9:
      for (const AssociationRow& row : read_association_rows(path, 2))
        check(row.emp1 >= 0.0 && row.emp1 <= 1.0);
      break;
    case 10:
      read_similarity_counts(path, 4);
      break;
    case 11:
      for (const MarkerPValue& entry : read_p_value_table(path, 5))
        check(entry.marker >= 1 && entry.marker <= 5 && entry.p_value >= 0.0 && entry.p_value <= 1.0);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return fuzzing::make_scratch_folder("fuzz_tables") ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string path = (fuzzing::scratch_folder() / "table.txt").string();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  const bool written = std::fwrite(data + 1, 1, size - 1, file) == size - 1;
  if (std::fclose(file) != 0 || !written) return 0;
  try {
    read_with(data[0], path);
  } catch (const InputError&) {
  }
  return 0;
}
