#include "io/shard_files.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>

#include "core/errors.hpp"
#include "io/checksum.hpp"
#include "io/output_file.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

namespace {

std::string bits_of(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  char text[20];
  std::snprintf(text, sizeof text, "%016" PRIx64, bits);
  return text;
}

bool parse_bits(const std::string& text, double& value) {
  if (text.size() != 16) return false;
  char* end = nullptr;
  const unsigned long long bits = std::strtoull(text.c_str(), &end, 16);
  if (*end != '\0') return false;
  const std::uint64_t raw = bits;
  std::memcpy(&value, &raw, sizeof value);
  return true;
}

bool parse_long(const std::string& text, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0' && errno == 0;
}

// The fit's fields, in one order for writing, reading and the checksum.
struct FitField {
  const char* name;
  double StructureFit::*field;
};
const FitField kFitFields[] = {
    {"fit_mean", &StructureFit::mean},         {"fit_variance", &StructureFit::variance},
    {"fit_mean1", &StructureFit::mean1},       {"fit_variance1", &StructureFit::variance1},
    {"fit_weight1", &StructureFit::weight1},   {"fit_mean0", &StructureFit::mean0},
    {"fit_variance0", &StructureFit::variance0}, {"fit_weight0", &StructureFit::weight0},
    {"fit_bic_one", &StructureFit::bic_one},   {"fit_bic_two", &StructureFit::bic_two},
};

std::string sizes_text(const std::vector<int>& sizes) {
  std::string text;
  for (int size : sizes) {
    if (!text.empty()) text += ' ';
    text += std::to_string(size);
  }
  return text;
}

}  // namespace

MarkerRange shard_range(long m, int k, int s) {
  const long long first = static_cast<long long>(k - 1) * m / s;
  const long long end = static_cast<long long>(k) * m / s;
  return MarkerRange{static_cast<long>(first), static_cast<long>(end - first)};
}

std::string shard_name(int k, int s) { return std::to_string(k) + "-of-" + std::to_string(s); }

std::string structure_checksum(const StructureFit& fit, const GroupSummary& groups,
                               const std::vector<std::pair<double, std::int64_t>>& similarity) {
  std::string text;
  for (const FitField& f : kFitFields) text += bits_of(fit.*f.field) + " ";
  text += std::to_string(fit.passes) + (fit.structure ? " s" : " n") + (fit.one_group ? " o" : " t") +
          (fit.separated ? " y" : " z") + "\n";
  text += (groups.lists_partition ? "partition " : "overlap ") + sizes_text(groups.group_sizes) + " " +
          std::to_string(groups.smallest_list) + " " + std::to_string(groups.largest_list) + "\n";
  for (const auto& [value, pairs] : similarity) text += bits_of(value) + " " + std::to_string(pairs) + "\n";
  return md5_of_text(text);
}

bool parse_shard_name(const std::string& name, int& k, int& s) {
  char tail = 0;
  return std::sscanf(name.c_str(), "%d-of-%d%c", &k, &s, &tail) == 2 && k >= 1 && k <= s &&
         shard_name(k, s) == name;
}

ShardWriter::ShardWriter(std::string folder, const ShardManifest&) : folder_(std::move(folder)) {
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  if (error) throw OutputError(folder_ + ": cannot create the folder: " + error.message());
  // An earlier shard's manifest goes first: until this one is complete the
  // folder holds no finished shard.
  std::filesystem::remove(folder_ + "/manifest.txt", error);
  markers_ = std::make_unique<OutputFile>(folder_ + "/marker_statistics.tsv");
}

