// Faults around a run, end to end: a disk that fills while the report is
// written, a template another program holds open for writing, and a check
// that no run ever writes to the registry. The other hostile cases are in
// hostile_input_e2e_test.cpp and hostile_hive_e2e_test.cpp.
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"
#include "hostile.h"

namespace tallyweb::e2e {
namespace {

namespace fs = std::filesystem;

// --- A disk that fills up ---------------------------------------------------

constexpr std::size_t kPage = 4096;
std::size_t Pages(std::size_t bytes) { return (bytes + kPage - 1) / kPage * kPage; }

// A tmpfs of a fixed size mounted over a folder for the object's life.
class SmallDisk {
 public:
  SmallDisk(const std::string& folder, std::size_t bytes) : folder_(folder) {
    const std::string options = "size=" + std::to_string(bytes / 1024) + "k,mode=0755";
    mounted_ = mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_;
};

// The disk fills while the report is written: the run ends at that line's
// check with the system's code, and the file keeps exactly the 128-byte
// blocks that were handed over before it, never part of one. Under Wine the
// code is ERROR_DISK_FULL (112); the native build passes ENOSPC (28) on.
TEST(Hostile, DiskFullWhileWritingKeepsOnlyWholeBlocks) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting the small disk needs root";
  SetHtmHandler(true);
  PlantDownloadList({});
  // A 300 KB head, where the disk leaves room for 64 KB of report.
  std::string head;
  for (int i = 0; i < 3000; ++i) head += std::to_string(100000 + i) + std::string(92, 'h') + "\r\n";
  const std::string template_bytes = head + "{\r\n}\r\n";

  struct {
    Build build;
    const char* message;
  } cases[] = {{Build::kWindows, "I/O error 112."}, {Build::kNative, "I/O error 28."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(BuildName(c.build));
    ProgramFolder folder(c.build);
    const std::string program = folder.ReadFile(ProgramName(c.build));
    ASSERT_FALSE(program.empty());
    RunOutcome run;
    {
      SmallDisk disk(folder.path(),
                     Pages(program.size()) + Pages(template_bytes.size()) + 16 * kPage);
      ASSERT_TRUE(disk.mounted()) << "cannot mount a tmpfs on " << folder.path();
      folder.WriteFile(ProgramName(c.build), program);
      fs::permissions(folder.path() + "/" + ProgramName(c.build), fs::perms::owner_all);
      folder.WriteTemplate(template_bytes);
      run = folder.Run();
    }

    EXPECT_EQ(1, run.exit_code) << run.stderr_text;
    if (c.build == Build::kWindows) {
      ASSERT_EQ(1u, run.boxes.size()) << run.stderr_text;
      EXPECT_TRUE(IsFailureText(run.boxes[0].text, "EInOutError", "Tallyweb\\.exe", c.message));
    } else {
      EXPECT_TRUE(NativeFailure(run.stderr_text, "EInOutError", c.message));
    }
    ASSERT_TRUE(run.report_exists);
    EXPECT_GT(run.report.size(), 0u);
    EXPECT_LT(run.report.size(), head.size());
    EXPECT_EQ(0u, run.report.size() % 128) << run.report.size() << " bytes";
    EXPECT_TRUE(SameBytes(head.substr(0, run.report.size()), run.report));
    EXPECT_FALSE(run.shell.asked);
  }
}

// --- A template another program holds open ----------------------------------

// Another program has the template open for writing (an editor saving it):
// the loader shares reading only, so the open is refused, exactly as for a
// missing template. The native build has no such sharing rules to test.
TEST(Hostile, TemplateHeldOpenForWritingCannotBeOpened) {
  SetHtmHandler(true);
  PlantDownloadList({{"X", {Dword("Item_Size", 1)}}});
  ProgramFolder folder(Build::kWindows);
  const std::string template_bytes = "A\r\n{\r\n&Name\r\n}\r\n";
  folder.WriteTemplate(template_bytes);

  RunOutcome run;
  {
    FileHolder holder(folder, "template.txt");
    ASSERT_TRUE(holder.holding()) << "file_holder.exe did not start";
    run = folder.Run();
    EXPECT_EQ(0, holder.Release());
  }

  EXPECT_EQ(1, run.exit_code) << run.stderr_text;
  ASSERT_EQ(1u, run.boxes.size()) << run.stderr_text;
  EXPECT_TRUE(IsFailureText(run.boxes[0].text, "EFOpenError", "Tallyweb\\.exe",
                            "Cannot open file " + folder.ProgramDirectory() + "template.txt."));
  EXPECT_FALSE(run.report_exists);
  EXPECT_FALSE(run.shell.asked);
  EXPECT_EQ(template_bytes, folder.ReadFile("template.txt"));
}

// --- The registry stays as it was ------------------------------------------

// Tallyweb only reads: the 32-bit view of HKLM\Software, where the list lies,
// exports the same before and after runs of both builds, whole or failed.
TEST(Hostile, RunsNeverWriteToTheRegistry) {
  SetHtmHandler(true);
  const std::string work = TALLYWEB_E2E_WORK;
  int exports = 0;
  auto Export = [&] {
    const std::string file = work + "/export." + std::to_string(getpid()) + "." +
                             std::to_string(exports++) + ".reg";
    std::string windows_name = "Z:" + file;
    for (char& ch : windows_name)
      if (ch == '/') ch = '\\';
    EXPECT_EQ(0, Wine({"reg", "export", "HKLM\\Software", windows_name, "/y", "/reg:32"}));
    const std::string bytes = ReadWhole(file);
    std::remove(file.c_str());
    return bytes;
  };
  const DownloadKey good = {"a", {Text("Item_MainURL", "u"), Dword("Item_Size", 1)}};
  const DownloadKey no_size = {"b", {Text("Item_MainURL", "no size")}};

  struct {
    const char* name;
    std::vector<DownloadKey> list;
    int exit_code;
  } cases[] = {
      {"whole run", {good}, 0},
      {"run ending at the second item", {good, no_size}, 1},
  };
  for (const auto& c : cases) {
    PlantDownloadList(c.list);
    const std::string before = Export();
    // reg export writes UTF-16.
    ASSERT_NE(std::string::npos, before.find(std::string("F\0i\0l\0e\0L\0i\0s\0t\0", 16)))
        << "export without the list";
    for (Build build : {Build::kWindows, Build::kNative}) {
      SCOPED_TRACE(std::string(c.name) + ", " + BuildName(build));
      ProgramFolder folder(build);
      folder.WriteTemplate("{\r\n&URL\r\n}\r\n");
      EXPECT_EQ(c.exit_code, folder.Run().exit_code);
      EXPECT_TRUE(SameBytes(before, Export()));
    }
  }
}

}  // namespace
}  // namespace tallyweb::e2e
