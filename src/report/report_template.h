// The report template: template.txt, an HTML page in which a line starting
// with "{" and a line starting with "}" enclose the block written once per
// download, with placeholders such as "&URL" in its lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "os/folder_links.h"
#include "os/os_calls.h"
#include "os/system_facts.h"
#include "report/download_item.h"

namespace tallyweb {

/// Takes the first line of `text` off its front, line end included, and
/// answers the line without its line end; `text` must not be empty. CR LF, a
/// lone CR and a lone LF each end a line; LF CR ends a line and then an empty
/// one. No byte is trimmed, a byte-order mark included.
std::string_view TakeLine(std::string_view& text);

/// template.txt as it was read, in one buffer: its lines are found in it as
/// they are written, so that a template costs its own bytes and no more,
/// however many lines it has.
class TemplateText {
 public:
  TemplateText() = default;
  /// Keeps `bytes`; the text is its first `size` bytes up to the first NUL.
  TemplateText(std::unique_ptr<char[]> bytes, std::size_t size);

  std::string_view text() const { return text_; }

 private:
  std::unique_ptr<char[]> bytes_;
  std::string_view text_;
};

/// Loads the template at `path` whole. Raises EFOpenError "Cannot open file
/// <path>" when the file cannot be opened, for whatever reason.
TemplateText LoadTemplateText(OsCalls& os, const std::string& path);

/// The template's head, block and tail, each the part of the text that holds
/// its lines, line ends included; a part whose lines are none is empty. The
/// open marker is the last line starting with "{", the close marker the last
/// starting with "}"; a marker that is nowhere counts as the first line. The
/// head is the lines before the open marker, the block those between the two,
/// the tail those after the close marker. One pass over the text.
struct TemplateParts {
  std::string_view head;
  std::string_view block;
  std::string_view tail;
};
TemplateParts DivideTemplate(std::string_view text);

/// Appends `value` to `out` with the five bytes that HTML gives a meaning
/// (& < > " ') written as entities, every other byte as it is. Values are
/// UTF-8, in which none of the five is part of another character.
void AppendEscaped(std::string_view value, std::string& out);

/// The URL `links` gives the folder of `output_filename`; where it gives
/// none, "file://" and the folder, its backslashes kept, with "%" written
/// "%25" and "#" written "%23" so that a browser reads neither as an escape
/// or the start of a fragment. Not yet escaped for HTML.
std::string FolderLink(std::string_view output_filename, FolderLinks& links);

/// One block line with each of the six placeholders replaced, where it
/// stands, by the item's value; the text values escaped for HTML, the size a
/// plain number. One left-to-right pass: inserted values are never searched
/// again, so a URL holding "&Size" reaches the report intact. The line is
/// handed to `put` in pieces, in order, rather than built: values go out
/// from where they are kept, so that a long one is not copied again (except
/// through a code page, which needs it whole).
using TextSink = std::function<void(std::string_view piece)>;
void ExpandLineTo(std::string_view line, const TDownloadItem& item, const SystemFacts& facts,
                  FolderLinks& links, const TextSink& put);

}  // namespace tallyweb
