// TStringList: an ordered list of byte strings, appended at the end, never
// sorted, duplicates kept. The template lines and the key names are each one.
#pragma once

#include <string>
#include <vector>

namespace tallyweb {

using TStringList = std::vector<std::string>;

}  // namespace tallyweb
