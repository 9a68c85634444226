#include "exporter.h"

#include <errno.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <list>
#include <memory>
#include <vector>

#include "counters.h"
#include "listen.h"
#include "opening.h"
#include "pelldan/version.h"

namespace wispstats {

namespace {

constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kErrorType[] = "text/plain; charset=utf-8";
// A scrape waits this long for the daemon, well inside Prometheus's own
// default scrape time-out (10 s).
constexpr int kDaemonTimeoutMs = 2000;
// A connection must bring a whole request within this time of opening or
// of its last answer, however busily it trickles; then it is closed. A
// keep-alive scraper every 5 s keeps its connection.
constexpr int kRequestDeadlineMs = 5000;
// Connections held at once; each costs a descriptor and at most the
// memory below, never a thread.
constexpr unsigned kMaxConnections = 2048;
// Request line and headers must fit here: 414 or 431 beyond.
constexpr size_t kConnectionMemory = 16 * 1024;
// A scrape has no body; a larger one is refused with 413, unread.
constexpr uint64_t kMaxBody = 4096;

// A connection, on the deadline list while it owes a request.
struct Client {
  int fd;
  long deadline;
  bool due;
};
using Clients = std::list<Client>;

// A connection accepted and not yet given to the server: its first bytes
// decide (opening.h).
struct Newcomer {
  int fd;
  long deadline;
  struct sockaddr_storage addr;
  socklen_t addrLen;
};

// One request: once the snapshot came, its page.
struct Request {
  std::shared_ptr<const std::string> page;
};

class Server {
 public:
  explicit Server(const std::string &statsPath) : statsPath_(statsPath) {}
  ~Server() {
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  }
  bool Start(int listenFd, unsigned maxConnections);
  // Serves until a signal arrives on signalFd.
  void Run(int signalFd);

 private:
  static MHD_Result Access(void *cls, MHD_Connection *c, const char *url, const char *method,
                           const char *, const char *, size_t *uploadSize, void **conCls);
  static void Completed(void *cls, MHD_Connection *, void **conCls, MHD_RequestTerminationCode);
  static void Notify(void *cls, MHD_Connection *c, void **socketContext,
                     MHD_ConnectionNotificationCode code);
  MHD_Result Scrape(MHD_Connection *c, Request *r);
  // Takes the connections waiting to be accepted, while there is room.
  void Accept();
  // Gives each newcomer whose first bytes came to the server, or refuses it.
  void Screen(const std::vector<struct pollfd> &polled, size_t from);
  void FinishScrapes(bool up, const std::string &counters);
  void CloseOverdue(long now);
  int Timeout(long now);

