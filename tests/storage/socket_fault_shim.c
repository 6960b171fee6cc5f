/* Preloaded into kivd by the storage set-up test: makes one step of the
 * storage reader's UDP socket set-up fail, chosen by KIVD_SHIM_FAIL
 * (socket, sndtimeo, rcvtimeo, bind, getsockname). Only datagram sockets are
 * touched, so the web server's TCP socket is left alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

static int failing(const char *what) {
  const char *f = getenv("KIVD_SHIM_FAIL");
  return f && strcmp(f, what) == 0;
}

static int is_dgram(int fd) {
  int type = 0;
  socklen_t len = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_DGRAM;
}

int socket(int domain, int type, int protocol) {
  static int (*real)(int, int, int);
  if (!real) real = (int (*)(int, int, int))dlsym(RTLD_NEXT, "socket");
  if (failing("socket") && domain == AF_INET && (type & 0xF) == SOCK_DGRAM) {
    errno = EMFILE;
    return -1;
  }
  return real(domain, type, protocol);
}

int setsockopt(int fd, int level, int name, const void *val, socklen_t len) {
  static int (*real)(int, int, int, const void *, socklen_t);
  if (!real) real = (int (*)(int, int, int, const void *, socklen_t))dlsym(RTLD_NEXT, "setsockopt");
  if (level == SOL_SOCKET && is_dgram(fd) &&
      ((name == SO_SNDTIMEO && failing("sndtimeo")) || (name == SO_RCVTIMEO && failing("rcvtimeo")))) {
    errno = EINVAL;
    return -1;
  }
  return real(fd, level, name, val, len);
}

int bind(int fd, const struct sockaddr *addr, socklen_t len) {
  static int (*real)(int, const struct sockaddr *, socklen_t);
  if (!real) real = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "bind");
  if (failing("bind") && is_dgram(fd)) {
    errno = EADDRINUSE;
    return -1;
  }
  return real(fd, addr, len);
}

int getsockname(int fd, struct sockaddr *addr, socklen_t *len) {
  static int (*real)(int, struct sockaddr *, socklen_t *);
  if (!real) real = (int (*)(int, struct sockaddr *, socklen_t *))dlsym(RTLD_NEXT, "getsockname");
  if (failing("getsockname") && is_dgram(fd)) {
    errno = ENOBUFS;
    return -1;
  }
  return real(fd, addr, len);
}
