#include "correlator_kit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/wispdLog.h"
#include "base/wispdTimer.h"
#include "output/wispdFlare.h"
#include "simhost/sockets.h"

namespace testing_support {

namespace {

// Each kit opens a flare rate window of its own.
int64_t NextStart() {
  static int64_t start = 1800000000;
  start += 100000;
  return start;
}

}  // namespace

CorrelatorKit::CorrelatorKit(const CorrelatorDef &def, const std::string &model)
    : clock(std::make_unique<FakeClock>(NextStart())), def_(def) {
  Model(model);
  hubd_ = simhost::BindUnix(SOCK_STREAM, root.Under("/var/run/pelldan/hubd-flare.sock"), 4096);
  fcntl(hubd_, F_SETFL, O_NONBLOCK);
  // As the daemon starts: a fresh timer table and the retry timer, then the
  // correlator's reset, table and start.
  Timer_Service().Clear();
  Flare_Init();
  if (def.reset != nullptr) def.reset();
  Correlator_BuildTable(def, &table_);
  if (def.start != nullptr) {
    EXPECT_TRUE(def.start()) << def.name << " did not start";
  }
  Flares();
  Logs();
  Actions();
}

CorrelatorKit::~CorrelatorKit() {
  if (hubd_ >= 0) close(hubd_);
}

void CorrelatorKit::Model(const std::string &json) {
  root.WriteFile("/etc/pelldan/simhost.json", json.empty() ? "{}" : json);
}

void CorrelatorKit::Send(const std::string &id, const std::vector<tools::Arg> &args,
                         const std::string &fmt) {
  Wisp *wisp = MakeWisp(Record(id, args, fmt));
  if (wisp == nullptr) {
    ADD_FAILURE() << "the test built a record the library rejects: " << id;
    return;
  }
  Correlator_Dispatch(def_.fallback, table_, wisp);
  Wisp_Free(wisp);
}

std::vector<PostedFlare> CorrelatorKit::Flares() {
  // Posting sends before it returns, so every record waits in the backlog.
  std::vector<PostedFlare> out;
  for (;;) {
    int c = accept(hubd_, nullptr, nullptr);
    if (c < 0) break;
    std::string rec = ReadAll(c);
    tools::OrderedJson line;
    std::string error;
    if (!tools::DecodeFlare(reinterpret_cast<const uint8_t *>(rec.data()), rec.size(), &line,
                            &error)) {
      ADD_FAILURE() << "undecodable flare record: " << error;
      continue;
    }
    PostedFlare f;
    f.id = line["id"].get<std::string>();
    f.args = line["args"];
    f.message = line["message"].is_string() ? line["message"].get<std::string>() : "";
    out.push_back(f);
  }
  return out;
}

std::vector<std::string> CorrelatorKit::Texts() {
  std::vector<std::string> out;
  for (const PostedFlare &f : Flares()) out.push_back(f.Text());
  return out;
}

std::vector<std::string> CorrelatorKit::Logs() {
  std::string mark = "correlator kit sync " + std::to_string(++syncs_);
  Log("%s\n", mark.c_str());
  EXPECT_TRUE(log.WaitFor(mark));
  std::vector<std::string> all = log.Messages(), out;
  for (; logsSeen_ < all.size(); ++logsSeen_) {
    const std::string &m = all[logsSeen_];
    if (m.find("correlator kit sync ") != std::string::npos) continue;
    // Without the time stamp "YYYY-MM-DDTHH:MM:SS.mmmZ: ".
    size_t at = m.find("Z: ");
    out.push_back(at != std::string::npos && at < 32 ? m.substr(at + 3) : m);
  }
  return out;
}

std::vector<std::string> CorrelatorKit::Actions() {
  std::vector<std::string> all = Lines(root.Under("/var/log/pelldan/simhost-actions.jsonl"));
  std::vector<std::string> out;
  for (; actionsSeen_ < all.size(); ++actionsSeen_) out.push_back(all[actionsSeen_]);
  return out;
}

void CorrelatorKit::Advance(double seconds) {
  clock->Advance(seconds);
  while (Timer_Service().FireDue(clock->Seconds())) {
  }
}

void CorrelatorKit::Reset() {
  if (def_.reset != nullptr) def_.reset();
  Flares();
  Logs();
  Actions();
}

std::vector<std::string> RowConversions(const FlareRow &row) {
  std::vector<std::string> out;
  for (const char *p = strchr(row.read, '%'); p != nullptr; p = strchr(p + 1, '%')) {
    size_t n = 1;
    while (p[n] != '\0' && strchr("hl0123456789", p[n]) != nullptr) ++n;
    out.emplace_back(p, p[n] != '\0' ? n + 1 : n);
  }
  return out;
}

std::vector<tools::Arg> RowArguments(const FlareRow &row) {
  std::vector<tools::Arg> args;
  std::vector<std::string> convs = RowConversions(row);
  for (size_t k = 0; k < convs.size(); ++k) {
    const std::string &c = convs[k];
    if (c.back() == 'p') {
      args.push_back(Str("s" + std::to_string(k)));
      continue;
    }
    bool wide = c.find('l') != std::string::npos;
    bool isSigned = c.back() == 'd' || c.back() == 'i';
    uint64_t value = 100 + k;
    if (wide) {
      args.push_back(isSigned ? I64(static_cast<int64_t>(value)) : U64(value));
    } else {
      args.push_back(isSigned ? I32(static_cast<int32_t>(value))
                              : U32(static_cast<uint32_t>(value)));
    }
  }
  return args;
}

}  // namespace testing_support
