// Line-oriented text files: one reader that knows its file and line, so every
// message can say where.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace strataperm {

// The fields of a text line separated by spaces, tabs or a carriage return.
std::vector<std::string> split_fields(const std::string& line);

// The fields of a line separated by single tabs (empty fields kept).
std::vector<std::string> split_tabs(const std::string& line);

// Whether `text` is one or more decimal digits.
bool is_whole_number(const std::string& text);
// Whether `a` and `b` are equal but for the case of their letters.
bool equal_ignoring_case(const std::string& a, const std::string& b);

// `text` as a whole real number (strtod's forms, "nan" and "inf" included),
// or false.
bool parse_real_field(const std::string& text, double& value);

// `text` as a whole number from `minimum` to INT_MAX, or false.
bool parse_count_field(const std::string& text, long long minimum, long long& value);

// sscanf of the whole of `text` against `pattern` (which ends in "%n"):
// true when all `fields` conversions were made and nothing is left over.
template <typename... Targets>
bool scan_whole(const std::string& text, const char* pattern, int fields, Targets*... targets) {
  int used = -1;
  const int made = std::sscanf(text.c_str(), pattern, targets..., &used);
  return made == fields && used == static_cast<int>(text.size());
}

class RecordReader {
 public:
  // Opens `path`; throws InputError ("PATH: cannot open the file") when it
  // cannot be opened.
  explicit RecordReader(const std::string& path);
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;
  ~RecordReader();

  // The next line without its line break (and a carriage return before it);
  // false at the end of the file. Throws InputError ("PATH: read error") when
  // reading fails.
  bool next_line(std::string& line);

  // The next line that holds a field, split by split_fields; false at the end.
  bool next_fields(std::vector<std::string>& fields);

  const std::string& path() const { return path_; }
  // Number of the line last read (1-based).
  long long line_number() const { return line_number_; }
  // "PATH, line N" for the line last read.
  std::string where() const;
  // Throws InputError "PATH, line N: WHAT" about the line last read.
  [[noreturn]] void fail(const std::string& what) const;

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  long long line_number_ = 0;
};

}  // namespace strataperm
