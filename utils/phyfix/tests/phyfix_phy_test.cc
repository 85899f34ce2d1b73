// SPDX-License-Identifier: ISC
// The phyfix program against a PHY that answers: the MII requests it sends
// through the kernel interface, read and write each with its own request,
// and what it does for a link that is up, one stuck without Next Page and
// one stuck with it. The PHY is a register file behind a preloaded ioctl().
#include <syslog.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "sleep_probe.h"
#include "syslog_sink.h"
#include "testkit.h"

namespace {

const std::string phyfix = testkit::bin_path("phyfix");

// Each case: the registers, the status after a restart, the accesses of one
// check in order, and the message it logs (none: "").
struct PhyCase {
  const char* what;
  const char* regs;
  const char* status_after_restart;
  const char* accesses;
  const char* message;
};

const PhyCase phy_cases[] = {
    {"link up", "0=1140,1=780d,4=85e1", "782d", "read 1F 01 780D\n", ""},
    {"negotiation complete", "0=1140,1=7829,4=85e1", "782d", "read 1F 01 7829\n", ""},
    {"stuck without Next Page", "0=1140,1=7809,4=05e1", "782d",
     "read 1F 01 7809\nread 1F 04 05E1\n", ""},
    {"stuck with Next Page, link comes up", "0=1140,1=7809,4=85e1", "782d",
     "read 1F 01 7809\nread 1F 04 85E1\nwrite 1F 04 05E1\nread 1F 00 1140\n"
     "write 1F 00 1340\nread 1F 01 782D\n",
     "fakephy/1F: workaround applied"},
    {"stuck with Next Page, link stays down", "0=1100,1=7809,4=c5e1", "7809",
     "read 1F 01 7809\nread 1F 04 C5E1\nwrite 1F 04 45E1\nread 1F 00 1100\n"
     "write 1F 00 1300\nread 1F 01 7809\n",
     ""},
};

TEST(phyfix_phy, EachCheckSendsExactlyItsRegisterRequests) {
  ASSERT_TRUE(testkit::in_private_namespaces());
  SyslogSink log;
  ASSERT_TRUE(log.ready());
  testkit::TempDir dir;

  for (const PhyCase& c : phy_cases) {
    const std::string accesses = dir.path() + "/accesses";
    unlink(accesses.c_str());
    testkit::SpawnOptions opts;
    opts.capture_output = true;
    opts.env = {"LD_PRELOAD=" EO_FAKE_PHY_PRELOAD, "FAKE_PHY_IFNAME=fakephy",
                std::string("FAKE_PHY_REGS=") + c.regs,
                std::string("FAKE_PHY_STATUS_AFTER_RESTART=") + c.status_after_restart,
                "FAKE_PHY_LOG=" + accesses};
    testkit::Child daemon({phyfix, "fakephy", "0x1f"}, opts);

    // the check is over once the daemon sleeps until the next one
    EXPECT_TRUE(testkit::wait_until([&] { return asleep_for(daemon.pid()) == 300; }))
        << c.what << ": never slept until the next check";
    EXPECT_EQ(testkit::read_file(accesses), c.accesses) << c.what;
    EXPECT_TRUE(daemon.running()) << c.what;
    if (c.message[0]) {
      std::string message = log.next();
      EXPECT_EQ(syslog_priority(message), LOG_DAEMON | LOG_WARNING) << c.what << ": " << message;
      EXPECT_EQ(syslog_text(message), c.message) << c.what;
    }
    EXPECT_EQ(log.next(0), "") << c.what << ": a message more";
  }
}

}  // namespace
