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

void AppendUrlEscape(char byte, std::string& url) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  const auto value = static_cast<unsigned char>(byte);
  url += '%';
  url += kHexDigits[value >> 4];
  url += kHexDigits[value & 15];
}

}  // namespace tallyweb
