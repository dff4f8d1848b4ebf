// The native build's links to Windows folders: a Wine prefix maps each drive
// letter to a Linux folder (dosdevices/c: and so on), and a Linux browser
// opens only the Linux path. The prefix is also where the registry store
// finds its hive.
#pragma once

#include <string>
#include <string_view>

namespace tallyweb {

/// The Wine prefix the native build reads: $WINEPREFIX, else ~/.wine; empty
/// when neither is known.
std::string WinePrefixPath();

/// "file:///..." for the Windows folder `windows_folder` ("C:\x\y\") in the
/// prefix at `prefix`: the drive's Linux folder, then each name as the
/// folder that exists under it, matched ignoring case as Wine matches it, or
/// as given where none does; percent-encoded. Empty when the path has no
/// drive letter or the prefix does not map the drive.
std::string FolderUrl(const std::string& prefix, std::string_view windows_folder);

}  // namespace tallyweb
