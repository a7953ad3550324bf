/* confine.c - libqmr_confine.so, preloaded into the third-party servers of a stack (omniNames,
 * omniEvents) so that they listen on loopback only and create no file that others can read.
 *
 * omniEvents always adds an endpoint of its own on every interface (giop:::PORT) whatever
 * endpoint options it is given, and it resets its umask to 0 before writing its data files
 * (0666). Neither can be switched off from its command line, so the stack starts it with this
 * library in LD_PRELOAD:
 *   - bind() to the wildcard address binds to loopback instead: 127.0.0.1 for an IPv4 socket;
 *     ::ffff:127.0.0.1 for an IPv6 socket that also takes IPv4, so IPv4 clients still connect
 *     (::1 for an IPv6-only socket). Any other address is bound as asked.
 *   - umask() cannot clear the bits of the umask the process was started with: the stack
 *     starts its servers with umask 077, and a later umask(0) still leaves 077 in force.
 *   - With QMR_CONFINE_NO_TCP=1 in the environment (a stack whose servers listen on Unix
 *     sockets only), a bind() of a TCP socket to the wildcard address gives the program a
 *     listening socket that nobody can reach instead: a Unix socket bound in a private
 *     temporary folder and unlinked at once. The program sees its bind(), listen() and
 *     getsockname() succeed as if on the address it asked for, and its acceptor waits forever.
 *     Other binds (a client's, loopback ones asked for by name) are left alone.
 * Nothing else changes. A private network namespace would confine the ports too, but a stack
 * that the user's shell must reach cannot live in one.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

typedef int (*bind_fn)(int, const struct sockaddr *, socklen_t);
typedef int (*getsockname_fn)(int, struct sockaddr *, socklen_t *);
typedef int (*close_fn)(int);
typedef mode_t (*umask_fn)(mode_t);

static mode_t start_umask;

static umask_fn real_umask(void) {
  static umask_fn fn;
  if (fn == NULL) fn = (umask_fn)dlsym(RTLD_NEXT, "umask");
  return fn;
}

/* The umask in force when the program started; it stays the least umask from then on. */
__attribute__((constructor)) static void remember_umask(void) {
  umask_fn fn = real_umask();
  start_umask = fn(0);
  fn(start_umask);
}

mode_t umask(mode_t mask) { return real_umask()(mask | start_umask); }

/* ---- QMR_CONFINE_NO_TCP: wildcard TCP listeners replaced by unreachable Unix sockets */

#define MAX_HIDDEN 64
static struct {
  int fd; /* -1: free */
  socklen_t len;
  struct sockaddr_storage asked; /* what the program bound; getsockname() reports it */
} hidden[MAX_HIDDEN];
static pthread_mutex_t hidden_lock = PTHREAD_MUTEX_INITIALIZER;
static int hidden_used;

static int no_tcp(void) {
  const char *v = getenv("QMR_CONFINE_NO_TCP");
  return v != NULL && strcmp(v, "1") == 0;
}

static int wildcard(const struct sockaddr *addr, socklen_t len) {
  if (addr == NULL) return 0;
  if (addr->sa_family == AF_INET && len >= sizeof(struct sockaddr_in)) {
    struct sockaddr_in in4;
    memcpy(&in4, addr, sizeof in4);
    return in4.sin_addr.s_addr == htonl(INADDR_ANY);
  }
  if (addr->sa_family == AF_INET6 && len >= sizeof(struct sockaddr_in6)) {
    struct sockaddr_in6 in6;
    memcpy(&in6, addr, sizeof in6);
    return IN6_IS_ADDR_UNSPECIFIED(&in6.sin6_addr);
  }
  return 0;
}

static int stream_socket(int fd) {
  int type = 0;
  socklen_t optlen = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &optlen) == 0 && type == SOCK_STREAM;
}

/* Puts a Unix stream socket that no one can connect to in place of fd: bound in a fresh 0700
 * folder, then the name and the folder removed. Returns 0, or -1 with errno set. */
