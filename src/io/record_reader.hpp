// Line-oriented text files: one reader that knows its file and line, so every
// message can say where. Every text input may be stored plain, gzip- or
// bgzip-compressed: TextInput tells them apart by their first bytes and hands
// the readers the same text either way.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct BGZF;

namespace strataperm {

// The bytes of a text file as stored, or decompressed when the file is gzip
// (one member or several, one after another) or bgzip. A plain file reads
// byte for byte as it is. Messages name the file by its label (its path unless
// the caller gives another name).
class TextInput {
 public:
  // An input that is not open; read() finds nothing.
  TextInput() = default;
  // Reads an open C stream as plain text, as is (no decompression); the
  // stream stays the caller's.
  TextInput(std::FILE* file, std::string label);
  TextInput(const TextInput&) = delete;
  TextInput& operator=(const TextInput&) = delete;
  ~TextInput();

  // Opens `path`. False when it cannot be opened (the caller says so in its
  // own words). Throws InputError "LABEL: read error" when it opens but
  // cannot be read (a folder), and "LABEL: the file is truncated: it lacks the
  // BGZF end-of-file block" for a bgzip file cut at a block boundary (a file
  // that cannot seek, a pipe, is not checked).
  bool open(const std::string& path, const std::string& label);

  // Fills `buffer` with up to `size` next bytes and returns how many; 0 only
  // at the end. Throws InputError "LABEL: read error" when reading fails and,
  // for a compressed file, "LABEL: the compressed data is truncated or
  // corrupt ..." (naming `lines_read`, the lines the caller has read whole)
  // when it breaks off or does not decompress: never a silent short read.
  std::size_t read(char* buffer, std::size_t size, long long lines_read);

  // Whether the file is gzip- or bgzip-compressed.
  bool compressed() const { return compressed_; }
  const std::string& label() const { return label_; }

 private:
  [[noreturn]] void fail_read(long long lines_read) const;

  std::string label_;
  BGZF* stream_ = nullptr;
  std::FILE* file_ = nullptr;
  bool compressed_ = false;
};

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

// Lines of a text file, plain or compressed (see TextInput).
class RecordReader {
 public:
  // Opens `path`; throws InputError ("PATH: cannot open the file") when it
  // cannot be opened, and TextInput's errors when it cannot be read.
  explicit RecordReader(const std::string& path);
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;
  ~RecordReader();

  // The next line without its line break (and a carriage return before it);
  // false at the end of the file. Throws InputError ("PATH: read error", or
  // about compressed data that breaks off or is corrupt) when reading fails.
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
  TextInput input_;
  std::unique_ptr<char[]> buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  long long line_number_ = 0;
};

}  // namespace strataperm
