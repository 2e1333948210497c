#include "study/study_choices.hpp"

#include <algorithm>
#include <cctype>
#include <string>

namespace strataperm {

namespace {

// The numeric code of a chromosome name: its number, 23..26 for X, Y, XY and
// MT, or -1 for any other name.
long chromosome_code(const std::string& name) {
  const std::string plain = plain_chromosome(name);
  if (is_whole_number(plain) && plain.size() < 10) return std::stol(plain);
  if (equal_ignoring_case(plain, "X")) return 23;
  if (equal_ignoring_case(plain, "Y")) return 24;
  if (equal_ignoring_case(plain, "XY")) return 25;
  if (equal_ignoring_case(plain, "MT") || equal_ignoring_case(plain, "M")) return 26;
  return -1;
}

}  // namespace

std::string plain_chromosome(const std::string& name) {
  if (name.size() > 3 && equal_ignoring_case(name.substr(0, 3), "chr")) return name.substr(3);
  return name;
}

bool chromosome_listed(const std::vector<std::string>& listed, const std::string& chromosome) {
  if (listed.empty()) return true;
  const long code = chromosome_code(chromosome);
  for (const std::string& item : listed) {
    const std::size_t dash = item.find('-');
    if (dash != std::string::npos && dash > 0) {
      const long from = chromosome_code(item.substr(0, dash));
      const long to = chromosome_code(item.substr(dash + 1));
      if (code >= 0 && from >= 0 && to >= 0 && code >= from && code <= to) return true;
    } else if (code >= 0 ? code == chromosome_code(item)
                         : equal_ignoring_case(plain_chromosome(item), plain_chromosome(chromosome))) {
      return true;
    }
  }
  return false;
}

bool chromosome_before(const std::string& a, const std::string& b) {
  const long ca = chromosome_code(a), cb = chromosome_code(b);
  if (ca >= 0 || cb >= 0) {
    if (ca < 0) return false;
    if (cb < 0) return true;
    return ca < cb;
  }
  return plain_chromosome(a) < plain_chromosome(b);
}

}  // namespace strataperm
