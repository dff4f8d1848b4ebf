// The key index of a Wine hive file: see hive_key_index.h.
#include "winehive/hive_key_index.h"

#include <algorithm>
#include <string>
#include <utility>

#include "registry/registry_names.h"
#include "winehive/wine_hive_text.h"

namespace tallyweb {
namespace {

using hive_text::LineReader;
using hive_text::StartsWith;
using hive_text::TrimLeft;

constexpr std::string_view kHeader = "WINE REGISTRY Version 2";
// The longest key name the registry takes, in UTF-16 units: a key line with
// a longer one makes the keys before it and no more.
constexpr std::size_t kMaxKeyNameUnits = 256;

}  // namespace

std::unique_ptr<HiveKeyIndex> HiveKeyIndex::Build(std::string owned, std::string_view text,
                                                  std::shared_ptr<const void> owner,
                                                  HiveTextSource::ReleaseText release_text,
                                                  HiveTextSource::ReadText read_text) {
  std::unique_ptr<HiveKeyIndex> index(new HiveKeyIndex(
      std::move(owned), text, std::move(owner), std::move(release_text), std::move(read_text)));
  if (!index->Index()) return nullptr;
  return index;
}

// What Index carries from line to line.
struct HiveKeyIndex::IndexPass {
  explicit IndexPass(LineReader* lines) : more(lines) {}
  bool have_key = false;  // the last key line made a key: the lines below are its
  IndexCursor cursor;
  WineHiveValue scratch;  // a value line read through
  hive_text::ReaderLines more;
};

// One pass over the file, recording each key line. Values wait; but a hex
// value can take the lines after it as its own, which are then no key
// lines, so a value line that may go on is read as far as it goes.
bool HiveKeyIndex::Index() {
  const std::string_view text = source_.text();
  if (text.empty()) return false;
  ReserveFor(text.size());
  NewKey(Key(), kNone);  // the root
  // The registry's root above it: a key of its own, which no path of this
  // hive reaches, only a link.
  registry_root_ = NewKey(Key(), kNone);
  LineReader lines(text, 0, text.size(), LineReader::kFirstBuffer, &line_buffers_);
  std::string_view line;
  std::size_t line_begin = 0;
  if (!lines.Next(&line, &line_begin) || line != kHeader) return false;
  IndexPass pass(&lines);
  bool loading = true;
  while (loading && lines.Next(&line, &line_begin)) {
    Touch(line_begin, lines.Position());
    const std::string_view trimmed = TrimLeft(line);
    if (trimmed.empty()) continue;
    switch (trimmed[0]) {
      case '[':
        if (source_.CanCopy()) source_.AddBracketLine(line_begin);
        pass.have_key = AddKeyLine(trimmed, static_cast<std::size_t>(trimmed.data() - text.data()),
                                   &pass.cursor);
        break;
      case '@':
      case '"':
        if (pass.have_key && hive_text::NamesLinkValue(trimmed)) {
          KeepLinkTarget(trimmed, &pass);
        } else if (pass.have_key && hive_text::MayContinue(trimmed)) {
          hive_text::ParseValueLine(trimmed, &pass.more, &pass.scratch, false);
        }
        break;
      case '#': loading = ReadOptionLine(trimmed, &pass); break;
      default: break;  // the server skips a line it does not know
    }
  }
  FinishIndex();
  return true;
}

// A fresh prefix's system.reg (1.7 MB) holds a key every 180 bytes, counting
// the keys it implies without a line of their own; room for one every 128
// bytes takes a denser hive in the same allocation, which is cheaper than
// growing the arrays through a large hive. The pages past the last key are
// never touched.
void HiveKeyIndex::ReserveFor(std::size_t text_size) {
  constexpr std::size_t kLeastBytesAKey = 128;
  keys_.reserve(text_size / kLeastBytesAKey + 1);
  last_child_.reserve(keys_.capacity());
  if (source_.CanCopy()) source_.ReserveBracketLines(keys_.capacity());
}

// The value line naming a link's target, of the key of the last key line:
// kept for key lines that pass through the link.
void HiveKeyIndex::KeepLinkTarget(std::string_view line, IndexPass* pass) {
  if (hive_text::ParseValueLine(line, &pass->more, &pass->scratch) ==
      hive_text::ValueLine::kValue) {
    link_units_[pass->cursor.key] = hive_text::LinkUnits(pass->scratch);
  }
}

// An option of the key of the last key line; with none (before the first,
// or after one the server could not read), of the file. False when the
// server stops loading there.
bool HiveKeyIndex::ReadOptionLine(std::string_view line, IndexPass* pass) {
  constexpr std::string_view kArch = "#arch=";
  if (pass->have_key) {
    if (StartsWith(line, "#link") && pass->cursor.key != kRoot) {
      keys_[pass->cursor.key].flags |= kLink;
    }
    return true;
  }
  return !StartsWith(line, kArch) || ReadArch(line.substr(kArch.size()));
}

// Drops what only indexing needed, and makes ready for reading keys.
void HiveKeyIndex::FinishIndex() {
  std::vector<KeyId>().swap(last_child_);
  disordered_.Clear();
  std::unordered_map<KeyId, std::u16string>().swap(link_units_);
  if (keys_out_of_order_ && source_.CanCopy()) {
    ReserveCopiedNames();
  } else {
    source_.DropBracketLines();
  }
  std::vector<KeyId>().swap(parents_);
  // A key's later lines, found by key: stable, so each key's stay in file order.
  std::stable_sort(more_lines_.begin(), more_lines_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

// Room for every name Children will copy, once: see copied_names_. The
// names of subkeys listed in order stay in the text, as do names that were
// decoded.
void HiveKeyIndex::ReserveCopiedNames() {
  std::size_t copied = 0;
  for (KeyId id = 1; id < keys_.size(); ++id) {
    if (parents_[id] != kNone && (keys_[parents_[id]].flags & kChildrenInOrder) == 0 &&
        (keys_[id].flags & kDecodedName) == 0) {
      copied += keys_[id].name_size;
    }
  }
  if (copied <= kMaxNameOffset) copied_names_.reserve(copied);
}

// The server takes the first "#arch=" of a file for the file's, and stops
// loading at one it does not know or that says otherwise ("Mismatched
// architecture"): the keys after it are not there. The name is the rest of
// the line as it is, blanks and all.
bool HiveKeyIndex::ReadArch(std::string_view arch) {
  const Arch named = arch == "win32" ? Arch::k32 : arch == "win64" ? Arch::k64 : Arch::kUnknown;
  if (named == Arch::kUnknown) return false;
  if (arch_ == Arch::kUnknown) arch_ = named;
  win64_ = arch_ == Arch::k64;
  return arch_ == named;
}

// "[Path\\To\\Key] seconds": the path is relative to the hive's root; runs of
// backslashes separate names, as Wine reads them. Keys on the way that have
// no line of their own (Wine writes only keys with values or without
// subkeys) are made here. The seconds are read when the key's values are.
// False when the line makes no key: no "]", or a name too long, after which
// the server drops the values that follow.
bool HiveKeyIndex::AddKeyLine(std::string_view line, std::size_t line_begin, IndexCursor* cursor) {
  bool plain = true;
  std::size_t after = 0;
  if (!hive_text::FindKeyPathEnd(line, &plain, &after)) return false;
  KeyId node = kRoot;
  const bool made = plain ? WalkPlainPath(line.substr(1, after - 2), line_begin, cursor, &node)
                          : WalkDecodedPath(line, line_begin, &node);
  if (!made) return false;
  cursor->key = node;
  AddOwnLine(node, line_begin);
  return true;
}

// A path without escapes, whose names stay in the text: a name starts one
// byte into the line, past its "[".
bool HiveKeyIndex::WalkPlainPath(std::string_view path, std::size_t line_begin, IndexCursor* cursor,
                                 KeyId* node) {
  // Wine writes sibling keys one after another: a path that starts with the
  // same bytes as the last one's parent starts at the same key.
  std::size_t start = 0;
  if (!cursor->parent_path.empty() && StartsWith(path, cursor->parent_path) &&
      !IsLink(cursor->parent)) {
    *node = cursor->parent;
    start = cursor->parent_path.size();
  }
  while (start < path.size()) {
    const std::size_t stop = std::min(path.find('\\', start), path.size());
    if (stop > start) {
      if (stop - start > kMaxKeyNameUnits) return false;
      cursor->parent = *node;
      cursor->parent_path = path.substr(0, start);
      *node = FindOrAddChild(*node, path.substr(start, stop - start), line_begin, 1 + start);
      if (!FollowWhileIndexing(node, line_begin, 0)) return false;
    }
    start = stop + 1;
  }
  return true;
}

// A path with escapes: its names are decoded, and kept as decoded.
bool HiveKeyIndex::WalkDecodedPath(std::string_view line, std::size_t line_begin, KeyId* node) {
  std::u16string path;
  std::size_t end = 1;
  hive_text::DecodeKeyPath(line, &end, &path);
  for (std::size_t start = 0; start < path.size();) {
    const std::size_t stop = std::min(path.find(u'\\', start), path.size());
    if (stop > start) {
      if (stop - start > kMaxKeyNameUnits) return false;
      const std::string name = hive_text::UnitsToUtf8(
          std::u16string_view(path).substr(start, stop - start));
      *node = FindOrAddChild(*node, name, line_begin, std::string::npos);
      if (!FollowWhileIndexing(node, line_begin, 0)) return false;
    }
    start = stop + 1;
  }
  return true;
}

// The key line at `line_begin` is one of `key`'s: the one that made it is
// kept in the key, any other in more_lines_.
void HiveKeyIndex::AddOwnLine(KeyId key, std::size_t line_begin) {
  Key& k = keys_[key];
  if (key != kRoot && k.line == line_begin && (k.flags & kOwnLine) == 0 &&
      (k.flags & kMoreLines) == 0) {
    k.flags |= kOwnLine;  // made by this very line: its first own line
  } else {
    more_lines_.emplace_back(key, line_begin);
    k.flags |= kMoreLines;
  }
}

// A key line whose path reaches a link key goes on from the link's target,
// as the server loads it: the target is made when missing (not the keys on
// the way to it), and what the line brings (its values, the keys below it)
// lands there. A link without a target, or more than 16 deep, makes no key.
bool HiveKeyIndex::FollowWhileIndexing(KeyId* node, std::size_t line_begin, int depth) {
  constexpr int kMostLinks = 16;
  constexpr int kMostFollowed = 4096;  // as WineHive::Follow
  if (depth == 0) links_left_ = kMostFollowed;
  if (depth > kMostLinks || links_left_ <= 0) return false;
  if (*node == kRoot || !IsLink(*node)) return true;
  --links_left_;
  auto units = link_units_.find(*node);
  std::vector<std::string> names;
  if (units == link_units_.end() ||
      hive_text::LinkTargetNames(units->second, &names) != hive_text::LinkTarget::kKey) {
    return false;
  }
  std::size_t first = 0;
  KeyId at = LinkStart(names, &first);
  // The keys on the way must be there; the last is made when missing. (A
  // key looked up here is found by its hash from then on: a hostile hive
  // may send many key lines through a link.)
  for (std::size_t i = first; i < names.size(); ++i) {
    if (i + 1 < names.size()) {
      if (keys_[at].child_count == 0) return false;
      Disorder(at);
      at = FindDisordered(at, names[i]);
      if (at == kNone) return false;
    } else {
      at = FindOrAddChild(at, names[i], line_begin, std::string::npos);
    }
    if (!FollowWhileIndexing(&at, line_begin, depth + 1)) return false;
  }
  *node = at;
  return true;
}

}  // namespace tallyweb
