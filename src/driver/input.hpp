// Reading "parameter.txt" and the two data files it names.
//
// All three are whitespace-separated text. "parameter.txt" is positional: a
// label line, then each value at the start of the following line (labels are
// never interpreted, text after a value is ignored). The genotype file has a
// header line, then two allele codes per individual per background locus; the
// trait-and-marker file a header line, then per individual a trait value and two
// allele codes per marker. Line breaks between values are free.
//
// Every problem is reported as an InputError naming the file and what is
// wrong; the driver prints it and ends the run with exit status 1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

#include "driver/run_context.hpp"

namespace strataperm {

// A problem with the input files. `cannot_open` failures keep the tool's
// established wording and go to standard output; malformed or out-of-range
// content goes to standard error, naming the file, the individual and the
// locus or marker, or the line.
class InputError : public std::runtime_error {
 public:
  enum class Kind { cannot_open, malformed };
  InputError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Prints the error where its kind belongs: standard output for a file that
// cannot be opened, standard error (prefixed "strataperm: ") otherwise.
void report_input_error(const InputError& error);

// A buffered whitespace tokenizer over an open file that keeps track of line
// numbers for messages.
class TokenReader {
 public:
  explicit TokenReader(std::FILE* file);
  TokenReader(const TokenReader&) = delete;
  TokenReader& operator=(const TokenReader&) = delete;

  // Consumes characters through the n-th newline. Returns n, or minus the
  // number of newlines consumed when the input ends first.
  int skip_lines(int n);

  // Skips white space and reads the next token. False at the end of input.
  // The view stays valid until the next call.
  bool next_token(std::string_view& token);

  // Line (1-based) on which the last token started.
  std::int64_t token_line() const { return token_line_; }

  // Counts the tokens left in the input.
  std::int64_t count_remaining_tokens();

 private:
  int peek();  // next character without consuming it, or EOF
  int get();

  std::FILE* file_;
  std::string buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  std::string token_;
  std::int64_t line_ = 1;
  std::int64_t token_line_ = 0;
};

// Parses a whole token as a decimal 32-bit integer (optional sign). False on
// anything else, including out-of-range values.
bool parse_int_token(std::string_view token, int& value);

// Parses a whole token as a finite real number. False on anything else.
bool parse_real_token(std::string_view token, double& value);

// Reads "parameter.txt" from the current directory and both data files into
// the run's parameters and sample data (allocated here). Throws InputError.
void read_parameters(Parameters& parameters, SampleData& data);

// Sizes the sample arrays and reads both data files named by `parameters`.
// Throws InputError.
void read_study_data(const Parameters& parameters, SampleData& data);

// The pieces of read_parameters. The *_file functions open the named file;
// the *_stream functions read an open stream, `name` being used in messages.
void read_parameter_file(const std::string& path, Parameters& parameters);
void read_parameter_stream(std::FILE* file, const std::string& name, Parameters& parameters);
// Sizes the sample arrays for the counts in `parameters` (std::bad_alloc when
// the machine cannot hold them).
void allocate_sample_data(const Parameters& parameters, SampleData& data);
void read_genotype_file(const Parameters& parameters, SampleData& data);
void read_genotype_stream(std::FILE* file, const Parameters& parameters, SampleData& data);
void read_marker_file(const Parameters& parameters, SampleData& data);
void read_marker_stream(std::FILE* file, const Parameters& parameters, SampleData& data);

}  // namespace strataperm
