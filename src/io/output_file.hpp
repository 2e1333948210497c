// Files written whole or not at all.
//
// Every file the program writes goes first to a temporary file beside its
// target, named ".NAME.strataperm-PID-XXXXXX" (hidden, and never the name of a
// result), is flushed to disk, and is then renamed over the target: a failure
// or a crash leaves the old file or the new one, never a torn one, and a link
// at the target's name is replaced, not written through. Temporary files of
// the same target left by a process that no longer runs (a killed run) are
// removed when the next one is made.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace strataperm {

class OutputFile {
 public:
  // Creates the temporary file for `target`. Throws OutputError naming the
  // target when it cannot be created.
  explicit OutputFile(std::string target);
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Removes the temporary file unless commit() succeeded.
  ~OutputFile();

  std::FILE* stream() const { return stream_; }
  const std::string& target() const { return target_; }
  // The temporary file's name, for a writer that writes the file by name
  // (htslib's index writer does): it truncates and fills that same file and
  // closes it before commit(), and nothing is written through stream().
  const std::string& temporary() const { return temporary_; }

  // Flushes, syncs and closes the temporary file and renames it over the
  // target. Throws OutputError naming the target on any failure (the
  // temporary file is then removed and the target left as it was).
  void commit();

 private:
  std::string target_;
  std::string temporary_;
  std::FILE* stream_ = nullptr;
  std::vector<char> buffer_;
};

// The files a command reads, so that none of its outputs replaces one of
// them: an output whose name resolves to an input (through a symbolic link, a
// hard link or another spelling of the same path) is refused before anything
// is written.
class ProtectedInputs {
 public:
  // Remembers `path` when it names an existing file.
  void add(const std::string& path);
  // Throws OutputError when `target` is one of the inputs.
  void check(const std::string& target) const;

 private:
  struct Identity {
    unsigned long long device, inode;
    std::string path;
  };
  std::vector<Identity> files_;
};

// Whether a file can be created at `target`: it is a writable regular file
// or does not exist yet, and its folder takes new files (a temporary file is
// made there and removed again). False when it cannot.
bool can_create_file(const std::string& target);

}  // namespace strataperm
