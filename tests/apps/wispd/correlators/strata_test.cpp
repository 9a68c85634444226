// The Strata correlator: the network picture behind connectivity and
// redundancy reports, clustering, and the hourly hold-back of medium errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "correlator_kit.h"
#include "wispdFlare.h"

using namespace testing_support;

extern const CorrelatorDef kStrataCorrelator;

namespace {

const char kVnicAdded[] = "[tarn.audit.strata.net.vnic.added] Strata vnic added";
const char kVnicDeleted[] = "[tarn.audit.strata.net.vnic.deleted] Strata vnic deleted";
const char kAvailable[] =
    "[tarn.clear.strata.network.available] Strata now has usable network configuration. Earlier "
    "reported connectivity problems, if any, can now be ignored as it is resolved.";

class Strata : public ::testing::Test {
 protected:
  void Net(const char *what, const std::string &nic) {
    kit.Send(std::string("wisp.strata.") + what, {Str(nic)});
  }
  void Quorin(const char *what) { kit.Send(std::string("wisp.strata.quorin.") + what); }
  void Medium(const char *what, const std::string &disk) {
    kit.Send(std::string("wisp.strata.dom.") + what, {Str("comp-7"), Str(disk)});
  }
  // Event ids posted since the last call.
  std::vector<std::string> Ids() {
    std::vector<std::string> out;
    for (const PostedFlare &f : kit.Flares()) out.push_back(f.id);
    return out;
  }
  // Ids of what the next retry pass delivers.
  std::vector<std::string> Retried() {
    Flare_RetryPass();
    return Ids();
  }

  CorrelatorKit kit{kStrataCorrelator};
};

TEST_F(Strata, AddressLossIsNotReadyOnlyWhenNoInterfaceHasOne) {
  Net("net.created", "mnic0");
  Net("net.created", "mnic1");
  EXPECT_EQ(kit.Texts(), (Texts{kVnicAdded, kVnicAdded}));
  Net("net.noip", "mnic0");
  EXPECT_EQ(Ids(), Texts{"tarn.problem.strata.mantlenic.not.ready"});
  Net("rdt.noip", "mnic1");  // the last address gone: queued, not sent at once
  EXPECT_TRUE(kit.Flares().empty());
  std::vector<PostedFlare> queued = (Flare_RetryPass(), kit.Flares());
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].Text(),
            "[tarn.problem.strata.net.not.ready] mantlenic mnic1 that is currently configured to "
            "be used with Strata doesn't have an IP address yet. There are no other active "
            "network configuration and therefore the Strata node doesn't have network "
            "connectivity.");
  Net("net.gotip", "mnic1");
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.clear.strata.mantlenic.ready] mantlenic mnic1 now has an IP address. "
                  "Earlier reported connectivity problems, if any, can now be ignored as it is "
                  "resolved."});
  Net("net.gotip", "mnic1");  // already has one
  Net("net.gotip", "mnic9");  // unknown
  EXPECT_TRUE(kit.Flares().empty());
  Net("net.reconfigured", "mnic0");  // was without an address
  EXPECT_EQ(kit.Texts(), (Texts{kAvailable, kVnicAdded}));
  Net("net.reconfigured", "mnic0");
  EXPECT_EQ(kit.Texts(), Texts{kVnicAdded});
}

