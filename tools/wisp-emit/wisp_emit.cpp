// wisp-emit: the simulated kernel and user-level producer. Reads JSON lines
// and sends observations, batches and raw bytes to the daemon's sources.
#include <errno.h>
#include <getopt.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "../common/cli.h"
#include "../common/ctxsend.h"
#include "../common/wispjson.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"

namespace {

constexpr int kUser = tools::kUserContext;

struct Line {
  size_t number;
  std::string source;
  std::string text;
};

struct Options {
  double wait = 0;
  int ctx = 0;
  long repeat = 1;
  bool check = false;
};

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void Sleep(double seconds) {
  if (seconds <= 0) return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

bool ParseCtx(const tools::Json &v, int *ctx) {
  if (v.is_string() && v.get<std::string>() == "user") {
    *ctx = kUser;
    return true;
  }
  if (v.is_number_integer() && v.get<int64_t>() >= 0 &&
      v.get<int64_t>() < pelldan::kKernelContexts) {
    *ctx = v.get<int>();
    return true;
  }
  return false;
}

class Sender {
 public:
  explicit Sender(double wait) : wait_(wait) {}

  // Sends one batch; false with errno-style text on failure.
  bool Send(int ctx, const std::string &batch, std::string *error) {
    double deadline = Now() + wait_;
    for (;;) {
      int err = socket_.Send(ctx, batch);
      if (err == 0) return true;
      if (!tools::ContextSocket::Transient(err) || Now() >= deadline) {
        *error = "cannot send to " + tools::ContextSocket::Where(ctx) + ": " + strerror(err);
        return false;
      }
      Sleep(0.05);
    }
  }

 private:
  double wait_;
  tools::ContextSocket socket_;
};

// What one input line asks for.
struct Action {
  enum { kSend, kSleep } kind;
  int ctx;
  std::string bytes;
  double seconds;
  size_t records = 0;  // observations in bytes; none for raw bytes
  // Records without a "ts" of their own: stamped when they are sent.
  std::vector<size_t> stampAt;
};

// Offset of the time stamp in a raw record.
constexpr size_t kStampOffset = 8;

void StampNow(Action *action) {
  if (action->stampAt.empty()) return;
  uint64_t now = tools::NowMicros();
  for (size_t at : action->stampAt)
    for (size_t b = 0; b < 8; ++b)
      action->bytes[at + kStampOffset + b] = static_cast<char>(now >> (8 * b));
}

bool HexToBytes(const std::string &hex, std::string *out) {
  if (hex.size() % 2 != 0) return false;
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (!isxdigit(static_cast<unsigned char>(hex[i])) ||
        !isxdigit(static_cast<unsigned char>(hex[i + 1])))
      return false;
    out->push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return true;
}

// The parser's own account, which names the column, without its tag.
std::string JsonError(const tools::Json::parse_error &e) {
  std::string what = e.what();
  size_t at = what.find("column");
  return at == std::string::npos ? what : what.substr(at);
}

bool Parse(const Line &line, int defaultCtx, Action *action, std::string *error) {
  tools::Json j;
  try {
    j = tools::Json::parse(line.text);
  } catch (const tools::Json::parse_error &e) {
    *error = "invalid JSON at " + JsonError(e);
    return false;
  }
  if (!j.is_object()) {
    *error = "not a JSON object";
    return false;
  }
  action->ctx = defaultCtx;
  auto c = j.find("ctx");
  if (c != j.end() && !ParseCtx(*c, &action->ctx)) {
    *error = "\"ctx\" is a number 0..23 or \"user\"";
    return false;
  }
  uint64_t now = tools::NowMicros();
  if (j.contains("sleep")) {
    const tools::Json &s = j["sleep"];
    if (!s.is_number() || s.get<double>() < 0) {
      *error = "\"sleep\" takes seconds";
      return false;
    }
    action->kind = Action::kSleep;
    action->seconds = s.get<double>();
    return true;
  }
  action->kind = Action::kSend;
  if (j.contains("raw")) {
    if (!j["raw"].is_string() || !HexToBytes(j["raw"].get<std::string>(), &action->bytes)) {
      *error = "\"raw\" takes an even number of hex digits";
      return false;
    }
    return true;
  }
  if (j.contains("batch")) {
    if (!j["batch"].is_array()) {
      *error = "\"batch\" is a list of observations";
      return false;
    }
    action->records = j["batch"].size();
    for (const tools::Json &obs : j["batch"]) {
      std::string rec;
      if (!obs.is_object() || !tools::RawRecordFromJson(obs, now, &rec, error)) {
        if (!obs.is_object()) *error = "a batch item is an observation object";
        return false;
      }
      if (!obs.contains("ts")) action->stampAt.push_back(action->bytes.size());
      action->bytes += rec;
    }
    return true;
  }
  action->records = 1;
  if (!j.contains("ts")) action->stampAt.push_back(0);
  return tools::RawRecordFromJson(j, now, &action->bytes, error);
}

const tools::Tool kTool = {
    "wisp-emit", "wisp-emit [--wait SECONDS] [--ctx N|user] [--repeat K] [--check] [FILE...]",
    "Sends observations, batches and raw bytes, one JSON line each, from the files\n"
    "(or standard input) to the daemon's sources under WISPD_ROOT.\n"
    "  --wait SECONDS  wait up to SECONDS for a source to accept (default 0)\n"
    "  --ctx N|user    default source: kernel context 0..23 or the user-level one\n"
    "  --repeat K      send the whole input K times\n"
    "  --check         parse every line and report mistakes; send nothing\n"
    "  --help          show this text\n"
    "  --version       show the version\n"
    "Totals go to standard error at the end; the status is 0 when every line was sent.\n"};

void ParseOptions(int argc, char **argv, Options *opt) {
  static const struct option longopts[] = {{"wait", required_argument, nullptr, 'w'},
                                           {"ctx", required_argument, nullptr, 'c'},
                                           {"repeat", required_argument, nullptr, 'r'},
                                           {"check", no_argument, nullptr, 'k'},
                                           TOOLS_COMMON_OPTIONS,
                                           {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    long n = 0;
    if (c == 'w') {
      if (!tools::ParseSeconds(optarg, &opt->wait))
        tools::Reject(kTool,
                      std::string("--wait takes a number of seconds, not \"") + optarg + "\"");
    } else if (c == 'c') {
      bool ok = std::string(optarg) == "user"
                    ? ParseCtx(tools::Json("user"), &opt->ctx)
                    : tools::ParseLong(optarg, &n) && ParseCtx(tools::Json(n), &opt->ctx);
      if (!ok)
        tools::Reject(kTool, std::string("--ctx takes a kernel context 0..23 or \"user\", not \"") +
                                 optarg + "\"");
    } else if (c == 'r') {
      if (!tools::ParseLong(optarg, &opt->repeat) || opt->repeat < 1)
        tools::Reject(kTool, std::string("--repeat takes a whole number of at least 1, not \"") +
                                 optarg + "\"");
    } else if (c == 'k') {
      opt->check = true;
    } else {
      tools::CommonOption(kTool, c);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  tools::CheckOutputAtExit("wisp-emit");
  Options opt;
  ParseOptions(argc, argv, &opt);
  tools::RequireRoot(kTool);

  std::vector<Line> lines;
  auto readAll = [&](std::istream &in, const std::string &name) {
    std::string text;
    size_t number = 0;
    while (std::getline(in, text)) {
      ++number;
      size_t start = text.find_first_not_of(" \t\r");
      if (start == std::string::npos || text[start] == '#') continue;
      lines.push_back({number, name, text});
    }
  };
  if (optind == argc) {
    readAll(std::cin, "stdin");
  } else {
    for (int a = optind; a < argc; ++a) {
      std::ifstream in;
      std::string why;
      if (!tools::OpenInput(argv[a], &in, &why)) {
        std::cerr << "wisp-emit: " << why << "\n";
        return 1;
      }
      readAll(in, argv[a]);
    }
  }

  std::vector<Action> actions(lines.size());
  std::vector<bool> valid(lines.size(), false);
  int failures = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string error;
    valid[i] = Parse(lines[i], opt.ctx, &actions[i], &error);
    if (!valid[i]) {
      std::cerr << "wisp-emit: " << lines[i].source << ": line " << lines[i].number << ": " << error
                << "\n";
      ++failures;
    }
  }
  if (opt.check) {
    std::cerr << "wisp-emit: " << lines.size() - static_cast<size_t>(failures) << " of "
              << lines.size() << " lines are well formed\n";
    return failures == 0 ? 0 : 1;
  }
  Sender sender(opt.wait);
  size_t batches = 0, records = 0;
  for (long r = 0; r < opt.repeat; ++r) {
    for (size_t i = 0; i < actions.size(); ++i) {
      if (!valid[i]) continue;
      if (actions[i].kind == Action::kSleep) {
        Sleep(actions[i].seconds);
        continue;
      }
      std::string error;
      StampNow(&actions[i]);
      if (!sender.Send(actions[i].ctx, actions[i].bytes, &error)) {
        std::cerr << "wisp-emit: " << lines[i].source << ": line " << lines[i].number << ": "
                  << error << "\n";
        ++failures;
      } else {
        ++batches;
        records += actions[i].records;
      }
    }
  }
  std::cerr << "wisp-emit: sent " << batches << " batches (" << records << " observations), "
            << failures << " failed\n";
  return failures == 0 ? 0 : 1;
}
