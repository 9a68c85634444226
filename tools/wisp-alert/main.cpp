// wisp-alert: forwards the flares hubd writes to its journal to one or more
// Alertmanagers, as alerts that fire and resolve.
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "../common/cli.h"
#include "../common/signals.h"
#include "forwarder.h"
#include "http_server.h"
#include "pelldan/root.h"

namespace {

constexpr char kJournal[] = "/var/log/pelldan/hubd.jsonl";
constexpr char kState[] = "/var/lib/pelldan/wisp-alert.json";
// A post waits this long for an Alertmanager's answer.
constexpr long kPostTimeoutMs = 10000;

const tools::Tool kTool = {
    "wisp-alert",
    "wisp-alert --alertmanager URL [--alertmanager URL]... [--host NAME] [--journal FILE]\n"
    "       [--state FILE] [--listen HOST:PORT] [--problem-ttl SECONDS] [--resend SECONDS]\n"
    "       [--audits] [--audit-hold SECONDS]",
    "Forwards every flare in hubd's journal (under WISPD_ROOT) to each Alertmanager\n"
    "as an alert: a problem fires, the flares that end it resolve it.\n"
    "  --alertmanager URL  an Alertmanager (http://HOST:PORT); every one gets every alert\n"
    "  --host NAME         the host label (default: this machine's name)\n"
    "  --journal FILE      hubd's journal (default /var/log/pelldan/hubd.jsonl)\n"
    "  --state FILE        where the position and the alerts are kept\n"
    "                      (default /var/lib/pelldan/wisp-alert.json)\n"
    "  --listen HOST:PORT  serve the counters at /metrics (port 0: any free port)\n"
    "  --problem-ttl SECONDS  how long a problem that no flare ends fires (default 14400)\n"
    "  --resend SECONDS    send firing alerts again this often (default 60; keep it\n"
    "                      below Alertmanager's resolve_timeout)\n"
    "  --audits            audits become alerts too, firing for --audit-hold\n"
    "  --audit-hold SECONDS  (default 300)\n"
    "  --help              show this text\n"
    "  --version           show the version\n"
    "SIGTERM or SIGINT ends it after saving its state, with status 0 (1 when the\n"
    "state could not be saved); SIGHUP is taken and changes nothing.\n"};

uint64_t NowMicros() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

uint64_t Seconds(const char *option, const char *text) {
  double s = 0;
  if (!tools::ParseSeconds(text, &s) || s > 365.0 * 86400)
    tools::Reject(kTool, std::string(option) + " takes seconds, not \"" + text + "\"");
  return static_cast<uint64_t>(s * 1e6);
}

std::string DirOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Drains the watch; true when an event named the journal (NAME, NAME.1 ...)
// or events were lost.
bool JournalEvent(int notify, const std::string &name) {
  bool journal = false;
  alignas(struct inotify_event) char events[4096];
  ssize_t n;
  while ((n = read(notify, events, sizeof events)) > 0) {
    for (size_t at = 0; at + sizeof(struct inotify_event) <= static_cast<size_t>(n);) {
      struct inotify_event ev;
      memcpy(&ev, events + at, sizeof ev);
      size_t end = at + sizeof ev + ev.len;
      if (end > static_cast<size_t>(n)) break;
      std::string named(events + at + sizeof ev, strnlen(events + at + sizeof ev, ev.len));
      if ((ev.mask & IN_Q_OVERFLOW) != 0 || named.compare(0, name.size(), name) == 0)
        journal = true;
      at = end;
    }
  }
  return journal;
}

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-alert");
  wispalert::ForwarderOptions options;
  options.table.problemTtlUs = 14400ull * 1000000;
  options.table.auditHoldUs = 300ull * 1000000;
  std::string listen, journal, state;
  enum { kManager = 1, kHost, kJournalOpt, kStateOpt, kListen, kTtl, kResend, kAudits, kHold };
  static const struct option longopts[] = {{"alertmanager", required_argument, nullptr, kManager},
                                           {"host", required_argument, nullptr, kHost},
                                           {"journal", required_argument, nullptr, kJournalOpt},
                                           {"state", required_argument, nullptr, kStateOpt},
                                           {"listen", required_argument, nullptr, kListen},
                                           {"problem-ttl", required_argument, nullptr, kTtl},
                                           {"resend", required_argument, nullptr, kResend},
                                           {"audits", no_argument, nullptr, kAudits},
                                           {"audit-hold", required_argument, nullptr, kHold},
                                           TOOLS_COMMON_OPTIONS,
                                           {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    switch (c) {
      case kManager: {
        std::string url = optarg;
        if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0)
          tools::Reject(kTool,
                        "--alertmanager takes an http:// or https:// URL, not \"" + url + "\"");
        options.urls.push_back(url);
        break;
      }
      case kHost:
        options.table.host = optarg;
        break;
      case kJournalOpt:
        journal = optarg;
        break;
      case kStateOpt:
        state = optarg;
        break;
      case kListen:
        listen = optarg;
        break;
      case kTtl:
        options.table.problemTtlUs = Seconds("--problem-ttl", optarg);
        break;
      case kResend:
        options.resendUs = Seconds("--resend", optarg);
        if (options.resendUs < 1000000) tools::Reject(kTool, "--resend takes 1 second or more");
        break;
      case kAudits:
        options.table.audits = true;
        break;
      case kHold:
        options.table.auditHoldUs = Seconds("--audit-hold", optarg);
        break;
      default:
        tools::CommonOption(kTool, c);
    }
  }
  if (optind < argc)
    tools::Reject(kTool, std::string("unexpected argument \"") + argv[optind] + "\"");
  if (options.urls.empty()) tools::Reject(kTool, "at least one --alertmanager is needed");
  tools::RequireRoot(kTool);
  if (options.table.host.empty()) {
    char name[HOST_NAME_MAX + 1] = "";
    gethostname(name, sizeof name);
    options.table.host = name;
  }
  options.journal = journal.empty() ? pelldan::RootPath(kJournal) : journal;
  options.state = state.empty() ? pelldan::RootPath(kState) : state;

