// Facts about the system's ANSI code page and version, taken once at start and
// never changed; and the double-byte aware search for a path's last delimiter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tallyweb {

struct SystemFacts {
  /// The system runs a double-byte code page (GetSystemMetrics(SM_DBCSENABLED)).
  bool double_byte = false;
  /// lead_byte[b]: b starts a double-byte character. All false unless double_byte.
  std::array<bool, 256> lead_byte{};
  /// The system is of the NT family (GetVersionExA reports VER_PLATFORM_WIN32_NT).
  bool nt = false;
  /// Where the system's folders are not Windows folders (the native build,
  /// whose browser knows only Linux paths): the URL of a Windows folder
  /// ("C:\\x\\"), or empty to link the Windows form. Unset on Windows.
  std::function<std::string(std::string_view windows_folder)> folder_url;
};

/// Builds the facts from what the OS reported: `lead_byte_ranges` holds up to
/// six (low, high) pairs as GetCPInfo gives them, ended by a (0, 0) pair. The
/// ranges count only when `double_byte` is set; a pair whose high is below its
/// low adds nothing.
SystemFacts MakeSystemFacts(bool double_byte,
                            const std::array<std::uint8_t, 12>& lead_byte_ranges,
                            bool nt);

/// Position, counted from 1, of the last byte of `text` that is one of
/// `delimiters` and not the second byte of a double-byte character; 0 when
/// there is none. A NUL byte is never a delimiter.
std::size_t LastDelimiter(std::string_view text, std::string_view delimiters,
                          const SystemFacts& facts);

/// The directory part of `path`: its bytes up to and including the last of
/// `delimiters` (empty when there is none).
std::string_view DirectoryPart(std::string_view path, std::string_view delimiters,
                               const SystemFacts& facts);

}  // namespace tallyweb
