#include "io/output_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "core/errors.hpp"

namespace strataperm {

namespace {

// The folder part of `target` ("" or ending in '/') and its last name.
std::pair<std::string, std::string> split_path(const std::string& target) {
  const std::size_t slash = target.find_last_of('/');
  if (slash == std::string::npos) return {"", target};
  return {target.substr(0, slash + 1), target.substr(slash + 1)};
}

// ".NAME.strataperm-PID-XXXXXX" in the target's folder.
std::string temporary_pattern(const std::string& target) {
  const auto [folder, name] = split_path(target);
  return folder + "." + name + ".strataperm-" + std::to_string(::getpid()) + "-XXXXXX";
}

// Removes the temporary files of `target` whose process is gone.
void remove_stale_temporaries(const std::string& target) {
  const auto [folder, name] = split_path(target);
  const std::string prefix = "." + name + ".strataperm-";
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string entry_name = entry->d_name;
    if (entry_name.rfind(prefix, 0) != 0) continue;
    const std::string rest = entry_name.substr(prefix.size());
    const std::size_t dash = rest.find('-');
    if (dash == std::string::npos || dash == 0 || rest.size() != dash + 7) continue;
    char* end = nullptr;
    const long pid = std::strtol(rest.c_str(), &end, 10);
    if (end != rest.c_str() + dash || pid <= 0) continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      ::unlink((folder + entry_name).c_str());
  }
  ::closedir(dir);
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
  remove_stale_temporaries(target_);
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

void ProtectedInputs::add(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return;
  files_.push_back({static_cast<unsigned long long>(info.st_dev),
                    static_cast<unsigned long long>(info.st_ino), path});
}

void ProtectedInputs::check(const std::string& target) const {
  struct stat info;
  if (::stat(target.c_str(), &info) != 0) return;  // nothing there yet (or a dangling link)
  for (const Identity& input : files_) {
    if (input.device == static_cast<unsigned long long>(info.st_dev) &&
        input.inode == static_cast<unsigned long long>(info.st_ino)) {
      throw OutputError(target + ": refusing to write there: it is the input file " + input.path +
                        " (the same file, through a link or another name)");
    }
  }
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
