#include "daemon/wispdMain.h"

#include <errno.h>
#include <execinfo.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "base/wispdAcceptNote.h"
#include "base/wispdLog.h"
#include "base/wispdMemory.h"
#include "base/wispdNotify.h"
#include "base/wispdOptions.h"
#include "base/wispdStats.h"
#include "base/wispdTimer.h"
#include "base/wispdTurn.h"
#include "intake/wispdAgent.h"
#include "intake/wispdStream.h"
#include "output/wispdFlare.h"
#include "output/wispdStatsServer.h"
#include "output/wispdTrace.h"
#include "pelldan/accept_pause.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "pelldan/syslog.h"
#include "pellibs/sysinfo.h"
#include "pellibs/wisp.h"

namespace {

enum {
  kContexts = 25,
  kFixedSlots = 26,
  kUserSlot = 24,
  kTraceSlot = 25,
  kMaxSlots = 34,
  kMaxUserConnections = 8,
};

volatile sig_atomic_t gStop = 0;
pthread_t gMainThread;
bool gAsyncEnable = false;

struct Context {
  int number;
  WispLibHandle *handle;
};

Context gContexts[kContexts];

uint8_t *gWispBuf = nullptr;
size_t gWispBufSize = 0;

void OnSignal(int sig) {
  if (sig == SIGPIPE) return;
  gStop = 1;
  // A main thread blocked on a full pipe only wakes if the signal lands on
  // it; any other thread passes it on.
  if (!pthread_equal(pthread_self(), gMainThread)) pthread_kill(gMainThread, sig);
}

int InstallSignals() {
  gMainThread = pthread_self();
  Stream_SetStopFlag(&gStop);
  const int signals[] = {SIGTERM, SIGINT, SIGPIPE};
  for (int sig : signals) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    errno = 0;
    if (sigaction(sig, &sa, nullptr) != 0 && errno != 0) return errno;
  }
  return 0;
}

void CheckSignature() {
  char kernelDate[21];
  const char *ownDate = "";
  if (Sysi_CheckSig(kernelDate, sizeof kernelDate, &ownDate) != 0) {
    kernelDate[sizeof kernelDate - 1] = '\0';
    Panic("md5 signature mismatch with running mantle built on %s (my build date: %s)\n",
          kernelDate, ownDate);
  }
}

int EnableAsyncWisps() {
  MANTLE_ReturnStatus status = MANTLE_NO_MEMORY;
  Sysi_ParamList *instance = Sysi_ParamListCreate();
  Sysi_ParamList *input = Sysi_ParamListCreate();
  if (instance != nullptr && input != nullptr) {
    Sysi_ParamListAddString(instance, "Misc");
    Sysi_ParamListAddString(instance, "WispAsyncEnable");
    Sysi_ParamListAddInt(input, 1);
    char out[4];
    status = Sysi_Set(Sysi_NODE_config_intOpts, instance, input, out, sizeof out);
  }
  Sysi_ParamListDestroy(instance);
  Sysi_ParamListDestroy(input);
  return MANTLE_ReturnStatusToErrno(status);
}

// Reads one batch into the wisp buffer, growing it, and dispatches it.
int ReadBatch(int fd) {
  for (;;) {
    size_t length = 0;
    int rc = WispLib_ReadFromFd(fd, gWispBuf, gWispBufSize, &length);
    if (rc == WISPLIB_TOO_LARGE) {
      if (gWispBufSize == WISP_BUFFER_MAX) return WISPLIB_TOO_LARGE;
      size_t size = Wispd_GrowBufferSize(gWispBufSize);
      uint8_t *grown = static_cast<uint8_t *>(realloc(gWispBuf, size));
      if (grown == nullptr) return WISPLIB_TOO_LARGE;
      gWispBuf = grown;
      gWispBufSize = size;
      continue;
    }
    if (rc != 0) return rc;
    rc = length == 0 || length > WISPLIB_MAX_BATCH ? -1 : Stream_Dispatch(gWispBuf, length);
    // Counted once every agent it concerns has it in its pipe.
    Stats_Count(STATS_BATCH_READ);
    return rc;
  }
}

