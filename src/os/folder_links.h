// Where a link to a download's folder leads. On Windows to the folder itself,
// written as the report writes it. The native build's browser knows only
// Linux paths, so there a Windows folder leads to the Linux folder the Wine
// prefix maps its drive to. No system header here: the implementations live
// in folder_links_win32.cpp and folder_links_posix.cpp, and tests use
// fake_folder_links.h.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace tallyweb {

class FolderLinks {
 public:
  virtual ~FolderLinks() = default;

  /// The URL of the Windows folder `windows_folder` ("C:\\x\\", never in the
  /// "\\\\?\\" form), or empty when the link is to name the folder in its
  /// Windows form.
  virtual std::string FolderUrl(std::string_view windows_folder) = 0;
};

/// The running system's folder links: Win32 or POSIX, as the build chose.
std::unique_ptr<FolderLinks> MakeSystemFolderLinks();

}  // namespace tallyweb
