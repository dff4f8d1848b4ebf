// The native store's hive file: mapped rather than read, guarded against
// being cut short under the mapping, and watched for being changed in place
// while it is read. The parser (wine_hive.h) sees only bytes; this owns them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "winehive/wine_hive.h"

namespace tallyweb {

/// A hive read from a file, and how to ask whether that file still holds
/// what was read.
struct HiveFile {
  std::unique_ptr<WineHive> hive;
  /// False from the moment the file is seen changed since it was opened (cut
  /// short, rewritten in place): what the hive reads from then on may be of
  /// another version. Says so on standard error, once. Cheap (one fstat),
  /// but not free: asked once a key's values are read, not per byte.
  std::function<bool()> unchanged;
};

/// The hive in the file at `path`, mapped; no hive when the file is missing,
/// not a regular file, not a hive, or kept changing while it was indexed.
/// A file that exists but cannot be read, or that kept changing, is said on
/// standard error in one line, since the report can only say that the list
/// is not found. Nothing is locked or leased: whoever writes the file (the
/// wine server saving the registry) never waits for this reader.
HiveFile MapHiveFile(const std::string& path);

}  // namespace tallyweb
