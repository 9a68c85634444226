// Agent threads: every correlator runs on a thread of its own, fed by its
// stream.
#pragma once

#include <poll.h>
#include <stdint.h>

#include "intake/wispdStream.h"
#include "pellibs/wisp.h"

enum { AGENT_MAX = 32 };

typedef void (*AgentEntry)(void);

struct AgentRecord {
  StreamFilter *filter;
  Stream *stream;
  char **name;
  int32_t fdCount;
  int32_t readFd;
};

void Agent_Start(AgentEntry entry);
void Agent_StopAll(void);
void Agent_StartAll(bool withExtras);
// groups and ids end with NULL. 0, or 1 (memory, full filter) or 2 (pipe).
int Agent_Init(const char *name, const char *const *groups, const char *const *ids,
               AgentRecord **record);
void Agent_Cleanup(AgentRecord **record);
// 0 with a record the caller frees with Wisp_Free, or an error code.
int Agent_NextWisp(AgentRecord *record, Wisp **wisp);
// What the stream holds, without a wait: as Stream_Read, and counted in
// the calling agent's counters.
int Agent_ReadStream(AgentRecord *record, Wisp **wisp, bool *complete);
// Another descriptor whose unread bytes are the calling agent's backlog.
void Agent_WatchFd(int fd);
// An agent can be stopped only here, while it waits for input: poll(2) with
// cancellation switched on for the wait alone. Everywhere else (handlers,
// flare posts, host calls) a stop waits until the agent comes back here.
int Agent_Poll(struct pollfd *fds, nfds_t count, int timeoutMs);

// The logger agent: logs every observation of its groups.
void Agent_LogAll(void);
