#include "driver/report.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/types.h>

namespace strataperm {

namespace {

// Name of the temporary results file still to be removed at exit, if any.
std::string& pending_temporary() {
  static std::string name;
  return name;
}

void remove_pending_temporary() {
  if (!pending_temporary().empty()) {
    ::unlink(pending_temporary().c_str());
    pending_temporary().clear();
  }
}

[[noreturn]] void cannot_open(const std::string& target) {
  std::printf("can't open file %s\n", target.c_str());
  std::exit(1);
}

}  // namespace

ResultsFile::ResultsFile(const std::string& target) : target_(target) {
  // The target itself must be a writable regular file or not exist yet.
  struct stat info;
  if (::stat(target.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode) || ::access(target.c_str(), W_OK) != 0) cannot_open(target);
  } else if (errno != ENOENT) {
    cannot_open(target);
  }
  std::string pattern = target + ".tmp.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = ::mkstemp(name.data());
  if (fd < 0) cannot_open(target);
  // Created with mode 0600; give it the permissions a new file would get.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  pending_temporary() = name.data();
  static bool registered = false;
  if (!registered) {
    std::atexit(remove_pending_temporary);
    registered = true;
  }
  stream_ = ::fdopen(fd, "w");
  if (stream_ == nullptr) {
    ::close(fd);
    cannot_open(target);
  }
}

int ResultsFile::commit() {
  const bool written = std::fflush(stream_) == 0 && !std::ferror(stream_);
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (!written || !closed || std::rename(pending_temporary().c_str(), target_.c_str()) != 0) {
    std::fprintf(stderr, "strataperm: could not write the results file %s: %s\n",
                 target_.c_str(), std::strerror(errno));
    remove_pending_temporary();
    return 1;
  }
  pending_temporary().clear();
  return 0;
}

void print_marker_p_values(DoubleVector p_values, int n_markers) {
  for (int i = 1; i <= n_markers; ++i) std::printf("marker%-3d  P-value=%f\n", i, p_values[i]);
}

void write_p_value_table(std::FILE* results, IntVector marker_ids, DoubleVector p_values,
                         int n_markers) {
  std::fprintf(results, "marker#   P-value\n");
  for (int i = 1; i <= n_markers; ++i)
    std::fprintf(results, "%-5d    %7.5f\n", marker_ids[i], p_values[i]);
}

std::string extras_path(const std::string& results_file, const std::string& suffix) {
  const std::size_t slash = results_file.find_last_of('/');
  const std::size_t dot = results_file.find_last_of('.');
  const bool has_extension =
      dot != std::string::npos && dot > 0 && (slash == std::string::npos || dot > slash + 1);
  return (has_extension ? results_file.substr(0, dot) : results_file) + suffix;
}

bool read_marker_table(const std::string& path, int n_markers, std::vector<MarkerInfo>& info,
                       std::string& reason) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    reason = std::strerror(errno);
    return false;
  }
  info.assign(static_cast<std::size_t>(n_markers), MarkerInfo());
  std::vector<bool> seen(static_cast<std::size_t>(n_markers), false);
  char* line = nullptr;
  std::size_t capacity = 0;
  long number = 0;
  bool ok = true;
  for (ssize_t length; ok && (length = ::getline(&line, &capacity, file)) >= 0;) {
    ++number;
    std::string text(line, static_cast<std::size_t>(length));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (number == 1 || text.empty()) continue;  // header
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
      const std::size_t tab = text.find('\t', start);
      fields.push_back(text.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    char* end = nullptr;
    const long marker = fields.empty() ? 0 : std::strtol(fields[0].c_str(), &end, 10);
    if (fields.size() < 4 || end == fields[0].c_str() || *end != '\0' || marker < 1 ||
        marker > n_markers) {
      reason = "line " + std::to_string(number) + " is not 'marker id chromosome position ...' " +
               "for a marker from 1 to " + std::to_string(n_markers);
      ok = false;
      break;
    }
    info[static_cast<std::size_t>(marker - 1)] = MarkerInfo{fields[1], fields[2], fields[3]};
    seen[static_cast<std::size_t>(marker - 1)] = true;
  }
  std::free(line);
  std::fclose(file);
  if (ok) {
    for (int j = 0; j < n_markers; ++j)
      if (!seen[static_cast<std::size_t>(j)]) {
        reason = "marker " + std::to_string(j + 1) + " is not described";
        return false;
      }
  }
  return ok;
}

bool write_named_table(const std::string& path, IntVector marker_ids, DoubleVector p_values,
                       int n_markers, const std::vector<MarkerInfo>& info) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file, "marker\tid\tchromosome\tposition\tp_value\n");
  for (int i = 1; i <= n_markers; ++i) {
    const MarkerInfo& m = info[static_cast<std::size_t>(marker_ids[i] - 1)];
    std::fprintf(file, "%d\t%s\t%s\t%s\t%.6f\n", marker_ids[i], m.id.c_str(), m.chromosome.c_str(),
                 m.position.c_str(), p_values[i]);
  }
  return std::fclose(file) == 0;
}

}  // namespace strataperm
