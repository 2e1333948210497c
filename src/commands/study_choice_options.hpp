// The command-line options that make StudyChoices, shared by `import` and
// `run --bfile/--vcf`.
#pragma once

#include <string>
#include <vector>

#include "commands/options.hpp"
#include "study/study_choices.hpp"

namespace strataperm {

// The options that make the choices, for the help and the parser.
const std::vector<OptionSpec>& study_choice_options();

// Turns the parsed command line of `command` into choices; throws UsageError
// for missing or conflicting options and malformed values.
StudyChoices study_choices_from(const ParsedArguments& parsed, const std::string& command);

}  // namespace strataperm
