#include "io/study_folder.hpp"

#include "core/errors.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

namespace fs = std::filesystem;

void StagedFolder::write(const std::string& name, const std::function<void(std::FILE*)>& body) {
  files_.push_back(std::make_unique<OutputFile>((folder_ / name).string()));
  body(files_.back()->stream());
  if (std::ferror(files_.back()->stream())) {
    throw OutputError((folder_ / name).string() + ": cannot write the file");
  }
}

void StagedFolder::commit() {
  for (auto& file : files_) file->commit();
  files_.clear();
}

void check_output_folder(const fs::path& folder, bool force) {
  std::error_code error;
  const fs::file_status status = fs::status(folder, error);
  if (!fs::exists(status)) return;
  if (!fs::is_directory(status))
    throw OutputError(folder.string() + ": exists and is not a folder");
  if (force) return;
  std::string present;
  for (const char* name : kStudyFiles) {
    if (fs::exists(folder / name, error))
      present += (present.empty() ? "" : ", ") + std::string(name);
  }
  if (!present.empty()) {
    throw OutputError(folder.string() + ": the folder already holds study files (" + present +
                      "); give --force to replace them");
  }
}

void append_codes(std::string& line, const std::int8_t* calls, std::size_t count) {
  static const char* const kCodes[4] = {". .", "0 0", "0 1", "1 1"};
  for (std::size_t k = 0; k < count; ++k) {
    line += ' ';
    line += kCodes[calls[k] + 1];  // kMissingCall is -1
  }
}

void write_line(std::FILE* file, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), file);
  std::fputc('\n', file);
}

void write_genotype_file(std::FILE* file, const std::int8_t* calls, std::size_t n,
                         std::size_t stride, std::size_t loci) {
  std::fprintf(file,
               "background genotypes from strataperm import: %zu individuals (individuals.tsv) "
               "x %zu loci, two allele codes each (copies of allele2)\n",
               n, loci);
  std::string line;
  for (std::size_t r = 0; r < n; ++r) {
    line.clear();
    append_codes(line, calls + r * stride, loci);
    line.erase(0, 1);
    write_line(file, line);
  }
}

void write_trait_file(std::FILE* file, const std::vector<double>& traits, const std::int8_t* calls,
                      std::size_t stride, std::size_t markers) {
  std::fprintf(file,
               "trait, then two allele codes (copies of allele2; '. .' a missing call) for each "
               "of %zu candidate markers (markers.tsv)\n",
               markers);
  std::string line;
  char value[40];
  for (std::size_t r = 0; r < traits.size(); ++r) {
    std::snprintf(value, sizeof value, "%.17g", traits[r]);
    line = value;
    append_codes(line, calls + r * stride, markers);
    write_line(file, line);
  }
}

void write_parameter_file(std::FILE* file, const Parameters& parameters) {
  std::fprintf(file,
               "genotype file of the background loci\n%s\n"
               "trait and marker file\n%s\n"
               "results file\n%s\n"
               "number of permutations (R)\n%d\n"
               "number of background loci (L)\n%d\n"
               "number of candidate markers (M)\n%d\n"
               "number of individuals (N)\n%d\n",
               parameters.genotype_file.c_str(), parameters.marker_file.c_str(),
               parameters.output_file.c_str(), parameters.n_permutations, parameters.n_loci,
               parameters.n_markers, parameters.n_individuals);
}

void write_individual_table(std::FILE* file, const std::vector<IndividualKey>& individuals) {
  std::fprintf(file, "FID\tIID\n");
  for (const IndividualKey& id : individuals)
    std::fprintf(file, "%s\t%s\n", id.family_id.c_str(), id.individual_id.c_str());
}

std::vector<IndividualKey> read_individual_table(const std::string& path) {
  RecordReader reader(path);
  std::vector<IndividualKey> individuals;
  std::vector<std::string> fields;
  bool header = true;
  while (reader.next_fields(fields)) {
    if (header) {
      header = false;
      if (fields.size() == 2 && fields[0] == "FID" && fields[1] == "IID") continue;
      reader.fail("is not the header 'FID IID'");
    }
    if (fields.size() != 2) reader.fail("is not 'FID IID'");
    individuals.push_back(IndividualKey{fields[0], fields[1]});
  }
  return individuals;
}

}  // namespace strataperm
