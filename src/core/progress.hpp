// Time per stage, and progress on standard error.
#pragma once

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
  const std::vector<std::pair<std::string, double>>& laps() const { return laps_; }

 private:
  double start_;
  std::vector<std::pair<std::string, double>> laps_;
};

// Progress of a long run on standard error: a line per stage, and for the
// long stages the count done with an estimate of the time left, at most about
// once a second. Silent when not enabled. Called from one thread only.
class Progress {
 public:
  explicit Progress(bool enabled) : enabled_(enabled) {}
  bool enabled() const { return enabled_; }
  void stage(const std::string& text);
  // `unit` names what is counted ("replicate", "marker").
  void advance(const std::string& unit, long done, long total);

 private:
  bool enabled_;
  std::string current_;
  double stage_start_ = 0.0;
  double last_ = 0.0;
};

}  // namespace strataperm
