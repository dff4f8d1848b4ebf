#include "report/download_list.h"

namespace tallyweb {

DownloadList::DownloadList(RegistryStore& store, const SystemFacts& facts)
    : store_(store), facts_(facts) {}

bool DownloadList::OpenDownloadList(TStringList& key_names) {
  registry_.emplace(store_, facts_);
  registry_->SelectRoot(kHkeyLocalMachine);
  const bool found = registry_->OpenPath(kDownloadListKeyPath, false);
  if (registry_->HasChildKeys()) registry_->ListChildKeys(key_names);
  // Once listed, the list key is done with. Left open, an item whose key has
  // vanished would be read from the list key's own values instead.
  registry_->CloseCurrent();
  return found;
}

TDownloadItem DownloadList::ReadDownloadItem(const std::string& key_name) {
  TDownloadItem item;
  item.KeyName = key_name;
  // A key that cannot be opened leaves no key open, and the reads below then
  // fail at Item_Size: the run stops rather than report an empty download.
  registry_->OpenPath(kDownloadListKeyPath + key_name, false);
  item.MainUrl = registry_->ReadText("Item_MainURL");
  item.OutputFilename = registry_->ReadText("Item_OutputFilename");
  item.Size = registry_->ReadInt32("Item_Size");
  item.Description = registry_->ReadText("Item_Description");
  registry_->CloseCurrent();
  return item;
}

void DownloadList::CloseDownloadList() {
  if (!registry_) return;
  registry_->CloseCurrent();
  registry_.reset();
}

}  // namespace tallyweb
