// `strataperm run`: its options, its help and the call of the pipeline.
#include "commands/run_command.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands/options.hpp"
#include "commands/study_choice_options.hpp"
#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "io/study_reader.hpp"
#include "study/study_choices.hpp"

namespace strataperm {

namespace {

const char* const kCommand = "strataperm run";

const std::vector<OptionSpec> kRunOptions = {
    {"--threads", true, "N", "threads for the analysis (default: all cores; results do not depend on it)"},
    {"--progress", false, "", "report progress on standard error even when it is not a terminal"},
    {"--seed", true, "A,B,C",
     "the random generator's three seeds (default 3,1,1, the method's own)"},
    {"--out", true, "DIR",
     "the folder for the results (created when missing; with --bfile or --vcf it is needed, "
     "with a study folder the default is the study folder)"},
    {"--shard", true, "K/S",
     "only the K-th of S near-equal ranges of markers, into DIR/shards/K-of-S for "
     "'strataperm merge DIR'"},
    {"--compress", false, "",
     "write RESULTS.tsv.gz (bgzip) in place of RESULTS.tsv, with the tabix index "
     "RESULTS.tsv.gz.tbi when the markers are in genome order"},
    {"--adaptive", false, "",
     "adaptive permutation: each marker takes replicates until its P is clearly above alpha "
     "(see --adaptive-rule), at most --max-permutations"},
    {"--max-permutations", true, "N", "with --adaptive: replicates at most (default 1000000)"},
    {"--adaptive-rule", true, "MIN,ALPHA,BETA,INIT,SLOPE",
     "with --adaptive: first check after MIN replicates, stop when p +- z(1 - BETA/(2M)) sd "
     "excludes ALPHA, next check floor(SLOPE p + INIT) later (default 6,0,1e-4,1,0.001; the five "
     "may also follow as separate words)"},
    {"--adjustment", true, "means|sequential",
     "how the genotype codes are adjusted by group means: 'means' (default) subtracts each "
     "group's mean of the unadjusted codes, valid whatever the files' order and the groups' "
     "trait means; 'sequential' adjusts row by row in place, as first defined, to reproduce "
     "earlier results digit for digit"},
    {"--within", true, "FILE",
     "user-given groups in place of the structure test's: a cluster file, FID IID CLUSTER a "
     "line (IID CLUSTER for VCF input; for a study folder without individuals.tsv, one "
     "CLUSTER a line in the individuals' order)"},
    {"--covar", true, "FILE",
     "covariates, by the Freedman-Lane permutation within the groups: PLINK's covariate table "
     "(FID IID NAME... or IID NAME..., header optional; for a study folder without "
     "individuals.tsv, the values alone, a line per individual in order); NA or -9 is missing "
     "(with --bfile or --vcf such individuals are left out)"},
    {"--covar-name", true, "LIST",
     "with --covar: the covariates to use, by header name or 1-based column number among the "
     "covariates, ranges allowed (e.g. age,PC1-PC10 or 1,3-5; default: all)"},
    {"--chunk-replicates", true, "C",
     "replicates drawn and tested at a time (default: what fits 256 MiB; results do not "
     "depend on it)"},
    {"--help", false, "", "show this help"},
};

// The run options and the study choices, for the help and the parser.
std::vector<OptionSpec> run_options() {
  std::vector<OptionSpec> options = kRunOptions;
  options.insert(options.end() - 1, study_choice_options().begin(), study_choice_options().end());
  return options;
}

// Parses --seed A,B,C: each a whole number from 1 to below its generator's
// modulus (30269, 30307, 30323).
std::array<int, 3> parse_seeds(const std::string& text) {
  const std::string usage = "option '--seed' needs three whole numbers A,B,C with 1 <= A <= 30268, "
                            "1 <= B <= 30306 and 1 <= C <= 30322, not '" + text + "'";
  std::array<int, 3> seeds{};
  const int limits[3] = {30268, 30306, 30322};
  std::size_t start = 0;
  for (int k = 0; k < 3; ++k) {
    const std::size_t comma = k < 2 ? text.find(',', start) : text.size();
    if (comma == std::string::npos) throw UsageError(usage);
    const std::string part = text.substr(start, comma - start);
    if (!is_whole_number(part) || part.size() > 6) throw UsageError(usage);
    seeds[static_cast<std::size_t>(k)] = std::stoi(part);
    if (seeds[static_cast<std::size_t>(k)] < 1 || seeds[static_cast<std::size_t>(k)] > limits[k])
      throw UsageError(usage);
    start = comma + 1;
  }
  return seeds;
}

// Parses --shard K/S: 1 <= K <= S.
void parse_shard(const std::string& text, int& shard, int& shards) {
  const std::string usage =
      "option '--shard' needs K/S, the K-th of S shards, with 1 <= K <= S, not '" + text + "'";
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos) throw UsageError(usage);
  const std::string k = text.substr(0, slash), s = text.substr(slash + 1);
  if (!is_whole_number(k) || !is_whole_number(s) || k.size() > 6 || s.size() > 6) throw UsageError(usage);
  shard = std::stoi(k);
  shards = std::stoi(s);
  if (shard < 1 || shard > shards) throw UsageError(usage);
}

// Parses --adaptive-rule MIN,ALPHA,BETA,INIT,SLOPE into `rule`.
void parse_adaptive_rule(const std::string& text, AdaptiveRule& rule) {
  const std::string usage = "option '--adaptive-rule' needs MIN,ALPHA,BETA,INIT,SLOPE (a whole "
                            "MIN >= 1, 0 <= ALPHA < 1, 0 < BETA < 1, INIT >= 0, SLOPE >= 0, "
                            "INIT + SLOPE > 0), not '" + text + "'";
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (parts.size() != 5 || !is_whole_number(parts[0]) || parts[0].size() > 9) throw UsageError(usage);
  double values[4];
  for (int k = 0; k < 4; ++k) {
    char* end = nullptr;
    values[k] = std::strtod(parts[static_cast<std::size_t>(k + 1)].c_str(), &end);
    if (parts[static_cast<std::size_t>(k + 1)].empty() || *end != '\0' || !std::isfinite(values[k]))
      throw UsageError(usage);
  }
  rule.min = std::stoll(parts[0]);
  rule.alpha = values[0];
  rule.beta = values[1];
  rule.init = values[2];
  rule.slope = values[3];
  if (rule.min < 1 || !(rule.alpha >= 0.0 && rule.alpha < 1.0) || !(rule.beta > 0.0 && rule.beta < 1.0) ||
      rule.init < 0.0 || rule.slope < 0.0 || !(rule.init + rule.slope > 0.0))
    throw UsageError(usage);
}






}  // namespace









