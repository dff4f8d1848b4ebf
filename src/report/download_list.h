// The download manager's list of downloads, read from the registry: one
// subkey per download below a fixed list key in HKEY_LOCAL_MACHINE.
#pragma once

#include <memory>
#include <string>

#include "download_item.h"
#include "platform/registry_store.h"
#include "platform/string_list.h"
#include "platform/system_facts.h"

namespace tallyweb {

class TRegistry;

/// The list key, in the absolute form TRegistry::OpenPath takes; an item's
/// key is this path followed directly by its key name.
inline constexpr char kDownloadListKeyPath[] = "\\Software\\Tesmora\\Orvalink\\FileList\\";

class DownloadList {
 public:
  DownloadList(RegistryStore& store, const SystemFacts& facts);
  ~DownloadList();
  DownloadList(const DownloadList&) = delete;
  DownloadList& operator=(const DownloadList&) = delete;

  /// Fills the empty `key_names` with the download subkeys in the registry's
  /// enumeration order. False when the list key cannot be opened: not a failure.
  bool OpenDownloadList(TStringList& key_names);
  /// Reads one download's values; raises ERegistryException on the first value
  /// that cannot be read.
  TDownloadItem ReadDownloadItem(const std::string& key_name);
  /// Lets go of every key and of the reader. Never fails.
  void CloseDownloadList();

 private:
  RegistryStore& store_;
  const SystemFacts& facts_;
  std::unique_ptr<TRegistry> registry_;
};

}  // namespace tallyweb
