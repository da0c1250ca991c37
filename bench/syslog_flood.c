/* quillo_syslog_flood: sends COUNT syslog messages of 120 bytes each, as
 * fast as the receiver takes them, to the datagram socket SOCKET (a
 * private rsyslogd's imuxsock), and prints how long the sending took.
 *
 *   quillo_syslog_flood SOCKET COUNT
 *
 * The socket is connected and blocking, so a full receive queue makes the
 * sender wait rather than lose messages. Exit status 0, or 1 on an error. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum { kMessageBytes = 120 };

static double now_seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s SOCKET COUNT\n", argv[0]);
    return 1;
  }
  const long count = atol(argv[2]);
  struct sockaddr_un address;
  memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, (const struct sockaddr*)&address,
                        sizeof address) != 0) {
    perror("quillo_syslog_flood: connect");
    return 1;
  }
  const double start = now_seconds();
  char message[kMessageBytes + 1];
  for (long i = 0; i < count; ++i) {
    /* PRI local5.notice, as the Samba audit lines, then a fixed-width
     * text of the same length for every message. */
    int n = snprintf(message, sizeof message,
                     "<173>bench: smbd_audit: quser|pc-17|192.0.2.10|docs|"
                     "/srv/docs|openat|ok|r|/srv/docs/file%08ld", i);
    while (n < kMessageBytes) message[n++] = 'x';
    ssize_t sent;
    do {
      sent = send(fd, message, kMessageBytes, 0);
    } while (sent < 0 && errno == EINTR);
    if (sent != kMessageBytes) {
      perror("quillo_syslog_flood: send");
      return 1;
    }
  }
  printf("sent=%ld seconds=%.3f\n", count, now_seconds() - start);
  close(fd);
  return 0;
}
