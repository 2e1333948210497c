#include "io/record_reader.hpp"

#include <algorithm>

#include <string>

#include <climits>

#include <cctype>

#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <htslib/bgzf.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>

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

TextInput::TextInput(std::FILE* file, std::string label) : label_(std::move(label)), file_(file) {}

TextInput::~TextInput() {
  if (stream_ != nullptr) bgzf_close(stream_);
}

bool TextInput::open(const std::string& path, const std::string& label) {
  label_ = label;
  // A plain descriptor rather than hopen(): a name such as "-" or "data:..."
  // is a file name here, as fopen() takes it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // htslib's own diagnostics are silenced: the errors thrown here say it all.
  hts_set_log_level(HTS_LOG_OFF);
  hFILE* file = hdopen(fd, "r");
  if (file == nullptr) {
    ::close(fd);
    throw InputError(label_ + ": read error");
  }
  // Reads the first bytes to tell plain text, gzip and bgzip apart; fails on
  // a folder.
  stream_ = bgzf_hopen(file, "r");
  if (stream_ == nullptr) {
    hclose_abruptly(file);
    throw InputError(label_ + ": read error");
  }
  const int compression = bgzf_compression(stream_);
  compressed_ = compression != no_compression;
  // htslib needs a whole gzip header to call a file gzip; shorter, it would
  // pass the bytes on as text. No gzip file is that short unless cut.
  if (!compressed_) {
    unsigned char magic[2] = {0, 0};
    if (hpeek(stream_->fp, magic, 2) == 2 && magic[0] == 0x1f && magic[1] == 0x8b) {
      compressed_ = true;
      fail_read(0);
    }
  }
  // A bgzip file cut at a block boundary decompresses cleanly to the cut:
  // only the missing end-of-file block tells. (2: a pipe, which cannot be
  // checked.)
  if (compression == bgzf) {
    const int eof = bgzf_check_EOF(stream_);
    if (eof == 0) {
      throw InputError(label_ + ": the file is truncated: it lacks the BGZF end-of-file block");
    }
    if (eof < 0) throw InputError(label_ + ": read error");
  }
  return true;
}

std::size_t TextInput::read(char* buffer, std::size_t size, long long lines_read) {
  if (file_ != nullptr) {
    const std::size_t got = std::fread(buffer, 1, size, file_);
    if (got == 0 && std::ferror(file_)) throw InputError(label_ + ": read error");
    return got;
  }
  if (stream_ == nullptr || size == 0) return 0;
  if (!compressed_) {
    // Plain text straight from the file (hread returns 0 only at the end).
    const ssize_t got = hread(stream_->fp, buffer, size);
    if (got < 0) throw InputError(label_ + ": read error");
    return static_cast<std::size_t>(got);
  }
  const ssize_t got = bgzf_read(stream_, buffer, size);
  if (got < 0) fail_read(lines_read);
  return static_cast<std::size_t>(got);
}

void TextInput::fail_read(long long lines_read) const {
  const std::string what = label_ + ": the compressed data is truncated or corrupt: ";
  if (lines_read <= 0) throw InputError(what + "it breaks off or fails to decompress in its first line");
  throw InputError(what + "it breaks off or fails to decompress after line " +
                   std::to_string(lines_read));
}

namespace {

// Bytes asked of the input at a time; lines may be longer.
constexpr std::size_t kLineChunk = 1 << 18;

}  // namespace

RecordReader::RecordReader(const std::string& path)
    : path_(path), buffer_(new char[kLineChunk]) {
  if (!input_.open(path, path)) {
    throw InputError(Error::Category::malformed_input, path + ": cannot open the file");
  }
}

RecordReader::~RecordReader() = default;

bool RecordReader::next_line(std::string& line) {
  line.clear();
  bool any = false;
  for (;;) {
    if (position_ == filled_) {
      filled_ = input_.read(buffer_.get(), kLineChunk, line_number_);
      position_ = 0;
      if (filled_ == 0) break;
    }
    any = true;
    const char* start = buffer_.get() + position_;
    const std::size_t left = filled_ - position_;
    const void* newline = std::memchr(start, '\n', left);
    if (newline != nullptr) {
      const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
      line.append(start, length);
      position_ += length + 1;
      break;
    }
    line.append(start, left);
    position_ = filled_;
  }
  if (!any) return false;
  ++line_number_;
  std::size_t size = line.size();
  while (size > 0 && line[size - 1] == '\r') --size;
  line.resize(size);
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