void ShardWriter::add(long first, std::span<const MarkerStatistics> markers,
                      const MarkerLabels& labels, const std::int64_t* np) {
  std::FILE* out = markers_->stream();
  for (std::size_t k = 0; k < markers.size(); ++k) {
    const long marker = first + static_cast<long>(k) + 1;
    const MarkerStatistics& s = markers[k];
    MarkerLabel label = labels ? labels(marker) : MarkerLabel();
    std::fprintf(out, "%ld\t%s\t%s\t%s\t%s\t%s\t%d\t%lld", marker, label.chromosome.c_str(),
                 label.position.c_str(), label.id.empty() ? "." : label.id.c_str(),
                 label.tested_allele.c_str(), label.other_allele.c_str(), s.called,
                 static_cast<long long>(s.copies));
    for (const MarkerStatisticsReal& real : kMarkerStatisticsReals)
      std::fprintf(out, "\t%s", bits_of(s.*real.field).c_str());
    if (np != nullptr) std::fprintf(out, "\t%lld", static_cast<long long>(np[k]));
    std::fputc('\n', out);
  }
}

void ShardWriter::finish(const ShardManifest& manifest, const std::vector<double>& replicate_maxima,
                         const std::vector<std::pair<double, std::int64_t>>& similarity,
                         const std::vector<std::string>& background_ids) {
  markers_->commit();
  {
    OutputFile file(folder_ + "/maxima.txt");
    for (double v : replicate_maxima) std::fprintf(file.stream(), "%s\n", bits_of(v).c_str());
    file.commit();
  }
  {
    OutputFile file(folder_ + "/similarity.tsv");
    for (const auto& [value, pairs] : similarity)
      std::fprintf(file.stream(), "%s\t%lld\n", bits_of(value).c_str(), static_cast<long long>(pairs));
    file.commit();
  }
  if (!background_ids.empty()) {
    OutputFile file(folder_ + "/background_ids.txt");
    for (const std::string& id : background_ids) std::fprintf(file.stream(), "%s\n", id.c_str());
    file.commit();
  }
  OutputFile file(folder_ + "/manifest.txt");
  std::FILE* out = file.stream();
  const ShardManifest& m = manifest;
  const RunRecord& run = m.record;
  std::fprintf(out, "strataperm_shard\t%s\n", m.version.c_str());
  // The run's record, as its log words it, then what only shards need (the
  // fit and the groups exactly, the draws, the rule's numbers).
  write_run_record(out, run);
  std::fprintf(out, "shards\t%d\nshard\t%d\nfirst_marker\t%ld\nmarker_count\t%ld\n", m.shards, m.shard,
               m.range.first, m.range.count);
  std::fprintf(out, "choices\t%s\n", run.choices.c_str());
  for (const FitField& f : kFitFields)
    std::fprintf(out, "%s\t%s\n", f.name, bits_of(run.fit.*f.field).c_str());
  std::fprintf(out, "fit_passes\t%d\nfit_structure\t%d\nfit_one_group\t%d\nfit_separated\t%d\n",
               run.fit.passes, run.fit.structure ? 1 : 0, run.fit.one_group ? 1 : 0,
               run.fit.separated ? 1 : 0);
  std::fprintf(out, "groups_partition\t%d\ngroup_sizes\t%s\nsmallest_list\t%d\nlargest_list\t%d\n",
               run.groups.lists_partition ? 1 : 0, sizes_text(run.groups.group_sizes).c_str(),
               run.groups.smallest_list, run.groups.largest_list);
  std::fprintf(out, "sum_y2\t%s\n", bits_of(m.sum_y2).c_str());
  std::fprintf(out, "distinct_lists\t%d\n", m.distinct_lists);
  std::fprintf(out, "stream\t%d %d %d %lld\n", m.stream_after.s1, m.stream_after.s2, m.stream_after.s3,
               static_cast<long long>(m.stream_after.draws));
  std::fprintf(out, "structure_checksum\t%s\n", m.structure_checksum.c_str());
  if (run.rule) {
    const AdaptiveRule& rule = *run.rule;
    std::fprintf(out, "adaptive_rule\t%lld %s %s %s %s %lld\n", static_cast<long long>(rule.min),
                 bits_of(rule.alpha).c_str(), bits_of(rule.beta).c_str(), bits_of(rule.init).c_str(),
                 bits_of(rule.slope).c_str(), static_cast<long long>(rule.max));
  } else {
    std::fprintf(out, "adaptive_rule\t\n");
  }
  std::fprintf(out, "replicates_drawn\t%lld\n", static_cast<long long>(m.replicates_drawn));
  file.commit();
}

