// LD_PRELOAD shim that makes chosen system calls and allocations fail, for
// the fault tests.
//
//   WISPD_FAULTS="call:ERRNO:FIRST[-LAST][,...]"   e.g. "accept4:EMFILE:1-5"
//   WISPD_FAULTS_ARM=PATH   (optional) calls count only while PATH exists
//
// Calls of each rule are numbered from 1; numbers FIRST to LAST fail with
// ERRNO, all others go through.
//
//   WISPD_ALLOC_FAIL="NTH[/EVERY[/TIMES]]"   e.g. "1", "5/200/50"
//   WISPD_ALLOC_THREAD=NAME   (optional) only threads of that name (at most 15
//                             characters, as the kernel keeps it)
//   WISPD_ALLOC_SIZE=BYTES    (optional) only allocations of this size
//   WISPD_ALLOC_SEEN=PATH     (optional) appends "thread size" for each pair
//                             first seen while armed
//
// malloc, calloc and realloc (and so operator new) made by a matching thread
// while armed are numbered from 1: the NTH fails, then every EVERY-th after
// it, TIMES failures at most (default: NTH alone). Left out of sanitizer
// builds (FAULTINJECT_NO_ALLOC): their runtime owns the allocator.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
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
ssize_t recv(int fd, void *buf, size_t n, int flags) {
  PASS_OR_FAIL(recv, fd, buf, n, flags);
}

// Allocation faults.
#ifndef FAULTINJECT_NO_ALLOC

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);

static pthread_once_t gAllocOnce = PTHREAD_ONCE_INIT;
static long gAllocNth, gAllocEvery, gAllocTimes;
static size_t gAllocSize;
static const char *gAllocThread;
static int gSeenFd = -1;
static atomic_long gAllocCount, gAllocFailed;
static atomic_int gArmedSeen;
// Pairs already written to the seen file: a small open-addressed table.
static atomic_ulong gSeenPairs[4096];
static __thread int tInside;

static void ParseAlloc(void) {
  const char *spec = getenv("WISPD_ALLOC_FAIL");
  if (spec != NULL) {
    gAllocEvery = 0;
    gAllocTimes = 1;
    int n = sscanf(spec, "%ld/%ld/%ld", &gAllocNth, &gAllocEvery, &gAllocTimes);
    if (n == 2) gAllocTimes = 1L << 40;
  }
  const char *size = getenv("WISPD_ALLOC_SIZE");
  if (size != NULL) gAllocSize = strtoul(size, NULL, 10);
  gAllocThread = getenv("WISPD_ALLOC_THREAD");
  const char *seen = getenv("WISPD_ALLOC_SEEN");
  if (seen != NULL) gSeenFd = open(seen, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (gArm == NULL) gArm = getenv("WISPD_FAULTS_ARM");
}

static int Armed(void) {
  if (atomic_load(&gArmedSeen)) return 1;
  if (gArm != NULL && access(gArm, F_OK) != 0) return 0;
  atomic_store(&gArmedSeen, 1);
  return 1;
}

static void NoteSeen(const char *thread, size_t size) {
  unsigned long key = size * 1000003UL;
  for (const char *p = thread; *p != '\0'; ++p) key = key * 31 + (unsigned char)*p;
  key |= 1;
  for (unsigned i = 0; i < 4096; ++i) {
    atomic_ulong *slot = &gSeenPairs[(key + i) % 4096];
    unsigned long expected = 0;
    if (atomic_compare_exchange_strong(slot, &expected, key)) break;
    if (expected == key) return;
  }
  char line[64];
  int n = snprintf(line, sizeof line, "%s %zu\n", thread, size);
  if (n > 0 && write(gSeenFd, line, (size_t)n) < 0) {
    // Best effort.
  }
}

// Whether this allocation fails.
static int AllocFault(size_t size) {
  if (tInside) return 0;
  pthread_once(&gAllocOnce, ParseAlloc);
  if ((gAllocNth == 0 && gSeenFd < 0) || !Armed()) return 0;
  tInside = 1;
  char name[16] = "";
  prctl(PR_GET_NAME, name, 0, 0, 0);
  int fail = 0;
  if (gSeenFd >= 0) NoteSeen(name, size);
  if (gAllocNth > 0 && (gAllocThread == NULL || *gAllocThread == '\0' || strcmp(name, gAllocThread) == 0) &&
      (gAllocSize == 0 || size == gAllocSize)) {
    long n = atomic_fetch_add(&gAllocCount, 1) + 1;
    if (n == gAllocNth || (gAllocEvery > 0 && n > gAllocNth && (n - gAllocNth) % gAllocEvery == 0))
      fail = atomic_fetch_add(&gAllocFailed, 1) < gAllocTimes;
  }
  tInside = 0;
  return fail;
}

void *malloc(size_t size) {
  if (AllocFault(size)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
  if (AllocFault(count * size)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}

void *realloc(void *old, size_t size) {
  if (size > 0 && AllocFault(size)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(old, size);
}
#endif
