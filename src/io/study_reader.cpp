#include "io/study_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

#include <unistd.h>

#include "core/errors.hpp"

namespace strataperm {

namespace {

constexpr std::size_t kReadChunk = 1 << 20;

[[noreturn]] void fail_open(const std::string& name) {
  throw InputError(Error::Category::cannot_open,
                   "can't open file " + name + " in current directory");
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void fail_input(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  std::vsnprintf(message.data(), message.size() + 1, format, args);
  va_end(args);
  throw InputError(message);
}

// Opens `name` of the study folder for reading into `input`, or throws the
// established "can't open file" error.
void open_study_file(TextInput& input, const std::string& folder, const std::string& name) {
  if (!input.open(path_in_study(folder, name), name)) fail_open(name);
}

std::string quoted(std::string_view token) {
  constexpr std::size_t kShown = 40;
  std::string text(token.substr(0, kShown));
  if (token.size() > kShown) text += "...";
  return "'" + text + "'";
}

struct CountField {
  const char* name;
  int minimum;
  int Parameters::*field;
};

}  // namespace

TokenReader::TokenReader(TextInput& input) : input_(input), buffer_(kReadChunk, '\0') {}

TokenReader::TokenReader(std::FILE* file)
    : owned_(std::make_unique<TextInput>(file, "input")), input_(*owned_), buffer_(kReadChunk, '\0') {}

int TokenReader::peek() {
  if (position_ == filled_) {
    filled_ = input_.read(buffer_.data(), buffer_.size(), line_ - 1);
    position_ = 0;
    if (filled_ == 0) return EOF;
  }
  return static_cast<unsigned char>(buffer_[position_]);
}

int TokenReader::get() {
  const int c = peek();
  if (c != EOF) {
    ++position_;
    if (c == '\n') ++line_;
  }
  return c;
}

int TokenReader::skip_lines(int n) {
  for (int done = 0; done < n;) {
    const int c = get();
    if (c == EOF) return -done;
    if (c == '\n') ++done;
  }
  return n;
}

static bool is_space(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool TokenReader::next_token(std::string_view& token) {
  int c = peek();
  while (c != EOF && is_space(c)) {
    get();
    c = peek();
  }
  if (c == EOF) return false;
  token_line_ = line_;
  // Fast path: the whole token lies inside the buffer.
  std::size_t end = position_;
  while (end < filled_ && !is_space(static_cast<unsigned char>(buffer_[end]))) ++end;
  if (end < filled_) {
    token = std::string_view(buffer_.data() + position_, end - position_);
    position_ = end;
    return true;
  }
  token_.clear();
  while (c != EOF && !is_space(c)) {
    token_.push_back(static_cast<char>(get()));
    c = peek();
  }
  token = token_;
  return true;
}

std::int64_t TokenReader::count_remaining_tokens() {
  std::int64_t count = 0;
  std::string_view token;
  while (next_token(token)) ++count;
  return count;
}

bool parse_int_token(std::string_view token, int& value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) {
    negative = token[i] == '-';
    ++i;
  }
  if (i == token.size()) return false;
  std::int64_t magnitude = 0;
  for (; i < token.size(); ++i) {
    const char c = token[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > static_cast<std::int64_t>(std::numeric_limits<int>::max()) + 1) return false;
  }
  const std::int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value > std::numeric_limits<int>::max()) return false;
  value = static_cast<int>(signed_value);
  return true;
}

bool parse_real_token(std::string_view token, double& value) {
  const std::string text(token);
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

void read_parameter_file(const std::string& folder, Parameters& parameters) {
  TextInput input;
  open_study_file(input, folder, "parameter.txt");
  read_parameter_stream(input, "parameter.txt", parameters);
}

void read_parameter_stream(std::FILE* file, const std::string& path, Parameters& parameters) {
  TextInput input(file, path);
  read_parameter_stream(input, path, parameters);
}

void read_parameter_stream(TextInput& input, const std::string& path, Parameters& parameters) {
  TokenReader reader(input);
  const char* const value_names[7] = {"genotype file name",
                                      "trait-and-marker file name",
                                      "results file name",
                                      "number of permutations",
                                      "number of background loci",
                                      "number of markers",
                                      "number of individuals"};
  std::string* const names[3] = {&parameters.genotype_file, &parameters.marker_file,
                                 &parameters.output_file};
  const CountField counts[4] = {{"number of permutations", 1, &Parameters::n_permutations},
                                {"number of background loci", 1, &Parameters::n_loci},
                                {"number of markers", 1, &Parameters::n_markers},
                                {"number of individuals", 2, &Parameters::n_individuals}};
  reader.skip_lines(1);
  for (int k = 0; k < 7; ++k) {
    if (k > 0) reader.skip_lines(2);
    std::string_view token;
    if (!reader.next_token(token)) {
      fail_input("%s: the file ends before the %s (value %d of 7)", path.c_str(),
                 value_names[k], k + 1);
    }
    if (k < 3) {
      names[k]->assign(token);
      continue;
    }
    const CountField& count = counts[k - 3];
    int value = 0;
    if (!parse_int_token(token, value)) {
      fail_input("%s, line %lld: the %s must be a whole number, found %s", path.c_str(),
                 static_cast<long long>(reader.token_line()), count.name,
                 quoted(token).c_str());
    }
    if (value < count.minimum) {
      fail_input("%s, line %lld: the %s must be at least %d, found %d", path.c_str(),
                 static_cast<long long>(reader.token_line()), count.name, count.minimum, value);
    }
    parameters.*count.field = value;
  }
}

void allocate_sample_data(const Parameters& parameters, SampleData& data) {
  // Refuse at once a study that cannot fit in this machine's memory, rather
  // than touch gigabytes first: the background counts (1 byte each for the
  // usual codes), the marker classes (1 byte each) and the traits.
  const long double n = parameters.n_individuals;
  const long double need = n * parameters.n_loci + n * parameters.n_markers + n * 8;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0 && need > static_cast<long double>(pages) * page_size) {
    throw std::bad_alloc();
  }
  const std::size_t rows = static_cast<std::size_t>(parameters.n_individuals);
  data.locus_count = LocusCounts();
  data.marker_class.assign(rows * static_cast<std::size_t>(parameters.n_markers), kHeterozygous);
  data.trait.assign(rows, 0.0);
}

namespace {

// Warns on standard error when a data file holds values beyond the expected
// ones: it usually means a count in "parameter.txt" is wrong.
void warn_about_unread_values(TokenReader& reader, const std::string& name) {
  const std::int64_t extra = reader.count_remaining_tokens();
  if (extra > 0) {
    warn(name + " holds " + std::to_string(extra) + " more value" + (extra == 1 ? "" : "s") +
         " after the last expected one; " + (extra == 1 ? "it was" : "they were") +
         " not read (check the counts in parameter.txt)");
  }
}

const char* allele_name(int which) { return which == 1 ? "first allele" : "second allele"; }

}  // namespace

void read_genotype_file(const std::string& folder, const Parameters& parameters,
                        SampleData& data) {
  TextInput input;
  open_study_file(input, folder, parameters.genotype_file);
  read_genotype_stream(input, parameters, data);
}

void read_genotype_stream(std::FILE* file, const Parameters& parameters, SampleData& data) {
  TextInput input(file, parameters.genotype_file);
  read_genotype_stream(input, parameters, data);
}

void read_genotype_stream(TextInput& input, const Parameters& parameters, SampleData& data) {
  const std::string& name = parameters.genotype_file;
  TokenReader reader(input);
  reader.skip_lines(1);
  const int n = parameters.n_individuals;
  const int loci = parameters.n_loci;
  const long long expected = 2LL * n * loci;
  long long found = 0;
  std::string_view token;
  // Counts are gathered as bytes while they lie in 0..255 (the usual codes),
  // as 64-bit integers from the first one that does not; a wide list whose
  // counts all fit a 256-wide window is made compact at the end.
  const std::size_t total = static_cast<std::size_t>(n) * static_cast<std::size_t>(loci);
  std::vector<std::uint8_t> narrow(total);
  std::vector<std::int64_t> wide;
  std::size_t next = 0;
  for (int i = 1; i <= n; ++i) {
    for (int l = 1; l <= loci; ++l) {
      std::int64_t sum = 0;
      for (int which = 1; which <= 2; ++which) {
        if (!reader.next_token(token)) {
          fail_input(
              "%s: the file ends early: expected %lld allele codes after the header line "
              "(%d individuals x %d loci x 2), found %lld (missing from individual %d, locus %d, "
              "%s)",
              name.c_str(), expected, n, loci, found, i, l, allele_name(which));
        }
        int value = 0;
        if (!parse_int_token(token, value)) {
          fail_input("%s, line %lld: individual %d, locus %d, %s: %s is not an integer allele "
                     "code",
                     name.c_str(), static_cast<long long>(reader.token_line()), i, l,
                     allele_name(which), quoted(token).c_str());
        }
        sum += value;
        ++found;
      }
      if (wide.empty() && sum >= 0 && sum <= 255) {
        narrow[next++] = static_cast<std::uint8_t>(sum);
      } else {
        if (wide.empty()) {
          wide.assign(narrow.begin(), narrow.begin() + static_cast<std::ptrdiff_t>(next));
          wide.resize(total);
          narrow = {};
        }
        wide[next++] = sum;
      }
    }
  }
  warn_about_unread_values(reader, name);
  if (wide.empty()) {
    data.locus_count.base = 0;
    data.locus_count.bytes = std::move(narrow);
  } else {
    data.locus_count = make_locus_counts(wide);
  }
}

void read_marker_file(const std::string& folder, const Parameters& parameters, SampleData& data) {
  TextInput input;
  open_study_file(input, folder, parameters.marker_file);
  read_marker_stream(input, parameters, data);
}

void read_marker_stream(std::FILE* file, const Parameters& parameters, SampleData& data) {
  TextInput input(file, parameters.marker_file);
  read_marker_stream(input, parameters, data);
}

void read_marker_stream(TextInput& input, const Parameters& parameters, SampleData& data) {
  const std::string& name = parameters.marker_file;
  TokenReader reader(input);
  reader.skip_lines(1);
  const int n = parameters.n_individuals;
  const int markers = parameters.n_markers;
  const long long expected = (1LL + 2LL * markers) * n;
  long long found = 0;
  std::string_view token;
  auto ends_early = [&](int i, const std::string& what) {
    fail_input(
        "%s: the file ends early: expected %lld values after the header line (%d individuals x "
        "(1 trait + %d markers x 2)), found %lld (missing from individual %d, %s)",
        name.c_str(), expected, n, markers, found, i, what.c_str());
  };
  for (int i = 1; i <= n; ++i) {
    if (!reader.next_token(token)) ends_early(i, "trait value");
    double trait = 0.0;
    if (!parse_real_token(token, trait)) {
      fail_input("%s, line %lld: individual %d: trait value %s is not a finite real number",
                 name.c_str(), static_cast<long long>(reader.token_line()), i,
                 quoted(token).c_str());
    }
    data.trait[static_cast<std::size_t>(i - 1)] = trait;
    ++found;
    std::uint8_t* classes = data.marker_class.data() + static_cast<std::size_t>(i - 1) * markers;
    for (int j = 1; j <= markers; ++j) {
      std::int64_t sum = 0;
      int missing = 0;
      for (int which = 1; which <= 2; ++which) {
        if (!reader.next_token(token)) {
          ends_early(i, "marker " + std::to_string(j) + ", " + allele_name(which));
        }
        int value = 0;
        if (token == ".") {
          ++missing;
        } else if (!parse_int_token(token, value)) {
          fail_input("%s, line %lld: individual %d, marker %d, %s: %s is not an integer allele "
                     "code (nor '.', a missing call)",
                     name.c_str(), static_cast<long long>(reader.token_line()), i, j,
                     allele_name(which), quoted(token).c_str());
        }
        sum += value;
        ++found;
      }
      if (missing == 1) {
        fail_input("%s, line %lld: individual %d, marker %d: a missing call is '. .', both codes "
                   "'.', not one code '.' beside an integer",
                   name.c_str(), static_cast<long long>(reader.token_line()), i, j);
      }
      classes[j - 1] = missing == 2 ? kMissing : marker_class_of(sum);
    }
  }
  warn_about_unread_values(reader, name);
  // A marker needs one call at least: its missing calls take the mean of them.
  for (int j = 0; j < markers; ++j) {
    bool any_call = false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) && !any_call; ++i)
      any_call = data.marker_class[i * static_cast<std::size_t>(markers) + j] != kMissing;
    if (!any_call) {
      fail_input("%s: marker %d has no called genotype (every individual is '. .')", name.c_str(),
                 j + 1);
    }
  }
}

void read_study_data(const std::string& folder, const Parameters& parameters, SampleData& data) {
  allocate_sample_data(parameters, data);
  read_genotype_file(folder, parameters, data);
  read_marker_file(folder, parameters, data);
}

void read_parameters(const std::string& folder, Parameters& parameters, SampleData& data) {
  read_parameter_file(folder, parameters);
  read_study_data(folder, parameters, data);
}

}  // namespace strataperm
