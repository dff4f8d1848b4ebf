// The lines of a Wine hive file, cut as the wine server's line buffer cuts
// them: a reader of the hive must see the same lines the server saw.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace tallyweb {
namespace hive_text {

/// Where the line buffer of a reader grew while it read a text in order:
/// from `offset` on, lines are read with a buffer of `size` bytes.
struct LineBufferGrowth {
  std::size_t offset;
  std::size_t size;
};

/// The lines of text[begin, end) as the server reads them: each up to its
/// '\n' (the last may have none), without a '\r' before it, and cut at its
/// first NUL byte. The server reads a line into a buffer that starts at 4
/// bytes and grows by half while a line does not fit, and never shrinks: a
/// line with a NUL ends at the NUL, and what the buffer did not reach of it
/// yet is read as the next line. So a reader that starts in the middle of a
/// text is given the buffer size the server had there (`buffer`).
class LineReader {
 public:
  static constexpr std::size_t kFirstBuffer = 4;
  LineReader(std::string_view text, std::size_t begin, std::size_t end,
             std::size_t buffer = kFirstBuffer, std::vector<LineBufferGrowth>* growth = nullptr)
      : text_(text.substr(0, end)), pos_(begin), buffer_(buffer), growth_(growth) {}
  bool Next(std::string_view* line, std::size_t* line_begin);
  std::size_t Position() const { return pos_ < text_.size() ? pos_ : text_.size(); }

 private:
  void Grow();

  std::string_view text_;
  std::size_t pos_;
  std::size_t buffer_;
  std::vector<LineBufferGrowth>* growth_;  // where the buffer grew; null: not kept
};

}  // namespace hive_text
}  // namespace tallyweb
