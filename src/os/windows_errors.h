// The Windows error codes, with their Windows numbers, that the seams answer
// with on every system: the registry store answers as advapi32 does, and the
// file calls as kernel32 does, so the native port maps its failures onto
// these where they mean the same thing. The report's I/O messages are keyed
// by them. The Win32 port checks them against the system's own definitions.
#pragma once

#include <cstdint>

namespace tallyweb {

constexpr std::int32_t kErrorSuccess = 0;
constexpr std::int32_t kErrorFileNotFound = 2;
constexpr std::int32_t kErrorPathNotFound = 3;
constexpr std::int32_t kErrorTooManyOpenFiles = 4;
constexpr std::int32_t kErrorAccessDenied = 5;
constexpr std::int32_t kErrorInvalidHandle = 6;
constexpr std::int32_t kErrorInvalidParameter = 87;
/// A link whose target is no path of the object namespace.
constexpr std::int32_t kErrorInvalidName = 123;
/// A registry path with a leading backslash.
constexpr std::int32_t kErrorBadPathname = 161;
constexpr std::int32_t kErrorMoreData = 234;
constexpr std::int32_t kErrorNoMoreItems = 259;
/// The key behind an open handle has been removed.
constexpr std::int32_t kErrorKeyDeleted = 1018;

}  // namespace tallyweb
