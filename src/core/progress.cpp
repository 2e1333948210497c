#include "core/progress.hpp"

#include <chrono>
#include <cstdio>

namespace strataperm {

double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

StageClock::StageClock() : start_(seconds_now()) {}

void StageClock::lap(const std::string& stage) {
  const double now = seconds_now();
  laps_.emplace_back(stage, now - start_);
  start_ = now;
}

void Progress::stage(const std::string& text) {
  if (enabled_) std::fprintf(stderr, "strataperm: %s\n", text.c_str());
}

void Progress::advance(const std::string& unit, long done, long total) {
  if (!enabled_) return;
  const double now = seconds_now();
  if (unit != current_) {
    current_ = unit;
    stage_start_ = now;
    last_ = 0.0;
  }
  if (done < total && now - last_ < 1.0) return;
  last_ = now;
  const double elapsed = now - stage_start_;
  const double left = done > 0 ? elapsed * static_cast<double>(total - done) / done : 0.0;
  std::fprintf(stderr, "strataperm: %s %ld of %ld, about %.0f s left\n", unit.c_str(), done, total,
               left);
}

}  // namespace strataperm
