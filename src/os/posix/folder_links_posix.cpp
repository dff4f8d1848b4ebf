#include "os/posix/folder_links_posix.h"

#include <dirent.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "os/folder_links.h"
#include "registry/registry_names.h"
#include "text/paths.h"

namespace tallyweb {
namespace {

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The entry of `folder` named `name` ignoring case: `name` itself when it is
// there, else the first that matches, else empty.
std::string ExistingName(const std::string& folder, const std::string& name) {
  struct stat info;
  if (lstat((folder + "/" + name).c_str(), &info) == 0) return name;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (dir == nullptr) return std::string();
  while (const dirent* entry = readdir(dir.get())) {
    if (SameName(entry->d_name, name)) return entry->d_name;
  }
  return std::string();
}

void AppendEncoded(std::string_view bytes, std::string* url) {
  for (const char c : bytes) {
    const unsigned char b = static_cast<unsigned char>(c);
    const bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
                       b == '-' || b == '.' || b == '_' || b == '~' || b == '/';
    if (plain) {
      url->push_back(c);
    } else {
      AppendUrlEscape(c, *url);
    }
  }
}

}  // namespace

std::string WinePrefixPath() {
  if (const char* prefix = std::getenv("WINEPREFIX"); prefix != nullptr && *prefix != '\0') {
    return prefix;
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::string(home) + "/.wine";
  }
  return std::string();
}

std::string FolderUrl(const std::string& prefix, std::string_view windows_folder) {
  if (prefix.empty() || windows_folder.size() < 2 || windows_folder[1] != ':') return std::string();
  const char letter = windows_folder[0];
  if (!((letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z'))) return std::string();
  const std::string drive = prefix + "/dosdevices/" + static_cast<char>(letter | 0x20) + ":";
  char resolved[PATH_MAX];
  if (realpath(drive.c_str(), resolved) == nullptr || !IsDirectory(resolved)) return std::string();
  std::string path = resolved;
  if (path == "/") path.clear();
  std::vector<std::string_view> names;
  SplitPath(windows_folder.substr(2), &names);
  bool exists = true;  // the path so far is a folder that is there
  // "." and ".." are resolved within the drive, as Windows resolves them:
  // C:\..\.. is C:\. Each name entered keeps where the path was before it.
  std::vector<std::pair<std::size_t, bool>> entered;
  for (std::string_view name : names) {
    if (name == ".") continue;
    if (name == "..") {
      if (!entered.empty()) {
        path.resize(entered.back().first);
        exists = entered.back().second;
        entered.pop_back();
      }
      continue;
    }
    entered.emplace_back(path.size(), exists);
    std::string found;
    if (exists) found = ExistingName(path.empty() ? "/" : path, std::string(name));
    exists = !found.empty() && IsDirectory(path + "/" + found);
    path += "/";
    path += found.empty() ? std::string(name) : found;
  }
  std::string url = "file://";
  AppendEncoded(path + "/", &url);
  return url;
}

namespace {

// Downloads share a few folders, and finding one looks through folders on
// disk: each is found once (a hostile list of distinct folders only fills
// the memory up to a bound, then starts again).
class PosixFolderLinks : public FolderLinks {
 public:
  std::string FolderUrl(std::string_view windows_folder) override {
    std::string folder(windows_folder);
    const auto found = known_.find(folder);
    if (found != known_.end()) return found->second;
    if (known_.size() >= kMostKnown) known_.clear();
    std::string url = tallyweb::FolderUrl(prefix_, windows_folder);
    known_.emplace(std::move(folder), url);
    return url;
  }

 private:
  static constexpr std::size_t kMostKnown = 4096;
  const std::string prefix_ = WinePrefixPath();
  std::unordered_map<std::string, std::string> known_;
};

}  // namespace

std::unique_ptr<FolderLinks> MakeSystemFolderLinks() {
  return std::make_unique<PosixFolderLinks>();
}

}  // namespace tallyweb
