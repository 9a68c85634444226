// LD_PRELOAD shim that makes chosen system calls fail, for the fault tests.
//
//   WISPD_FAULTS="call:ERRNO:FIRST[-LAST][,...]"   e.g. "accept4:EMFILE:1-5"
//   WISPD_FAULTS_ARM=PATH   (optional) calls count only while PATH exists
//
// Calls of each rule are numbered from 1; numbers FIRST to LAST fail with
// ERRNO, all others go through.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

struct Rule {
  char call[16];
  int err;
  long first, last;
  atomic_long seen;
};

static struct Rule gRules[8];
static int gCount;
static const char *gArm;
static int gFileRules;
static pthread_once_t gOnce = PTHREAD_ONCE_INIT;

static const struct {
  const char *name;
  int value;
} kErrnos[] = {
    {"EINTR", EINTR},   {"EAGAIN", EAGAIN}, {"EMFILE", EMFILE}, {"ENFILE", ENFILE},
    {"ENOSPC", ENOSPC}, {"EIO", EIO},       {"EBADF", EBADF},   {"ECONNREFUSED", ECONNREFUSED}};

static void Parse(void) {
  gArm = getenv("WISPD_FAULTS_ARM");
  const char *spec = getenv("WISPD_FAULTS");
  char name[16], err[16];
  long first, last;
  int used;
  while (spec != NULL && gCount < 8 &&
         sscanf(spec, "%15[^:]:%15[^:]:%ld%n", name, err, &first, &used) == 3) {
    spec += used;
    last = first;
    if (*spec == '-') last = strtol(spec + 1, (char **)&spec, 10);
    for (size_t i = 0; i < sizeof kErrnos / sizeof kErrnos[0]; ++i) {
      if (strcmp(err, kErrnos[i].name) != 0) continue;
      struct Rule *r = &gRules[gCount++];
      snprintf(r->call, sizeof r->call, "%s", name);
      r->err = kErrnos[i].value;
      r->first = first;
      r->last = last;
      gFileRules |= strcmp(name, "write.file") == 0;
    }
    spec = *spec == ',' ? spec + 1 : NULL;
  }
}

// The errno this call fails with, or 0.
static int Fault(const char *call) {
  pthread_once(&gOnce, Parse);
  for (int i = 0; i < gCount; ++i) {
    struct Rule *r = &gRules[i];
    if (strcmp(r->call, call) != 0) continue;
    int saved = errno;
    int armed = gArm == NULL || access(gArm, F_OK) == 0;
    errno = saved;
    if (!armed) return 0;
    long n = atomic_fetch_add(&r->seen, 1) + 1;
    if (n >= r->first && n <= r->last) return r->err;
  }
  return 0;
}

#define PASS_OR_FAIL(name, ...)                                         \
  static __typeof__(name) *next;                                        \
  if (next == NULL) next = (__typeof__(name) *)dlsym(RTLD_NEXT, #name); \
  int err = Fault(#name);                                               \
  if (err != 0) {                                                       \
    errno = err;                                                        \
    return -1;                                                          \
  }                                                                     \
  return next(__VA_ARGS__)

int socket(int domain, int type, int protocol) {
  PASS_OR_FAIL(socket, domain, type, protocol);
}
int connect(int fd, const struct sockaddr *addr, socklen_t len) {
  PASS_OR_FAIL(connect, fd, addr, len);
}
int accept4(int fd, struct sockaddr *addr, socklen_t *len, int flags) {
  PASS_OR_FAIL(accept4, fd, addr, len, flags);
}
// "write.file" rules count only writes to regular files.
ssize_t write(int fd, const void *buf, size_t n) {
  static __typeof__(write) *next;
  if (next == NULL) next = (__typeof__(write) *)dlsym(RTLD_NEXT, "write");
  int err = Fault("write");
  struct stat st;
  if (err == 0 && gFileRules && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    err = Fault("write.file");
  if (err != 0) {
    errno = err;
    return -1;
  }
  return next(fd, buf, n);
}
ssize_t send(int fd, const void *buf, size_t n, int flags) {
  PASS_OR_FAIL(send, fd, buf, n, flags);
}
ssize_t sendto(int fd, const void *buf, size_t n, int flags, const struct sockaddr *addr,
               socklen_t len) {
  PASS_OR_FAIL(sendto, fd, buf, n, flags, addr, len);
}
