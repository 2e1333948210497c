// A study folder as `import` writes it: parameter.txt, the two data files,
// markers.tsv, individuals.tsv and background_ids.txt, every file written
// whole under a temporary name, then all renamed into place together. (Its
// data files and parameter.txt are read by study_reader, markers.tsv by
// marker_table.)
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/study.hpp"
#include "io/marker_table.hpp"
#include "io/output_file.hpp"

namespace strataperm {

// The study files an import writes, parameter.txt last (it makes the folder a study).
inline constexpr const char* kGenotypeFile = "genotypes.txt";
inline constexpr const char* kTraitFile = "traits.txt";
inline constexpr const char* kMarkerTable = "markers.tsv";
inline constexpr const char* kIndividualTable = "individuals.tsv";
inline constexpr const char* kBackgroundIds = "background_ids.txt";
inline constexpr const char* kParameterFile = "parameter.txt";
inline constexpr const char* kStudyFiles[] = {kGenotypeFile,    kTraitFile,     kMarkerTable,
                                              kIndividualTable, kBackgroundIds, kParameterFile};

// The study files, each written to its own temporary file; commit() renames
// them into place in the order written. Whatever is not committed is removed
// (a failed import leaves the folder as it was).
class StagedFolder {
 public:
  explicit StagedFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}

  // Writes `name` through `body`; throws OutputError naming the file when it
  // cannot be created or written.
  void write(const std::string& name, const std::function<void(std::FILE*)>& body);

  // Renames every written file into place, in the order written.
  void commit();

 private:
  std::filesystem::path folder_;
  std::vector<std::unique_ptr<OutputFile>> files_;
};

// Checks before any reading that `folder` can receive a study: it is a folder
// (or absent) and holds no study file unless `force`. Throws OutputError.
void check_output_folder(const std::filesystem::path& folder, bool force);

// The genotype file of the background loci: a header line, then per
// individual the two allele codes of each of its `loci` calls, the calls of
// individual r at calls[r * stride ...]. (study_reader reads it.)
void write_genotype_file(std::FILE* file, const std::int8_t* calls, std::size_t n,
                         std::size_t stride, std::size_t loci);

// The trait-and-marker file: a header line, then per individual its trait
// ("%.17g", so it reads back exactly) and the two allele codes of each of
// its `markers` calls, those of individual r at calls[r * stride ...].
void write_trait_file(std::FILE* file, const std::vector<double>& traits, const std::int8_t* calls,
                      std::size_t stride, std::size_t markers);

// Appends the two allele codes of each of `count` calls (copies of allele2:
// "0 0", "0 1", "1 1"; ". ." for a missing call), each preceded by a space.
void append_codes(std::string& line, const std::int8_t* calls, std::size_t count);

// Writes `line` and a line break.
void write_line(std::FILE* file, const std::string& line);

// parameter.txt of `parameters`, labelled as import writes it.
void write_parameter_file(std::FILE* file, const Parameters& parameters);

// One individual of a study: its family and individual ids.
struct IndividualKey {
  std::string family_id, individual_id;
};

// individuals.tsv: the header "FID IID", then one individual a line, tab-
// separated, in the study's order.
void write_individual_table(std::FILE* file, const std::vector<IndividualKey>& individuals);
// Reads individuals.tsv back. Throws InputError naming the file and line.
std::vector<IndividualKey> read_individual_table(const std::string& path);

}  // namespace strataperm
