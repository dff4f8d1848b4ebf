// Reads what Windows shows of a program file: its version information (as
// Explorer's Properties > Details does), its manifest (and whether the
// loader accepts it), and the sizes of its icon's images. Prints them as
// "name=value" lines, then the manifest's text after a "manifest:" line.
//
//   version_probe.exe PROGRAM.exe
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static const char* const kStrings[] = {
    "FileDescription",  "FileVersion", "InternalName",   "LegalCopyright",
    "OriginalFilename", "ProductName", "ProductVersion",
};

// The version information: the fixed part, then each string of the first
// translation.
static void PrintVersionInfo(const char* path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  char* info = size ? malloc(size) : NULL;
  if (info == NULL || !GetFileVersionInfoA(path, 0, size, info)) {
    printf("version=none\n");
  } else {
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    if (VerQueryValueA(info, "\\", (void**)&fixed, &length) && fixed != NULL) {
      printf("fixed.file=%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwFileVersionMS),
             (unsigned)LOWORD(fixed->dwFileVersionMS), (unsigned)HIWORD(fixed->dwFileVersionLS),
             (unsigned)LOWORD(fixed->dwFileVersionLS));
      printf("fixed.product=%u.%u.%u.%u\n", (unsigned)HIWORD(fixed->dwProductVersionMS),
             (unsigned)LOWORD(fixed->dwProductVersionMS),
             (unsigned)HIWORD(fixed->dwProductVersionLS),
             (unsigned)LOWORD(fixed->dwProductVersionLS));
      printf("fixed.type=%lu\n", (unsigned long)fixed->dwFileType);
    }
    WORD* translation = NULL;
    if (VerQueryValueA(info, "\\VarFileInfo\\Translation", (void**)&translation, &length) &&
        length >= 4) {
      printf("translation=%04X%04X\n", translation[0], translation[1]);
      for (size_t i = 0; i < sizeof kStrings / sizeof kStrings[0]; ++i) {
        char query[128];
        char* value = NULL;
        snprintf(query, sizeof query, "\\StringFileInfo\\%04X%04X\\%s", translation[0],
                 translation[1], kStrings[i]);
        if (VerQueryValueA(info, query, (void**)&value, &length) && value != NULL)
          printf("%s=%s\n", kStrings[i], value);
        else printf("%s=(missing)\n", kStrings[i]);
      }
    }
  }
  free(info);
}

// The loader's own reading of the manifest: an activation context from it.
static void PrintActivation(const char* path) {
  ACTCTXA context;
  ZeroMemory(&context, sizeof context);
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  context.lpSource = path;
  context.lpResourceName = MAKEINTRESOURCEA(1);
  HANDLE activation = CreateActCtxA(&context);
  printf("actctx=%s\n", activation == INVALID_HANDLE_VALUE ? "refused" : "accepted");
  if (activation != INVALID_HANDLE_VALUE) ReleaseActCtx(activation);
}

// The icon group: a 6-byte header, then 14 bytes an image; width 0 is 256.
static void PrintIconSizes(HMODULE module) {
  HRSRC group = FindResourceA(module, MAKEINTRESOURCEA(1), (LPCSTR)RT_GROUP_ICON);
  const BYTE* icons = group ? LockResource(LoadResource(module, group)) : NULL;
  printf("icon=");
  if (icons != NULL && SizeofResource(module, group) >= 6) {
    unsigned count = icons[4] | icons[5] << 8;
    for (unsigned i = 0; i < count && 6 + 14 * (i + 1) <= SizeofResource(module, group); ++i) {
      const BYTE* entry = icons + 6 + 14 * i;
      printf("%s%ux%u", i ? "," : "", entry[0] ? entry[0] : 256, entry[1] ? entry[1] : 256);
    }
  }
  printf("\n");
}

static void PrintManifest(HMODULE module) {
  HRSRC manifest = FindResourceA(module, MAKEINTRESOURCEA(1), (LPCSTR)RT_MANIFEST);
  if (manifest == NULL) {
    printf("manifest=none\n");
  } else {
    printf("manifest:\n");
    fwrite(LockResource(LoadResource(module, manifest)), 1, SizeofResource(module, manifest),
           stdout);
    printf("\n");
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: version_probe PROGRAM.exe\n");
    return 2;
  }
  const char* path = argv[1];
  PrintVersionInfo(path);
  PrintActivation(path);
  HMODULE module = LoadLibraryExA(path, NULL, LOAD_LIBRARY_AS_DATAFILE);
  if (module == NULL) {
    printf("resources=unreadable\n");
    return 1;
  }
  PrintIconSizes(module);
  PrintManifest(module);
  return 0;
}
