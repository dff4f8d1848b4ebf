#include "text/paths.h"

namespace tallyweb {

std::size_t LastDelimiter(std::string_view text, std::string_view delimiters) {
  for (std::size_t i = text.size(); i > 0; --i) {
    const char byte = text[i - 1];
    if (byte != '\0' && delimiters.find(byte) != std::string_view::npos) return i;
  }
  return 0;
}

std::string_view DirectoryPart(std::string_view path, std::string_view delimiters) {
  return path.substr(0, LastDelimiter(path, delimiters));
}

}  // namespace tallyweb
