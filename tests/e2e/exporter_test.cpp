// wisp-stats --listen as Prometheus meets it: the counters over HTTP, with
// wispd_up telling whether the daemon answered, and bad clients kept apart.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

const char kOk[] = "HTTP/1.1 200 OK\r\n";
const char kType[] = "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n";
// The daemon's version comes with its counters; the exporter adds its own.
const char kBuildInfo[] = "\nwispd_build_info{version=\"" WISPD_PROJECT_VERSION "\"} 1\n";
const char kExporterInfo[] =
    "\nwispd_exporter_build_info{version=\"" WISPD_PROJECT_VERSION "\"} 1\n";

int Connect(int port, int timeoutS = 1) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Answers come at once or not in time: a blocked exporter fails the test.
  struct timeval tv = {timeoutS, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads one answer up to the end of its body (the connection may stay open
// for another request); what came before a time-out or the close.
std::string ReadAnswer(int fd) {
  std::string answer;
  char buf[4096];
  ssize_t n;
  size_t end = std::string::npos;
  while (answer.size() < end && (n = read(fd, buf, sizeof buf)) > 0) {
    answer.append(buf, static_cast<size_t>(n));
    size_t head = answer.find("\r\n\r\n"), length = answer.find("Content-Length: ");
    if (head != std::string::npos && length != std::string::npos && length < head)
      end = head + 4 + strtoul(answer.c_str() + length + 16, nullptr, 10);
  }
  return answer;
}

// Sends request on a new connection; the whole answer (empty on time-out).
// A request the exporter refuses part way may fail to send in full.
std::string Http(int port, const std::string &request, int timeoutS = 1) {
  int fd = Connect(port, timeoutS);
  if (fd < 0) return "";
  for (size_t sent = 0; sent < request.size();) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string answer = ReadAnswer(fd);
  close(fd);
  return answer;
}

rlim_t Descriptors(pid_t pid) {
  rlim_t n = 0;
  DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  while (d != nullptr && readdir(d) != nullptr) ++n;
  if (d != nullptr) closedir(d);
  return n - 2;  // . and ..
}

std::string Status(const std::string &answer) {
  return answer.substr(0, answer.find("\r\n"));
}

std::string Get(int port, const std::string &path, int timeoutS = 1) {
  return Http(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", timeoutS);
}

// Starts the exporter on a free loopback port; the port, 0 when it did not say.
int StartExporter(std::unique_ptr<Process> *exporter,
                  const std::vector<std::string> &extraEnv = {}) {
  *exporter = std::make_unique<Process>(
      Bin("wisp-stats"), std::vector<std::string>{"--listen", "127.0.0.1:0"}, extraEnv);
  const std::string prefix = "wisp-stats: serving the counters at http://127.0.0.1:";
  int port = 0;
  WaitUntil([&] {
    std::string err = (*exporter)->Stderr();
    if (err.rfind(prefix, 0) == 0) port = atoi(err.c_str() + prefix.size());
    return port != 0;
  });
  return port;
}

TEST(Exporter, ServesTheCountersAndTellsWhetherTheDaemonAnswered) {
  std::unique_ptr<Process> exporter;
  int port;
  {
    Host host;
    port = StartExporter(&exporter);
    ASSERT_NE(port, 0) << exporter->Stderr();
    ASSERT_EQ(host.Emit(ApdLine("naa.1"), {"--ctx", "3"}), 0);
    ASSERT_TRUE(host.WaitForFlares(1));
    std::string up = Get(port, "/metrics");
    EXPECT_EQ(up.rfind(kOk, 0), 0u) << up;
    EXPECT_NE(up.find(kType), std::string::npos) << up;
    EXPECT_NE(up.find("\nwispd_observations_read_total{source=\"3\"} 1\n"), std::string::npos);
    EXPECT_NE(up.find("\nwispd_flares_posted_total{kind=\"problem\"} 1\n"), std::string::npos);
    EXPECT_NE(up.find("\nwispd_up 1\n"), std::string::npos);
    EXPECT_NE(up.find(kBuildInfo), std::string::npos);
    EXPECT_NE(up.find(kExporterInfo), std::string::npos);
  }
  // The daemon is gone: an answer at once, without its counters.
  std::string down = Get(port, "/metrics");
  EXPECT_EQ(down.rfind(kOk, 0), 0u) << down;
  EXPECT_NE(down.find("\nwispd_up 0\n"), std::string::npos) << down;
  EXPECT_NE(down.find(kExporterInfo), std::string::npos);
  EXPECT_EQ(down.find("wispd_observations_read_total"), std::string::npos);
  EXPECT_EQ(down.find("wispd_build_info"), std::string::npos);
  // A stray hangup is taken and changes nothing.
  exporter->Signal(SIGHUP);
  ASSERT_TRUE(WaitUntil([&] {
    return exporter->Stderr().find("SIGHUP taken") != std::string::npos;
  })) << exporter->Stderr();
  EXPECT_EQ(Get(port, "/metrics").rfind(kOk, 0), 0u);
  exporter->Signal(SIGTERM);
  int status = exporter->Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Exporter, RefusesBadRequestsAndAnswersPastStalledClientsAndAStuckDaemon) {
  Root root;
  std::unique_ptr<Process> exporter;
  int port = StartExporter(&exporter);
  ASSERT_NE(port, 0) << exporter->Stderr();
  // Two clients that connect and never finish a request.
  int stalled[2] = {Connect(port), Connect(port)};
  ASSERT_EQ(write(stalled[0], "GET /met", 8), 8);
  EXPECT_NE(Get(port, "/metrics").find("\nwispd_up 0\n"), std::string::npos);
  EXPECT_EQ(Status(Get(port, "/other")), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Status(Http(port, "NOT HTTP AT ALL\r\n\r\n")), "HTTP/1.1 400 Bad Request");
  // Bytes no request line opens with (binary, a bare word, TLS) get 400 at
  // once too, so that a client pointed at the wrong port learns why.
  for (const std::string &junk :
       {std::string("\x00\x01GARBAGE \xff", 11), std::string("GARBAGE\r\n\r\n"),
        std::string("\x16\x03\x01\x00\xa5\x01\x00\x00", 8)}) {
    std::string answer = Http(port, junk);
    EXPECT_EQ(Status(answer), "HTTP/1.1 400 Bad Request") << junk.size() << " bytes of junk";
    EXPECT_NE(answer.find("Not an HTTP request"), std::string::npos) << answer;
  }
  // Empty lines before a request line are allowed.
  EXPECT_EQ(Status(Http(port, "\r\nGET /other HTTP/1.1\r\nHost: x\r\n\r\n")),
            "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Status(Http(port, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")),
            "HTTP/1.1 405 Method Not Allowed");
  // Sizes: an 8 kB path is still a request; a longer line, a header block
  // past the limit, a body too large or of no given length are refused.
  EXPECT_EQ(Status(Get(port, "/" + std::string(8000, 'a'))), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Status(Http(port, std::string(20000, 'G') + "\r\n\r\n")), "HTTP/1.1 414 URI Too Long");
  EXPECT_EQ(Status(Http(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " +
                                  std::string(1 << 20, 'h') + "\r\n\r\n")),
            "HTTP/1.1 431 Request Header Fields Too Large");
  long before = ResidentKiB(exporter->Pid());
  std::string body(8 << 20, 'b');
  EXPECT_EQ(
      Status(Http(port,
                  "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 200000000\r\n\r\n" + body)),
      "HTTP/1.1 413 Content Too Large");
  EXPECT_LT(ResidentKiB(exporter->Pid()) - before, 2048) << "the body was read";
  EXPECT_EQ(Status(Http(port,
                        "GET /metrics HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                        "5\r\nhello\r\n0\r\n\r\n")),
            "HTTP/1.1 411 Length Required");
  EXPECT_EQ(
      Status(Http(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello")),
      "HTTP/1.1 200 OK");
  for (int fd : stalled) close(fd);
  // A stats socket that takes the connection and never answers costs the
  // exporter's 2-second time-out, not a hang.
  int stuck = simhost::BindUnix(SOCK_STREAM, root.Under("/var/run/pelldan/wispd-stats.sock"), 4);
  ASSERT_GE(stuck, 0);
  EXPECT_NE(Get(port, "/metrics", 5).find("\nwispd_up 0\n"), std::string::npos);
  close(stuck);
  EXPECT_EQ(testing_support::Run(Bin("wisp-stats"), {"--listen", "nohost"}), 2 << 8);
  // The port is this exporter's alone.
  std::string err;
  EXPECT_EQ(testing_support::Run(Bin("wisp-stats"),
                                 {"--listen", "127.0.0.1:" + std::to_string(port)}, "", &err),
            1 << 8);
  EXPECT_NE(err.find("Address already in use"), std::string::npos) << err;
}

// HEAD is a scrape without the page: the same status and headers.
TEST(Exporter, AnswersHeadOnTheCountersWithoutABody) {
  Root root;
  std::unique_ptr<Process> exporter;
  int port = StartExporter(&exporter);
  ASSERT_NE(port, 0) << exporter->Stderr();
  std::string head = Http(port, "HEAD /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(Status(head), "HTTP/1.1 200 OK") << head;
  EXPECT_NE(head.find(kType), std::string::npos) << head;
  EXPECT_EQ(head.find("wispd_up"), std::string::npos) << head;
}

// A kept-alive connection has 5 s from its last answer for the next
// request, not from its opening: a scraper every 3 s keeps it. The
// exporter's clock is stepped (libfaketime reads the offset file at each
// call).
TEST(Exporter, AKeptAliveScraperKeepsItsConnectionPastFiveSeconds) {
  Root root;
  std::string clock = root.Under("/faketime");
  std::ofstream(clock) << "+0\n";
  std::unique_ptr<Process> exporter;
  int port = StartExporter(&exporter, {"LD_PRELOAD=" WISPD_FAKETIME_LIB,
                                       "FAKETIME_TIMESTAMP_FILE=" + clock, "FAKETIME_NO_CACHE=1"});
  ASSERT_NE(port, 0) << exporter->Stderr();
  int fd = Connect(port);
  ASSERT_GE(fd, 0);
  const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
  for (int offset : {0, 3, 6, 6, 9}) {
    std::ofstream(clock, std::ios::trunc) << "+" << offset << "\n";
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()))
        << "closed before the request at " << offset << " s";
    std::string answer = ReadAnswer(fd);
    ASSERT_EQ(Status(answer), "HTTP/1.1 200 OK") << "the answer at " << offset << " s: " << answer;
  }
  close(fd);
}

TEST(Exporter, HeldConnectionsDelayNoScrapeAndTricklersMeetTheirDeadline) {
  Root root;
  std::unique_ptr<Process> exporter;
  int port = StartExporter(&exporter);
  ASSERT_NE(port, 0) << exporter->Stderr();
  rlim_t held = Descriptors(exporter->Pid());
  // Hundreds of connections that send nothing, and some that trickle a
  // request that never ends; each connect has succeeded.
  std::vector<int> idle, tricklers;
  for (int i = 0; i < 300; ++i) idle.push_back(Connect(port, 2));
  for (int i = 0; i < 10; ++i) {
    tricklers.push_back(Connect(port, 2));
    ASSERT_EQ(write(tricklers.back(), "GET /metrics HTTP/1.1\r\nX-Slow: ", 31), 31);
  }
  ASSERT_EQ(std::count(idle.begin(), idle.end(), -1), 0);
  ASSERT_EQ(std::count(tricklers.begin(), tricklers.end(), -1), 0);
  std::string page = Get(port, "/metrics", 2);
  EXPECT_EQ(Status(page), "HTTP/1.1 200 OK");
  EXPECT_NE(page.find("\nwispd_up 0\n"), std::string::npos);
  // A held connection was kept, not dropped: its request is answered.
  const char request[] = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(write(idle[0], request, sizeof request - 1), static_cast<ssize_t>(sizeof request - 1));
  EXPECT_EQ(Status(ReadAnswer(idle[0])), "HTTP/1.1 200 OK");
  // A byte a second never lets a connection go idle, yet each is closed
  // once its deadline for a whole request has passed.
  std::vector<int> open = tricklers;
  auto giveUp = std::chrono::steady_clock::now() + 12s;
  while (!open.empty() && std::chrono::steady_clock::now() < giveUp) {
    std::vector<struct pollfd> fds;
    for (int fd : open) fds.push_back({fd, POLLIN, 0});
    poll(fds.data(), fds.size(), 1000);
    open.clear();
    for (struct pollfd &p : fds) {
      char c;
      if (p.revents != 0 && read(p.fd, &c, 1) <= 0) continue;
      open.push_back(p.fd);
      send(p.fd, "x", 1, MSG_NOSIGNAL);
    }
  }
  EXPECT_EQ(open.size(), 0u) << "tricklers still held";
  for (int fd : idle) close(fd);
  for (int fd : tricklers) close(fd);

  // Out of descriptors with clients waiting: once they leave, it serves again.
  ASSERT_TRUE(WaitUntil([&] { return Descriptors(exporter->Pid()) == held; }));
  struct rlimit few = {held + 2, held + 2};
  ASSERT_EQ(prlimit(exporter->Pid(), RLIMIT_NOFILE, &few, nullptr), 0);
  std::vector<int> crowd;
  const char other[] = "GET /other HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  for (int i = 0; i < 6; ++i) {
    crowd.push_back(Connect(port, 2));
    send(crowd.back(), other, sizeof other - 1, MSG_NOSIGNAL);
  }
  for (int fd : crowd) close(fd);
  EXPECT_EQ(Status(Get(port, "/metrics", 2)), "HTTP/1.1 200 OK");
}

}  // namespace
