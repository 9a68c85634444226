// Only the daemon's own user may connect to or send into its sockets.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

constexpr uid_t kNobody = 65534;

// Runs probe as another user; true when it could reach the socket.
bool ReachableAsNobody(const std::string &path, int type) {
  int status = InChild([&] {
    if (setgid(kNobody) != 0 || setuid(kNobody) != 0) return 3;
    int rc;
    if (type == SOCK_DGRAM) {
      int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
      struct sockaddr_un addr;
      simhost::MakeUnixAddress(path, &addr);
      rc = sendto(fd, "x", 1, 0, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 1
               ? 0
               : errno;
    } else {
      int fd = simhost::ConnectUnix(type, path);
      rc = fd >= 0 ? 0 : -fd;
    }
    return rc == 0 ? 0 : rc == EACCES ? 1 : 3;
  });
  EXPECT_TRUE(status == 0 || status == 1)
      << path << ": refused for another reason than permissions, or the child died";
  return status == 0;
}

// True when this process may act as another user here.
bool CanSwitchUser() {
  if (geteuid() != 0) return false;
  return InChild([] { return setgid(kNobody) == 0 && setuid(kNobody) == 0 ? 0 : 1; }) == 0;
}

TEST(Permissions, AnotherUserCannotConnectOrSend) {
  if (!CanSwitchUser()) GTEST_SKIP() << "cannot act as another user here (needs root)";
  Host host("", {}, false);
  chmod(host.root.Path().c_str(), 0755);  // only the sockets' own modes stand in the way
  const struct {
    const char *path;
    int type;
  } sockets[] = {{"/var/run/pelldan/wispd-trace.sock", SOCK_STREAM},
                 {"/var/run/pelldan/wisp-user.sock", SOCK_SEQPACKET},
                 {"/var/run/pelldan/mantle/context-0", SOCK_DGRAM},
                 {"/var/run/pelldan/mantle/context-23", SOCK_DGRAM}};
  for (const auto &s : sockets) {
    std::string path = host.root.Under(s.path);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << s.path;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << s.path;
    EXPECT_FALSE(ReachableAsNobody(path, s.type)) << s.path;
  }
  // The probe itself works: with the mode opened up, the same user gets in.
  std::string trace = host.root.Under("/var/run/pelldan/wispd-trace.sock");
  chmod(trace.c_str(), 0666);
  EXPECT_TRUE(ReachableAsNobody(trace, SOCK_STREAM));
}

}  // namespace
