#include "source.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <sstream>

#include "../common/signals.h"
#include "../common/wispjson.h"
#include "kmsg.h"
#include "linkmsg.h"
#include "machinecheck.h"
#include "model.h"
#include "uevent.h"

namespace wisplinux {

namespace {
// Observations held while the daemon is away.
constexpr size_t kHeldObservations = 100000;
// How often held observations are offered again.
constexpr int kRetryMs = 100;

// Adds n to a counter; true when it reached the first or a power of two, the
// counts worth a log line, so that a stream of bad input is seen without
// filling the log.
bool Counted(uint64_t *counter, uint64_t n) {
  uint64_t before = *counter;
  *counter += n;
  return std::bit_width(before) != std::bit_width(*counter);
}
}  // namespace

Source::Source(SourceOptions options, std::unique_ptr<Kernel> kernel, Log log)
    : options_(std::move(options)),
      kernel_(std::move(kernel)),
      log_(std::move(log)),
      links_(options_.config.links),
      clock_(options_.config.clock),
      storage_(options_.config.storage),
      outbox_(options_.config.contexts, kHeldObservations),
      actions_(options_.actionsPath),
      model_(options_.modelPath),
      stats_(options_.statsPath) {
  uuid_ = options_.config.systemUuid.empty() ? kernel_->SystemUuid() : options_.config.systemUuid;
  OpenCapture();
}

void Source::Announce() {
  std::string watched, not_watched;
  for (int f = 0; f < kFamilies; ++f) {
    auto family = static_cast<Family>(f);
    FamilyStatus status = kernel_->Status(family);
    std::string &list = status.watched ? watched : not_watched;
    list += std::string(list.empty() ? "" : "; ") + FamilyName(family) + ": " + status.how;
  }
  log_("watching " + (watched.empty() ? std::string("no family") : watched));
  if (!not_watched.empty()) log_("not watching " + not_watched);
  if (!options_.takeDown)
    log_("a NIC the daemon takes down for flapping is recorded, not taken down (--take-down)");
  if (!options_.offlinePages)
    log_("a memory page the daemon retires is recorded, not taken out of use (--offline-pages)");
  std::string first;
  size_t bad = kernel_->BadLines(&first);
  if (bad > 0)
    log_("skipped " + std::to_string(bad) + " lines of the capture; the first at " + first);
}

void Source::OpenCapture() {
  if (options_.capturePath.empty()) return;
  if (capture_ >= 0) close(capture_);
  capture_ = open(options_.capturePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (capture_ < 0) {
    log_("cannot record to " + options_.capturePath + ": " + strerror(errno));
    return;
  }
  // A new (or emptied) capture starts with its header.
  if (lseek(capture_, 0, SEEK_END) == 0) {
    std::string header = CaptureHeader(uuid_) + "\n";
    if (write(capture_, header.data(), header.size()) < 0) captureFailed_ = true;
  }
}

void Source::Capture(const Event &event) {
  if (capture_ < 0 || captureFailed_) return;
  std::string line = EventToLine(event) + "\n";
  if (write(capture_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    captureFailed_ = true;
    log_("stopped recording to " + options_.capturePath + ": " + strerror(errno));
  }
}

void Source::Links(const Event &event) {
  LinkBatch batch = DecodeLinkMessages(event.bytes.data(), event.bytes.size());
  if (Counted(&badNetlink_, batch.bad))
    log_("rejected a link message (" + std::to_string(badNetlink_) +
         " so far): " + batch.firstProblem);
  std::vector<Observation> obs;
  for (const LinkMsg &link : batch.links) links_.Apply(link, &obs);
  // The model first: the daemon looks up what an observation names.
  UpdateModel();
  outbox_.Add(obs, tools::NowMicros());
  if (batch.overrun) Overrun();
}

void Source::Storage(const Event &event, std::vector<Observation> *obs) {
  std::string why;
  if (event.kind == Event::Kind::kStorage) {
    StorageInventory inventory;
    if (InventoryFromJson(nlohmann::json::parse(event.bytes, nullptr, false), &inventory, &why))
      storage_.SetInventory(inventory);
    else if (Counted(&badUevents_, 1))
      log_("rejected a reading of the block devices (" + std::to_string(badUevents_) +
           " bad device events so far): " + why);
    return;
  }
  if (event.kind == Event::Kind::kUevent) {
    Uevent uevent;
    if (!ParseUevent(event.bytes.data(), event.bytes.size(), &uevent, &why)) {
      if (Counted(&badUevents_, 1))
        log_("rejected a device event (" + std::to_string(badUevents_) + " so far): " + why);
      return;
    }
    if (storage_.Uevent(uevent, event.atUs, obs)) ++pathEvents_;
    return;
  }
  KmsgRecord record;
  if (!ParseKmsg(event.bytes.data(), event.bytes.size(), &record, &why)) {
    if (Counted(&badKmsg_, 1))
      log_("rejected a kernel log record (" + std::to_string(badKmsg_) + " so far): " + why);
    return;
  }
  ++(storage_.Kmsg(record, event.ios, event.atUs, obs) ? kmsgMatched_ : kmsgOther_);
}

void Source::Hardware(const Event &event, std::vector<Observation> *obs) {
  MachineCheck mc;
  std::string why;
  switch (ParseTraceLine(event.bytes, &mc, &why)) {
    case TraceLine::kCorrected:
      // The fields the daemon's machine-check log carries; the rest are 0.
      obs->push_back({ObsKind::kCorrectedError,
                      {U64(0), U64(mc.status), U64(0), U64(0), U64(mc.cpu), U64(mc.address), U64(0),
                       U64(mc.count)}});
      return;
    case TraceLine::kOther:
      ++traceOther_;
      return;
    case TraceLine::kBad:
      if (Counted(&badTrace_, 1))
        log_("rejected a trace line (" + std::to_string(badTrace_) + " so far): " + why);
      return;
  }
}

void Source::UpdateModel() {
  Inventory links = links_.Current();
  if (modelWritten_ && links == modelLinks_ && storage_.Generation() == modelStorage_) return;
  modelLinks_ = links;
  modelStorage_ = storage_.Generation();
  std::string why;
  modelWritten_ = model_.Write(ModelText(uuid_, options_.config.advancedOptions, links,
                                         storage_.ModelStorage(), storage_.ModelFileSystems()),
                               &why);
  if (!modelWritten_) log_(why);
}

void Source::Overrun() {
  if (Counted(&overruns_, 1))
    log_("the kernel dropped link messages (" + std::to_string(overruns_) +
         " times so far); reading every link again");
  kernel_->Resync();
}

void Source::Process(const Event &event) {
  std::vector<Observation> obs;
  switch (event.kind) {
    case Event::Kind::kLinks:
      ++read_[static_cast<int>(Family::kNet)];
      Capture(event);
      Links(event);
      return;
    case Event::Kind::kOverrun:
      ++read_[static_cast<int>(Family::kNet)];
      Capture(event);
      Overrun();
      return;
    case Event::Kind::kStep:
      ++read_[static_cast<int>(Family::kClock)];
      Capture(event);
      clock_.Step(event.deltaNs, event.toSec, event.toNsec, &obs);
      break;
    case Event::Kind::kSync:
      // Readings that change nothing are neither counted nor recorded: at
      // rest the source then writes nothing at all.
      if (clock_.Sample(event.sync, &obs)) {
        ++read_[static_cast<int>(Family::kClock)];
        Capture(event);
      }
      break;
    case Event::Kind::kStorage:
    case Event::Kind::kUevent:
    case Event::Kind::kKmsg:
      ++read_[static_cast<int>(Family::kStorage)];
      Capture(event);
      Storage(event, &obs);
      break;
    case Event::Kind::kTrace:
      ++read_[static_cast<int>(Family::kHardware)];
      Capture(event);
      Hardware(event, &obs);
      break;
  }
  // The model first: a path's device and redundancy are looked up there.
  UpdateModel();
  outbox_.Add(obs, tools::NowMicros());
}

void Source::HostActions() {
  for (const HostAction &action : actions_.Read()) Request(action);
}

void Source::Request(const HostAction &a) {
  enum { kRecorded, kDone, kFailed };
  char page[40];
  snprintf(page, sizeof page, "%#llx", static_cast<unsigned long long>(a.page));
  // What was asked, what doing it is called, and why the daemon asked.
  struct Texts {
    std::string ask, did, why;
    bool allowed;
  };
  const Texts texts[] = {
      {"take NIC " + a.nic + " down", "took NIC " + a.nic + " down", "its link flapping",
       options_.takeDown},
      {std::string("retire memory page ") + page, std::string("retired memory page ") + page,
       "its corrected errors", options_.offlinePages},
      {"take CPU " + std::to_string(a.cpu) + " offline", "", "its core's corrected errors", false},
  };
  int kind = static_cast<int>(a.kind);
  const Texts &t = texts[kind];
  if (!t.allowed) {
    ++requests_[kind][kRecorded];
    log_("the daemon asked to " + t.ask + ", " + t.why +
         ": recorded in the actions journal, not done");
    return;
  }
  int err = 0;
  if (a.kind == HostAction::Kind::kNicDown) {
    int32_t index = links_.IndexOf(a.nic);
    err = index == 0 ? ENODEV : kernel_->TakeDown(index);
  } else {
    err = a.page > (UINT64_MAX >> 12) ? EINVAL : kernel_->OfflinePage(a.page << 12);
  }
  if (err == 0) {
    ++requests_[kind][kDone];
    log_(t.did + ", as the daemon asked: " + t.why);
  } else {
    ++requests_[kind][kFailed];
    log_("cannot " + t.ask + ": " + strerror(err));
  }
}

std::string Source::StatsText() const {
  std::ostringstream out;
  auto family = [&](const char *name, const char *type, const char *help, auto value) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
    for (int f = 0; f < kFamilies; ++f)
      out << name << "{family=\"" << FamilyName(static_cast<Family>(f)) << "\"} " << value(f)
          << "\n";
  };
  auto one = [&](const char *name, const char *type, const char *help, uint64_t value) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n"
        << name << " " << value << "\n";
  };
  family("wisp_linux_family_watched", "gauge", "Whether a family is watched (1) or cannot be (0).",
         [&](int f) { return kernel_->Status(static_cast<Family>(f)).watched ? 1 : 0; });
  family("wisp_linux_events_read_total", "counter", "Kernel events read.",
         [&](int f) { return read_[f]; });
  family("wisp_linux_observations_sent_total", "counter", "Observations the daemon took.",
         [&](int f) { return outbox_.Sent(static_cast<Family>(f)); });
  one("wisp_linux_observations_dropped_total", "counter",
      "Observations dropped: the daemon was away too long, or refused them.", outbox_.Dropped());
  one("wisp_linux_observations_waiting", "gauge", "Observations waiting for the daemon.",
      outbox_.Held());
  one("wisp_linux_bad_link_messages_total", "counter", "Link messages that did not decode.",
      badNetlink_);
  std::string first;
  one("wisp_linux_bad_capture_lines_total", "counter", "Capture lines that did not decode.",
      kernel_->BadLines(&first));
  one("wisp_linux_bad_action_lines_total", "counter", "Actions journal lines that did not decode.",
      actions_.BadLines());
  one("wisp_linux_link_overruns_total", "counter",
      "Times the kernel dropped link messages (the links were read again).", overruns_);
  one("wisp_linux_carrier_changes_merged_total", "counter",
      "Carrier changes the kernel merged, recovered from its counters.", links_.Merged());
  one("wisp_linux_clock_small_steps_total", "counter", "Clock steps below the reported size.",
      clock_.SmallSteps());
  static const char *const kRequests[3][3] = {{"take_downs", "NIC take-downs"},
                                              {"page_retirements", "memory page retirements"},
                                              {"cpu_offlines", "CPU offlines"}};
  for (int k = 0; k < 3; ++k) {
    std::string name = std::string("wisp_linux_") + kRequests[k][0] + "_total";
    out << "# HELP " << name << " The daemon's " << kRequests[k][1]
        << ", by what became of them.\n# TYPE " << name << " counter\n";
    int o = 0;
    for (const char *outcome : {"recorded", "done", "failed"})
      out << name << "{outcome=\"" << outcome << "\"} " << requests_[k][o++] << "\n";
  }
  one("wisp_linux_path_events_total", "counter", "Multipath path events read.", pathEvents_);
  one("wisp_linux_bad_device_events_total", "counter", "Device events that did not decode.",
      badUevents_);
  one("wisp_linux_kernel_log_matched_total", "counter",
      "Kernel log records that matched a row and were acted on.", kmsgMatched_);
  one("wisp_linux_kernel_log_unmatched_total", "counter",
      "Kernel log records read that matched no row.", kmsgOther_);
  one("wisp_linux_bad_kernel_log_records_total", "counter",
      "Kernel log records that did not decode.", badKmsg_);
  one("wisp_linux_kernel_log_lost_total", "counter",
      "Times the kernel overwrote log records before they were read.", kernel_->KmsgLost());
  one("wisp_linux_trace_lines_unsent_total", "counter",
      "Trace lines read that were no corrected error.", traceOther_);
  one("wisp_linux_bad_trace_lines_total", "counter", "Trace lines that did not decode.", badTrace_);
  one("wisp_linux_model_writes_total", "counter", "Host model files written.", model_.Writes());
  return out.str();
}

void Source::WriteStats() {
  std::string why;
  if (!stats_.Write(StatsText(), &why) && Counted(&statsFailures_, 1)) log_(why);
}

int Source::Run(volatile sig_atomic_t *stop, volatile sig_atomic_t *hangup) {
  Announce();
  std::vector<Event> events;
  kernel_->Initial(&events);
  // The model holds the options and the UUID before any link is known.
  UpdateModel();
  for (const Event &e : events) Process(e);
  while (!*stop) {
    if (*hangup) {
      *hangup = 0;
      OpenCapture();
    }
    bool waiting = !outbox_.Flush();
    if (outbox_.Problem() != lastSendProblem_) {
      if (!outbox_.Problem().empty())
        log_(outbox_.Problem() + "; holding observations");
      else
        log_("the daemon takes observations again");
      lastSendProblem_ = outbox_.Problem();
    }
    WriteStats();
    if (options_.replay && kernel_->Finished() && !waiting) return 0;
    std::vector<struct pollfd> fds;
    for (int fd : kernel_->Fds()) fds.push_back({fd, POLLIN, 0});
    if (actions_.Fd() >= 0) fds.push_back({actions_.Fd(), POLLIN, 0});
    int rc = tools::PollSignals(fds.data(), fds.size(), waiting ? kRetryMs : -1);
    if (rc < 0 && errno != EINTR) {
      log_(std::string("cannot wait: ") + strerror(errno));
      return 1;
    }
    for (const struct pollfd &p : fds) {
      if (!(p.revents & (POLLIN | POLLERR | POLLHUP))) continue;
      if (p.fd == actions_.Fd()) {
        HostActions();
        continue;
      }
      events.clear();
      kernel_->Read(p.fd, &events);
      for (const Event &e : events) Process(e);
    }
  }
  // What still waits goes out if the daemon takes it now.
  outbox_.Flush();
  WriteStats();
  if (capture_ >= 0) close(capture_);
  return 0;
}

}  // namespace wisplinux
