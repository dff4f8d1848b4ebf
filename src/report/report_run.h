// The report run: the program's whole control flow, from finding its own
// folder to asking the shell to open the finished report.
#pragma once

#include "os/folder_links.h"
#include "os/os_calls.h"
#include "os/system_facts.h"
#include "registry/registry_store.h"

namespace tallyweb {

/// The file names, always taken in the program's own folder.
inline constexpr char kTemplateFileName[] = "template.txt";
inline constexpr char kReportFileName[] = "Tallyweb.htm";
/// Written after the tail when the download list cannot be opened.
inline constexpr char kListNotFoundLine[] = "<H3>Orvalink is not found</H3>";

/// Writes Tallyweb.htm beside the program from template.txt and the download
/// list, then asks the shell to open it. The first failure is raised and ends
/// the run there: the report is then incomplete and the shell is not asked.
/// Each download's folder is linked where `folder_links` says.
void RunReport(OsCalls& os, RegistryStore& registry, FolderLinks& folder_links,
               const SystemFacts& facts);

}  // namespace tallyweb
