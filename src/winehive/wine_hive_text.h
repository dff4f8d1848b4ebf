// The text layer of a Wine hive file: its lines, its quoted strings and its
// value lines, read the way the wine server reads them when it loads a
// prefix. Whatever the server makes of a line, good or bad, is what a reader
// of the hive must make of it, so these rules follow the server's and not a
// grammar: a line the server skips is skipped, a value whose data it cannot
// read is kept with no type and no data, and a hex value goes on over lines
// ending in a backslash whatever those lines hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry_store.h"
#include "winehive/hive_line_reader.h"

namespace tallyweb {

/// A value as the hive stores it: every type as its bytes, strings as UTF-16LE
/// with the NUL they were written with, but for a quoted string, which is
/// kept as its UTF-8 (`utf8`): the form every reader asks for, and half the
/// memory of a long text in UTF-16.
struct WineHiveValue {
  std::string name;  // UTF-8; empty for the key's default value
  std::uint32_t type = kRegNone;
  std::string data;
  bool utf8 = false;
  std::size_t utf16_size = 0;  // with `utf8`, the bytes of its UTF-16
};

namespace hive_text {

/// The value of a hex digit; -1 for any other character.
int HexDigit(char c);
/// Reads up to `max_digits` hex digits at `*pos` into `*value`, moving
/// `*pos` past them; false when there is none.
bool ReadHex(std::string_view s, std::size_t* pos, int max_digits, std::uint64_t* value);

bool IsBlank(char c);
std::string_view TrimLeft(std::string_view s);
inline bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

/// Decodes the string at `*pos` up to the unescaped `end` into UTF-16 units:
/// the escapes \a \b \e \f \n \r \t \v, \x and up to four hex digits, \ and
/// up to three octal digits, a backslash before anything else standing for
/// what follows; other bytes are UTF-8, and bytes that are not are dropped.
/// Leaves `*pos` after `end`; false when the line ends first.
bool DecodeString(std::string_view s, std::size_t* pos, char end, std::u16string* out);

/// UTF-16 units as UTF-8, as the program converts every registry text: a lone
/// surrogate keeps a three-byte form of its own, so that two names that differ
/// only there stay two names, and a name read back opens its own key.
std::string UnitsToUtf8(std::u16string_view units);

/// A key line's path ("[" already passed at `*pos`), decoded; false when it
/// has no closing "]".
bool DecodeKeyPath(std::string_view line, std::size_t* pos, std::u16string* path);

/// Finds the "]" that ends a key line's path. A plain path (ASCII whose only
/// escapes are the doubled backslashes between names) can be read in place;
/// any other must be decoded. `*after` is the position after the "]"; false
/// when there is none.
bool FindKeyPathEnd(std::string_view line, bool* plain, std::size_t* after);
/// The seconds after a key line's path, as FILETIME; false when there are
/// none.
bool KeyLineTime(std::string_view line, std::uint64_t* time);

/// Where the text of a value line goes on: the next line, if any.
class MoreLines {
 public:
  virtual ~MoreLines() = default;
  virtual bool Next(std::string_view* line) = 0;
};

/// The lines after a value line, from the reader the value line came from.
class ReaderLines : public MoreLines {
 public:
  explicit ReaderLines(LineReader* lines) : lines_(lines) {}
  bool Next(std::string_view* line) override {
    std::size_t begin = 0;
    return lines_->Next(line, &begin);
  }

 private:
  LineReader* lines_;
};

enum class ValueLine {
  kIgnored,  // no name, or no "=": the line changes nothing
  kValue,    // *value holds the value; REG_NONE without data if unreadable
};

/// One value line, "@" or a quoted name, "=", then the data; `line` starts
/// at its "@" or quote. Continuation lines of a hex value are taken from
/// `more`. With `data` false only the lines are consumed (and the name is
/// read): what the index needs to know where the next line starts.
ValueLine ParseValueLine(std::string_view line, MoreLines* more, WineHiveValue* value,
                         bool data = true);

/// False when the line cannot go on to the next one: a hex value continues
/// only over a backslash.
inline bool MayContinue(std::string_view line) { return line.find('\\') != std::string_view::npos; }

/// The name of the value that gives a link key ("#link") its target.
constexpr std::string_view kLinkValueName = "SymbolicLinkValue";
/// A value line (at its opening quote) whose name is kLinkValueName in any
/// case, written without escapes: cheap enough to ask of every value line.
bool NamesLinkValue(std::string_view line);
/// The UTF-16 units of a link value's data, whatever its type; an odd last
/// byte is dropped.
std::u16string LinkUnits(const WineHiveValue& value);
/// What a link's units name. The wine server looks them up as a path of its
/// object namespace: a backslash, an object of the namespace's root (only
/// "Registry", in any case, is a key), one backslash, then key names each
/// followed by any run of backslashes. Another object of the root is
/// nowhere, and with more path after it a path that is not there (kNoPath);
/// a path that names none of the root's objects ("\" alone, "\\Registry")
/// is malformed.
enum class LinkTarget { kKey, kNowhere, kNoPath, kBadName };
/// kKey with `*names` the names of the key below the registry's root: none
/// for the root itself, "Machine" first for HKEY_LOCAL_MACHINE.
LinkTarget LinkTargetNames(std::u16string_view units, std::vector<std::string>* names);

/// The C library's strtoul in base 16, as the server reads numbers: blanks,
/// a sign, "0x", digits; too large gives the largest value. `*end` is
/// where reading stopped (the start when no digit was read).
std::uint64_t StrToULong16(std::string_view s, std::size_t* end);

}  // namespace hive_text
}  // namespace tallyweb
