/* Prints what the registry gives for the download list, under Wine: the list
 * key opened as the program opens it (HKLM, 32-bit view), then its subtree in
 * enumeration order, every name and value as the wide calls return them
 * (UTF-16 code units in hex), so that nothing is lost to a code page, and
 * whether each value's data fits the 4 bytes of a DWORD read. The
 * native reader prints the same lines (hive_dump_posix.cpp); hive_diff.sh
 * compares the two. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static void PrintUnits(const WCHAR *s, DWORD n) {
  for (DWORD i = 0; i < n; ++i) printf("%04x", (unsigned)s[i]);
}

static void PrintBytes(const BYTE *b, DWORD n) {
  for (DWORD i = 0; i < n; ++i) printf("%02x", (unsigned)b[i]);
}

static WCHAR name[32768];
static BYTE data[1 << 20];

static void Dump(HKEY key, int depth) {
  DWORD subkeys = 0, values = 0;
  if (RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL,
                       NULL) != ERROR_SUCCESS) {
    printf("%*sinfo failed\n", depth, "");
    return;
  }
  for (DWORD i = 0;; ++i) {
    DWORD name_len = sizeof(name) / sizeof(name[0]), type = 0, size = sizeof(data);
    LONG r = RegEnumValueW(key, i, name, &name_len, NULL, &type, data, &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    printf("%*svalue ", depth, "");
    if (r != ERROR_SUCCESS) {
      printf("error %ld\n", r);
      break;
    }
    PrintUnits(name, name_len);
    printf(" type %lu data ", type);
    PrintBytes(data, size);
    /* Whether the data fits a 4-byte buffer of the ANSI call, as the
     * program's DWORD read asks: strings are counted in ANSI bytes. */
    char name_a[32768 * 2];
    DWORD name_a_len = sizeof(name_a), four_size = 4;
    BYTE four[4];
    printf(" a4 %ld\n", RegEnumValueA(key, i, name_a, &name_a_len, NULL, NULL, four, &four_size));
  }
  for (DWORD i = 0;; ++i) {
    DWORD name_len = sizeof(name) / sizeof(name[0]);
    LONG r = RegEnumKeyExW(key, i, name, &name_len, NULL, NULL, NULL, NULL);
    if (r == ERROR_NO_MORE_ITEMS) break;
    printf("%*skey ", depth, "");
    if (r != ERROR_SUCCESS) {
      printf("error %ld\n", r);
      break;
    }
    PrintUnits(name, name_len);
    printf("\n");
    HKEY child;
    if (depth >= 6) continue;
    /* Opened as the program opens keys: a link is followed. */
    r = RegOpenKeyExW(key, name, 0, KEY_READ, &child);
    if (r != ERROR_SUCCESS) {
      printf("%*sopen failed %ld\n", depth + 1, "", r);
      continue;
    }
    Dump(child, depth + 1);
    RegCloseKey(child);
  }
}

int main(int argc, char **argv) {
  const char *path = argc > 1 ? argv[1] : "Software\\Tesmora\\Orvalink\\FileList";
  HKEY key;
  LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_32KEY, &key);
  if (r != ERROR_SUCCESS) {
    printf("list not found %ld\n", r);
    return 0;
  }
  printf("list\n");
  Dump(key, 0);
  RegCloseKey(key);
  return 0;
}
