// Folder links of the native build: the drive's Linux folder from the
// prefix's dosdevices, existing names in their own case, percent-encoded.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "os/posix/folder_links_posix.h"

namespace tallyweb {
namespace {

namespace fs = std::filesystem;

TEST(FolderUrl, NamesTheLinuxFolderThePrefixMapsTheDriveTo) {
  const fs::path root = fs::temp_directory_path() /
                        ("tallyweb_folder_" +
                         std::to_string(
                             std::chrono::steady_clock::now().time_since_epoch().count()));
  const std::string prefix = (root / "wp").string();
  fs::create_directories(root / "wp/dosdevices");
  fs::create_directories(root / "wp/drive_c/users/Me/My Downloads");
  fs::create_directories(root / "wp/drive_c/Été");
  fs::create_directory_symlink("../drive_c", root / "wp/dosdevices/c:");
  fs::create_directory_symlink(root / "elsewhere", root / "wp/dosdevices/d:");  // dangling
  const std::string c = "file://" + fs::canonical(root / "wp/drive_c").string();
  struct {
    const char* folder;
    std::string url;
  } cases[] = {
      {"C:\\users\\Me\\My Downloads\\", c + "/users/Me/My%20Downloads/"},
      {"c:\\USERS\\me\\my downloads\\", c + "/users/Me/My%20Downloads/"},
      {"C:\\\\users\\\\", c + "/users/"},
      {"C:\\users\\Gone\\Sub Dir\\", c + "/users/Gone/Sub%20Dir/"},
      {"C:\\été\\", c + "/%C3%89t%C3%A9/"},
      {"C:\\a#b%c&d'e\"f\\", c + "/a%23b%25c%26d%27e%22f/"},
      {"C:\\", c + "/"},
      {"C:\\..\\..\\..\\users\\.\\me\\", c + "/users/Me/"},
      {"C:\\users\\Gone\\..\\Me\\..\\..\\..\\Été\\.\\", c + "/%C3%89t%C3%A9/"},
      {"D:\\x\\", ""},  // its target is missing
      {"Q:\\x\\", ""},  // not mapped
      {"\\\\server\\share\\", ""},
      {"", ""},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.folder);
    EXPECT_EQ(k.url, FolderUrl(prefix, k.folder));
  }
  std::error_code ignored;
  fs::remove_all(root, ignored);
}

}  // namespace
}  // namespace tallyweb
