#include "intake/wispdAgent.h"

#include <cxxabi.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <exception>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "base/wispdLog.h"
#include "base/wispdStats.h"
#include "base/wispdTurn.h"
#include "pellibs/str.h"
#include "pellibs/zthread.h"

namespace {

pthread_t gThreads[AGENT_MAX];
uint32_t gCount = 0;

// Start-up hand-shake: Agent_Start returns once the new agent has opened its
// stream (or ended), so no observation is dispatched before it listens.
struct StartSync {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  bool ready = false;
};

struct AgentStart {
  AgentEntry entry;
  StartSync *sync;
};

thread_local StartSync *tStartSync = nullptr;
// The agent wrapper's frame: everything below it belongs to the agent.
thread_local char *tStackTop = nullptr;

// A stop unwinds the agent's stack from its wait. The unwinder leaves the
// address sanitizer's redzones of the frames it removes behind, and the
// runtime then trips over them; so before each wait they are cleared (the
// frames live across the wait lose theirs; frames made later keep them).
void ClearStackRedzones() {
#if defined(__SANITIZE_ADDRESS__)
  char *here = static_cast<char *>(__builtin_frame_address(0));
  if (tStackTop != nullptr && here < tStackTop)
    ASAN_UNPOISON_MEMORY_REGION(here, static_cast<size_t>(tStackTop - here));
#endif
}

// Live agent records by owning thread: an agent that ends any way has its
// stream closed, so the dispatcher never blocks on a pipe nobody reads; and
// the records of cancelled agents stay reachable until the process ends.
struct LiveRecord {
  pthread_t owner;
  AgentRecord *record;
  int slot;     // the agent's counters
  bool orphan;  // its thread was joined: a new thread may reuse the id
};
pthread_mutex_t gLiveLock = PTHREAD_MUTEX_INITIALIZER;
LiveRecord gLive[2 * AGENT_MAX];

// The calling agent's counters slot.
thread_local int tSlot = -1;
thread_local WorkTurn tTurn;

void SetLive(AgentRecord *from, AgentRecord *to, int slot) {
  pthread_mutex_lock(&gLiveLock);
  for (LiveRecord &l : gLive) {
    if (l.record != from || l.orphan ||
        (from != nullptr && !pthread_equal(l.owner, pthread_self())))
      continue;
    l = {pthread_self(), to, slot, false};
    break;
  }
  pthread_mutex_unlock(&gLiveLock);
}

// A joined thread's records stay reachable, but are no longer its: a thread
// started later may be given the same id.
void Orphan(pthread_t thread) {
  pthread_mutex_lock(&gLiveLock);
  for (LiveRecord &l : gLive)
    if (l.record != nullptr && pthread_equal(l.owner, thread)) l.orphan = true;
  pthread_mutex_unlock(&gLiveLock);
}

// The counters slot of a live record, or -1.
int SlotOf(const AgentRecord *rec) {
  int slot = -1;
  pthread_mutex_lock(&gLiveLock);
  for (const LiveRecord &l : gLive)
    if (l.record == rec) slot = l.slot;
  pthread_mutex_unlock(&gLiveLock);
  return slot;
}

AgentRecord *OwnLive() {
  AgentRecord *rec = nullptr;
  pthread_mutex_lock(&gLiveLock);
  for (const LiveRecord &l : gLive)
    if (l.record != nullptr && !l.orphan && pthread_equal(l.owner, pthread_self())) rec = l.record;
  pthread_mutex_unlock(&gLiveLock);
  return rec;
}

void SignalStarted() {
  StartSync *sync = tStartSync;
  if (sync == nullptr) return;
  tStartSync = nullptr;
  pthread_mutex_lock(&sync->mutex);
  sync->ready = true;
  pthread_cond_broadcast(&sync->cond);
  pthread_mutex_unlock(&sync->mutex);
}

unsigned EntryAddress(AgentEntry entry) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(entry));
}

