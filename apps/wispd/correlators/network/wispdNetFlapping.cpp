#include "correlators/network/wispdNetFlapping.h"

#include <stdint.h>

#include <deque>
#include <exception>
#include <map>

#include "base/wispdClock.h"
#include "mantlectl/mantlectl.h"
#include "output/wispdFlare.h"
#include "pellibs/sysinfo.h"

namespace {

enum { kWindowSeconds = 60 };

// Link-down times per NIC, oldest first; pruned only when the NIC reports
// again, so a list holds at most one window's worth plus one.
struct FlappingState {
  std::map<std::string, std::deque<int64_t>> history;
};
FlappingState gState;

}  // namespace

void NetFlapping_Check(const std::string &nic) {
  int64_t now = Clock_WallSeconds();
  std::deque<int64_t> &downs = gState.history[nic];
  downs.push_back(now);
  while (!downs.empty() && downs.front() < now - kWindowSeconds) downs.pop_front();

  uint32_t threshold;
  try {
    // Read anew each time so that a changed option applies at once.
    MantleCtl::Adv::AdvancedIntegerOptionImpl option({"Net"}, "LinkFlappingThreshold");
    threshold = static_cast<uint32_t>(option.GetValue());
  } catch (const std::exception &) {
    return;
  }
  if (threshold == 0 || downs.size() <= threshold) return;

  bool takenDown = false;
  try {
    MantleCtl::Util::Sysinfo node(Sysi_NODE_net_pNics_linkFlapping);
    node.AddInstancePath(nic);
    node.AddInput(int64_t{1});
    node.Set();
    takenDown = true;
  } catch (const std::exception &) {
    // The kernel kept the NIC up; counting starts again all the same.
  }
  downs.clear();
  if (takenDown) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.pnic.linkstate.flapping)Taking down physical NIC %s because "
        "the link is flapping.",
        nic.c_str());
  }
}

void NetFlapping_Reset(void) {
  gState = FlappingState();
}
