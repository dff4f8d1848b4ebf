/* Stands in for the browser in the end-to-end tests. Registered as the .htm
 * handler of the test prefix, it writes down how the shell started it: the
 * file it was asked to open and the show command the shell passed on.
 *
 * The log goes to the file named by TALLYWEB_SHELL_LOG (inherited from the
 * program that asked the shell), else to shell_recorder.log beside this
 * program. It is written to a side file and then renamed into place, so a
 * test polling for the log never reads half of it. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
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

int main(int argc, char** argv) {
  STARTUPINFOA startup;
  GetStartupInfoA(&startup);

  char log_path[MAX_PATH * 4];
  LogPath(log_path, sizeof log_path);
  char side_path[MAX_PATH * 4 + 8];
  snprintf(side_path, sizeof side_path, "%s.part", log_path);

  FILE* log = fopen(side_path, "wb");
  if (log == NULL) return 2;
  fprintf(log, "argc=%d\n", argc);
  for (int i = 1; i < argc; ++i) fprintf(log, "arg%d=%s\n", i, argv[i]);
  /* Without STARTF_USESHOWWINDOW the shell passed no show command at all. */
  if (startup.dwFlags & STARTF_USESHOWWINDOW)
    fprintf(log, "show=%u\n", (unsigned)startup.wShowWindow);
  else
    fprintf(log, "show=none\n");
  fprintf(log, "cmdline=%s\n", GetCommandLineA());
  if (fclose(log) != 0) return 2;
  return MoveFileExA(side_path, log_path, MOVEFILE_REPLACE_EXISTING) ? 0 : 2;
}
