// Folder links on Windows: the browser opens a Windows folder as it is, so
// every link names the folder in its Windows form.
#include "os/folder_links.h"

namespace tallyweb {
namespace {

class Win32FolderLinks : public FolderLinks {
 public:
  std::string FolderUrl(std::string_view) override { return std::string(); }
};

}  // namespace

std::unique_ptr<FolderLinks> MakeSystemFolderLinks() {
  return std::make_unique<Win32FolderLinks>();
}

}  // namespace tallyweb
