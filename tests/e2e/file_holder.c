/* Holds a file open for writing, as an editor saving it would, so that the
 * end-to-end tests can see what the program does when another process has
 * its template open.
 *
 *   file_holder.exe FILE READY STOP
 *
 * Opens FILE for writing (sharing read and write with others), then creates
 * READY, and keeps FILE open until STOP exists or a minute has passed. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

static BOOL Exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  HANDLE file = CreateFileA(argv[1], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             NULL);
  if (ready == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(ready);
  for (int waited = 0; waited < 60000 && !Exists(argv[3]); waited += 50) Sleep(50);
  CloseHandle(file);
  return 0;
}