static int hide(int fd, const struct sockaddr *addr, socklen_t len, bind_fn real_bind) {
  const char *tmp = getenv("TMPDIR");
  char dir[100];
  struct sockaddr_un un;
  int u, rc;
  snprintf(dir, sizeof dir, "%s/qmr-notcp-XXXXXX", tmp && *tmp && strlen(tmp) < 80 ? tmp : "/tmp");
  if (mkdtemp(dir) == NULL) return -1;
  memset(&un, 0, sizeof un);
  un.sun_family = AF_UNIX;
  snprintf(un.sun_path, sizeof un.sun_path, "%s/s", dir);
  u = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (u < 0) {
    rmdir(dir);
    return -1;
  }
  rc = real_bind(u, (const struct sockaddr *)&un, sizeof un);
  unlink(un.sun_path);
  rmdir(dir);
  if (rc == 0) rc = dup3(u, fd, O_CLOEXEC) < 0 ? -1 : 0;
  close(u);
  if (rc != 0) return -1;
  pthread_mutex_lock(&hidden_lock);
  for (int i = 0; i < MAX_HIDDEN; ++i) {
    if (i >= hidden_used || hidden[i].fd < 0) {
      hidden[i].fd = fd;
      hidden[i].len = len <= sizeof hidden[i].asked ? len : sizeof hidden[i].asked;
      memcpy(&hidden[i].asked, addr, hidden[i].len);
      if (i >= hidden_used) hidden_used = i + 1;
      break;
    }
  }
  pthread_mutex_unlock(&hidden_lock);
  return 0;
}

int getsockname(int fd, struct sockaddr *addr, socklen_t *len) {
  static getsockname_fn real;
  if (real == NULL) real = (getsockname_fn)dlsym(RTLD_NEXT, "getsockname");
  pthread_mutex_lock(&hidden_lock);
  for (int i = 0; i < hidden_used; ++i) {
    if (hidden[i].fd == fd && addr != NULL && len != NULL) {
      socklen_t n = *len < hidden[i].len ? *len : hidden[i].len;
      memcpy(addr, &hidden[i].asked, n);
      *len = hidden[i].len;
      pthread_mutex_unlock(&hidden_lock);
      return 0;
    }
  }
  pthread_mutex_unlock(&hidden_lock);
  return real(fd, addr, len);
}

int close(int fd) {
  static close_fn real;
  if (real == NULL) real = (close_fn)dlsym(RTLD_NEXT, "close");
  pthread_mutex_lock(&hidden_lock);
  for (int i = 0; i < hidden_used; ++i) {
    if (hidden[i].fd == fd) hidden[i].fd = -1;
  }
  pthread_mutex_unlock(&hidden_lock);
  return real(fd);
}

int bind(int fd, const struct sockaddr *addr, socklen_t len) {
  static bind_fn real_bind;
  if (real_bind == NULL) real_bind = (bind_fn)dlsym(RTLD_NEXT, "bind");
  if (no_tcp() && wildcard(addr, len) && stream_socket(fd)) return hide(fd, addr, len, real_bind);
  if (addr != NULL && addr->sa_family == AF_INET && len >= sizeof(struct sockaddr_in)) {
    struct sockaddr_in in4;
    memcpy(&in4, addr, sizeof in4);
    if (in4.sin_addr.s_addr == htonl(INADDR_ANY)) {
      in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      return real_bind(fd, (const struct sockaddr *)&in4, sizeof in4);
    }
  } else if (addr != NULL && addr->sa_family == AF_INET6 && len >= sizeof(struct sockaddr_in6)) {
    struct sockaddr_in6 in6;
    memcpy(&in6, addr, sizeof in6);
    if (IN6_IS_ADDR_UNSPECIFIED(&in6.sin6_addr)) {
      int v6only = 0;
      socklen_t optlen = sizeof v6only;
      if (getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &optlen) != 0) v6only = 0;
      if (v6only) {
        in6.sin6_addr = in6addr_loopback;
      } else {
        memset(&in6.sin6_addr, 0, sizeof in6.sin6_addr); /* ::ffff:127.0.0.1 */
        in6.sin6_addr.s6_addr[10] = 0xff;
        in6.sin6_addr.s6_addr[11] = 0xff;
        in6.sin6_addr.s6_addr[12] = 127;
        in6.sin6_addr.s6_addr[15] = 1;
      }
      return real_bind(fd, (const struct sockaddr *)&in6, sizeof in6);
    }
  }
  return real_bind(fd, addr, len);
}
