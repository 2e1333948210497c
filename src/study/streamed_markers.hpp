// The candidate markers of a planned study, read from the genotype input
// block by block while the analysis runs: memory holds one block of calls,
// not the study.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "study/study_plan.hpp"
#include "core/study.hpp"

namespace strataperm {

class StreamedMarkers : public MarkerSource {
 public:
  // Opens a cursor over the plan's input.
  explicit StreamedMarkers(const StudyPlan& plan);
  void read_block(long first, int count, std::uint8_t* classes, int width) override;

 private:
  const StudyPlan& plan_;
  std::unique_ptr<CallCursor> cursor_;
  std::vector<std::int8_t> calls_;  // one variant's calls, all samples
  long next_ = 0;                    // the marker after the last one read
};

// The class of a call: copies of allele2 0, 1, 2 are the classes of the
// allele sums 0, 1, 2; a missing call is kMissing.
inline std::uint8_t class_of_call(std::int8_t call) {
  return call == kMissingCall ? static_cast<std::uint8_t>(kMissing) : static_cast<std::uint8_t>(call);
}

}  // namespace strataperm
