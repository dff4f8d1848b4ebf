// FakeFolderLinks: folder links as a test plants them. A folder the test has
// given a URL leads there; every other is linked in its Windows form, as on
// Windows. Test-only.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "os/folder_links.h"

namespace tallyweb {

class FakeFolderLinks : public FolderLinks {
 public:
  /// Windows folder ("C:\\x\\") -> the URL its links lead to.
  std::map<std::string, std::string, std::less<>> urls;

  std::string FolderUrl(std::string_view windows_folder) override {
    const auto found = urls.find(windows_folder);
    return found == urls.end() ? std::string() : found->second;
  }
};

}  // namespace tallyweb
