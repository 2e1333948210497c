// Reading "parameter.txt" and the two data files it names.
//
// All three are whitespace-separated text. "parameter.txt" is positional: a
// label line, then each value at the start of the following line (labels are
// never interpreted, text after a value is ignored). The genotype file has a
// header line, then two allele codes per individual per background locus; the
// trait-and-marker file a header line, then per individual a trait value and two
// allele codes per marker, or ". ." for a missing call (a marker needs one
// call at least). Line breaks between values are free.
//
// Each of the three may be stored plain, gzip- or bgzip-compressed (see
// TextInput); the genotype file is decompressed chunk by chunk as it is read.
//
// Every problem is thrown as an InputError naming the file and what is wrong:
// a file that cannot be opened keeps the established wording
// ("can't open file NAME in current directory", standard output); malformed
// or out-of-range content names the file, the individual and the locus or
// marker, or the line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "core/study.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

// A buffered whitespace tokenizer over an open input that keeps track of line
// numbers for messages. Throws TextInput's errors when the input cannot be
// read.
class TokenReader {
 public:
  explicit TokenReader(TextInput& input);
  // Reads an open C stream as plain text; the stream stays the caller's.
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

  std::unique_ptr<TextInput> owned_;  // for a C stream
  TextInput& input_;
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

// Reads "parameter.txt" of the study folder `folder` ("." for the current
// one) and both data files it names into the run's parameters and sample
// data (allocated here). Throws InputError.
void read_parameters(const std::string& folder, Parameters& parameters, SampleData& data);

// Sizes the sample arrays and reads both data files named by `parameters`,
// relative to `folder`. Throws InputError.
void read_study_data(const std::string& folder, const Parameters& parameters, SampleData& data);

// The pieces of read_parameters. The *_file functions open the named file in
// `folder`, plain or compressed; the *_stream functions read an open input
// (a C stream is read as plain text), the names in `parameters` being used in
// messages.
void read_parameter_file(const std::string& folder, Parameters& parameters);
void read_parameter_stream(TextInput& input, const std::string& name, Parameters& parameters);
void read_parameter_stream(std::FILE* file, const std::string& name, Parameters& parameters);
// Sizes the sample arrays for the counts in `parameters` (std::bad_alloc when
// the machine cannot hold them).
void allocate_sample_data(const Parameters& parameters, SampleData& data);
void read_genotype_file(const std::string& folder, const Parameters& parameters, SampleData& data);
void read_genotype_stream(TextInput& input, const Parameters& parameters, SampleData& data);
void read_genotype_stream(std::FILE* file, const Parameters& parameters, SampleData& data);
void read_marker_file(const std::string& folder, const Parameters& parameters, SampleData& data);
void read_marker_stream(TextInput& input, const Parameters& parameters, SampleData& data);
void read_marker_stream(std::FILE* file, const Parameters& parameters, SampleData& data);

}  // namespace strataperm
