#include "output/wispdTrace.h"

#include <errno.h>
#include <malloc.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <deque>
#include <map>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "base/wispdAcceptNote.h"
#include "base/wispdBytes.h"
#include "base/wispdClock.h"
#include "base/wispdKeptDigits.h"
#include "base/wispdLock.h"
#include "base/wispdLog.h"
#include "base/wispdMemory.h"
#include "base/wispdStats.h"
#include "output/wispdTraceHistory.h"
#include "pelldan/accept_pause.h"
#include "pelldan/files.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "pellibs/msgfmt.h"

namespace {

// Pending lines are kept in chunks of about kChunk bytes: few allocations
// for a large backlog, and its size is what it costs.
constexpr size_t kChunk = 64 * 1024;

struct Client {
  std::deque<std::string> pending;
  size_t pendingBytes = 0;
  bool closed = false;
};

// Guarded by gMutex; nothing else is taken while it is held. Never
// destroyed: detached client threads may outlive static destruction.
pthread_mutex_t gMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gCond = PTHREAD_COND_INITIALIZER;
TraceHistory &gHistory = *new TraceHistory(TRACE_HISTORY_MAX);
std::map<int, Client> &gClients = *new std::map<int, Client>;
size_t gPendingTotal = 0;  // pendingBytes over all clients

void Append(Client *c, std::string_view line) {
  if (c->pending.empty() || c->pending.back().size() + line.size() > kChunk) {
    c->pending.emplace_back();
    c->pending.back().reserve(std::max(kChunk, line.size()));
  }
  c->pending.back() += line;
  c->pendingBytes += line.size();
  gPendingTotal += line.size();
}

// Frees what the client had pending. A default-made deque allocates, so the
// lines are cleared in place rather than swapped out: a client can be let
// go with no memory left.
void DropPending(Client *c) {
  c->pending.clear();
  gPendingTotal -= c->pendingBytes;
  c->pendingBytes = 0;
}

// What ClientOf gives for a client that is gone; made before any thread
// needs it, so that no lookup allocates.
Client &gGone = *new Client{{}, 0, true};

struct ClientArgs {
  int fd;
  pthread_t writer;  // joined by the reader when the client is gone
};

// Shuts the connection so that the client's reader ends and cleans up.
void Disconnect(int fd, Client *client) {
  client->closed = true;
  DropPending(client);
  shutdown(fd, SHUT_RDWR);
}

bool WriteAll(int fd, const std::string &line) {
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EPIPE) Log("Unexpected write error %s", strerror(errno));
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The client's entry, which exists from the accept until Forget; a
// closed stand-in otherwise, so that nothing is inserted (or allocated).
Client &ClientOf(int fd) {
  auto it = gClients.find(fd);
  return it != gClients.end() ? it->second : gGone;
}

void *Writer(void *arg) {
  pthread_setname_np(pthread_self(), "wispdTraceOut");
  int fd = static_cast<ClientArgs *>(arg)->fd;
  for (;;) {
    // One chunk at a time: what the writer holds stays small, the rest is
    // counted as pending.
    std::string chunk;
    {
      MutexGuard lock(&gMutex);
      Client &c = ClientOf(fd);
      while (c.pending.empty() && !c.closed) pthread_cond_wait(&gCond, &gMutex);
      if (c.pending.empty()) return nullptr;
      chunk.swap(c.pending.front());
      c.pending.pop_front();
      c.pendingBytes -= chunk.size();
      gPendingTotal -= chunk.size();
    }
    if (!WriteAll(fd, chunk)) {
      MutexGuard lock(&gMutex);
      Disconnect(fd, &ClientOf(fd));
      return nullptr;
    }
  }
}

// Removes the client's entry and ends its connection.
void ForgetFd(int fd) {
  // The entry leaves the map under the lock and is freed after it.
  std::map<int, Client>::node_type entry;
  {
    MutexGuard lock(&gMutex);
    auto it = gClients.find(fd);
    if (it != gClients.end()) {
      gPendingTotal -= it->second.pendingBytes;
      entry = gClients.extract(it);
    }
  }
  close(fd);
}

void *Forget(ClientArgs *args) {
  ForgetFd(args->fd);
  delete args;
  return nullptr;
}

// Marks the client gone and waits for its writer to end.
void EndWriter(ClientArgs *args) {
  {
    MutexGuard lock(&gMutex);
    ClientOf(args->fd).closed = true;
    pthread_cond_broadcast(&gCond);
  }
  pthread_join(args->writer, nullptr);
}

// Both of a client's threads are made by the accepting thread, so that
// neither needs memory of its own to serve or to let go.
void *ClientThread(void *arg) {
  pthread_setname_np(pthread_self(), "wispdTraceIn");
  ClientArgs *args = static_cast<ClientArgs *>(arg);
  int fd = args->fd;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char byte;
    ssize_t n = read(fd, &byte, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }
  EndWriter(args);
  return Forget(args);
}

}  // namespace