int run_subcommand(const std::vector<std::string>& given, AnalysisEngine engine) {
  // "--adaptive-rule MIN ALPHA BETA INIT SLOPE" as five words, as plink
  // takes it, is the same as one word of the five joined by commas.
  std::vector<std::string> args;
  for (std::size_t k = 0; k < given.size(); ++k) {
    args.push_back(given[k]);
    if (given[k] == "--adaptive-rule" && k + 5 < given.size()) {
      bool words = true;
      for (std::size_t w = 1; words && w <= 5; ++w)
        words = k + w < given.size() && !given[k + w].empty() && given[k + w].rfind("--", 0) != 0 &&
                given[k + w].find(',') == std::string::npos;
      if (words) {
        args.push_back(given[k + 1] + "," + given[k + 2] + "," + given[k + 3] + "," + given[k + 4] +
                       "," + given[k + 5]);
        k += 5;
      }
    }
  }
  const std::vector<OptionSpec> option_table = run_options();
  const ParsedArguments parsed = parse_arguments(args, option_table, kCommand);
  if (parsed.has("--help")) {
    std::printf(
        "usage: strataperm run [options] [STUDY_DIR]\n"
        "       strataperm run (--bfile PREFIX | --vcf FILE) [--pheno FILE] --out DIR [options]\n\n"
        "Runs the analysis of the study in STUDY_DIR (default: the current folder), which\n"
        "holds parameter.txt and the files it names, or of the study that PLINK binary\n"
        "files or a VCF/BCF file make with the choices of 'strataperm import' (its help\n"
        "describes them), read straight from those files, with the results in DIR.\n"
        "Standard output and the results file are those of a plain 'strataperm' run on\n"
        "that study. Beside the results file RESULTS (results.txt unless parameter.txt\n"
        "names another) it also writes RESULTS.tsv, with the extension replaced: one line\n"
        "per marker with its effect sizes, F test, asymptotic P, permutation P (EMP1)\n"
        "and family-wise P (EMP2); and RESULTS.log: the command, seeds, input checksums,\n"
        "times, counts, fitted models, group sizes and time per stage. With --bfile or\n"
        "--vcf, DIR/background_ids.txt lists the background loci chosen.\n\n"
        "With --shard K/S the run draws all R replicates but tests only the K-th of S\n"
        "contiguous ranges of markers and writes what 'strataperm merge DIR' needs to\n"
        "DIR/shards/K-of-S/ (DIR: --out, or the study folder); merge then writes exactly\n"
        "what the whole run writes.\n\n"
        "With --compress the table is RESULTS.tsv.gz, bgzip-compressed (the same text),\n"
        "and when the markers are in genome order (each chromosome one block, positions\n"
        "rising within it, as in sorted PLINK or VCF files) its tabix index\n"
        "RESULTS.tsv.gz.tbi, for 'tabix RESULTS.tsv.gz 11:900000-910000'; otherwise, or\n"
        "for markers without positions, a warning says why there is no index. A run\n"
        "writes one form of the table and removes the other form an earlier run left;\n"
        "shards run with --compress make merge write the compressed form.\n\n"
        "options:\n%s",
        describe_options(option_table).c_str());
    return 0;
  }
  RunOptions options;
  options.extras = true;
  options.progress_in_place = ::isatty(2) != 0;
  options.progress = parsed.has("--progress") || options.progress_in_place;
  options.threads = threads_option(parsed);
  if (parsed.has("--chunk-replicates")) {
    options.chunk_replicates =
        parse_count_option("--chunk-replicates", parsed.value("--chunk-replicates"), 1, 1 << 24);
  }
  if (parsed.has("--seed")) options.seeds = parse_seeds(parsed.value("--seed"));
  if (parsed.has("--adjustment")) {
    const std::string& adjustment = parsed.value("--adjustment");
    if (adjustment == "means") {
      options.adjustment = Adjustment::means;
    } else if (adjustment == "sequential") {
      options.adjustment = Adjustment::sequential;
    } else {
      throw UsageError("option '--adjustment' takes 'means' or 'sequential', not '" + adjustment + "'");
    }
  }
  if (parsed.has("--within")) {
    options.within_file = parsed.value("--within");
    if (options.within_file.empty()) throw UsageError("option '--within' needs a cluster file");
  }
  if (parsed.has("--covar")) {
    options.covar_file = parsed.value("--covar");
    if (options.covar_file.empty()) throw UsageError("option '--covar' needs a covariate table");
    if (options.adjustment == Adjustment::sequential) {
      throw UsageError("option '--covar' needs the 'means' adjustment, not '--adjustment sequential'");
    }
    if (parsed.has("--covar-name")) options.covar_names = parsed.value("--covar-name");
  } else if (parsed.has("--covar-name")) {
    throw UsageError("option '--covar-name' goes with --covar");
  }
  if (parsed.has("--shard")) parse_shard(parsed.value("--shard"), options.shard, options.shards);
  options.compress = parsed.has("--compress");
  std::vector<std::string> words = {"strataperm", "run"};
  words.insert(words.end(), args.begin(), args.end());
  options.command_line = shell_words(words);
  {
    // The options that make the study (what shards of one run share).
    std::vector<std::string> choices;
    for (const auto& [name, value] : parsed.values) {
      if (name == "--shard" || name == "--threads" || name == "--progress" ||
          name == "--chunk-replicates" || name == "--out")
        continue;
      choices.push_back(value.empty() ? name : name + "=" + value);
    }
    options.choices = shell_words(choices);
  }
  const std::string hint = std::string(" (see '") + kCommand + " --help')";
  if (parsed.has("--adaptive")) {
    AdaptiveRule rule;
    if (parsed.has("--adaptive-rule")) parse_adaptive_rule(parsed.value("--adaptive-rule"), rule);
    if (parsed.has("--max-permutations")) {
      rule.max = parse_count_option("--max-permutations", parsed.value("--max-permutations"), 1,
                                    2000000000);
    }
    options.adaptive = rule;
  } else if (parsed.has("--adaptive-rule") || parsed.has("--max-permutations")) {
    throw UsageError("options '--adaptive-rule' and '--max-permutations' go with --adaptive" + hint);
  }
  if (parsed.has("--bfile") || parsed.has("--vcf")) {
    if (!parsed.positional.empty()) {
      throw UsageError("with --bfile or --vcf, 'strataperm run' takes no study folder; give the "
                       "folder for the results with --out" + hint);
    }
    if (!parsed.has("--out") || parsed.value("--out").empty())
      throw UsageError("give the folder for the results with --out" + hint);
    StudyChoices choices = study_choices_from(parsed, kCommand);
    choices.covar = options.covar_file;
    choices.covar_names = options.covar_names;
    options.folder = parsed.value("--out");
    return run_genotype_study(choices, options, engine);
  }
  for (const OptionSpec& option : study_choice_options()) {
    if (parsed.has(option.name)) {
      throw UsageError("option '" + option.name +
                       "' goes with --bfile or --vcf; a study folder names its files in "
                       "parameter.txt" + hint);
    }
  }
  options.folder = study_folder_argument(parsed, kCommand);
  if (parsed.has("--out")) {
    options.out_folder = parsed.value("--out");
    if (options.out_folder.empty()) throw UsageError("option '--out' needs a folder");
  }
  check_study_folder(options.folder);
  return run_study(options, engine);
}

}  // namespace strataperm
