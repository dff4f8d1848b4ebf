// The bytes of a hive file as its reader sees them: in place (a string the
// reader owns, or a mapped file whose owner keeps it alive), or, for keys
// read out of file order, copied a key at a time. It tells the owner of a
// mapping when to give back the pages read, so that a large hive costs about
// a megabyte of its text in memory whatever its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tallyweb {

class HiveTextSource {
 public:
  /// Called now and then with a stretch [begin, end) of the text read since,
  /// so that the owner of a mapped file can drop those pages from memory.
  /// The text must stay readable afterwards: the hive may come back to it.
  using ReleaseText = std::function<void(std::size_t begin, std::size_t end)>;
  /// Copies the text's bytes [begin, end) to `out` without touching the
  /// mapping (pread, say) and says how many it copied: fewer when the file
  /// ends sooner.
  using ReadText = std::function<std::size_t(std::size_t begin, std::size_t end, char* out)>;

  /// Over `owned` when `owner` is null, else over `text`, which `owner`
  /// keeps alive.
  HiveTextSource(std::string owned, std::string_view text, std::shared_ptr<const void> owner,
                 ReleaseText release_text, ReadText read_text);
  // The text may lie in owned_: a copy would point into the original.
  HiveTextSource(const HiveTextSource&) = delete;
  HiveTextSource& operator=(const HiveTextSource&) = delete;

  std::string_view text() const { return text_; }
  /// The text at `offset` is being read: counts its stretch, and releases
  /// the stretches read once enough of them were.
  void Touch(std::size_t offset) const;
  /// The text [begin, end) was read: Touch for each of its stretches.
  void Touch(std::size_t begin, std::size_t end) const;

  /// Key texts can be read through copies (a ReadText was given).
  bool CanCopy() const { return static_cast<bool>(read_text_); }
  /// While indexing, where each line that starts with "[" begins, in file
  /// order: the end of a key's text when it is copied.
  void ReserveBracketLines(std::size_t count) { bracket_lines_.reserve(count); }
  void AddBracketLine(std::size_t line) { bracket_lines_.push_back(line); }
  /// Keys will be read in place: the bracket lines are not needed.
  void DropBracketLines() { std::vector<std::uint64_t>().swap(bracket_lines_); }
  /// Key texts are read through copies.
  bool CopiesKeys() const { return !bracket_lines_.empty(); }

  /// The text from the key line at `line` up to the next line that starts
  /// with "[" (or on to the end, in place), valid until the next call;
  /// `*in_place` says whether it lies in text().
  std::string_view KeyText(std::size_t line, bool* in_place);

 private:
  void ReleaseStretchesRead() const;

  std::string owned_;
  std::string_view text_;
  std::shared_ptr<const void> owner_;
  ReleaseText release_text_;
  ReadText read_text_;
  std::vector<std::uint64_t> bracket_lines_;
  std::string key_text_;  // the last key's text from read_text_
  // The stretches of text read since the owner last released it, one bit
  // each, to tell it when to release it again.
  mutable std::vector<std::uint64_t> stretches_read_;
  mutable std::size_t stretches_since_release_ = 0;
};

}  // namespace tallyweb
