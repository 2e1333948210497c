#include "io/bed_cursor.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/errors.hpp"

namespace strataperm {

namespace {

class BedCursor : public CallCursor {
 public:
  BedCursor(std::string path, std::size_t samples)
      : path_(std::move(path)), bytes_(bed_bytes_per_snp(samples)), packed_(bytes_) {
    fd_ = ::open(path_.c_str(), O_RDONLY);
    if (fd_ < 0) throw InputError(path_ + ": cannot open the file");
  }
  ~BedCursor() override { ::close(fd_); }

  void read(std::size_t index, std::span<std::int8_t> calls) override {
    const off_t offset = 3 + static_cast<off_t>(bytes_) * static_cast<off_t>(index);
    std::size_t got = 0;
    while (got < bytes_) {
      const ssize_t now = ::pread(fd_, packed_.data() + got, bytes_ - got, offset + static_cast<off_t>(got));
      if (now < 0 && errno == EINTR) continue;
      if (now <= 0) {
        throw InputError(path_ + ": the file ends inside SNP " + std::to_string(index + 1) +
                         (now < 0 ? std::string(" (") + std::strerror(errno) + ")" : std::string()));
      }
      got += static_cast<std::size_t>(now);
    }
    decode_bed_calls(packed_, calls);
  }

 private:
  std::string path_;
  std::size_t bytes_;
  std::vector<unsigned char> packed_;
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<CallCursor> open_bed_cursor(const PlinkFileSet& files) {
  return std::make_unique<BedCursor>(files.bed_path, files.samples.size());
}

}  // namespace strataperm
