// The registry store of the native build: HKEY_LOCAL_MACHINE read from a
// Wine prefix's system.reg (non-Windows builds only).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "registry/registry_store.h"
#include "winehive/wine_hive.h"

namespace tallyweb {

/// The store over a hive: HKEY_LOCAL_MACHINE is the hive's root. A null hive
/// gives a store that refuses every open.
std::unique_ptr<RegistryStore> MakeWineHiveStore(std::unique_ptr<WineHive> hive);
/// What Wine answers opening a key whose link `Follow` could not follow.
std::int32_t FollowFailure(WineHive::Link link);
/// The store over the hive file at `path`: a missing, unreadable or damaged
/// file gives a store that refuses every open.
std::unique_ptr<RegistryStore> MakeWineHiveStoreFromFile(const std::string& path);

}  // namespace tallyweb
