#include "io/id_lists.hpp"

#include "core/errors.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

std::vector<std::string> read_id_list(const std::string& path) {
  RecordReader reader(path);
  std::vector<std::string> ids;
  std::vector<std::string> fields;
  while (reader.next_fields(fields)) {
    if (fields[0][0] == '#') continue;
    ids.push_back(fields[0]);
  }
  if (ids.empty()) throw InputError(path + ": the file lists no ids");
  return ids;
}

IndividualList read_individual_list(const std::string& path, bool match_individual_id) {
  RecordReader reader(path);
  IndividualList list;
  std::vector<std::string> fields;
  while (reader.next_fields(fields)) {
    if (fields[0][0] == '#') continue;
    if (fields.size() == 1 || match_individual_id) {
      list.individuals.insert(fields.size() == 1 ? fields[0] : fields[1]);
    } else {
      list.pairs.insert(fields[0] + "\t" + fields[1]);
    }
  }
  return list;
}


void write_background_id_list(std::FILE* file, const std::vector<std::string>& ids) {
  std::fprintf(file,
               "# the %zu background loci of this study, in genome order: a list for "
               "--background-ids\n",
               ids.size());
  for (const std::string& id : ids) std::fprintf(file, "%s\n", id.c_str());
}

}  // namespace strataperm
