// Sets a veth peer down and up N times, through rtnetlink, and times each
// link-flapping problem at hubd from the link event that completed it: the
// daemon posts that problem at once (a link-down flare waits out the
// correlator's settling second). Appends one time in milliseconds a line to
// OUT. Runs inside the benchmark's namespace.
//   flap_latency PEER FLAPS HUBD_JOURNAL OUT
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

int64_t NowUs() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// RTM_NEWLINK on the named link, up or down, acknowledged.
bool SetLink(struct mnl_socket *nl, const char *name, bool up) {
  char buf[MNL_SOCKET_BUFFER_SIZE];
  struct nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
  nlh->nlmsg_type = RTM_NEWLINK;
  nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  auto *ifi =
      static_cast<struct ifinfomsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(struct ifinfomsg)));
  ifi->ifi_family = AF_UNSPEC;
  ifi->ifi_change = IFF_UP;
  ifi->ifi_flags = up ? IFF_UP : 0;
  mnl_attr_put_strz(nlh, IFLA_IFNAME, name);
  if (mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) < 0) return false;
  ssize_t n = mnl_socket_recvfrom(nl, buf, sizeof buf);
  return n > 0 && mnl_cb_run(buf, static_cast<size_t>(n), 0, 0, nullptr, nullptr) >= 0;
}

// The flapping problems hubd writes, read as the journal grows.
class Journal {
 public:
  explicit Journal(const std::string &path) : in_(path) {}
  // time_us of the problems written since the last call.
  std::vector<int64_t> Read() {
    std::vector<int64_t> times;
    std::string line;
    in_.clear();
    while (std::getline(in_, line)) {
      if (in_.eof()) {  // a line still being written: read it whole next time
        in_.seekg(-static_cast<std::streamoff>(line.size()), std::ios::cur);
        break;
      }
      if (line.find("tarn.problem.net.pnic.linkstate.flapping") != std::string::npos)
        times.push_back(std::atoll(line.c_str() + line.find(':') + 1));
    }
    return times;
  }

 private:
  std::ifstream in_;
};

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: flap_latency PEER FLAPS HUBD_JOURNAL OUT\n");
    return 2;
  }
  const char *peer = argv[1];
  int flaps = atoi(argv[2]);
  std::string journal = argv[3];
  struct mnl_socket *nl = mnl_socket_open(NETLINK_ROUTE);
  if (!nl || mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0) {
    perror("flap_latency: route socket");
    return 1;
  }
  std::vector<double> ms;
  Journal hubd(journal);
  hubd.Read();
  for (int i = 0; i < flaps; ++i) {
    int64_t t0 = NowUs();
    if (!SetLink(nl, peer, false) || !SetLink(nl, peer, true)) {
      perror("flap_latency: set link");
      return 1;
    }
    // With LinkFlappingThreshold 1 every second link-down is a problem.
    if (i % 2 == 0) continue;
    std::vector<int64_t> times;
    int64_t deadline = NowUs() + 10000000;
    while ((times = hubd.Read()).empty() && NowUs() < deadline) usleep(200);
    if (times.empty()) {
      fprintf(stderr, "flap_latency: no flapping problem for flap %d\n", i + 1);
      return 1;
    }
    ms.push_back(static_cast<double>(times.back() - t0) / 1000.0);
  }
  std::ofstream out(argv[4], std::ios::app);
  for (double m : ms) out << m << "\n";
  mnl_socket_close(nl);
  return 0;
}
