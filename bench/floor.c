/* The least a report run can cost under the design: exactly the registry and
 * file calls a run of N downloads must make, with none of the program's own
 * work (no template split, no expansion, no per-line buffering logic).
 *
 *   floor.exe TEMPLATE REPORT REPORT_BYTES
 *
 * Reads TEMPLATE in one piece; opens the download list in the 32-bit view for
 * reading, lists its subkeys and closes it; creates REPORT; then per download
 * opens its key by absolute path, reads each text value size first and data
 * second, reads the DWORD and closes the key, and hands REPORT_BYTES bytes of a
 * fixed block to WriteFile 128 at a time, spread over the downloads as the
 * report's blocks would be. Exit code 0, or 1 with a line on stderr. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define LIST_PATH "Software\\Tesmora\\Orvalink\\FileList\\"
#define ACCESS (KEY_READ | KEY_WOW64_32KEY)

static const char *const kTextValues[] = {"Item_MainURL", "Item_OutputFilename",
                                          "Item_Description"};

static int Fail(const char *what, long code) {
  fprintf(stderr, "floor: %s failed (%ld)\n", what, code);
  return 1;
}

static void ReadTemplate(const char *path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD size = SetFilePointer(file, 0, NULL, FILE_END);
  SetFilePointer(file, 0, NULL, FILE_BEGIN);
  char *bytes = malloc(size + 1);
  DWORD got = 0;
  if (bytes) ReadFile(file, bytes, size, &got, NULL);
  free(bytes);
  CloseHandle(file);
}

/* Reads one item the way the reader does; the values themselves are dropped. */
static void ReadItem(const char *path, char *data, DWORD room) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, ACCESS, &key) != ERROR_SUCCESS) return;
  for (int i = 0; i < 3; ++i) {
    DWORD type = 0, size = 0;
    if (i == 2) { /* Item_Size comes between the output file and the description. */
      DWORD dword_type = 0, dword_size = 4;
      BYTE dword[4];
      RegQueryValueExA(key, "Item_Size", NULL, &dword_type, dword, &dword_size);
    }
    if (RegQueryValueExA(key, kTextValues[i], NULL, &type, NULL, &size) != ERROR_SUCCESS ||
        size == 0 || size > room)
      continue;
    RegQueryValueExA(key, kTextValues[i], NULL, &type, (BYTE *)data, &size);
  }
  RegCloseKey(key);
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: floor.exe TEMPLATE REPORT REPORT_BYTES\n");
    return 2;
  }
  const unsigned long long report_bytes = strtoull(argv[3], NULL, 10);
  ReadTemplate(argv[1]);

  HKEY list;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, LIST_PATH, 0, ACCESS, &list);
  if (rc != ERROR_SUCCESS) return Fail("RegOpenKeyExA(list)", rc);
  DWORD count = 0, longest = 0;
  rc = RegQueryInfoKeyA(list, NULL, NULL, NULL, &count, &longest, NULL, NULL, NULL, NULL, NULL,
                        NULL);
  if (rc != ERROR_SUCCESS) return Fail("RegQueryInfoKeyA", rc);

  /* Names are kept back to back as full item paths, ready for the opens. */
  const size_t prefix = strlen(LIST_PATH), stride = prefix + longest + 1;
  char *paths = malloc(stride * (count ? count : 1));
  if (!paths) return Fail("malloc", 0);
  for (DWORD i = 0; i < count; ++i) {
    char *path = paths + (size_t)i * stride;
    memcpy(path, LIST_PATH, prefix);
    DWORD length = longest + 1;
    if (RegEnumKeyExA(list, i, path + prefix, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
      path[prefix] = '\0';
  }
  RegCloseKey(list);

  HANDLE report = CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
  if (report == INVALID_HANDLE_VALUE) return Fail("CreateFileA(report)", GetLastError());
  GetFileType(report);

  static char block[128];
  memset(block, 'x', sizeof block);
  static char data[1 << 16];
  unsigned long long written = 0;
  for (DWORD i = 0; i < count; ++i) {
    ReadItem(paths + (size_t)i * stride, data, sizeof data);
    const unsigned long long due = report_bytes * (i + 1) / count / 128 * 128;
    for (DWORD n; written + 128 <= due; written += 128)
      if (!WriteFile(report, block, 128, &n, NULL)) return Fail("WriteFile", GetLastError());
  }
  for (DWORD n; written < report_bytes; written += 128) {
    const DWORD k = report_bytes - written < 128 ? (DWORD)(report_bytes - written) : 128;
    if (!WriteFile(report, block, k, &n, NULL)) return Fail("WriteFile", GetLastError());
  }
  if (!CloseHandle(report)) return Fail("CloseHandle", GetLastError());
  free(paths);
  return 0;
}