void ResetSlot(struct pollfd *slot) {
  slot->events = POLLIN;
  slot->revents = 0;
}

// Closes the user-level connection at *i; the last live slot moves into it.
void CloseConnection(struct pollfd *table, int *i, int *count) {
  if (WispLib_UserContextCloseCnx(table[*i].fd) < 0) return;
  int last = *count - 1;
  if (*i != last) {
    table[*i] = table[last];
    table[last] = {-1, POLLIN, 0};
    --*i;
  } else {
    table[*i] = {-1, POLLIN, 0};
  }
  --*count;
  Stats_SetProducers(*count - kFixedSlots);
}

// Accepts one user-level producer; out of descriptors the listener rests.
int AcceptUser(WispLibHandle *user, pelldan::AcceptPause *pause, int *fd) {
  int rc = WispLib_UserContextNewCnx(user, fd);
  Accept_Note(pause, "User-level", rc == 0 ? *fd : -1, rc, "User-level accept() failed: %s\n",
              false);
  return rc;
}

// A resting listener is left out of the poll until its rest is over.
int RestListeners(struct pollfd *table, const pelldan::AcceptPause &userPause) {
  int64_t now = pelldan::AcceptPause::NowMs();
  int timeout = -1;
  const int rests[][2] = {{kUserSlot, userPause.RestMs(now)}, {kTraceSlot, Trace_AcceptRestMs()}};
  for (const auto &r : rests) {
    if (r[1] <= 0) continue;
    table[r[0]].events = 0;
    timeout = pelldan::EarliestWake(timeout, r[1]);
  }
  return timeout;
}

// A run of one kind of loss at the producers: each is counted, the first
// of a run logged, and the run's length said when it is over.
class Episode {
 public:
  Episode(StatsCounter counter, const char *start, const char *over)
      : counter_(counter), start_(start), over_(over) {}
  void Lost(const char *why = "") {
    Stats_Count(counter_);
    if (n_++ == 0) Log(start_, why);
  }
  void Over() {
    if (n_ > 0) Log(over_, n_);
    n_ = 0;
  }

 private:
  StatsCounter counter_;
  const char *start_;  // takes a %s (a reason or nothing)
  const char *over_;   // takes a %llu
  unsigned long long n_ = 0;
};

// The stop signals reach the main thread only inside its wait: one that
// comes after the flag was read, before the wait began, ends that wait
// instead of waiting for the next input. Other threads keep them open, so
// a stop while the dispatcher waits for a pipe still sets the flag.
class StopSignalsInWait {
 public:
  StopSignalsInWait() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, &open_);
  }
  ~StopSignalsInWait() { pthread_sigmask(SIG_SETMASK, &open_, nullptr); }
  int Poll(struct pollfd *table, nfds_t count, int timeoutMs) const {
    struct timespec limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    return ppoll(table, count, timeoutMs < 0 ? nullptr : &limit, &open_);
  }

 private:
  sigset_t open_;
};

