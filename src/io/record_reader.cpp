#include "io/record_reader.hpp"

#include <algorithm>

#include <string>

#include <climits>

#include <cctype>

#include <sys/types.h>

#include <cerrno>
#include <cstdlib>

#include "core/errors.hpp"

namespace strataperm {

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t k = 0;
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (k < line.size()) {
    while (k < line.size() && is_space(line[k])) ++k;
    const std::size_t start = k;
    while (k < line.size() && !is_space(line[k])) ++k;
    if (k > start) fields.emplace_back(line, start, k - start);
  }
  return fields;
}

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

RecordReader::RecordReader(const std::string& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "r");
  if (file_ == nullptr) throw InputError(Error::Category::malformed_input, path + ": cannot open the file");
}

RecordReader::~RecordReader() {
  std::free(buffer_);
  if (file_ != nullptr) std::fclose(file_);
}

bool RecordReader::next_line(std::string& line) {
  errno = 0;
  const ssize_t length = ::getline(&buffer_, &capacity_, file_);
  if (length < 0) {
    if (std::ferror(file_)) throw InputError(path_ + ": read error");
    return false;
  }
  ++line_number_;
  std::size_t size = static_cast<std::size_t>(length);
  while (size > 0 && (buffer_[size - 1] == '\n' || buffer_[size - 1] == '\r')) --size;
  line.assign(buffer_, size);
  return true;
}

bool RecordReader::next_fields(std::vector<std::string>& fields) {
  std::string line;
  while (next_line(line)) {
    fields = split_fields(line);
    if (!fields.empty()) return true;
  }
  return false;
}

std::string RecordReader::where() const { return path_ + ", line " + std::to_string(line_number_); }

void RecordReader::fail(const std::string& what) const { throw InputError(where() + ": " + what); }

bool parse_real_field(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return *end == '\0';
}

bool parse_count_field(const std::string& text, long long minimum, long long& value) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::stoll(text);
  return value >= minimum && value <= INT_MAX;
}

bool is_whole_number(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool equal_ignoring_case(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

}  // namespace strataperm
