#include "driver/report.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

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

}  // namespace strataperm
