#include "study/streamed_markers.hpp"

namespace strataperm {

static_assert(kSumZero == 0 && kHeterozygous == 1 && kSumTwo == 2,
              "a call's copies of allele2 are its class");

StreamedMarkers::StreamedMarkers(const StudyPlan& plan)
    : plan_(plan), cursor_(plan.input->open_cursor()), calls_(plan.input->samples.size()) {}

void StreamedMarkers::read_block(long first, int count, std::uint8_t* classes, int width) {
  // A new pass over the markers (the next chunk of replicates) starts again
  // at the beginning of the file.
  if (first < next_) cursor_ = plan_.input->open_cursor();
  next_ = first + count;
  const std::size_t n = plan_.n();
  const std::vector<std::size_t>& kept = plan_.kept.sample_index;
  for (int c = 0; c < count; ++c) {
    const std::size_t marker = static_cast<std::size_t>(first + c);
    cursor_->read(plan_.choice.markers[marker], calls_);
    for (std::size_t i = 0; i < n; ++i)
      classes[i * static_cast<std::size_t>(width) + static_cast<std::size_t>(c)] =
          class_of_call(calls_[kept[i]]);
  }
}

}  // namespace strataperm
