#include "winehive/hive_line_reader.h"

#include <algorithm>
#include <cstring>

namespace tallyweb {
namespace hive_text {

void LineReader::Grow() {
  buffer_ += buffer_ / 2;
  if (growth_ != nullptr) growth_->push_back({pos_, buffer_});
}

// The server's fgets reads at most buffer - 1 bytes of a line at a time;
// a line that fills the buffer without its '\n' makes it grow and goes on.
bool LineReader::Next(std::string_view* line, std::size_t* line_begin) {
  if (pos_ >= text_.size()) return false;
  const std::size_t begin = pos_;
  const void* nl = std::memchr(text_.data() + begin, '\n', text_.size() - begin);
  const std::size_t stop = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) -
                                                         text_.data())
                              : text_.size();
  // The bytes the line takes from the text, its '\n' included.
  const std::size_t through = stop - begin + (nl ? 1 : 0);
  *line_begin = begin;
  const void* nul = std::memchr(text_.data() + begin, '\0', stop - begin);
  if (nul == nullptr) {
    pos_ = stop + 1;
    // A whole line needs room for its '\n'; a last line without one is
    // read once more when it fills the buffer exactly.
    while (buffer_ - 1 < through) Grow();
    if (nl == nullptr && buffer_ - 1 == through) Grow();
    *line = text_.substr(begin, stop - begin);
    if (!line->empty() && line->back() == '\r' && nl != nullptr) line->remove_suffix(1);
    return true;
  }
  // A NUL ends the line in the first read that reaches it; the next line
  // starts where that read stopped.
  const std::size_t nul_at = static_cast<std::size_t>(static_cast<const char*>(nul) -
                                                      (text_.data() + begin));
  std::size_t read = std::min(buffer_ - 1, through);
  while (read <= nul_at) {
    pos_ = begin + read;
    Grow();
    read = std::min(buffer_ - 1, through);
  }
  pos_ = begin + read;
  *line = text_.substr(begin, nul_at);
  return true;
}

}  // namespace hive_text
}  // namespace tallyweb
