/* The native build's I/O floor: what reading the hive and writing the report
 * cost with nothing else done.
 *
 *   io_floor HIVE REPORT REPORT_BYTES
 *
 * Reads HIVE whole, then writes REPORT_BYTES bytes of a fixed block to REPORT
 * in 128-byte writes, as the report file hands its buffer to the system. */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int Fail(const char *what) {
  perror(what);
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: io_floor HIVE REPORT REPORT_BYTES\n");
    return 2;
  }
  int hive = open(argv[1], O_RDONLY);
  struct stat st;
  if (hive < 0 || fstat(hive, &st) != 0) return Fail(argv[1]);
  char *bytes = malloc(st.st_size + 1);
  if (!bytes) return Fail("malloc");
  for (off_t done = 0; done < st.st_size;) {
    ssize_t got = read(hive, bytes + done, st.st_size - done);
    if (got <= 0) return Fail("read");
    done += got;
  }
  close(hive);

  const unsigned long long report_bytes = strtoull(argv[3], NULL, 10);
  int report = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (report < 0) return Fail(argv[2]);
  char block[128];
  memset(block, 'x', sizeof block);
  for (unsigned long long written = 0; written < report_bytes; written += 128) {
    size_t k = report_bytes - written < 128 ? report_bytes - written : 128;
    if (write(report, block, k) != (ssize_t)k) return Fail("write");
  }
  if (close(report) != 0) return Fail("close");
  free(bytes);
  return 0;
}
