// The bytes of a hive file: see hive_text_source.h.
#include "winehive/hive_text_source.h"

#include <algorithm>
#include <utility>

namespace tallyweb {
namespace {

constexpr int kStretchShift = 16;  // 64 KiB

}  // namespace

HiveTextSource::HiveTextSource(std::string owned, std::string_view text,
                               std::shared_ptr<const void> owner, ReleaseText release_text,
                               ReadText read_text)
    : owned_(std::move(owned)),
      text_(text),
      owner_(std::move(owner)),
      release_text_(std::move(release_text)),
      read_text_(std::move(read_text)) {
  if (owner_ == nullptr) text_ = owned_;
  if (release_text_) stretches_read_.assign((text_.size() >> 16) / 64 + 1, 0);
}

// The owner of a mapped file is told to release it once sixteen 64 KiB
// stretches have been read since it last did (the kernel maps a file's pages
// 64 KiB at a time), so that about a megabyte of the text is in memory however
// large the hive. Stretches are counted once each: reading a key line also
// reads the names of its parents, far back in the text, every time.
void HiveTextSource::Touch(std::size_t offset) const {
  constexpr std::size_t kStretchesPerRelease = 16;
  if (!release_text_) return;
  const std::size_t stretch = offset >> kStretchShift;
  std::uint64_t& word = stretches_read_[stretch / 64];
  const std::uint64_t bit = std::uint64_t{1} << (stretch % 64);
  if ((word & bit) != 0) return;
  word |= bit;
  if (++stretches_since_release_ < kStretchesPerRelease) return;
  stretches_since_release_ = 0;
  ReleaseStretchesRead();
}

// A line of many stretches, a long value, counts each of them: its pages are
// given back too, rather than held as long as the program runs.
void HiveTextSource::Touch(std::size_t begin, std::size_t end) const {
  Touch(begin);
  if (end == 0) return;
  const std::size_t last = (end - 1) >> kStretchShift;
  for (std::size_t stretch = (begin >> kStretchShift) + 1; stretch <= last; ++stretch) {
    Touch(stretch << kStretchShift);
  }
}

// Each run of stretches read in one call: dropping a few pages is cheap, but
// going over the whole mapping each time costs as much as reading it. Keys
// read out of file order leave many short runs, each call flushing the TLB:
// then one call over their span costs less, and drops nothing else, since
// the pages between were given back before or never read.
void HiveTextSource::ReleaseStretchesRead() const {
  constexpr std::size_t kStretch = std::size_t{1} << 16;
  constexpr std::size_t kMostCalls = 4;
  const std::size_t stretches = stretches_read_.size() * 64;
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  std::size_t run_begin = 0;
  bool in_run = false;
  for (std::size_t i = 0; i <= stretches; ++i) {
    const bool read = i < stretches && (stretches_read_[i / 64] >> (i % 64) & 1) != 0;
    if (read && !in_run) run_begin = i;
    if (!read && in_run)
      runs.emplace_back(run_begin * kStretch, std::min(i * kStretch, text_.size()));
    in_run = read;
  }
  if (runs.size() > kMostCalls) {
    release_text_(runs.front().first, runs.back().second);
  } else {
    for (const auto& run : runs) release_text_(run.first, run.second);
  }
  std::fill(stretches_read_.begin(), stretches_read_.end(), 0);
}

// Read through read_text_ when keys are out of order, else the rest of the
// text in place. A key of more than 64 KiB is read in place
// all the same: its pages are read through, and a copy would cost as much
// memory again. Valid until the next call.
std::string_view HiveTextSource::KeyText(std::size_t line, bool* in_place) {
  constexpr std::size_t kMostCopied = std::size_t{1} << 16;
  std::size_t end = text_.size();
  if (!bracket_lines_.empty()) {
    auto next = std::upper_bound(bracket_lines_.begin(), bracket_lines_.end(), line);
    if (next != bracket_lines_.end()) end = static_cast<std::size_t>(*next);
  }
  if (bracket_lines_.empty() || end - line > kMostCopied) {
    Touch(line);
    *in_place = true;
    return text_.substr(line, end - line);
  }
  *in_place = false;
  key_text_.resize(end - line);
  key_text_.resize(read_text_(line, end, &key_text_[0]));
  return key_text_;
}

}  // namespace tallyweb
