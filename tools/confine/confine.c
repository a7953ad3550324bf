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
 * Nothing else changes. A private network namespace would confine the ports too, but a stack
 * that the user's shell must reach cannot live in one.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

typedef int (*bind_fn)(int, const struct sockaddr *, socklen_t);
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

int bind(int fd, const struct sockaddr *addr, socklen_t len) {
  static bind_fn real_bind;
  if (real_bind == NULL) real_bind = (bind_fn)dlsym(RTLD_NEXT, "bind");
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
