#include "report/report_run.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "report/download_list.h"
#include "report/report_file.h"
#include "report/report_template.h"
#include "text/paths.h"

namespace tallyweb {
namespace {

// Each line is checked on its own, so a failure names the line it stopped at.
void WriteLine(TReportFile& report, std::string_view line) {
  report.WriteText(line);
  report.EndLine();
  CheckPendingCode();
}

// Writes the lines of `part` unchanged.
void WriteLines(TReportFile& report, std::string_view part) {
  while (!part.empty()) WriteLine(report, TakeLine(part));
}

// Writes one block line expanded for `item`, its pieces going out as they
// come rather than built into one text first. Still one statement: the first
// piece whose block fails to go out drops the rest of the line, just as a
// failed write of the whole text would, and the check after the line end
// raises it.
void WriteExpandedLine(TReportFile& report, std::string_view line, const TDownloadItem& item,
                       const SystemFacts& facts, FolderLinks& folder_links) {
  ExpandLineTo(line, item, facts, folder_links, [&report](std::string_view piece) {
    if (PendingIoCode == 0) report.WriteText(piece);
  });
  report.EndLine();
  CheckPendingCode();
}

}  // namespace

void RunReport(OsCalls& os, RegistryStore& registry, FolderLinks& folder_links,
               const SystemFacts& facts) {
  const std::string program_path = os.ProgramPath();
  const std::string program_directory(DirectoryPart(program_path, os.PathDelimiters()));
  const std::string report_path = program_directory + kReportFileName;

  TReportFile report(os);
  report.BindPath(report_path);
  const TemplateText loaded = LoadTemplateText(os, program_directory + kTemplateFileName);
  const TemplateParts parts = DivideTemplate(loaded.text());

  TStringList key_names;
  DownloadList download_list(registry, facts);
  const bool list_found = download_list.OpenDownloadList(key_names);

  report.OpenNew();
  CheckPendingCode();
  WriteLines(report, parts.head);
  const std::size_t item_count = key_names.size();
  for (std::size_t item_index = 0; item_index < item_count; ++item_index) {
    // Each item is read just before its block, so a failure leaves the
    // blocks of the items before it in the report.
    const TDownloadItem item = download_list.ReadDownloadItem(key_names[item_index]);
    for (std::string_view block = parts.block; !block.empty();) {
      WriteExpandedLine(report, TakeLine(block), item, facts, folder_links);
    }
  }
  WriteLines(report, parts.tail);
  if (!list_found) WriteLine(report, kListNotFoundLine);
  report.FlushAndClose();
  CheckPendingCode();

  download_list.CloseDownloadList();
  // The report is complete; whether a viewer opens it is up to the system.
  os.ShellOpen(report_path);
}

}  // namespace tallyweb
