/* quillo_trivial_client: the least a client can do to hand quillod one
 * system-log record; the yardstick for quillo-send's per-run cost.
 *
 *   QUILLO_ROOT=DIR quillo_trivial_client TIME TEXT1 TEXT2 TEXT3
 *
 * Sends the frame quillo-send --system would send and reads the 4-byte
 * answer. Exit status 0 when the answer is code 0, 1 on a command-line
 * error, 3 no connection, 4 sending failed, 5 no or another answer. */

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

enum { kMaxBody = 4096 };

/* Appends one string entry (with its NUL); 0 when it does not fit. */
static int put_entry(unsigned char* body, size_t* used, const char* s) {
  size_t n = strlen(s) + 1;
  if (*used + 2 + n > kMaxBody) return 0;
  body[*used] = (unsigned char)(n >> 8);
  body[*used + 1] = (unsigned char)(n & 0xff);
  memcpy(body + *used + 2, s, n);
  *used += 2 + n;
  return 1;
}

static int write_all(int fd, const unsigned char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

int main(int argc, char** argv) {
  static unsigned char frame[2 + kMaxBody];
  unsigned char* body = frame + 2;
  size_t used = 4, got = 0;
  struct sockaddr_un addr;
  const char* root = getenv("QUILLO_ROOT");
  unsigned char answer[4];
  int fd, i;

  if (argc != 5) return 1;
  body[0] = 0;
  body[1] = 2;
  body[2] = 0;
  body[3] = 1; /* type entry: 1 */
  for (i = 1; i <= 4 && put_entry(body, &used, argv[i]); ++i) {
  }
  frame[0] = (unsigned char)(used >> 8);
  frame[1] = (unsigned char)(used & 0xff);

  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (root == NULL) root = "";
  if (strlen(root) + sizeof "/tmp/quillo" > sizeof addr.sun_path) return 3;
  strcpy(addr.sun_path, root);
  strcat(addr.sun_path, "/tmp/quillo");

  fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0)
    return 3;
  if (write_all(fd, frame, 2 + used) != 0) return 4;
  while (got < sizeof answer) {
    ssize_t r = read(fd, answer + got, sizeof answer - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return 5;
    got += (size_t)r;
  }
  close(fd);
  return answer[0] == 0 && answer[1] == 2 && answer[2] == 0 && answer[3] == 0
             ? 0
             : 5;
}
