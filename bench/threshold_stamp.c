/* quillo_threshold_stamp: a containment response for bench/threshold.sh
 * that notes when it was started. Its first act is to read CLOCK_REALTIME;
 * then it reads its standard input (the batch's rows, one a line) to the
 * end and appends one line to stamps/KEY in the folder of its own program
 * file:
 *
 *   SECONDS.NANOSECONDS ROWS NAME PER KEY COUNT WINDOW
 *
 * ROWS is the number of lines it read; NAME..WINDOW are its arguments as
 * quillod passes them (condition name, per, key, count, seconds). A '/' in
 * KEY becomes '_' in the file name. One write with O_APPEND, so a reader
 * sees whole lines once the line end is there. Exit status 0, or 1 when
 * the arguments are not five or the stamp cannot be written. */

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  struct timespec started;
  clock_gettime(CLOCK_REALTIME, &started);
  if (argc != 6) return 1;

  long rows = 0;
  char buf[65536];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (ssize_t i = 0; i < n; ++i) rows += buf[i] == '\n';
  }

  char path[PATH_MAX];
  ssize_t len = readlink("/proc/self/exe", path, sizeof path - 1);
  if (len <= 0) return 1;
  path[len] = '\0';
  char* slash = strrchr(path, '/');
  if (slash == NULL) return 1;
  *slash = '\0';

  char key[256];
  snprintf(key, sizeof key, "%s", argv[3]);
  for (char* p = key; *p != '\0'; ++p) {
    if (*p == '/') *p = '_';
  }
  char file[PATH_MAX + 300];
  snprintf(file, sizeof file, "%s/stamps/%s", path, key);

  char line[1024];
  int n = snprintf(line, sizeof line, "%lld.%09ld %ld %s %s %s %s %s\n",
                   (long long)started.tv_sec, started.tv_nsec, rows, argv[1],
                   argv[2], argv[3], argv[4], argv[5]);
  if (n <= 0 || (size_t)n >= sizeof line) return 1;
  int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  int ok = write(fd, line, (size_t)n) == n;
  close(fd);
  return ok ? 0 : 1;
}
