#include "commands/import/import_command.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "study/genotype_input.hpp"
#include "study/locus_choice.hpp"
#include "commands/study_choice_options.hpp"
#include "study/study_choices.hpp"
#include "study/study_plan.hpp"
#include "study/traits.hpp"
#include "io/id_lists.hpp"
#include "io/marker_table.hpp"
#include "io/study_folder.hpp"
#include "commands/options.hpp"
#include "core/errors.hpp"
#include "io/output_file.hpp"

namespace strataperm {

namespace fs = std::filesystem;

namespace {

const char* const kCommand = "strataperm import";

const char* const kImportHelp =
    "usage: strataperm import (--bfile PREFIX | --vcf FILE) [--pheno FILE] --out DIR [options]\n"
    "\n"
    "Writes a ready study folder DIR from PLINK binary files or a VCF/BCF file and a\n"
    "phenotype table: parameter.txt, genotypes.txt (background loci), traits.txt\n"
    "(trait and candidate markers), markers.tsv (marker number, id, chromosome,\n"
    "position, alleles) and individuals.tsv (FID, IID). Run it with\n"
    "'strataperm run DIR'; 'strataperm run --bfile/--vcf' makes the same study without\n"
    "writing it out.\n"
    "\n"
    "Individuals are matched to phenotype rows by FID and IID (PLINK) or by IID, the\n"
    "VCF sample name; those without a row or with a missing trait (-9 or NA) are\n"
    "dropped. The table may have a header 'FID IID NAME...' or 'IID NAME...' (with or\n"
    "without '#'). Without --pheno, PLINK input takes the trait from the .fam\n"
    "phenotype column (and --pheno-col NUMBER picks among the columns from the sixth\n"
    "on). A genotype is coded by the copies of the second allele (.bim allele2, VCF\n"
    "ALT): 0 0, 0 1 or 1 1, and '. .' for a missing call.\n"
    "\n"
    "Background loci are called in every kept individual; chosen by count they are\n"
    "spread evenly by position (chromosome, then bp) over the SNPs with a position\n"
    "and MAF >= --min-maf. Candidate markers are the SNPs of --markers-ids or\n"
    "--region, in file order, or else all SNPs not taken as background, less those\n"
    "--chr, --extract, --exclude, --maf and --geno leave out; a locus is never both.\n"
    "A missing call of a candidate marker takes the marker's mean codes. A region's\n"
    "chromosome matches with or without a 'chr' prefix. A VCF record without an ID\n"
    "gets the id CHROM:POS.\n"
    "\n"
    "options:\n";

// The options of import: the study choices, and where the study goes.
std::vector<OptionSpec> import_options() {
  std::vector<OptionSpec> options = study_choice_options();
  options.push_back({"--out", true, "DIR", "study folder to write (created when missing)"});
  options.push_back({"--force", false, "", "replace the study files an earlier import left in DIR"});
  options.push_back({"--help", false, "", "show this help"});
  return options;
}

struct ImportSettings {
  StudyChoices choices;
  std::string out;
  bool force = false;
};

// Turns the parsed command line into settings; throws UsageError for
// positional words, missing or conflicting options and malformed values.
ImportSettings settings_from(const ParsedArguments& parsed) {
  const std::string hint = std::string(" (see '") + kCommand + " --help')";
  if (!parsed.positional.empty()) {
    throw UsageError(std::string("'") + kCommand + "' takes no positional argument, found '" +
                     parsed.positional.front() + "'" + hint);
  }
  ImportSettings settings;
  settings.choices = study_choices_from(parsed, kCommand);
  if (!parsed.has("--out")) throw UsageError("give the study folder to write with --out" + hint);
  settings.out = parsed.value("--out");
  if (settings.out.empty()) throw UsageError("option '--out' needs a value");
  settings.force = parsed.has("--force");
  return settings;
}

// The whole import; throws Error on any problem with the files.
void import_study(const ImportSettings& import) {
  const StudyChoices& settings = import.choices;
  const fs::path folder(import.out);
  check_output_folder(folder, import.force);
  Progress progress(false);
  {
    // No study file may replace a source file.
    ProtectedInputs inputs;
    StudyPlan sources;
    sources.choices = settings;
    for (const std::string& path : plan_inputs(sources)) inputs.add(path);
    for (const char* name : kStudyFiles) inputs.check((folder / name).string());
  }
  const StudyPlan plan = plan_study(settings, progress);
  const LocusChoice& choice = plan.choice;
  const std::size_t n = plan.n();

  // The calls of the chosen loci, one row of L + M per individual.
  const std::size_t loci_count = choice.background.size();
  const std::size_t marker_count = choice.markers.size();
  const std::size_t width = loci_count + marker_count;
  std::vector<std::size_t> chosen = choice.background;
  chosen.insert(chosen.end(), choice.markers.begin(), choice.markers.end());
  const std::vector<std::int8_t> table = read_calls(plan, chosen, progress);

  // The study files.
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw OutputError(folder.string() + ": cannot create the folder: " + error.message());
  StagedFolder staged(folder);
  staged.write(kGenotypeFile, [&](std::FILE* file) {
    write_genotype_file(file, table.data(), n, width, loci_count);
  });
  staged.write(kTraitFile, [&](std::FILE* file) {
    write_trait_file(file, plan.kept.trait, table.data() + loci_count, width, marker_count);
  });
  staged.write(kMarkerTable, [&](std::FILE* file) {
    std::vector<MarkerInfo> markers;
    markers.reserve(marker_count);
    for (const std::size_t v : choice.markers) {
      markers.push_back(MarkerInfo{std::string(plan.variants().id(v)), plan.variants().chromosome(v),
                                   std::to_string(plan.variants().position(v)),
                                   std::string(plan.variants().allele1(v)),
                                   std::string(plan.variants().allele2(v))});
    }
    write_marker_table(file, markers);
  });
  staged.write(kIndividualTable, [&](std::FILE* file) {
    std::vector<IndividualKey> individuals;
    for (std::size_t r = 0; r < n; ++r) {
      const GenotypedSample& sample = plan.input->samples[plan.kept.sample_index[r]];
      individuals.push_back(IndividualKey{plan.kept.family_id[r], sample.individual_id});
    }
    write_individual_table(file, individuals);
  });
  staged.write(kBackgroundIds, [&](std::FILE* file) {
    write_background_id_list(file, background_ids(plan));
  });
  staged.write(kParameterFile, [&](std::FILE* file) {
    Parameters parameters;
    parameters.genotype_file = kGenotypeFile;
    parameters.marker_file = kTraitFile;
    parameters.output_file = "results.txt";
    parameters.n_permutations = settings.permutations;
    parameters.n_loci = static_cast<int>(loci_count);
    parameters.n_markers = static_cast<int>(marker_count);
    parameters.n_individuals = static_cast<int>(n);
    write_parameter_file(file, parameters);
  });
  staged.commit();

  // The summary.
  std::printf("strataperm import from %s\n", plan.input->description.c_str());
  print_plan_summary(stdout, plan);
  std::printf("study folder: %s (run it with 'strataperm run %s')\n", import.out.c_str(),
              import.out.c_str());
  warn_about_choices(plan);
}

}  // namespace

int run_import(const std::vector<std::string>& args) {
  const std::vector<OptionSpec> options = import_options();
  const ParsedArguments parsed = parse_arguments(args, options, kCommand);
  if (parsed.has("--help")) {
    std::printf("%s%s", kImportHelp, describe_options(options).c_str());
    return 0;
  }
  import_study(settings_from(parsed));
  return 0;
}

}  // namespace strataperm
