// Command-line options of the subcommands: exact names only (no prefix
// matching), every unknown option an error with a hint.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/errors.hpp"

namespace strataperm {

struct OptionSpec {
  std::string name;   // "--threads"
  bool takes_value;   // "--threads N" or "--threads=N"
  std::string value;  // shown in help: "N"
  std::string help;
};

struct ParsedArguments {
  std::map<std::string, std::string> values;  // options given, with their values ("" for flags)
  std::vector<std::string> positional;
  bool has(const std::string& name) const { return values.count(name) != 0; }
  const std::string& value(const std::string& name) const { return values.at(name); }
};

// Parses `args` (the words after the subcommand) for `command` ("strataperm
// run"). "--" ends the options; "-h" stands for "--help". Throws UsageError for an unknown option (with
// the closest known name, if any), a missing value, or a repeated option.
ParsedArguments parse_arguments(const std::vector<std::string>& args,
                                const std::vector<OptionSpec>& option_table, const std::string& command);

// The options part of a help text, one aligned line per option.
std::string describe_options(const std::vector<OptionSpec>& option_table);

// Parses a whole decimal integer in [minimum, maximum] given for `option`.
int parse_count_option(const std::string& option, const std::string& text, int minimum,
                       int maximum);

// The pieces shared by the subcommands that work on one study folder:
// the optional folder argument ("." when absent; more than one is a
// UsageError), the --threads value (0, meaning all cores, when absent), and
// the check that the folder is one (InputError naming it otherwise).
std::string study_folder_argument(const ParsedArguments& parsed, const std::string& command);
int threads_option(const ParsedArguments& parsed);
void check_study_folder(const std::string& folder);

}  // namespace strataperm
