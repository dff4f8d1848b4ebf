// TDownloadItem: the values of one download, as read from its registry key.
#pragma once

#include <cstdint>
#include <string>

namespace tallyweb {

struct TDownloadItem {
  std::string KeyName;         // the name of the download's subkey
  std::string MainUrl;         // Item_MainURL
  std::string OutputFilename;  // Item_OutputFilename
  std::int32_t Size = 0;       // Item_Size, stored numbers >= 2^31 read negative
  std::string Description;     // Item_Description
};

}  // namespace tallyweb