int PollLoop(struct pollfd *table, int count, bool canGrow) {
  WispLibHandle *user = gContexts[kUserSlot].handle;
  const StopSignalsInWait signals;
  pelldan::AcceptPause userPause;
  // Producers beyond the eighth are closed at once.
  Episode refusals(STATS_PRODUCER_REFUSED,
                   "Refusing user-level producers: all 8 connections are taken.%s\n",
                   "Accepting user-level producers again (%llu refused meanwhile).\n");
  Episode unreadable(STATS_BATCH_UNREADABLE,
                     "A user-level message could not be read: %s; it is dropped.\n",
                     "User-level messages are read again (%llu could not be).\n");
  WorkTurn turn;
  for (;;) {
    if (gStop) {
      Log("Exiting due to signal.\n");
      return 0;
    }
    int timeout = RestListeners(table, userPause);
    if (signals.Poll(table, static_cast<nfds_t>(count), timeout) == -1) {
      if (errno == EINTR) continue;
      return -1;
    }
    turn.Begin();
    for (int i = 0; i < count; ++i) {
      // Out of memory, the batch at hand is lost; the loop goes on.
      try {
        struct pollfd &slot = table[i];
        short revents = slot.revents;
        const short broken = POLLERR | POLLHUP | POLLNVAL;
        if (revents == 0) {
          ResetSlot(&slot);
          continue;
        }
        if (revents & POLLIN) {
          Stats_SetSource(i < pelldan::kKernelContexts ? i : kUserSlot);
          if (i < pelldan::kKernelContexts) {
            int rc = ReadBatch(slot.fd);
            if (rc == WISPLIB_TOO_LARGE) {
              Stats_Count(STATS_BATCH_TOO_LARGE);
              ResetSlot(&slot);
              WispLib_Reset(gContexts[i].handle);
            } else if (rc == EINTR && gStop) {
              break;  // a dispatch cut short by the stop: end as for any stop
            } else if (rc > 0) {
              Log("Reading kernel context %d failed: %s; stopping.\n", i, strerror(rc));
              return rc;
            }
          } else if (i == kUserSlot && canGrow) {
            int fd = -1;
            if (AcceptUser(user, &userPause, &fd) == 0) {
              if (count < kMaxSlots) {
                table[count] = {fd, POLLIN, 0};
                ++count;
                Stats_SetProducers(count - kFixedSlots);
                refusals.Over();
              } else {
                WispLib_UserContextCloseCnx(fd);
                refusals.Lost();
              }
            }
          } else if (i == kTraceSlot) {
            Trace_Accept(slot.fd);
          } else if (int rc = ReadBatch(slot.fd); rc == EINTR && gStop) {
            break;
          } else if (rc != 0 && (revents & broken)) {
            CloseConnection(table, &i, &count);
            continue;
          } else if (rc > 0) {
            unreadable.Lost(strerror(rc));
          } else if (rc == 0) {
            unreadable.Over();
          }
        } else if (i >= kFixedSlots && (revents & broken)) {
          CloseConnection(table, &i, &count);
          continue;
        }
        ResetSlot(&slot);
      } catch (const std::bad_alloc &) {
        Memory_Failed("the main loop");
        ResetSlot(&table[i]);
      }
      if (turn.Over()) turn.Yield();
    }
  }
}

// Counters are an addition: without their socket the daemon runs as before.
void StartStatsServer() {
  int rc = StatsServer_Start(nullptr);
  if (rc != 0) Log("Counters socket unavailable: %s\n", strerror(rc));
}

void LogLostFlare(const char *eventId) {
  Log("Flare lost with the retry queue: %s\n", eventId);
}

void LogTotals() {
  char summary[1024];
  Stats_Summary(Flare_QueueLength(), summary, sizeof summary);
  Log("%s", summary);
  Flare_ForEachQueued(LogLostFlare);
}

}  // namespace

size_t Wispd_GrowBufferSize(size_t size) {
  return size * 3 < 2 * WISP_BUFFER_MAX ? size * 3 / 2 : WISP_BUFFER_MAX;
}

