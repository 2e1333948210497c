#include "core/progress.hpp"

#include <chrono>
#include <cmath>
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

void StageClock::add(const std::string& stage, double seconds) {
  laps_.emplace_back(stage, seconds);
  start_ += seconds;
}

Progress::~Progress() { finish(); }

void Progress::expect(const std::string& unit, double seconds) { left_[unit] = seconds; }

void Progress::finish() {
  if (line_open_) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
    line_open_ = false;
  }
}

void Progress::stage(const std::string& text) {
  if (!enabled_) return;
  finish();
  std::fprintf(stderr, "strataperm: %s\n", text.c_str());
}

double Progress::seconds_left() const {
  double left = 0.0;
  for (const auto& [unit, seconds] : left_) left += seconds;
  return left;
}

std::string Progress::duration(double seconds) {
  if (!(seconds >= 0.0) || !std::isfinite(seconds)) return "?";
  const long s = std::lround(seconds);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof text, "%ldh %02ldm", s / 3600, s % 3600 / 60);
  } else if (s >= 60) {
    std::snprintf(text, sizeof text, "%ldm %02lds", s / 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld s", s);
  }
  return text;
}

void Progress::show(const std::string& text, bool last) {
  if (in_place_) {
    std::fprintf(stderr, "\rstrataperm: %s\033[K", text.c_str());
    line_open_ = true;
    if (last) finish();
  } else {
    std::fprintf(stderr, "strataperm: %s\n", text.c_str());
  }
  std::fflush(stderr);
}

void Progress::advance(const std::string& unit, long done, long total) {
  const double now = seconds_now();
  if (unit != current_) {
    if (!current_.empty()) left_.erase(current_);
    current_ = unit;
    stage_start_ = now;
    last_ = 0.0;
  }
  const bool last = total > 0 && done >= total;
  if (total > 0 && done > 0) {
    left_[unit] = (now - stage_start_) * static_cast<double>(total - done) / static_cast<double>(done);
  }
  if (last) left_.erase(unit);
  if (!enabled_) return;
  if (!last && now - last_ < (in_place_ ? 0.25 : 1.0)) return;
  last_ = now;
  char text[160];
  if (total > 0) {
    std::snprintf(text, sizeof text, "%s %ld of %ld, about %s left", unit.c_str(), done, total,
                  duration(seconds_left()).c_str());
  } else {
    std::snprintf(text, sizeof text, "%s %ld, %s so far", unit.c_str(), done,
                  duration(now - started_).c_str());
  }
  show(text, last);
}

}  // namespace strataperm
