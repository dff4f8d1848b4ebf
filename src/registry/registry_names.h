// Key and value names as the registry compares them: one UTF-16 unit at a
// time, each folded to lower case by a fixed table, a shorter name sorting
// before a longer one that starts with it. Names here are UTF-8; what the
// registry compares are their UTF-16 units, so a character past U+FFFF is two
// units that never fold, and sorts after every other character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tallyweb {

/// A UTF-16 unit folded as the registry folds it for comparison.
char16_t FoldNameUnit(char16_t unit);
/// <0, 0 or >0 as `a` sorts before, with or after `b`.
int CompareNames(std::string_view a, std::string_view b);
/// The same name, ignoring case.
bool SameName(std::string_view a, std::string_view b);
/// A hash of the name that equal names (SameName) share.
std::uint64_t HashName(std::string_view name);
/// The name's length in UTF-16 units, which the registry's limits count.
std::size_t NameUnits(std::string_view name);
/// The names of a registry path: runs of backslashes separate them, and a
/// leading or trailing one adds no name.
void SplitPath(std::string_view path, std::vector<std::string_view>* names);
/// Copies `name` and a NUL into `buffer`, whose room `*length` counts the
/// NUL, and sets `*length` to the name's length in bytes, as RegEnumKeyEx
/// does. False when it does not fit, leaving buffer and length as they were.
bool CopyKeyName(std::string_view name, char* buffer, std::uint32_t* length);

}  // namespace tallyweb
