// From wisp-emit through the daemon to hubd's JSON line and the trace.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

TEST(FlareEndToEnd, AllPathsDownRowsReachHubdWithTheirMessages) {
  Host host(R"({"system": {"uuid": "4c4c4544-0042-3510-8052-b4c04f4e4d32"}})");
  int trace =
      simhost::ConnectUnix(SOCK_STREAM, host.root.Under("/var/run/pelldan/wispd-trace.sock"));
  ASSERT_GE(trace, 0);
  ASSERT_EQ(
      host.Emit(
          R"({"id": "wisp.storage.apd.start", "args": [{"s": "naa.1"}], "ts": 5})"
          "\n"
          R"({"id": "wisp.storage.apd.timeout", "args": [{"s": "naa.1"}], "ctx": "user"})"
          "\n"
          R"({"id": "wisp.storage.apd.timeout", "args": [{"s": "naa.1"}, {"i32": 140}], "ctx": "user"})"
          "\n"
          R"({"id": "wisp.storage.apd.exit", "args": [{"s": "naa.1"}], "ctx": 7})"),
      0);
  ASSERT_TRUE(host.WaitForFlares(3));
  usleep(200000);
  std::vector<std::string> flares = host.Flares();
  ASSERT_EQ(flares.size(), 3u);  // the time-out without its integer posted nothing
  // The messages are examples/scenarios/all-paths-down.yaml; here the UUID
  // and the trace lines.
  EXPECT_NE(flares[0].find(R"("uuid":"34633463)"), std::string::npos);

  std::string lines;
  char buf[4096];
  while (lines.find("OUT") == std::string::npos || lines.find("apd.exit,,") == std::string::npos) {
    ssize_t n = read(trace, buf, sizeof buf);
    if (n <= 0) break;
    lines.append(buf, static_cast<size_t>(n));
  }
  EXPECT_NE(lines.find(",IN,5,wisp.storage.apd.start,,\"naa.1\"\n"), std::string::npos);
  EXPECT_NE(lines.find(",OUT,"), std::string::npos);
  close(trace);
}

}  // namespace
