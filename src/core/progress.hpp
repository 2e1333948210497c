// Time per stage, and progress on standard error.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace strataperm {

// Seconds on a steady clock, for measuring stages.
double seconds_now();

// Records how long each stage of a run took: lap(name) closes the stage that
// began at the previous lap (or at construction). The log reports the laps.
class StageClock {
 public:
  StageClock();
  void lap(const std::string& stage);
  // Moves `seconds` of the stage now running into `stage` (one that runs in
  // pieces inside another, such as the replicate draws between marker passes).
  void add(const std::string& stage, double seconds);
  const std::vector<std::pair<std::string, double>>& laps() const { return laps_; }

 private:
  double start_;
  std::vector<std::pair<std::string, double>> laps_;
};

// Progress of a long run on standard error, with the time left for the whole
// run. The run names its counted stages beforehand with a first estimate of
// their seconds (expect); while a stage counts (advance), its own time left is
// extrapolated from its pace, and the later stages keep their estimates until
// they start. On a terminal one line is rewritten in place; otherwise (a log
// file under --progress) a line is written at most about once a second and
// at the end of each counted stage. Silent when not enabled. Called from one
// thread at a time.
class Progress {
 public:
  explicit Progress(bool enabled, bool in_place = false)
      : enabled_(enabled), in_place_(in_place), started_(seconds_now()) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress();
  bool enabled() const { return enabled_; }

  // A counted stage to come, by the name of what it counts ("marker").
  void expect(const std::string& unit, double seconds);
  // A new stage, announced on a line of its own.
  void stage(const std::string& text);
  // `done` of `total` counted in the stage that counts `unit` (total 0: not
  // known, only the count is shown).
  void advance(const std::string& unit, long done, long total);
  // Ends the line rewritten in place, if any.
  void finish();

  // The estimate of the time left for the whole run, in seconds.
  double seconds_left() const;
  // "1h 02m", "3m 20s", "12 s".
  static std::string duration(double seconds);

 private:
  void show(const std::string& text, bool last);
  bool enabled_;
  bool in_place_;
  double started_;
  bool line_open_ = false;
  std::string current_;
  double stage_start_ = 0.0;
  double last_ = 0.0;
  std::map<std::string, double> left_;  // counted stages not finished: seconds left
};

}  // namespace strataperm