namespace {

constexpr char kSelfTestNote[] =
    "The self-test prints its findings on standard output and exits with the\n"
    "number of failures, 255 for 255 or more: a run with failures never exits 0.\n";

int Run(int argc, char **argv, bool withExtras) {
  Wispd_ParseOptions(argc, argv, &gAsyncEnable, withExtras ? kSelfTestNote : nullptr);
  std::string problem = pelldan::RootProblem();
  if (!problem.empty()) {
    fprintf(stderr, "%s: %s\n", withExtras ? "wispd-selftest" : "wispd", problem.c_str());
    return EINVAL;
  }
  for (int n = 0; n < kContexts; ++n) gContexts[n] = {n, nullptr};
  struct pollfd *fixed = nullptr;
  struct pollfd *table = nullptr;
  bool polled = false;
  // The stop cancels the agents, and cancelling needs the C library's
  // unwinder, which it loads on first use: load it now, while there is
  // memory, so that a stop when allocations fail cannot abort.
  void *frame = nullptr;
  backtrace(&frame, 1);
  int rc = InstallSignals();
  Log_InstallFatalSignals();
  if (rc == 0) {
    Timer_Start();
    CheckSignature();
    Flare_Init();
    if (gAsyncEnable) rc = EnableAsyncWisps();
  }
  if (rc == 0) {
    fixed = static_cast<struct pollfd *>(calloc(kFixedSlots, sizeof(struct pollfd)));
    if (fixed == nullptr) rc = 1;
    for (int n = 0; rc == 0 && n < pelldan::kKernelContexts; ++n) {
      rc = WispLib_AsyncContextOpen(gContexts[n].number, &gContexts[n].handle);
      if (rc == 0) {
        WispLib_HandleToFd(gContexts[n].handle, &fixed[n].fd);
        fixed[n].events = POLLIN;
      }
    }
  }
  if (rc == 0) {
    rc = WispLib_UserContextOpen(gContexts[kUserSlot].number, &gContexts[kUserSlot].handle);
    if (rc == 0) {
      WispLib_HandleToFd(gContexts[kUserSlot].handle, &fixed[kUserSlot].fd);
      fixed[kUserSlot].events = POLLIN;
    }
  }
  if (rc == 0) {
    fixed[kTraceSlot].fd = Trace_Listen(nullptr);
    fixed[kTraceSlot].events = POLLIN;
    rc = Stream_RegistryInit();
  }
  if (rc == 0) StartStatsServer();
  if (rc == 0) {
    Agent_StartAll(withExtras);
    gWispBuf = static_cast<uint8_t *>(malloc(WISP_BUFFER_INITIAL));
    gWispBufSize = WISP_BUFFER_INITIAL;
    if (gWispBuf == nullptr) {
      Log("Error allocating space for wisp buffer. Out of memory\n");
      rc = 12;
    }
  }
  if (rc == 0) {
    // Allocated before the line that says setup is done: from that line on,
    // the loop allocates only for what it reads.
    table = static_cast<struct pollfd *>(malloc(kMaxSlots * sizeof(struct pollfd)));
    Log("wispd setup completed. Start polling loop.\n");
    Notify_Send("READY=1");
    polled = true;
    if (table != nullptr) {
      memcpy(table, fixed, kFixedSlots * sizeof(struct pollfd));
      for (int s = kFixedSlots; s < kMaxSlots; ++s) table[s] = {-1, POLLIN, 0};
      rc = PollLoop(table, kFixedSlots, true);
    } else {
      rc = PollLoop(fixed, kFixedSlots, false);
    }
  }
  Notify_Send("STOPPING=1");
  StatsServer_Stop();
  free(table);
  Agent_StopAll();
  free(fixed);
  for (Context &c : gContexts) {
    if (c.handle == nullptr) continue;
    int closeRc = WispLib_Close(c.handle);
    if (closeRc != 0) Log("Error closing handle %p: %d\n", static_cast<void *>(c.handle), closeRc);
  }
  if (polled) LogTotals();
  Log("Exiting. rc:%d\n", rc);
  // A collector that stopped taking records lost the count above with them:
  // standard error, which the service manager keeps, still says so.
  unsigned long long dropped = Syslog_DroppedRecords();
  if (dropped > 0)
    fprintf(stderr,
            "wispd: %llu log records were lost, the log collector did not take them (rc %d)\n",
            dropped, rc);
  return rc;
}

}  // namespace

int Wispd_Main(int argc, char **argv) {
  return Run(argc, argv, false);
}

int Wispd_SelfTestMain(int argc, char **argv) {
  return Run(argc, argv, true);
}
