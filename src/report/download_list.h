// The download manager's list of downloads, read from the registry: one
// subkey per download below a fixed list key in HKEY_LOCAL_MACHINE.
#pragma once

#include <optional>
#include <string>

#include "os/system_facts.h"
#include "registry/registry.h"
#include "registry/registry_store.h"
#include "report/download_item.h"
#include "text/string_list.h"

namespace tallyweb {

/// The list key, in the absolute form TRegistry::OpenPath takes; an item's
/// key is this path followed directly by its key name.
inline constexpr char kDownloadListKeyPath[] = "\\Software\\Tesmora\\Orvalink\\FileList\\";

/// Not copyable: it holds the registry reader and its open key.
class DownloadList {
 public:
  DownloadList(RegistryStore& store, const SystemFacts& facts);

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
  std::optional<TRegistry> registry_;
};

}  // namespace tallyweb
