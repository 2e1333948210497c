#include "io/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/errors.hpp"

namespace strataperm {

namespace {

// ".NAME.strataperm-XXXXXX" in the target's folder.
std::string temporary_pattern(const std::string& target) {
  const std::size_t slash = target.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  return folder + "." + name + ".strataperm-XXXXXX";
}

// Creates a temporary file from the pattern; -1 on failure. `name` receives
// the name made.
int make_temporary(const std::string& target, std::string& name) {
  std::string pattern = temporary_pattern(target);
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = ::mkstemp(buffer.data());
  if (fd >= 0) name = buffer.data();
  return fd;
}

}  // namespace

OutputFile::OutputFile(std::string target) : target_(std::move(target)) {
  const int fd = make_temporary(target_, temporary_);
  if (fd < 0) {
    throw OutputError(target_ + ": cannot create the file: " + std::strerror(errno));
  }
  // mkstemp creates the file with mode 0600; give it the permissions a new
  // file would get.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  stream_ = ::fdopen(fd, "w");
  if (stream_ == nullptr) {
    const int saved = errno;
    ::close(fd);
    ::unlink(temporary_.c_str());
    throw OutputError(target_ + ": cannot create the file: " + std::strerror(saved));
  }
  buffer_.resize(1 << 20);
  std::setvbuf(stream_, buffer_.data(), _IOFBF, buffer_.size());
}

OutputFile::~OutputFile() {
  if (stream_ != nullptr) std::fclose(stream_);
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void OutputFile::commit() {
  errno = 0;
  bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
  ok = ok && ::fsync(::fileno(stream_)) == 0;
  int saved = errno;
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (ok && !closed) saved = errno;
  ok = ok && closed;
  if (ok && std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
    throw OutputError(target_ + ": cannot write the file: " +
                      std::strerror(saved != 0 ? saved : EIO));
  }
  temporary_.clear();
}

bool can_create_file(const std::string& target) {
  struct stat info;
  if (::stat(target.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode) || ::access(target.c_str(), W_OK) != 0) return false;
  } else if (errno != ENOENT) {
    return false;
  }
  std::string probe;
  const int fd = make_temporary(target, probe);
  if (fd < 0) return false;
  ::close(fd);
  ::unlink(probe.c_str());
  return true;
}

}  // namespace strataperm
