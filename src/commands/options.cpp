#include "commands/options.hpp"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace strataperm {

namespace {

std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

ParsedArguments parse_arguments(const std::vector<std::string>& args,
                                const std::vector<OptionSpec>& option_table, const std::string& command) {
  ParsedArguments parsed;
  bool options_ended = false;
  for (std::size_t k = 0; k < args.size(); ++k) {
    const std::string& word = args[k];
    if (options_ended || word.size() < 2 || word[0] != '-') {
      parsed.positional.push_back(word);
      continue;
    }
    if (word == "--") {
      options_ended = true;
      continue;
    }
    const std::size_t equals = word.find('=');
    // "-h" is the one short option: --help, for every command that has it.
    const std::string name = word == "-h" ? "--help" : word.substr(0, equals);
    const auto known = std::find_if(option_table.begin(), option_table.end(),
                                    [&](const OptionSpec& s) { return s.name == name; });
    if (known == option_table.end()) {
      std::string message = "unknown option '" + name + "' for '" + command + "'";
      const OptionSpec* closest = nullptr;
      std::size_t best = 3;
      for (const OptionSpec& s : option_table) {
        const std::size_t d = edit_distance(name, s.name);
        if (d < best) {
          best = d;
          closest = &s;
        }
      }
      if (closest != nullptr) message += "; did you mean '" + closest->name + "'?";
      throw UsageError(message + " (see '" + command + " --help')");
    }
    if (parsed.has(name)) throw UsageError("option '" + name + "' given twice");
    if (!known->takes_value) {
      if (equals != std::string::npos) throw UsageError("option '" + name + "' takes no value");
      parsed.values[name] = "";
    } else if (equals != std::string::npos) {
      parsed.values[name] = word.substr(equals + 1);
    } else if (k + 1 < args.size()) {
      parsed.values[name] = args[++k];
    } else {
      throw UsageError("option '" + name + "' needs a value (" + known->value + ")");
    }
  }
  return parsed;
}

std::string describe_options(const std::vector<OptionSpec>& option_table) {
  // Option names in a column of at most 28 characters, each description
  // wrapped at word boundaries to end by column 79 and beside its name,
  // or on the next line where the name is wider than the column.
  constexpr std::size_t kLineWidth = 79, kWidestColumn = 28;
  std::size_t width = 0;
  for (const OptionSpec& s : option_table) {
    const std::size_t name = s.name.size() + (s.takes_value ? s.value.size() + 1 : 0);
    if (name <= kWidestColumn) width = std::max(width, name);
  }
  const std::size_t indent = 2 + width + 2;
  std::string text;
  for (const OptionSpec& s : option_table) {
    const std::string left = "  " + s.name + (s.takes_value ? " " + s.value : "");
    std::string line = left;
    if (left.size() + 2 > indent) {
      text += line + "\n";
      line.clear();
    }
    line.resize(indent, ' ');
    std::size_t start = 0;
    bool first = true;
    while (start < s.help.size()) {
      std::size_t end = s.help.find(' ', start);
      if (end == std::string::npos) end = s.help.size();
      const std::string word = s.help.substr(start, end - start);
      if (!first && line.size() + 1 + word.size() > kLineWidth) {
        text += line + "\n";
        line.assign(indent, ' ');
        first = true;
      }
      line += (first ? "" : " ") + word;
      first = false;
      start = end + 1;
    }
    text += line + "\n";
  }
  return text;
}

int parse_count_option(const std::string& option, const std::string& text, int minimum,
                       int maximum) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < minimum ||
      value > maximum) {
    throw UsageError("option '" + option + "' needs a whole number from " +
                     std::to_string(minimum) + " to " + std::to_string(maximum) + ", not '" +
                     text + "'");
  }
  return value;
}

std::string study_folder_argument(const ParsedArguments& parsed, const std::string& command) {
  if (parsed.positional.size() > 1) {
    throw UsageError("'" + command + "' takes one study folder, not " +
                     std::to_string(parsed.positional.size()) + " (see '" + command + " --help')");
  }
  return parsed.positional.empty() ? "." : parsed.positional[0];
}

int threads_option(const ParsedArguments& parsed) {
  return parsed.has("--threads")
             ? parse_count_option("--threads", parsed.value("--threads"), 1, 4096)
             : 0;
}

void check_study_folder(const std::string& folder) {
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0) {
    throw InputError("cannot enter the study folder " + folder + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(info.st_mode)) {
    throw InputError("cannot enter the study folder " + folder + ": " + std::strerror(ENOTDIR));
  }
}

}  // namespace strataperm