  std::string statsPath_;
  MHD_Daemon *daemon_ = nullptr;
  int listenFd_ = -1;
  unsigned maxConnections_ = 0;
  bool outOfDescriptors_ = false;  // accept() is retried once one closed
  std::vector<Newcomer> newcomers_;
  long handedDeadline_ = 0;  // the deadline of the connection being handed over
  Clients due_;              // by deadline, earliest first
  Clients busy_;             // being answered, or closing
  size_t closed_ = 0;
  std::unique_ptr<SnapshotRead> read_;
  // Scrapes suspended until the snapshot in flight comes.
  std::vector<std::pair<MHD_Connection *, Request *>> waiting_;
};

MHD_Result Answer(MHD_Connection *c, unsigned status, const std::string &body,
                  const char *type = kErrorType) {
  MHD_Response *res = MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
  if (res == nullptr) return MHD_NO;
  MHD_add_response_header(res, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(res, "Allow", "GET, HEAD");
  MHD_Result rc = MHD_queue_response(c, status, res);
  MHD_destroy_response(res);
  return rc;
}

// The connection's place on the lists; null once it has closed.
Clients::iterator *ClientOf(MHD_Connection *c) {
  const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info == nullptr ? nullptr : static_cast<Clients::iterator *>(info->socket_context);
}

void Server::Notify(void *cls, MHD_Connection *c, void **socketContext,
                    MHD_ConnectionNotificationCode code) {
  Server *s = static_cast<Server *>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    int fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD)->connect_fd;
    // The time it waited for its first bytes counts.
    long deadline = s->handedDeadline_ != 0 ? s->handedDeadline_ : NowMs() + kRequestDeadlineMs;
    s->due_.push_back({fd, deadline, true});
    *socketContext = new Clients::iterator(std::prev(s->due_.end()));
  } else if (*socketContext != nullptr) {
    ++s->closed_;
    auto *it = static_cast<Clients::iterator *>(*socketContext);
    ((*it)->due ? s->due_ : s->busy_).erase(*it);
    delete it;
    *socketContext = nullptr;
  }
}

void Server::Completed(void *cls, MHD_Connection *c, void **conCls, MHD_RequestTerminationCode) {
  Server *s = static_cast<Server *>(cls);
  delete static_cast<Request *>(*conCls);
  *conCls = nullptr;
  // Kept alive: the next request is due in its turn.
  Clients::iterator *it = ClientOf(c);
  if (it != nullptr && !(*it)->due && (*it)->fd >= 0) {
    (*it)->due = true;
    (*it)->deadline = NowMs() + kRequestDeadlineMs;
    s->due_.splice(s->due_.end(), s->busy_, *it);
  }
}

MHD_Result Server::Access(void *cls, MHD_Connection *c, const char *url, const char *method,
                          const char *, const char *, size_t *uploadSize, void **conCls) {
  Server *s = static_cast<Server *>(cls);
  Request *r = static_cast<Request *>(*conCls);
  if (r == nullptr) {
    // The request is whole: off the deadline list while it is answered.
    *conCls = r = new Request;
    Clients::iterator *it = ClientOf(c);
    if (it != nullptr && (*it)->due) {
      (*it)->due = false;
      s->busy_.splice(s->busy_.end(), s->due_, *it);
    }
    // A body is refused before it is read: one too large, or one of a
    // length not given in advance. A scrape sends none.
    if (MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING))
      return Answer(c, MHD_HTTP_LENGTH_REQUIRED, "A request body needs a Content-Length\n");
    const char *length =
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr && strtoull(length, nullptr, 10) > kMaxBody)
      return Answer(c, MHD_HTTP_CONTENT_TOO_LARGE, "Request body too large\n");
    return MHD_YES;
  }
  // A small body is read and ignored.
  if (*uploadSize > 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  if (r->page) return Answer(c, MHD_HTTP_OK, *r->page, kContentType);
  if (strcmp(url, "/metrics") != 0)
    return Answer(c, MHD_HTTP_NOT_FOUND, "Not found: try /metrics\n");
  if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
    return Answer(c, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD\n");
  return s->Scrape(c, r);
}

// Every scrape waiting at once shares one snapshot, read in the poll loop:
// a daemon slow to answer holds up no other client.
MHD_Result Server::Scrape(MHD_Connection *c, Request *r) {
  if (!read_) {
    auto read = std::make_unique<SnapshotRead>(statsPath_, kDaemonTimeoutMs);
    // No daemon to connect to: the answer is ready at once.
    if (read->Done()) return Answer(c, MHD_HTTP_OK, MetricsPage(false, ""), kContentType);
    read_ = std::move(read);
  }
  MHD_suspend_connection(c);
  waiting_.emplace_back(c, r);
  return MHD_YES;
}

void Server::FinishScrapes(bool up, const std::string &counters) {
  auto page = std::make_shared<const std::string>(MetricsPage(up, counters));
  for (auto &[c, r] : waiting_) {
    r->page = page;
    MHD_resume_connection(c);
  }
  waiting_.clear();
  read_.reset();
}

// Overdue connections are shut down; the server then sees them end.
void Server::CloseOverdue(long now) {
  for (size_t i = 0; i < newcomers_.size();) {
    if (newcomers_[i].deadline > now) {
      ++i;
      continue;
    }
    close(newcomers_[i].fd);
    newcomers_[i] = newcomers_.back();
    newcomers_.pop_back();
    ++closed_;
  }
  while (!due_.empty() && due_.front().deadline <= now) {
    auto it = due_.begin();
    shutdown(it->fd, SHUT_RDWR);
    it->due = false;
    it->fd = -1;
    busy_.splice(busy_.end(), due_, it);
  }
}

int Server::Timeout(long now) {
  long timeout = -1;
  MHD_UNSIGNED_LONG_LONG mhd;
  if (MHD_get_timeout(daemon_, &mhd) == MHD_YES) timeout = static_cast<long>(mhd);
  auto sooner = [&timeout](long t) {
    if (t < 0) t = 0;
    if (timeout < 0 || t < timeout) timeout = t;
  };
  if (!due_.empty()) sooner(due_.front().deadline - now);
  for (const Newcomer &n : newcomers_) sooner(n.deadline - now);
  if (read_) sooner(read_->Left());
  return static_cast<int>(timeout);
}

bool Server::Start(int listenFd, unsigned maxConnections) {
  // The server runs in this thread's poll loop (epoll, no thread of its own).
  // Connections are accepted here and handed over once their first bytes
  // look like a request (opening.h).
  listenFd_ = listenFd;
  maxConnections_ = maxConnections;
  // A connection gone between poll() and accept() must not block the loop.
  int flags = fcntl(listenFd, F_GETFL);
  if (flags < 0 || fcntl(listenFd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  daemon_ = MHD_start_daemon(MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_NO_LISTEN_SOCKET, 0,
                             nullptr, nullptr, &Server::Access, this, MHD_OPTION_CONNECTION_LIMIT,
                             maxConnections, MHD_OPTION_CONNECTION_TIMEOUT,
                             static_cast<unsigned>(kRequestDeadlineMs / 1000),
                             MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
                             MHD_OPTION_NOTIFY_COMPLETED, &Server::Completed, this,
                             MHD_OPTION_NOTIFY_CONNECTION, &Server::Notify, this, MHD_OPTION_END);
  return daemon_ != nullptr;
}

// Reads the signal that came: true for a stop. A hangup changes nothing
// (there is no file to reopen), but is said so that it is seen taken.
bool StopSignal(int signalFd) {
  struct signalfd_siginfo info;
  ssize_t n = read(signalFd, &info, sizeof info);
  // A broken descriptor stops the server rather than spin on it.
  if (n < 0) return errno != EINTR && errno != EAGAIN;
  if (n != static_cast<ssize_t>(sizeof info) || info.ssi_signo != SIGHUP) return true;
  std::cerr << "wisp-stats: SIGHUP taken; nothing to reopen, serving on\n";
  return false;
}

void Server::Accept() {
  while (!outOfDescriptors_ && newcomers_.size() + due_.size() + busy_.size() < maxConnections_) {
    Newcomer n;
    n.addrLen = sizeof n.addr;
    n.fd = accept4(listenFd_, reinterpret_cast<struct sockaddr *>(&n.addr), &n.addrLen,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (n.fd < 0) {
      // Out of descriptors the listener stays ready: looked at again only
      // once a connection closed, not in a busy loop.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        outOfDescriptors_ = true;
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    n.deadline = NowMs() + kRequestDeadlineMs;
    newcomers_.push_back(n);
  }
}

void Server::Screen(const std::vector<struct pollfd> &polled, size_t from) {
  std::vector<Newcomer> waiting;
  for (size_t i = 0; i < newcomers_.size(); ++i) {
    const Newcomer &n = newcomers_[i];
    Opening opening = polled[from + i].revents != 0 ? PeekOpening(n.fd) : Opening::WAIT;
    if (opening == Opening::WAIT) {
      waiting.push_back(n);
    } else if (opening == Opening::HTTP) {
      handedDeadline_ = n.deadline;
      // On failure the server has closed the socket.
      MHD_add_connection(daemon_, n.fd, reinterpret_cast<const struct sockaddr *>(&n.addr),
                         n.addrLen);
      handedDeadline_ = 0;
    } else {
      if (opening == Opening::NOT_HTTP)
        RefuseNotHttp(n.fd);
      else
        close(n.fd);
      ++closed_;
    }
  }
  newcomers_ = std::move(waiting);
}

void Server::Run(int signalFd) {
  int epollFd = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
  std::vector<struct pollfd> fds;
  for (;;) {
    fds.assign({{epollFd, POLLIN, 0}, {signalFd, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}});
    if (read_) fds[2].fd = read_->Fd();
    if (!outOfDescriptors_ && newcomers_.size() + due_.size() + busy_.size() < maxConnections_)
      fds[3].fd = listenFd_;
    for (const Newcomer &n : newcomers_) fds.push_back({n.fd, POLLIN, 0});
    poll(fds.data(), fds.size(), Timeout(NowMs()));
    if (fds[1].revents != 0 && StopSignal(signalFd)) break;
    if (read_) {
      read_->Step();
      if (read_->Done()) FinishScrapes(read_->Ok(), read_->Text());
    }
    // Newcomers screened before the server runs, so that it reads a
    // request handed over at once.
    size_t closed = closed_;
    Screen(fds, 4);
    if (fds[3].revents != 0) Accept();
    MHD_run(daemon_);
    CloseOverdue(NowMs());
    if (closed_ != closed) outOfDescriptors_ = false;
  }
  for (const Newcomer &n : newcomers_) close(n.fd);
  newcomers_.clear();
  // Suspended scrapes must be let go before the server stops.
  FinishScrapes(false, "");
}

// The connection cap, lowered to what the descriptor limit allows.
unsigned ConnectionCap() {
  const rlim_t spare = 64;
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 256;
  if (lim.rlim_cur < kMaxConnections + spare) {
    lim.rlim_cur = lim.rlim_max == RLIM_INFINITY
                       ? kMaxConnections + spare
                       : std::min<rlim_t>(lim.rlim_max, kMaxConnections + spare);
    setrlimit(RLIMIT_NOFILE, &lim);
    getrlimit(RLIMIT_NOFILE, &lim);
  }
  if (lim.rlim_cur <= 2 * spare) return static_cast<unsigned>(lim.rlim_cur / 2);
  return static_cast<unsigned>(std::min<rlim_t>(kMaxConnections, lim.rlim_cur - spare));
}

}  // namespace

std::string MetricsPage(bool up, const std::string &counters) {
  std::string page = up ? counters : "";
  if (!page.empty() && page.back() != '\n') page += '\n';
  page +=
      "# HELP wispd_up Whether the daemon's stats socket answered this scrape.\n"
      "# TYPE wispd_up gauge\n";
  page += up ? "wispd_up 1\n" : "wispd_up 0\n";
  page +=
      "# HELP wispd_exporter_build_info The version of the exporter serving these counters.\n"
      "# TYPE wispd_exporter_build_info gauge\n"
      "wispd_exporter_build_info{version=\"" WISPD_VERSION "\"} 1\n";
  return page;
}

int Serve(const std::string &listen, const std::string &statsPath) {
  std::string host, why;
  int port = 0, bound = 0;
  if (!tools::SplitListen(listen, &host, &port)) {
    std::cerr << "wisp-stats: --listen takes HOST:PORT, not \"" << listen << "\"\n";
    return 2;
  }
  int fd = tools::ListenTcp(host, port, &bound, &why);
  if (fd < 0) {
    std::cerr << "wisp-stats: cannot listen on " << listen << ": " << why << "\n";
    return 1;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  Server server(statsPath);
  if (signalFd < 0 || !server.Start(fd, ConnectionCap())) {
    std::cerr << "wisp-stats: cannot start serving on " << listen << "\n";
    return 1;
  }
  std::cerr << "wisp-stats: serving the counters at http://" << listen.substr(0, listen.rfind(':'))
            << ":" << bound << "/metrics\n";
  server.Run(signalFd);
  return 0;
}

}  // namespace wispstats
