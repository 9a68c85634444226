// wisp-stats --listen as Prometheus meets it: the counters over HTTP, with
// wispd_up telling whether the daemon answered, and bad clients kept apart.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

const char kOk[] = "HTTP/1.1 200 OK\r\n";
const char kType[] = "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n";
const char kBuildInfo[] = "\nwispd_build_info{version=\"" WISPD_PROJECT_VERSION "\"} 1\n";

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

// Sends request on a new connection; the whole answer (empty on time-out).
std::string Http(int port, const std::string &request, int timeoutS = 1) {
  int fd = Connect(port, timeoutS);
  if (fd < 0) return "";
  EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  // Read up to the end of the body: after an error the exporter keeps the
  // connection open for another request.
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
  close(fd);
  return answer;
}

std::string Get(int port, const std::string &path, int timeoutS = 1) {
  return Http(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", timeoutS);
}

// Starts the exporter on a free loopback port; the port, 0 when it did not say.
int StartExporter(std::unique_ptr<Process> *exporter) {
  *exporter = std::make_unique<Process>(Bin("wisp-stats"),
                                        std::vector<std::string>{"--listen", "127.0.0.1:0"});
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
  }
  // The daemon is gone: an answer at once, without its counters.
  std::string down = Get(port, "/metrics");
  EXPECT_EQ(down.rfind(kOk, 0), 0u) << down;
  EXPECT_NE(down.find("\nwispd_up 0\n"), std::string::npos) << down;
  EXPECT_NE(down.find(kBuildInfo), std::string::npos);
  EXPECT_EQ(down.find("wispd_observations_read_total"), std::string::npos);
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
  EXPECT_EQ(Get(port, "/other").rfind("HTTP/1.1 404 ", 0), 0u);
  EXPECT_EQ(Http(port, "NOT HTTP AT ALL\r\n\r\n").rfind("HTTP/1.1 400 ", 0), 0u);
  std::string huge(20000, 'G');
  huge += "\r\n\r\n";
  EXPECT_EQ(Http(port, huge).rfind("HTTP/1.1 4", 0), 0u);
  for (int fd : stalled) close(fd);
  // A stats socket that takes the connection and never answers costs the
  // exporter's 2-second time-out, not a hang.
  int stuck = simhost::BindUnix(SOCK_STREAM, root.Under("/var/run/pelldan/wispd-stats.sock"), 4);
  ASSERT_GE(stuck, 0);
  EXPECT_NE(Get(port, "/metrics", 5).find("\nwispd_up 0\n"), std::string::npos);
  close(stuck);
  EXPECT_EQ(testing_support::Run(Bin("wisp-stats"), {"--listen", "nohost"}), 2 << 8);
}

}  // namespace
