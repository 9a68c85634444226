#include "output/wispdStatsServer.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <new>
#include <string>

#include "base/wispdAcceptNote.h"
#include "base/wispdLog.h"
#include "base/wispdMemory.h"
#include "base/wispdStats.h"
#include "output/wispdFlare.h"
#include "pelldan/accept_pause.h"
#include "pelldan/files.h"
#include "pelldan/root.h"

namespace {

int gListen = -1;
int gWake[2] = {-1, -1};
pthread_t gThread;
std::string gPath;

void Serve(int fd) {
  std::string text;
  try {
    text = Stats_Render(Flare_QueueLength());
  } catch (const std::bad_alloc &) {
    // This reader goes without; the next one may fare better.
    Memory_Failed("the counters snapshot");
    close(fd);
    return;
  }
  size_t done = 0;
  // A snapshot fits the socket buffer; a reader that lets it fill up loses
  // the rest rather than holding the thread.
  while (done < text.size()) {
    ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
}

void Accept(pelldan::AcceptPause *pause) {
  int fd = accept4(gListen, nullptr, nullptr, SOCK_CLOEXEC);
  Accept_Note(pause, "Counters", fd, errno, "Counters accept() failed: %s\n", false);
  if (fd >= 0) Serve(fd);
}

void *Run(void *) {
  pthread_setname_np(pthread_self(), "wispdStats");
  pelldan::AcceptPause pause;
  for (;;) {
    int rest = pause.RestMs(pelldan::AcceptPause::NowMs());
    struct pollfd p[2] = {{gListen, static_cast<short>(rest > 0 ? 0 : POLLIN), 0},
                          {gWake[0], POLLIN, 0}};
    if (poll(p, 2, pelldan::EarliestWake(-1, rest)) < 0) continue;
    if (p[1].revents != 0) return nullptr;
    if (p[0].revents & POLLIN) Accept(&pause);
  }
}

}  // namespace

int StatsServer_Start(const char *path) {
  gPath = path != nullptr ? path : pelldan::RootPath(STATS_SOCKET);
  // The contexts' lock makes this daemon the root's only one: a file left
  // here is a dead daemon's, and is replaced.
  gListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (gListen < 0) return errno;
  if (pelldan::BindInPlace(gListen, gPath, 16) != 0 || pipe2(gWake, O_CLOEXEC) != 0) {
    int err = errno;
    close(gListen);
    gListen = -1;
    return err;
  }
  // Stop signals belong to the main thread's poll.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  int rc = pthread_create(&gThread, nullptr, Run, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    close(gListen);
    gListen = -1;
  }
  return rc;
}

void StatsServer_Stop(void) {
  if (gListen < 0) return;
  char wake = 1;
  if (write(gWake[1], &wake, 1) == 1) pthread_join(gThread, nullptr);
  close(gListen);
  close(gWake[0]);
  close(gWake[1]);
  gListen = -1;
  unlink(gPath.c_str());
}