void *AgentWrapper(void *arg) {
  AgentStart start = *static_cast<AgentStart *>(arg);
  delete static_cast<AgentStart *>(arg);
  tStartSync = start.sync;
  tStackTop = static_cast<char *>(__builtin_frame_address(0));
  // Cancellation is deferred and off; Agent_Poll opens it for the wait. A
  // cancel arriving elsewhere stays pending until then, so the thread never
  // unwinds out of the allocator, a socket call or a handler.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  if (pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr) != 0) {
    Log("Failed to set thread cancel type for agent function(%#x).\n", EntryAddress(start.entry));
  }
  try {
    start.entry();
  } catch (const std::exception &e) {
    Log("Exception (%s) in agent function(%#x).\n", e.what(), EntryAddress(start.entry));
  } catch (...) {
    // Cancellation unwinds with a foreign exception that has no type: let
    // it go on.
    if (abi::__cxa_current_exception_type() == nullptr) throw;
    Log("Unknown exception in agent function(%#x).\n", EntryAddress(start.entry));
  }
  AgentRecord *left = OwnLive();
  if (left != nullptr) Agent_Cleanup(&left);
  SignalStarted();
  return nullptr;
}

}  // namespace

void Agent_Start(AgentEntry entry) {
  if (gCount > AGENT_MAX - 1) {
    Log("Failed to start agent. Already reached max limit of %u agents.\n", AGENT_MAX);
    return;
  }
  StartSync *sync = new StartSync;
  AgentStart *start = new AgentStart{entry, sync};
  int rc = pthread_create(&gThreads[gCount], nullptr, AgentWrapper, start);
  if (rc != 0) {
    Log("Failed to create thread %p (id:%d err:%d %s)\n", reinterpret_cast<void *>(entry),
        static_cast<int>(gCount), rc, strerror(rc));
    delete start;
    delete sync;
    return;
  }
  ++gCount;
  pthread_mutex_lock(&sync->mutex);
  while (!sync->ready) pthread_cond_wait(&sync->cond, &sync->mutex);
  pthread_mutex_unlock(&sync->mutex);
  delete sync;
}

void Agent_StopAll(void) {
  while (gCount > 0) {
    --gCount;
    int rc = pthread_cancel(gThreads[gCount]);
    if (rc != 0) {
      Log("Failed to cancel thread id:%d, err:%d %s\n", static_cast<int>(gCount), rc, strerror(rc));
      continue;
    }
    rc = pthread_join(gThreads[gCount], nullptr);
    if (rc != 0) {
      Log("Failed to join thread id:%d, err:%d %s\n", static_cast<int>(gCount), rc, strerror(rc));
    } else {
      Orphan(gThreads[gCount]);
    }
  }
}

int Agent_Init(const char *name, const char *const *groups, const char *const *ids,
               AgentRecord **out) {
  ZThreadBase_SetName(name);
  *out = nullptr;
  AgentRecord *rec = static_cast<AgentRecord *>(calloc(1, sizeof(AgentRecord)));
  int rc = 1;
  if (rec != nullptr) {
    rec->fdCount = 1;
    rec->readFd = -1;
    rec->name = static_cast<char **>(calloc(1, sizeof(char *)));
    if (rec->name != nullptr) *rec->name = strdup(name);
    rec->filter = StreamFilter_Create();
    rc = rec->name == nullptr || *rec->name == nullptr || rec->filter == nullptr ? 1 : 0;
    for (const char *const *g = groups; rc == 0 && g != nullptr && *g != nullptr; ++g)
      rc = StreamFilter_AddGroup(rec->filter, *g);
    for (const char *const *i = ids; rc == 0 && i != nullptr && *i != nullptr; ++i)
      rc = StreamFilter_AddId(rec->filter, *i);
    if (rc == 0) rc = Stream_Open(rec->name, rec->filter, &rec->stream);
    if (rc == 0) {
      int count = rec->fdCount;
      rc = Stream_GetReadFds(rec->stream, &count, &rec->readFd);
      rec->fdCount = 1;
    }
  }
  if (rc != 0) {
    Agent_Cleanup(&rec);
    Log("Failed to initialize agent %s (error code: %d) \n", name, rc);
  } else {
    *out = rec;
    tSlot = Stats_AgentAdd(name);
    Stats_AgentWatch(tSlot, rec->readFd);
    SetLive(nullptr, rec, tSlot);
    Log_Hold();  // the first turn, and the held records' room made now
  }
  SignalStarted();
  return rc;
}