  volatile sig_atomic_t *stop = tools::StopOnSignals();
  // Nothing to reopen (the journal's rotation is followed, the log is
  // standard error): a hangup only wakes the loop.
  volatile sig_atomic_t *hangup = tools::ReopenOnHangup();
  signal(SIGPIPE, SIG_IGN);
  auto log = [](const std::string &line) { std::cerr << "wisp-alert: " << line << std::endl; };
  wispalert::CurlPoster poster(options.urls, kPostTimeoutMs, stop);
  wispalert::Forwarder forwarder(options, &poster, NowMicros, log);
  forwarder.Start();

  wispalert::HttpServer metrics;
  if (!listen.empty()) {
    std::string why;
    bool ok = metrics.Start(
        listen,
        [&forwarder](const std::string &method, const std::string &path, const std::string &) {
          if (path != "/metrics") return wispalert::HttpReply{404, "text/plain", "not found\n"};
          if (method != "GET" && method != "HEAD")
            return wispalert::HttpReply{405, "text/plain", "GET only\n"};
          return wispalert::HttpReply{200, "text/plain; version=0.0.4; charset=utf-8",
                                      forwarder.Metrics()};
        },
        &why);
    if (!ok) {
      log(why);
      return 1;
    }
    log("serving the counters at " + metrics.Url() + "/metrics");
  }

  // The journal's directory tells when hubd writes; the timed work (resends,
  // retries, saves) wakes the loop otherwise.
  int notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify >= 0 && inotify_add_watch(notify, DirOf(options.journal).c_str(),
                                       IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
    close(notify);
    notify = -1;
  }
  std::string journalName = BaseName(options.journal);
  // Stop signals are let in only while waiting, so that one arriving during
  // a turn is not missed by the wait after it.
  while (!*stop) {
    *hangup = 0;
    if (forwarder.Turn()) continue;
    uint64_t idle = forwarder.IdleUs();
    // Without a watch the journal is looked at every 200 ms.
    uint64_t waitUs = std::min<uint64_t>(idle + 1000, notify >= 0 ? 5000000 : 200000);
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(waitUs);
    // Other files of the folder (this program's own log among them) change
    // too: only the journal's own events end the wait.
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      struct pollfd p = {notify, POLLIN, 0};
      int ready = tools::PollSignals(&p, notify >= 0 ? 1 : 0,
                                     static_cast<int>(std::max<int64_t>(left.count() + 1, 0)));
      if (ready <= 0 || *stop || *hangup || JournalEvent(notify, journalName) ||
          std::chrono::steady_clock::now() >= until)
        break;
    }
  }
  std::string why;
  int status = 0;
  if (forwarder.Save(&why)) {
    log("stopped; state saved in " + options.state);
  } else {
    log("stopped; the state could not be saved (" + why +
        "): the next start reads the journal again from the last saved position");
    status = 1;
  }
  // exit() leaves main's objects standing: the table is not taken apart
  // alert by alert (with 100,000 held, a third of the stop's time), the
  // system takes its memory back at once.
  metrics.Stop();
  std::exit(status);
}
