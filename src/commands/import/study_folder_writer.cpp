#include "commands/import/study_folder_writer.hpp"

#include "core/errors.hpp"

namespace strataperm {

namespace fs = std::filesystem;

void StagedFolder::write(const std::string& name, const std::function<void(std::FILE*)>& body) {
  files_.push_back(std::make_unique<OutputFile>((folder_ / name).string()));
  body(files_.back()->stream());
  if (std::ferror(files_.back()->stream())) {
    throw OutputError((folder_ / name).string() + ": cannot write the file");
  }
}

void StagedFolder::commit() {
  for (auto& file : files_) file->commit();
  files_.clear();
}

void check_output_folder(const fs::path& folder, bool force) {
  std::error_code error;
  const fs::file_status status = fs::status(folder, error);
  if (!fs::exists(status)) return;
  if (!fs::is_directory(status))
    throw OutputError(folder.string() + ": exists and is not a folder");
  if (force) return;
  std::string present;
  for (const char* name : kStudyFiles) {
    if (fs::exists(folder / name, error))
      present += (present.empty() ? "" : ", ") + std::string(name);
  }
  if (!present.empty()) {
    throw OutputError(folder.string() + ": the folder already holds study files (" + present +
                      "); give --force to replace them");
  }
}

void append_codes(std::string& line, const std::int8_t* calls, std::size_t count) {
  static const char* const kCodes[4] = {". .", "0 0", "0 1", "1 1"};
  for (std::size_t k = 0; k < count; ++k) {
    line += ' ';
    line += kCodes[calls[k] + 1];  // kMissingCall is -1
  }
}

void write_line(std::FILE* file, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), file);
  std::fputc('\n', file);
}

}  // namespace strataperm
