// The native store's hive file: mapped rather than read, guarded against
// being cut short under the mapping. The parser (wine_hive.h) sees only
// bytes; this owns them.
#pragma once

#include <memory>
#include <string>

#include "platform/wine_hive.h"

namespace tallyweb {

/// The hive in the file at `path`, mapped; null when the file is missing,
/// not a regular file, not a hive, or was cut short while it was indexed.
/// While the hive lives, a read lease holds back whoever would change the
/// file, where the kernel grants one and the process answers SIGIO (the
/// program's start-up sees to that).
std::unique_ptr<WineHive> MapHiveFile(const std::string& path);

/// The mapped hive file was cut short under the mapping since it was
/// mapped: what it read from then on was zeros, and the hive is gone.
bool MappedHiveCut();

}  // namespace tallyweb
