// The harness's registry: the test prefix's keys planted and removed through
// Wine's reg tool, values written in .reg syntax, and the hive file kept
// current for the native build.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"
#include "harness_internal.h"
#include "wine_env.h"

namespace tallyweb::e2e {
namespace internal {
namespace {

constexpr char kListKey[] = "HKEY_LOCAL_MACHINE\\Software\\Tesmora\\Orvalink\\FileList";
constexpr char kVendorKey[] = "HKLM\\Software\\Tesmora";

// The native program reads the registry from the prefix's system.reg, which
// the wine server writes only now and then and when it stops. Stopping it is
// the one sure way to have the file current, so the tests pay a server
// restart (about a second) before each native run after a registry change.
bool hive_stale = true;

}  // namespace

void SyncHive() {
  if (!hive_stale) return;
  std::vector<std::string> env = {"WINEPREFIX=" + Prefix()};
  RunCaptured({"wineserver", "-k"}, env, 30000);
  RunCaptured({"wineserver", "-w"}, env, 30000);
  RunCaptured({"wineserver", "-p"}, env, 30000);
  hive_stale = false;
}

namespace {

std::string QuoteRegString(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted.push_back('\\');
    quoted.push_back(c);
  }
  return quoted + "\"";
}

std::string HexBytes(const std::string& bytes) {
  std::string hex;
  char pair[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(bytes[i]));
    if (i > 0) hex += ",";
    hex += pair;
  }
  return hex;
}

Captured RunWine(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {args.empty() ? wine_env::tw_wine64 : WineLoaderFor(args[0])};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCaptured(argv, WineEnvironment(wine_env::tw_winedebug), kProgramTimeoutMs);
}

// UTF-8 as UTF-16LE. The three-byte form of a surrogate gives that surrogate
// alone, so a test can name a key with one.
std::string Utf16Le(const std::string& utf8) {
  std::string out;
  auto unit = [&out](unsigned u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    unsigned code = length == 1   ? lead
                    : length == 2 ? lead & 0x1F
                    : length == 3 ? lead & 0x0F
                                  : lead & 0x07;
    for (size_t k = 1; k < length && i + k < utf8.size(); ++k)
      code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += length;
    if (code >= 0x10000) {
      unit(0xD800 + ((code - 0x10000) >> 10));
      unit(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      unit(code);
    }
  }
  return out;
}

// On a fully loaded machine Wine's reg tool once refused, with exit code 1,
// an import it takes every other time. An import only sets keys and values,
// so doing it again is safe; a file it really cannot take fails every
// attempt, and the test with it, showing what the tool printed each time.
void ImportReg(const std::string& body, bool view32, bool unicode = false) {
  std::string file = WorkDir() + "/import." + std::to_string(getpid()) + ".reg";
  WriteWhole(file, unicode
                       ? "\xFF\xFE" + Utf16Le("Windows Registry Editor Version 5.00\r\n\r\n" + body)
                       : "REGEDIT4\r\n\r\n" + body);
  std::vector<std::string> args = {"reg", "import", WindowsName(file)};
  if (view32) args.push_back("/reg:32");
  std::string attempts;
  for (int attempt = 1; attempt <= 3; ++attempt) {
    Captured run = RunWine(args);
    if (run.exit_code == 0) {
      if (attempt > 1)
        std::fprintf(stderr, "note: wine reg import took %d attempts:\n%s", attempt,
                     attempts.c_str());
      attempts.clear();
      break;
    }
    attempts += "attempt " + std::to_string(attempt) + ": exit code " +
                std::to_string(run.exit_code) + "\nstdout: " + run.out + "\nstderr: " + run.err +
                "\n";
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  EXPECT_EQ("", attempts) << "wine reg import failed for:\n" << body;
  std::remove(file.c_str());
  hive_stale = true;
}

}  // namespace
}  // namespace internal

using namespace internal;

std::string Text(const std::string& name, const std::string& text) {
  return QuoteRegString(name) + "=" + QuoteRegString(text);
}

std::string ExpandText(const std::string& name, const std::string& text) {
  return Hex(name, 2, text + std::string(1, '\0'));
}

std::string Dword(const std::string& name, std::uint32_t value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08x", value);
  return QuoteRegString(name) + "=dword:" + digits;
}

std::string Hex(const std::string& name, std::uint32_t type, const std::string& bytes) {
  char kind[16];  // the .reg syntax gives the type in hex: hex(b) is REG_QWORD
  std::snprintf(kind, sizeof kind, "hex(%x):", type);
  return QuoteRegString(name) + "=" + kind + HexBytes(bytes);
}

int Wine(const std::vector<std::string>& args) { return RunWine(args).exit_code; }

namespace {

// reg delete exits with 1 both when there is nothing to remove and when it
// fails, so a key still there afterwards is what tells the two apart; like an
// import, a delete that was refused is tried again.
void DeleteKey(const std::string& key, bool view32) {
  std::vector<std::string> del = {"reg", "delete", key, "/f"};
  std::vector<std::string> query = {"reg", "query", key};
  if (view32) {
    del.push_back("/reg:32");
    query.push_back("/reg:32");
  }
  bool gone = false;
  for (int attempt = 1; attempt <= 3 && !gone; ++attempt) {
    gone = Wine(del) == 0 || Wine(query) != 0;
    if (!gone) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  EXPECT_TRUE(gone) << "wine reg delete left " << key;
  hive_stale = true;
}

}  // namespace

void RemoveDownloadList() { DeleteKey(kVendorKey, /*view32=*/true); }

void PlantDownloadList(const std::vector<DownloadKey>& keys, Encoding encoding) {
  RemoveDownloadList();
  std::string body = "[" + std::string(kListKey) + "]\r\n\r\n";
  for (const DownloadKey& key : keys) {
    body += "[" + std::string(kListKey) + "\\" + key.name + "]\r\n";
    for (const std::string& value : key.values) body += value + "\r\n";
    body += "\r\n";
  }
  ImportReg(body, /*view32=*/true, encoding == Encoding::kUtf16);
}

void SetHtmHandler(bool recorder) {
  if (!recorder) {
    DeleteKey("HKCR\\.htm", /*view32=*/false);
    return;
  }
  std::string command = "\"" + WindowsName(WindowsBin() + "/shell_recorder.exe") + "\" \"%1\"";
  ImportReg(
      "[HKEY_CLASSES_ROOT\\.htm]\r\n@=\"htmlfile\"\r\n\r\n"
      "[HKEY_CLASSES_ROOT\\htmlfile\\shell\\open\\command]\r\n@=" +
          QuoteRegString(command) + "\r\n\r\n",
      /*view32=*/false);
}

}  // namespace tallyweb::e2e
