#include "system_facts.h"

namespace tallyweb {

SystemFacts MakeSystemFacts(bool double_byte,
                            const std::array<std::uint8_t, 12>& lead_byte_ranges,
                            bool nt) {
  SystemFacts facts;
  facts.double_byte = double_byte;
  facts.nt = nt;
  if (!double_byte) return facts;
  for (std::size_t pair = 0; pair < lead_byte_ranges.size(); pair += 2) {
    const unsigned low = lead_byte_ranges[pair];
    const unsigned high = lead_byte_ranges[pair + 1];
    if (low == 0 && high == 0) break;
    for (unsigned b = low; b <= high; ++b) facts.lead_byte[b] = true;
  }
  return facts;
}

namespace {

// A byte is the second half of a double-byte character when an odd number of
// lead bytes runs directly before it: each pair of them is a whole character.
bool IsTrailByte(std::string_view text, std::size_t index, const SystemFacts& facts) {
  if (!facts.double_byte) return false;
  std::size_t run = 0;
  while (index > run &&
         facts.lead_byte[static_cast<unsigned char>(text[index - run - 1])]) {
    ++run;
  }
  return run % 2 == 1;
}

}  // namespace

std::size_t LastDelimiter(std::string_view text, std::string_view delimiters,
                          const SystemFacts& facts) {
  std::size_t i = text.size();
  while (i > 0) {
    const char byte = text[i - 1];
    if (byte == '\0' || delimiters.find(byte) == std::string_view::npos) {
      --i;
    } else if (IsTrailByte(text, i - 1, facts)) {
      i = i >= 2 ? i - 2 : 0;  // the whole character goes, lead byte included
    } else {
      return i;
    }
  }
  return 0;
}

std::string_view DirectoryPart(std::string_view path, std::string_view delimiters,
                               const SystemFacts& facts) {
  return path.substr(0, LastDelimiter(path, delimiters, facts));
}

}  // namespace tallyweb