int Trace_Listen(const char *path) {
  std::string where = path != nullptr ? path : pelldan::RootPath(pelldan::kTraceSocket);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Only the daemon's own user may connect.
  if (pelldan::BindInPlace(fd, where, 128) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

namespace {
pelldan::AcceptPause gAcceptPause;  // main thread only
}  // namespace

int Trace_AcceptRestMs(void) {
  return gAcceptPause.RestMs(pelldan::AcceptPause::NowMs());
}

void Trace_Accept(int listenFd) {
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  // Out of descriptors the failure is logged once, when the episode starts.
  Accept_Note(&gAcceptPause, "Trace", fd, errno, "Trace accept() failed: %s", true);
  if (fd < 0) return;
  // Each client costs two threads and a copy of the history. Its entry is
  // made here, so that a burst of connections is counted at once.
  bool full = false;
  try {
    MutexGuard lock(&gMutex);
    full = gClients.size() >= TRACE_CLIENTS_MAX;
    if (!full) {
      Client &c = gClients[fd];
      gHistory.Read([&c](std::string_view lines) { Append(&c, lines); });
      Append(&c, "\n");
    }
  } catch (const std::bad_alloc &) {
    Memory_Failed("accepting a trace client");
    ForgetFd(fd);
    return;
  }
  if (full) {
    close(fd);
    Log("Trace client refused: already serving %d clients\n", TRACE_CLIENTS_MAX);
    Stats_Count(STATS_TRACE_REFUSED);
    return;
  }
  ClientArgs *args = new (std::nothrow) ClientArgs{fd, {}};
  if (args == nullptr) {
    Memory_Failed("accepting a trace client");
    ForgetFd(fd);
    return;
  }
  int rc = pthread_create(&args->writer, nullptr, Writer, args);
  if (rc != 0) {
    Log("pthread_create failed: %s", strerror(rc));
    Forget(args);
    return;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t reader;
  rc = pthread_create(&reader, &attr, ClientThread, args);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    Log("pthread_create failed: %s", strerror(rc));
    EndWriter(args);
    Forget(args);
  }
}

namespace {

// Decimal without printf: the dispatcher builds one line per record.
template <typename T>
void AppendNumber(std::string *line, T value) {
  char num[24];
  *line += std::string_view(
      num, static_cast<size_t>(std::to_chars(num, num + sizeof num, value).ptr - num));
}

}  // namespace

bool Trace_BuildLine(const struct timespec &now, const char *direction, uint64_t timestampUs,
                     const char *id, const void *args, int count, const void *recordEnd,
                     std::string *line) {
  // The head is written in place: its longest is two numbers of 20
  // characters, nine digits, the separators, the direction and the id.
  size_t directionLen = strlen(direction);
  size_t idLen = strlen(id);
  line->resize(64 + directionLen + idLen);
  char *const head = &(*line)[0];
  // The seconds change once a second: their digits are kept per thread.
  thread_local KeptDigits tSeconds;
  char *at = head + tSeconds.Write(now.tv_sec, head);
  *at++ = '.';
  long ns = now.tv_nsec;
  for (int i = 8; i >= 0; --i, ns /= 10) at[i] = static_cast<char>('0' + ns % 10);
  at += 9;
  *at++ = ',';
  memcpy(at, direction, directionLen);
  at += directionLen;
  *at++ = ',';
  at = std::to_chars(at, at + 20, timestampUs).ptr;
  *at++ = ',';
  memcpy(at, id, idLen);
  at += idLen;
  *at++ = ',';
  line->resize(static_cast<size_t>(at - head));
  const uint8_t *base = static_cast<const uint8_t *>(args);
  const uint8_t *end = static_cast<const uint8_t *>(recordEnd);
  if (count < 0 || end < base ||
      static_cast<uint64_t>(count) > static_cast<uint64_t>(end - base) / MSGFMT_ARG_SIZE)
    return false;
  for (int i = 0; i < count; ++i) {
    const uint8_t *d = base + static_cast<size_t>(i) * MSGFMT_ARG_SIZE;
    uint64_t value = Bytes_Load64(d + 8);
    *line += ',';
    switch (Bytes_Load32(d)) {
      case MSGFMT_INT32:
        AppendNumber(line, static_cast<int32_t>(value));
        break;
      case MSGFMT_INT64:
        AppendNumber(line, static_cast<int64_t>(value));
        break;
      case MSGFMT_UINT32:
        AppendNumber(line, static_cast<uint32_t>(value));
        break;
      case MSGFMT_UINT64:
        AppendNumber(line, value);
        break;
      case MSGFMT_STRING: {
        const char *s = nullptr;
        if (MsgFmt_GetSwizzledString(args, count, i, recordEnd, &s) != 0) return false;
        *line += '"';
        // Each quote inside doubled: the text up to it and one more.
        const char *p = s != nullptr ? s : "(null)";
        for (const char *q; (q = strchr(p, '"')) != nullptr; p = q + 1) {
          line->append(p, static_cast<size_t>(q - p) + 1);
          *line += '"';
        }
        *line += p;
        *line += '"';
        break;
      }
      default:
        *line += "???";
        break;
    }
  }
  *line += '\n';
  return true;
}

namespace {

// What a thread's line buffer keeps between lines.
constexpr size_t kLineKept = 4096;

// Each thread's line buffer, kept from line to line so that its room is
// made once. A key rather than a thread_local string: registering the
// latter's destructor aborts the process when memory is short.
pthread_key_t gLineKey;
bool gLineKeyMade = false;
pthread_once_t gLineKeyOnce = PTHREAD_ONCE_INIT;

void MakeLineKey() {
  gLineKeyMade = pthread_key_create(
                     &gLineKey, [](void *line) { delete static_cast<std::string *>(line); }) == 0;
}

// The thread's buffer; without memory for one, fresh.
std::string &LineBuffer(std::string *fresh) {
  pthread_once(&gLineKeyOnce, MakeLineKey);
  if (!gLineKeyMade) return *fresh;
  auto *line = static_cast<std::string *>(pthread_getspecific(gLineKey));
  if (line != nullptr) return *line;
  line = new (std::nothrow) std::string;
  if (line == nullptr) return *fresh;
  if (pthread_setspecific(gLineKey, line) != 0) {
    delete line;
    return *fresh;
  }
  return *line;
}

struct Drop {
  int fd;
  size_t behind;
};

// Hands the line to every client and the history; the clients that fell
// too far behind go into drops.
void Distribute(const std::string *line, std::vector<Drop> *drops) {
  MutexGuard lock(&gMutex);
  for (auto &entry : gClients) {
    Client &c = entry.second;
    if (c.closed) continue;
    if (c.pendingBytes + line->size() > TRACE_PENDING_MAX) {
      drops->push_back({entry.first, c.pendingBytes});
      Disconnect(entry.first, &c);
      continue;
    }
    Append(&c, *line);
  }
  while (gPendingTotal > TRACE_PENDING_TOTAL_MAX) {
    auto furthest = gClients.end();
    for (auto it = gClients.begin(); it != gClients.end(); ++it)
      if (furthest == gClients.end() || it->second.pendingBytes > furthest->second.pendingBytes)
        furthest = it;
    if (furthest == gClients.end() || furthest->second.pendingBytes == 0) break;
    drops->push_back({furthest->first, furthest->second.pendingBytes});
    Disconnect(furthest->first, &furthest->second);
  }
  gHistory.Add(*line);
}

}  // namespace

void Trace_Emit(const char *direction, uint64_t timestampUs, const char *id, const void *args,
                int count, const void *recordEnd) {
  std::vector<Drop> drops;
  // Out of memory the line is lost, for some clients or all; the caller
  // (the dispatcher, a flare on its way to hubd) goes on.
  try {
    std::string fresh;
    std::string &line = LineBuffer(&fresh);
    if (!Trace_BuildLine(Clock_Get().Realtime(), direction, timestampUs, id, args, count, recordEnd,
                         &line)) {
      Log("Invalid argument in wisp with ID %s", id);
      return;
    }
    Distribute(&line, &drops);
    // One very long line does not keep its room for good.
    if (line.capacity() > kLineKept) std::string().swap(line);
  } catch (const std::bad_alloc &) {
    Memory_Failed("the trace");
  }
  pthread_cond_broadcast(&gCond);
  if (drops.empty()) return;
  for (const Drop &d : drops) {
    Log("Trace client %d fell %zu bytes behind; disconnecting it\n", d.fd, d.behind);
    Stats_Count(STATS_TRACE_DROPPED);
  }
  malloc_trim(0);  // a dropped backlog goes back to the system
}
