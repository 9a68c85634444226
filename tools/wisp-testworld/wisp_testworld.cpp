// wisp-testworld: the host's test tool for the daemon's self-test. Sends the
// start marker, the expected test observations, a window of corrupt records
// between its markers, and the end marker to kernel context 0 under
// WISPD_ROOT.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "pellibs/msgfmt.h"
#include "simhost/packed.h"
#include "simhost/sockets.h"
#include "wispjson.h"

namespace {

using tools::Arg;

Arg S(const std::string &text) {
  Arg a;
  a.type = MSGFMT_STRING;
  a.str = text;
  return a;
}
Arg N(uint32_t type, uint64_t bits) {
  Arg a;
  a.type = type;
  a.bits = bits;
  return a;
}
Arg I32(int32_t v) {
  return N(MSGFMT_INT32, static_cast<uint64_t>(static_cast<int64_t>(v)));
}

struct Observation {
  const char *id;
  const char *fmt;
  std::vector<Arg> args;
};

const char kLong[] = "some looong long long long long long string";

// The observations the self-test expects, in its order; the "${...}" parts
// are tag forms the formatter must leave alone.
std::vector<Observation> Expected() {
  return {
      {"wisp.tests.async.noData", "this is an observation with no data", {}},
      {"wisp.tests.async.withPath",
       "this is an observation with a complicated %s path.",
       {S("/a/fake/path${path}")}},
      {"wisp.tests.async.withLog", "this is an ob with an associated Log message.", {}},
      {"wisp.tests.async.withWarn", "this is an ob with an associated Warn message.", {}},
      {"wisp.tests.async.withIntParams",
       "this is an observation with integer parameters. %d, %x, %ld",
       {I32(-559038737), N(MSGFMT_UINT32, 0xdeadbeefu),
        N(MSGFMT_INT64, static_cast<uint64_t>(-2401053088876216593LL))}},
      {"wisp.tests.async.withUintParams",
       "this is an observation with unsigned integer parameters. %u, %x, %lu",
       {N(MSGFMT_UINT32, 3735928559u), N(MSGFMT_UINT32, 0xdeadbeefu),
        N(MSGFMT_UINT64, 16045690984833335023ull)}},
      {"wisp.tests.async.withStringParams",
       "this is an observation with a string parameter: %s",
       {S("some string")}},
      {"wisp.tests.async.withLongStringParam",
       "this is an observation with a string parameter: %s",
       {S(kLong)}},
      {"wisp.tests.async.withLongStringParams",
       "this is an observation with a string parameter: %s and another: %s",
       {S(kLong), S("some string")}},
      {"wisp.tests.corrupt.format.empty", "", {}},
      {"wisp.tests.corrupt.format.doublepercent", "%%", {}},
      {"wisp.tests.corrupt.format.s.zeros", "%s", {S("")}},
      {"wisp.tests.corrupt.format.s.zero3", "%s", {S("000")}},
      {"wisp.tests.corrupt.format.tag.invalid1", "%d${", {I32(0)}},
      {"wisp.tests.corrupt.format.tag.invalid2", "%d${asdf", {I32(0)}},
      {"wisp.tests.corrupt.format.tag.nestedInval", "%d${a%d{df}", {I32(0), I32(0)}},
      {"wisp.tests.corrupt.format.tag.ugly", "%d${009__.asdf}", {I32(0)}},
      {"wisp.tests.corrupt.format.tag.vugly", "%d${009__.asdf=bar=baz=foof}", {I32(0)}},
      {"wisp.tests.corrupt.format.tag.assign.inval", "%d${=invalid}", {I32(0)}},
      {"wisp.tests.corrupt.format.tag.notreally", "%%${ignore}", {}},
      {"wisp.tests.corrupt.format.tag.notreally2", "%%${=ignore}", {}},
  };
}

std::string Record(const std::string &id, const std::string &fmt, const std::vector<Arg> &args) {
  return tools::BuildRawRecord(id, &fmt, args, tools::NowMicros());
}

// Records the daemon must drop whole: every header field and argument
// descriptor broken once.
std::vector<std::string> Corrupt() {
  const std::string good = Record("wisp.tests.corrupt.window", "%s %d", {S("pnic0"), I32(7)});
  auto patch32 = [&](size_t at, uint32_t v) {
    std::string r = good;
    simhost::StoreU32(reinterpret_cast<uint8_t *>(&r[at]), v);
    return r;
  };
  const size_t idLen = strlen("wisp.tests.corrupt.window") + 1;
  const size_t area = 32 + idLen + strlen("%s %d") + 1;
  std::vector<std::string> out;
  out.push_back(patch32(16, static_cast<uint32_t>(good.size() + 64)));  // longer than the batch
  out.push_back(patch32(16, 20));                                       // shorter than a header
  out.push_back(patch32(20, 0xffffffffu));                              // argument count
  out.push_back(patch32(24, 0));                                        // no id
  out.push_back(patch32(24, 0x7fffffffu));                              // id past the end
  out.push_back(patch32(28, 0x7fffffffu));                              // format past the end
  std::string unterminated = good;
  unterminated[32 + idLen - 1] = 'x';  // id without its NUL
  out.push_back(unterminated);
  out.push_back(patch32(area + simhost::kDescType, 99));             // unknown type
  out.push_back(patch32(area + simhost::kDescValue, 0x7ffffff0u));   // string far outside
  out.push_back(patch32(area + simhost::kDescStrLen, 0x7ffffff0u));  // string too long
  out.push_back(good.substr(0, good.size() / 2));                    // cut in half
  return out;
}

class Sender {
 public:
  explicit Sender(double wait) : wait_(wait) {
    char path[128];
    snprintf(path, sizeof path, pelldan::kKernelContextFormat, 0);
    where_ = pelldan::RootPath(path);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  ~Sender() {
    if (fd_ >= 0) close(fd_);
  }

  // Waits for the daemon's context only before the first record.
  bool Send(const std::string &batch) {
    struct sockaddr_un addr;
    if (fd_ < 0 || !simhost::MakeUnixAddress(where_, &addr)) return false;
    for (double waited = 0;; waited += 0.05) {
      if (sendto(fd_, batch.data(), batch.size(), 0, reinterpret_cast<struct sockaddr *>(&addr),
                 sizeof addr) >= 0) {
        sent_ = true;
        return true;
      }
      bool absent = errno == ENOENT || errno == ECONNREFUSED;
      if (errno == EINTR) continue;
      if (!absent || sent_ || waited >= wait_) {
        fprintf(stderr, "wisp-testworld: cannot send to %s: %s\n", where_.c_str(), strerror(errno));
        return false;
      }
      struct timespec pause = {0, 50 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
  }

 private:
  double wait_;
  std::string where_;
  int fd_ = -1;
  bool sent_ = false;
};

void Usage(FILE *to) {
  fprintf(to,
          "usage: wisp-testworld [--wait SECONDS] [--break N] [--stop-after N]\n"
          "  Sends the self-test observations to kernel context 0 under WISPD_ROOT.\n"
          "  --wait SECONDS   wait that long for the daemon's context (default 10)\n"
          "  --break N        send expected observation N (0-20) with a wrong message\n"
          "  --stop-after N   stop after N expected observations, without the end marker\n");
}

bool Number(const char *text, long low, long high, long *out) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-testworld");
  static const struct option kOptions[] = {
      {"wait", required_argument, nullptr, 'w'},       {"break", required_argument, nullptr, 'b'},
      {"stop-after", required_argument, nullptr, 's'}, {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'v'},          {nullptr, 0, nullptr, 0},
  };
  long wait = 10, broken = -1, stopAfter = -1;
  int c;
  while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    bool ok = true;
    if (c == 'w') {
      ok = Number(optarg, 0, 3600, &wait);
    } else if (c == 'b') {
      ok = Number(optarg, 0, 20, &broken);
    } else if (c == 's') {
      ok = Number(optarg, 0, 21, &stopAfter);
    } else if (c == 'h') {
      Usage(stdout);
      return 0;
    } else if (c == 'v') {
      printf("%s\n", tools::VersionLine("wisp-testworld").c_str());
      return 0;
    } else {
      ok = false;
    }
    if (!ok) {
      Usage(stderr);
      return 2;
    }
  }
  if (optind != argc) {
    Usage(stderr);
    return 2;
  }
  tools::RequireRoot("wisp-testworld");

  Sender out(static_cast<double>(wait));
  if (!out.Send(Record("wisp.tests.marker.start", "test start", {}))) return 1;
  std::vector<Observation> expected = Expected();
  for (size_t i = 0; i < expected.size(); ++i) {
    if (stopAfter >= 0 && i == static_cast<size_t>(stopAfter)) return 0;
    std::string fmt = expected[i].fmt;
    if (static_cast<long>(i) == broken) fmt += " (broken)";
    if (!out.Send(Record(expected[i].id, fmt, expected[i].args))) return 1;
  }
  if (stopAfter == 21) return 0;
  if (!out.Send(Record("wisp.tests.marker.corruptions.start", "corrupt window", {}))) return 1;
  for (const std::string &bad : Corrupt())
    if (!out.Send(bad)) return 1;
  if (!out.Send(Record("wisp.tests.marker.corruptions.end", "corrupt window", {}))) return 1;
  return out.Send(Record("wisp.tests.marker.end", "test end", {})) ? 0 : 1;
}
