/* Stands in for the browser in the end-to-end tests. Registered as the .htm
 * handler of the test prefix, it writes down how the shell started it: the
 * file it was asked to open, the first line of the file it finds under that
 * name (which tells this run's report from another one), and the show
 * command the shell passed on.
 *
 * The log goes to the file named by TALLYWEB_SHELL_LOG (inherited from the
 * program that asked the shell), else to shell_recorder.log beside this
 * program. It is written to a side file and then renamed into place, so a
 * test polling for the log never reads half of it. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void LogPath(char* path, DWORD size) {
  DWORD n = GetEnvironmentVariableA("TALLYWEB_SHELL_LOG", path, size);
  if (n > 0 && n < size) return;
  n = GetModuleFileNameA(NULL, path, size);
  char* slash = strrchr(path, '\\');
  if (n == 0 || n >= size || slash == NULL || (size_t)(slash - path) + 20 >= size) {
    strcpy(path, "shell_recorder.log");
    return;
  }
  strcpy(slash + 1, "shell_recorder.log");
}

/* The first line of the file `path` names, as its bytes, when it can be read. */
static void LogFirstLine(FILE* log, int i, const WCHAR* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[256];
  DWORD got = 0;
  if (ReadFile(file, line, sizeof line - 1, &got, NULL)) {
    DWORD end = 0;
    while (end < got && line[end] != '\r' && line[end] != '\n') ++end;
    line[end] = '\0';
    fprintf(log, "first%d=%s\n", i, line);
  }
  CloseHandle(file);
}

/* The arguments in UTF-8, whatever the code page: a path may be in any
 * script. */
static void LogArguments(FILE* log) {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  fprintf(log, "argc=%d\n", argc);
  for (int i = 1; argv != NULL && i < argc; ++i) {
    int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, NULL, 0, NULL, NULL);
    char* utf8 = n > 0 ? malloc((size_t)n) : NULL;
    if (utf8 == NULL) continue;
    WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, utf8, n, NULL, NULL);
    fprintf(log, "arg%d=%s\n", i, utf8);
    free(utf8);
    /* A path may come in its short form: the long form it names, too. */
    WCHAR long_form[4096];
    DWORD length = GetLongPathNameW(argv[i], long_form, 4096);
    if (length > 0 && length < 4096 &&
        WideCharToMultiByte(CP_UTF8, 0, long_form, -1, NULL, 0, NULL, NULL) > 0) {
      char long_utf8[4096 * 3];
      WideCharToMultiByte(CP_UTF8, 0, long_form, -1, long_utf8, sizeof long_utf8, NULL, NULL);
      fprintf(log, "long%d=%s\n", i, long_utf8);
    }
    LogFirstLine(log, i, argv[i]);
  }
  LocalFree(argv);
}

int main(void) {
  STARTUPINFOA startup;
  GetStartupInfoA(&startup);

  char log_path[MAX_PATH * 4];
  LogPath(log_path, sizeof log_path);
  char side_path[MAX_PATH * 4 + 8];
  snprintf(side_path, sizeof side_path, "%s.part", log_path);

  FILE* log = fopen(side_path, "wb");
  if (log == NULL) return 2;
  LogArguments(log);
  /* Without STARTF_USESHOWWINDOW the shell passed no show command at all. */
  if (startup.dwFlags & STARTF_USESHOWWINDOW)
    fprintf(log, "show=%u\n", (unsigned)startup.wShowWindow);
  else fprintf(log, "show=none\n");
  fprintf(log, "cmdline=%s\n", GetCommandLineA());
  if (fclose(log) != 0) return 2;
  return MoveFileExA(side_path, log_path, MOVEFILE_REPLACE_EXISTING) ? 0 : 2;
}
