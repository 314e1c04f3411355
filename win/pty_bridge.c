/* A null-modem cable between two pseudo-terminals, for the tests that run
 * under Wine: what a program writes to one slave comes out of the other.
 * Wine maps COM ports to these slaves through links in its dosdevices
 * folder, so a Windows test can open both ends as COM ports.
 *
 *   pty_bridge LINK_A LINK_B
 *
 * Makes LINK_A and LINK_B symbolic links to the two slaves, then copies bytes
 * between the masters until standard input closes or a signal arrives, and
 * removes the links. Native Linux code: it is built and run by win/run.sh. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

static volatile sig_atomic_t g_stop;
static void OnSignal(int sig) {
  (void)sig;
  g_stop = 1;
}

/* Opens a pty in raw mode; keeps a slave descriptor open so that the master
 * does not see a hang-up each time the program under test closes its end. */
static int OpenPty(int *slave_keep, const char *link) {
  int m = posix_openpt(O_RDWR | O_NOCTTY);
  if (m < 0 || grantpt(m) || unlockpt(m)) return -1;
  const char *name = ptsname(m);
  *slave_keep = open(name, O_RDWR | O_NOCTTY);
  struct termios t;
  if (*slave_keep < 0 || tcgetattr(*slave_keep, &t)) return -1;
  cfmakeraw(&t);
  tcsetattr(*slave_keep, TCSANOW, &t);
  unlink(link);
  if (symlink(name, link)) return -1;
  return m;
}

/* Copies what is readable on `from` to `to`; 0 when the master failed. */
static int Pump(int from, int to) {
  char buf[4096];
  ssize_t n = read(from, buf, sizeof buf);
  if (n < 0) return errno == EAGAIN || errno == EINTR || errno == EIO;
  for (ssize_t done = 0; done < n;) {
    ssize_t w = write(to, buf + done, (size_t)(n - done));
    if (w < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return 0;
    }
    done += w;
  }
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: pty_bridge LINK_A LINK_B\n");
    return 2;
  }
  int keep_a, keep_b;
  int a = OpenPty(&keep_a, argv[1]);
  int b = OpenPty(&keep_b, argv[2]);
  if (a < 0 || b < 0) {
    perror("pty_bridge");
    return 1;
  }
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  printf("ready\n");
  fflush(stdout);
  while (!g_stop) {
    struct pollfd p[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {0, POLLIN, 0}};
    if (poll(p, 3, 200) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((p[0].revents & POLLIN) && !Pump(a, b)) break;
    if ((p[1].revents & POLLIN) && !Pump(b, a)) break;
    if (p[2].revents & (POLLIN | POLLHUP)) {
      char c;
      if (read(0, &c, 1) <= 0) break; /* the caller is gone */
    }
  }
  unlink(argv[1]);
  unlink(argv[2]);
  return 0;
}
