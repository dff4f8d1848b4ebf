// The report template: template.txt, an HTML page in which a line starting
// with "{" and a line starting with "}" enclose the block written once per
// download, with placeholders such as "&URL" in its lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/os_calls.h"
#include "platform/string_list.h"
#include "platform/system_facts.h"
#include "report/download_item.h"

namespace tallyweb {

/// The lines of `size` bytes of template text. CR LF, a lone CR and a lone LF
/// each end a line; LF CR ends a line and then an empty one; the first NUL
/// ends the text. No byte is trimmed, a byte-order mark included.
TStringList SplitLines(const char* data, std::size_t size);

/// Loads the template at `path` whole. Raises EFOpenError "Cannot open file
/// <path>" when the file cannot be opened, for whatever reason.
TStringList LoadTemplate(OsCalls& os, const std::string& path);

/// Indices of the last line starting with "{" (open) and the last starting
/// with "}" (close); 0 where there is none. The head is the lines before
/// open, the block those between the two, the tail those after close.
struct MarkerIndices {
  std::ptrdiff_t open = 0;
  std::ptrdiff_t close = 0;
};
MarkerIndices FindMarkers(const TStringList& lines);

/// Appends `value` to `out` with the five bytes that HTML gives a meaning
/// (& < > " ') written as entities, every other byte as it is. Values are
/// UTF-8, in which none of the five is part of another character.
void AppendEscaped(std::string_view value, std::string& out);

/// "file://" and the folder of `output_filename`, its backslashes kept, with
/// "%" written "%25" and "#" written "%23" so that a browser reads neither as
/// an escape or the start of a fragment. Not yet escaped for HTML.
std::string FolderLink(std::string_view output_filename, const SystemFacts& facts);

/// One block line with each of the six placeholders replaced, where it
/// stands, by the item's value; the text values escaped for HTML, the size a
/// plain number. One left-to-right pass: inserted values are never searched
/// again, so a URL holding "&Size" reaches the report intact.
std::string ExpandLine(std::string_view line, const TDownloadItem& item,
                       const SystemFacts& facts);

}  // namespace tallyweb