TEST_F(Strata, RemovalsReportRedundancyThenConnectivity) {
  for (const char *nic : {"mnic0", "mnic1", "mnic2"}) Net("net.created", nic);
  Ids();
  Net("net.redundancy.reduced", "mnic2");
  EXPECT_EQ(Ids(), (Texts{"tarn.problem.strata.net.redundancy.reduced",
                          "tarn.audit.strata.net.vnic.deleted"}));
  Net("net.redundancy.reduced", "mnic1");
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.strata.net.redundancy.lost] Strata network configuration "
                   "doesn't have any redundancy. This may be a problem if further network "
                   "configuration is removed.",
                   kVnicDeleted}));
  // Unknown: nothing removed, the count is the table's size.
  Net("net.redundancy.reduced", "mnic7");
  EXPECT_EQ(Ids()[0], "tarn.problem.strata.net.redundancy.lost");
  Net("net.no.connectivity", "mnic0");
  EXPECT_EQ(kit.Texts(), Texts{kVnicDeleted});
  EXPECT_EQ(Retried(), Texts{"tarn.problem.strata.no.network.connectivity"});
  Net("net.created", "mnic3");
  EXPECT_EQ(kit.Texts(), (Texts{kAvailable, kVnicAdded}));
  Net("net.created", "mnic4");
  EXPECT_EQ(kit.Texts(), Texts{kVnicAdded});
}

TEST_F(Strata, ClusteringEnableClearsAfterAnyDisableUntilUnload) {
  Quorin("enabled");
  EXPECT_EQ(Ids(), Texts{"tarn.audit.strata.clustering.enabled"});
  Quorin("disabled");
  Quorin("enabled");
  Quorin("enabled");
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.strata.clustering.disabled] Strata clustering and directory "
                   "services have been disabled thus will be no longer available.",
                   "[tarn.clear.strata.clustering.enabled] Strata clustering and directory "
                   "services have now been enabled.",
                   "[tarn.clear.strata.clustering.enabled] Strata clustering and directory "
                   "services have now been enabled."}));
  Quorin("unloaded");
  EXPECT_TRUE(kit.Flares().empty());
  Quorin("enabled");
  EXPECT_EQ(Ids(), Texts{"tarn.audit.strata.clustering.enabled"});
}

TEST_F(Strata, OneMediumErrorPerDiskAnHourAcrossAllFourKinds) {
  Medium("singlediskerrorfixed", "disk0");
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.problem.wisp.strata.dom.singlediskerrorfixed] Strata detected and fixed a "
                  "medium or checksum error for component comp-7 on disk disk0."});
  kit.Advance(3599);
  for (const char *kind :
       {"singlediskerrorfixed", "errorfixed", "singlediskunrecoverableerror", "unrecoverableerror"})
    Medium(kind, "disk0");
  Medium("errorfixed", "group1");  // another disk is not held back
  EXPECT_EQ(Ids(), Texts{"tarn.problem.wisp.strata.dom.errorfixed"});
  kit.Advance(1);
  Medium("unrecoverableerror", "disk0");
  EXPECT_EQ(Ids(), Texts{"tarn.problem.wisp.strata.dom.unrecoverableerror"});
  // The new report started a new hour.
  kit.Advance(1800);
  Medium("singlediskerrorfixed", "disk0");
  EXPECT_TRUE(kit.Flares().empty());
  kit.Send("wisp.strata.dom.errorfixed", {Str("comp-7")});
  EXPECT_TRUE(kit.Flares().empty());
}

TEST_F(Strata, UnloadForgetsInterfacesConditionsAndDisks) {
  Net("net.created", "mnic0");
  Net("net.created", "mnic1");
  Net("net.no.connectivity", "mnic9");
  Medium("errorfixed", "group1");
  Quorin("disabled");
  Ids();
  Flare_RetryPass();
  Ids();
  Quorin("unloaded");
  EXPECT_TRUE(kit.Flares().empty());
  Medium("errorfixed", "group1");
  Quorin("enabled");
  Net("net.created", "mnic2");             // no connectivity loss remembered
  Net("net.redundancy.reduced", "mnic2");  // mnic0 and mnic1 are gone too
  EXPECT_EQ(
      Ids(),
      (Texts{"tarn.problem.wisp.strata.dom.errorfixed", "tarn.audit.strata.clustering.enabled",
             "tarn.audit.strata.net.vnic.added", "tarn.problem.strata.net.redundancy.lost",
             "tarn.audit.strata.net.vnic.deleted"}));
}

}  // namespace