Shard read_shard(const std::string& folder) {
  Shard shard;
  shard.folder = folder;
  ShardManifest& m = shard.manifest;
  RunRecord& run = m.record;
  {
    RecordReader reader(folder + "/manifest.txt");
    std::map<std::string, std::string> values;
    std::set<std::string> record_keys;
    std::string line;
    bool first = true;
    while (reader.next_line(line)) {
      if (line.empty()) continue;
      const std::size_t tab = line.find('\t');
      if (tab == std::string::npos) reader.fail("is not 'key<TAB>value'");
      const std::string key = line.substr(0, tab), value = line.substr(tab + 1);
      if (first && key != "strataperm_shard") reader.fail("is not the manifest of a strataperm shard");
      first = false;
      if (read_run_record_line(key, value, run, reader)) {
        record_keys.insert(key);
      } else {
        values[key] = value;
      }
    }
    const std::string where = folder + "/manifest.txt";
    const auto get = [&](const char* key) -> const std::string& {
      const auto it = values.find(key);
      if (it == values.end()) throw InputError(where + ": no line '" + key + "'");
      return it->second;
    };
    const auto number = [&](const char* key) {
      long long v = 0;
      if (!parse_long(get(key), v)) throw InputError(where + ": '" + key + "' is not a whole number");
      return v;
    };
    const auto real = [&](const char* key) {
      double v = 0.0;
      if (!parse_bits(get(key), v)) throw InputError(where + ": '" + key + "' is not a real in hex bits");
      return v;
    };
    m.version = get("strataperm_shard");
    for (const char* key : {"command", "seeds", "genotype_file", "marker_file", "results_file",
                            "individuals", "background_loci", "markers", "permutations",
                            "adjustment", "groups_from"})
      if (record_keys.count(key) == 0) throw InputError(where + ": no line '" + key + "'");
    m.shards = static_cast<int>(number("shards"));
    m.shard = static_cast<int>(number("shard"));
    m.range.first = static_cast<long>(number("first_marker"));
    m.range.count = static_cast<long>(number("marker_count"));
    run.choices = get("choices");
    for (const FitField& f : kFitFields) run.fit.*f.field = real(f.name);
    run.fit.passes = static_cast<int>(number("fit_passes"));
    run.fit.structure = number("fit_structure") != 0;
    run.fit.one_group = number("fit_one_group") != 0;
    run.fit.separated = number("fit_separated") != 0;
    run.groups.lists_partition = number("groups_partition") != 0;
    for (const std::string& size : split_fields(get("group_sizes"))) {
      long long v = 0;
      if (!parse_long(size, v)) throw InputError(where + ": 'group_sizes' holds '" + size + "'");
      run.groups.group_sizes.push_back(static_cast<int>(v));
    }
    run.groups.smallest_list = static_cast<int>(number("smallest_list"));
    run.groups.largest_list = static_cast<int>(number("largest_list"));
    m.sum_y2 = real("sum_y2");
    m.distinct_lists = static_cast<int>(number("distinct_lists"));
    const std::vector<std::string> stream = split_fields(get("stream"));
    long long s[4] = {0, 0, 0, 0};
    if (stream.size() != 4 || !parse_long(stream[0], s[0]) || !parse_long(stream[1], s[1]) ||
        !parse_long(stream[2], s[2]) || !parse_long(stream[3], s[3]))
      throw InputError(where + ": 'stream' is not four whole numbers");
    m.stream_after.s1 = static_cast<int>(s[0]);
    m.stream_after.s2 = static_cast<int>(s[1]);
    m.stream_after.s3 = static_cast<int>(s[2]);
    m.stream_after.draws = s[3];
    m.structure_checksum = get("structure_checksum");
    const std::vector<std::string> rule = split_fields(get("adaptive_rule"));
    if (!rule.empty()) {
      AdaptiveRule r;
      long long min = 0, max = 0;
      if (rule.size() != 6 || !parse_long(rule[0], min) || !parse_bits(rule[1], r.alpha) ||
          !parse_bits(rule[2], r.beta) || !parse_bits(rule[3], r.init) ||
          !parse_bits(rule[4], r.slope) || !parse_long(rule[5], max))
        throw InputError(where + ": 'adaptive_rule' is not MIN ALPHA BETA INIT SLOPE MAX");
      r.min = min;
      r.max = max;
      run.rule = r;
    }
    m.replicates_drawn = number("replicates_drawn");
  }
  {
    RecordReader reader(folder + "/marker_statistics.tsv");
    std::string line;
    while (reader.next_line(line)) {
      const std::vector<std::string> f = split_tabs(line);
      long long marker = 0, called = 0, copies = 0;
      MarkerStatistics s;
      // The number, the label (5 fields), called, copies, the reals, and NP in
      // adaptive runs.
      constexpr std::size_t kFirstReal = 8;
      constexpr std::size_t kReals = std::size(kMarkerStatisticsReals);
      const bool adaptive = run.rule.has_value();
      long long np = 0;
      bool ok = f.size() == kFirstReal + kReals + (adaptive ? 1 : 0) && parse_long(f[0], marker) &&
                parse_long(f[6], called) && parse_long(f[7], copies) &&
                (!adaptive || parse_long(f[kFirstReal + kReals], np));
      for (std::size_t k = 0; ok && k < kReals; ++k)
        ok = parse_bits(f[kFirstReal + k], s.*kMarkerStatisticsReals[k].field);
      if (!ok) reader.fail("is not a marker line of a shard");
      if (marker != m.range.first + static_cast<long long>(shard.markers.size()) + 1)
        reader.fail("holds marker " + std::to_string(marker) + " out of order");
      s.called = static_cast<int>(called);
      s.copies = copies;
      shard.markers.push_back(s);
      shard.labels.push_back(MarkerLabel{f[1], f[2], f[3], f[4], f[5]});
      if (adaptive) shard.np.push_back(np);
    }
    if (static_cast<long>(shard.markers.size()) != m.range.count) {
      throw InputError(folder + "/marker_statistics.tsv: holds " + std::to_string(shard.markers.size()) +
                       " markers, the manifest says " + std::to_string(m.range.count));
    }
  }
  {
    RecordReader reader(folder + "/maxima.txt");
    std::string line;
    while (reader.next_line(line)) {
      double v = 0.0;
      if (!parse_bits(line, v)) reader.fail("is not a real in hex bits");
      shard.replicate_maxima.push_back(v);
    }
    if (!run.rule && static_cast<long>(shard.replicate_maxima.size()) != run.parameters.n_permutations) {
      throw InputError(folder + "/maxima.txt: holds " + std::to_string(shard.replicate_maxima.size()) +
                       " replicates, the manifest says " + std::to_string(run.parameters.n_permutations));
    }
  }
  {
    RecordReader reader(folder + "/similarity.tsv");
    std::string line;
    while (reader.next_line(line)) {
      const std::vector<std::string> f = split_tabs(line);
      double v = 0.0;
      long long pairs = 0;
      if (f.size() != 2 || !parse_bits(f[0], v) || !parse_long(f[1], pairs))
        reader.fail("is not 'similarity<TAB>pairs'");
      shard.similarity.emplace_back(v, pairs);
    }
  }
  if (std::filesystem::exists(folder + "/background_ids.txt")) {
    shard.has_background_ids = true;
    RecordReader reader(folder + "/background_ids.txt");
    for (std::string line; reader.next_line(line);) shard.background_ids.push_back(line);
  }
  return shard;
}

}  // namespace strataperm
