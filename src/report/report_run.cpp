#include "report/report_run.h"

#include <cstddef>
#include <string>

#include "report/download_list.h"
#include "report/report_file.h"
#include "report/report_template.h"

namespace tallyweb {
namespace {

// Each line is checked on its own, so a failure names the line it stopped at.
void WriteLine(TReportFile& report, std::string_view line) {
  report.WriteText(line);
  report.EndLine();
  CheckPendingCode();
}

// Writes lines [first, last] unchanged; nothing when last < first.
void WriteLines(TReportFile& report, const TStringList& lines, std::ptrdiff_t first,
                std::ptrdiff_t last) {
  for (std::ptrdiff_t i = first; i <= last; ++i) {
    WriteLine(report, lines[static_cast<std::size_t>(i)]);
  }
}

}  // namespace

void RunReport(OsCalls& os, RegistryStore& registry, const SystemFacts& facts) {
  const std::string program_path = os.ProgramPath();
  const std::string program_directory(
      DirectoryPart(program_path, os.PathDelimiters()));
  const std::string report_path = program_directory + kReportFileName;

  TReportFile report(os);
  report.BindPath(report_path);
  const TStringList lines = LoadTemplate(os, program_directory + kTemplateFileName);
  const MarkerIndices markers = FindMarkers(lines);
  const auto line_count = static_cast<std::ptrdiff_t>(lines.size());

  TStringList key_names;
  DownloadList download_list(registry, facts);
  const bool list_found = download_list.OpenDownloadList(key_names);

  report.OpenNew();
  CheckPendingCode();
  WriteLines(report, lines, 0, markers.open - 1);
  const std::size_t item_count = key_names.size();
  for (std::size_t item_index = 0; item_index < item_count; ++item_index) {
    // Each item is read just before its block, so a failure leaves the
    // blocks of the items before it in the report.
    const TDownloadItem item = download_list.ReadDownloadItem(key_names[item_index]);
    for (std::ptrdiff_t i = markers.open + 1; i <= markers.close - 1; ++i) {
      WriteLine(report, ExpandLine(lines[static_cast<std::size_t>(i)], item, facts));
    }
  }
  WriteLines(report, lines, markers.close + 1, line_count - 1);
  if (!list_found) WriteLine(report, kListNotFoundLine);
  report.FlushAndClose();
  CheckPendingCode();

  download_list.CloseDownloadList();
  // The report is complete; whether a viewer opens it is up to the system.
  os.ShellOpen(report_path);
}

}  // namespace tallyweb
