// How a value's characters reach the report's bytes. Values travel inside
// the program as UTF-8; the template's bytes are the user's own and are
// never converted.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "os/system_facts.h"

namespace tallyweb {

/// `utf8` as a UTF-8 report holds it, handed to `put` in pieces: its bytes as
/// they are, but for the three-byte form of an unpaired surrogate (which
/// texts from the registry keep), which no browser shows, and a C1 control
/// (U+0080 to U+009F), for which no reference stands: each "&#65533;", as the
/// Windows build writes it.
void PutAsUtf8(std::string_view utf8, const std::function<void(std::string_view)>& put);

/// Appends `utf8` in the report's encoding. Without a code page (the report
/// is UTF-8) as PutAsUtf8 gives it. With one, each character it has goes
/// as its bytes there, exactly what the code page's own text would hold; a
/// character it lacks goes as the numeric character reference "&#N;" of its
/// code point, so the page shows it whatever its encoding; an unpaired
/// surrogate, a C1 control, or a byte that begins no character, as
/// "&#65533;".
void AppendInReportEncoding(std::string_view utf8, const CodePage* code_page, std::string& out);

}  // namespace tallyweb