void Agent_Cleanup(AgentRecord **record) {
  AgentRecord *rec = *record;
  if (rec == nullptr) return;
  // Its observations go unhandled from now on: said, and counted.
  int slot = SlotOf(rec);
  if (slot >= 0) {
    Stats_AgentEnded(slot);
    Stats_Count(STATS_AGENT_ENDED);
    Log("Agent %s ended; observations for it are no longer handled.\n",
        rec->name != nullptr && *rec->name != nullptr ? *rec->name : "(unnamed)");
  }
  SetLive(rec, nullptr, -1);
  StreamFilter_Free(rec->filter);
  if (rec->stream != nullptr) Stream_Close(rec->stream);
  if (rec->name != nullptr) free(*rec->name);
  free(rec->name);
  free(rec);
  *record = nullptr;
  Log("Done cleaning up agent.\n");
  Log_Release();
}

int Agent_NextWisp(AgentRecord *record, Wisp **wisp) {
  // What is in the pipe first: a batch arrives in one write, and its
  // records are taken without a poll each; a pipe the last read emptied is
  // waited for before it is read again.
  for (bool read = !Stream_WaitFirst(record->stream);; read = true) {
    if (read) {
      bool complete = false;
      int rc = Agent_ReadStream(record, wisp, &complete);
      if (rc != 0) {
        Log("Failed to get Wisp\n");
        return rc;
      }
      if (complete) return 0;
    }
    struct pollfd p = {record->readFd, POLLIN, 0};
    if (Agent_Poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      Log("Failed to poll - %s\n", strerror(errno));
      return 2;
    }
    if ((p.revents & POLLIN) == 0) {
      Log("Failed to poll, invalid revents - %hd\n", p.revents);
      return 2;
    }
  }
}

void Agent_WatchFd(int fd) {
  Stats_AgentWatch(tSlot, fd);
}

int Agent_ReadStream(AgentRecord *record, Wisp **wisp, bool *complete) {
  int rc = Stream_Read(record->stream, wisp, complete);
  // Read from the pipe but not yet taken: still the agent's backlog.
  Stats_AgentHeld(tSlot, Stream_Held(record->stream));
  if (rc == 0 && *complete) {
    Stats_AgentTook(tSlot);
    if (tTurn.Over()) {
      Log_Release();  // the turn's records go out before others run
      tTurn.Yield();
      Log_Hold();
    }
  }
  return rc;
}

// Not instrumented: a stop unwinds from inside this frame, and redzones of
// its own locals would be left behind below the clearing above.
__attribute__((no_sanitize_address)) int Agent_Poll(struct pollfd *fds, nfds_t count,
                                                    int timeoutMs) {
  Log_Release();  // the turn's records go out before the agent waits
  ClearStackRedzones();
  int old = PTHREAD_CANCEL_DISABLE;
  Stats_AgentWaiting(tSlot, true);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
  int rc = poll(fds, count, timeoutMs);
  int saved = errno;
  pthread_setcancelstate(old, nullptr);
  Stats_AgentWaiting(tSlot, false);
  tTurn.Begin();
  Log_Hold();
  errno = saved;
  return rc;
}

void Agent_LogAll(void) {
  static const char *const kGroups[] = {"user", "internal", "external", "net",  "scsi",    "cairn",
                                        "cpu",  "hardware", "mem",      "test", "migrate", nullptr};
  char *name = Str_Asprintf(nullptr, "%sLogger", "LogAll");
  AgentRecord *rec = nullptr;
  int rc = Agent_Init(name != nullptr ? name : "LogAll", kGroups, nullptr, &rec);
  free(name);
  if (rc != 0) return;
  for (;;) {
    Wisp *wisp = nullptr;
    if (Agent_NextWisp(rec, &wisp) != 0) break;
    LogWisp(wisp);
    Wisp_Free(wisp);
  }
  Agent_Cleanup(&rec);
}
