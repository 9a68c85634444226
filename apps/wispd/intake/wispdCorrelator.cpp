#include "intake/wispdCorrelator.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <string_view>
#include <vector>

#include "base/wispdLog.h"
#include "base/wispdMemory.h"
#include "intake/wispdAgent.h"
#include "output/wispdFlareRow.h"
#include "pellibs/str.h"

namespace {

void Guarded(const WispHandlerSlot &slot, const Wisp *wisp) {
  try {
    if (slot.row != nullptr) {
      FlareRow_Handle(*slot.row, wisp);
    } else {
      slot.handler(wisp);
    }
  } catch (const std::bad_alloc &) {
    Memory_Failed("a handler");
  } catch (const std::exception &) {
    // A handler's standard exception costs only its observation.
  }
}

// The agent's thread name; the bare name when it cannot be built.
char *ThreadName(const char *name) {
  char *full = Str_Asprintf(nullptr, "%sCorrelator", name);
  return full != nullptr ? full : strdup(name);
}

}  // namespace

void Correlator_Dispatch(WispHandler fallback, const WispHandlerTable &table, const Wisp *wisp) {
  const char *id = nullptr;
  Wisp_GetID(wisp, &id);
  auto it = id != nullptr ? table.find(std::string_view(id)) : table.end();
  if (it == table.end() || it->second.Empty()) {
    Guarded(WispHandlerSlot(fallback), wisp);
    return;
  }
  LogWisp(wisp);
  Guarded(it->second, wisp);
}

void Correlator_RunGroups(const char *name, const char *const *groups, const char *const *ids,
                          WispHandler fallback, const WispHandlerTable &table) {
  char *threadName = ThreadName(name);
  AgentRecord *rec = nullptr;
  int rc = Agent_Init(threadName != nullptr ? threadName : name, groups, ids, &rec);
  free(threadName);  // the record and the thread keep copies
  if (rc != 0) return;
  for (;;) {
    Wisp *wisp = nullptr;
    if (Agent_NextWisp(rec, &wisp) != 0) break;
    Correlator_Dispatch(fallback, table, wisp);
    Wisp_Free(wisp);
  }
  Agent_Cleanup(&rec);
}

void Correlator_Run(const char *name, const char *group, WispHandler fallback,
                    const WispHandlerTable &table) {
  const char *groups[] = {group, nullptr};
  const char *ids[] = {nullptr};
  Correlator_RunGroups(name, groups, ids, fallback, table);
}

void Correlator_RunWithFds(const char *name, const char *group, WispHandler fallback,
                           const WispHandlerTable &table, WakeupCallback wakeup, const int *fds,
                           int count) {
  char *threadName = ThreadName(name);
  const char *groups[] = {group, nullptr};
  AgentRecord *rec = nullptr;
  int rc = Agent_Init(threadName != nullptr ? threadName : name, groups, nullptr, &rec);
  free(threadName);
  if (rc != 0) return;
  for (int i = 0; i < count; ++i) Agent_WatchFd(fds[i]);
  std::vector<struct pollfd> polls(static_cast<size_t>(count) + 1);
  for (;;) {
    polls[0] = {rec->readFd, POLLIN, 0};
    for (int i = 0; i < count; ++i) polls[static_cast<size_t>(i) + 1] = {fds[i], POLLIN, 0};
    if (Agent_Poll(polls.data(), polls.size(), -1) < 0) {
      if (errno == EINTR) continue;
      Log("Failed to poll - %s\n", strerror(errno));
      break;
    }
    // Every whole record the pipe holds, before the next poll.
    bool failed = false;
    for (bool complete = (polls[0].revents & POLLIN) != 0; complete;) {
      Wisp *wisp = nullptr;
      if (Agent_ReadStream(rec, &wisp, &complete) != 0) {
        Log("Failed to get Wisp\n");
        failed = true;
        break;
      }
      if (complete) {
        Correlator_Dispatch(fallback, table, wisp);
        Wisp_Free(wisp);
      }
    }
    if (failed) break;
    for (size_t i = 1; i < polls.size(); ++i) {
      if ((polls[i].revents & POLLIN) == 0) continue;
      char discard[10];
      ssize_t n = read(polls[i].fd, discard, sizeof discard);
      (void)n;
      try {
        wakeup();
      } catch (const std::bad_alloc &) {
        Memory_Failed("a wake-up");
      } catch (const std::exception &) {
        // As for handlers: the agent goes on.
      }
    }
  }
  Agent_Cleanup(&rec);
}

void Correlator_IgnoreWisp(const Wisp *) {}

void Correlator_ReportUnhandled(const Wisp *wisp) {
  const char *id = nullptr;
  Wisp_GetID(wisp, &id);
  if (id == nullptr) {
    Log("FAIL: Received NULL wispID\n");
  } else {
    Log("No correlator for %s \n", id);
  }
}

void Correlator_LogWisp(const Wisp *wisp) {
  LogWisp(wisp);
}
