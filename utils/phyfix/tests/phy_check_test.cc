// SPDX-License-Identifier: ISC
// The stuck-link check against a simulated PHY: every branch of a check,
// with the register traffic it causes and what it logs.
#include "phy_check.h"

#include <stdio.h>
#include <syslog.h>

#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "syslog_sink.h"

using phyfix::check_result;

namespace {

// A clause 22 PHY that records every access. Restarting auto-negotiation
// puts status_after_restart into the status register; the restart bit
// clears itself as on real parts.
struct SimPhy {
  std::array<uint16_t, 32> regs{};
  uint16_t status_after_restart = 0;
  int fail_access = -1;  // index of the access that fails, -1 for none
  int accesses = 0;
  std::vector<std::string> trace;  // "r1", "w4=01e1", "sleep 2"
};

bool sim_access(const phyfix::phy_port& port, bool write, uint16_t reg, uint16_t* value) {
  auto& phy = *static_cast<SimPhy*>(port.ctx);
  char entry[32];
  if (write)
    snprintf(entry, sizeof entry, "w%u=%04x", reg, *value);
  else
    snprintf(entry, sizeof entry, "r%u", reg);
  phy.trace.push_back(entry);
  if (phy.accesses++ == phy.fail_access || reg >= phy.regs.size()) return false;
  if (!write) {
    *value = phy.regs[reg];
    return true;
  }
  phy.regs[reg] = *value;
  if (reg == phyfix::reg_control && (*value & phyfix::control_restart_aneg)) {
    phy.regs[reg] &= ~phyfix::control_restart_aneg;
    phy.regs[phyfix::reg_status] = phy.status_after_restart;
  }
  return true;
}

void sim_sleep(const phyfix::phy_port& port, unsigned seconds) {
  static_cast<SimPhy*>(port.ctx)->trace.push_back("sleep " + std::to_string(seconds));
}

phyfix::phy_port port_of(SimPhy& phy) {
  return phyfix::phy_port{"eth0", 0x1f, &phy, sim_access, sim_sleep};
}

const char* name_of(check_result r) {
  switch (r) {
    case check_result::link_ok:
      return "link_ok";
    case check_result::no_next_page:
      return "no_next_page";
    case check_result::access_failed:
      return "access_failed";
    case check_result::still_down:
      return "still_down";
    case check_result::applied:
      return "applied";
  }
  return "?";
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (auto& item : items) out += (out.empty() ? "" : " ") + item;
  return out;
}

struct CheckCase {
  const char* what;
  uint16_t status, advertise, control;
  uint16_t status_after_restart;
  int fail_access;
  check_result result;
  const char* trace;
};

// Status 0x7809: capabilities, link down, auto-negotiation not complete;
// 0x782d: link up and negotiated.
const CheckCase check_cases[] = {
    {"link up", 0x780d, 0x81e1, 0x1000, 0x7809, -1, check_result::link_ok, "r1"},
    {"negotiation complete, link down", 0x7829, 0x81e1, 0x1000, 0x7809, -1, check_result::link_ok,
     "r1"},
    {"down without Next Page", 0x7809, 0x01e1, 0x1000, 0x7809, -1, check_result::no_next_page,
     "r1 r4"},
    {"stuck, link comes up", 0x7809, 0x81e1, 0x1000, 0x782d, -1, check_result::applied,
     "r1 r4 w4=01e1 r0 w0=1200 sleep 2 r1"},
    {"stuck, link stays down", 0x7809, 0x81e1, 0x1000, 0x7809, -1, check_result::still_down,
     "r1 r4 w4=01e1 r0 w0=1200 sleep 2 r1"},
    {"negotiated after the restart but no link", 0x7809, 0x81e1, 0x1000, 0x7829, -1,
     check_result::still_down, "r1 r4 w4=01e1 r0 w0=1200 sleep 2 r1"},
    {"link only, negotiation not complete", 0x7809, 0x81e1, 0x1000, 0x780d, -1,
     check_result::applied, "r1 r4 w4=01e1 r0 w0=1200 sleep 2 r1"},
    {"other advertised bits and control bits kept", 0x0000, 0xffff, 0x3140, 0x782d, -1,
     check_result::applied, "r1 r4 w4=7fff r0 w0=3340 sleep 2 r1"},
    {"status read fails", 0x7809, 0x81e1, 0x1000, 0x782d, 0, check_result::access_failed, "r1"},
    {"advertisement read fails", 0x7809, 0x81e1, 0x1000, 0x782d, 1, check_result::access_failed,
     "r1 r4"},
    {"advertisement write fails", 0x7809, 0x81e1, 0x1000, 0x782d, 2, check_result::access_failed,
     "r1 r4 w4=01e1"},
    {"control read fails", 0x7809, 0x81e1, 0x1000, 0x782d, 3, check_result::access_failed,
     "r1 r4 w4=01e1 r0"},
    {"control write fails", 0x7809, 0x81e1, 0x1000, 0x782d, 4, check_result::access_failed,
     "r1 r4 w4=01e1 r0 w0=1200"},
    {"status read after the restart fails", 0x7809, 0x81e1, 0x1000, 0x782d, 5,
     check_result::access_failed, "r1 r4 w4=01e1 r0 w0=1200 sleep 2 r1"},
};

}  // namespace

TEST(phyfix_check, EveryBranchCausesExactlyItsRegisterTraffic) {
  SyslogSink log;
  ASSERT_TRUE(log.ready());
  openlog("phyfix", LOG_PID | LOG_NDELAY, LOG_DAEMON);
  for (const auto& c : check_cases) {
    SimPhy phy;
    phy.regs[phyfix::reg_status] = c.status;
    phy.regs[phyfix::reg_advertise] = c.advertise;
    phy.regs[phyfix::reg_control] = c.control;
    phy.status_after_restart = c.status_after_restart;
    phy.fail_access = c.fail_access;

    check_result result = phyfix::check_phy(port_of(phy));
    EXPECT_STREQ(name_of(result), name_of(c.result)) << c.what;
    EXPECT_EQ(joined(phy.trace), c.trace) << c.what;

    // Only a link brought up by the restart is worth a log line.
    std::string message = log.next(c.result == check_result::applied ? 5000 : 0);
    if (c.result == check_result::applied) {
      EXPECT_EQ(syslog_text(message), "eth0/1F: workaround applied") << c.what;
      EXPECT_EQ(syslog_priority(message), LOG_DAEMON | LOG_WARNING) << c.what;
    } else {
      EXPECT_EQ(message, "") << c.what;
    }
  }
  closelog();
}

TEST(phyfix_check, ALinkThatIsUpOrNegotiatedIsNeverWritten) {
  for (unsigned status = 0; status <= 0xffff; ++status) {
    if (!(status & (phyfix::status_link_up | phyfix::status_aneg_complete))) continue;
    SimPhy phy;
    phy.regs[phyfix::reg_status] = static_cast<uint16_t>(status);
    phy.regs[phyfix::reg_advertise] = 0xffff;
    ASSERT_EQ(phyfix::check_phy(port_of(phy)), check_result::link_ok) << "status " << status;
    ASSERT_EQ(joined(phy.trace), "r1") << "status " << status;
  }
}

TEST(phyfix_check, WithoutNextPageNothingIsWrittenWhateverElseIsAdvertised) {
  for (unsigned advertise = 0; advertise < 0x8000; ++advertise) {
    SimPhy phy;
    phy.regs[phyfix::reg_status] = 0x7809;
    phy.regs[phyfix::reg_advertise] = static_cast<uint16_t>(advertise);
    ASSERT_EQ(phyfix::check_phy(port_of(phy)), check_result::no_next_page)
        << "advertisement " << advertise;
    ASSERT_EQ(phy.regs[phyfix::reg_advertise], advertise);
  }
}

TEST(phyfix_parse, PhyNumbersInEveryNotationAndTheirLimits) {
  struct {
    const char* text;
    bool ok;
    uint16_t value;
  } const cases[] = {
      {"31", true, 31},
      {"0x1f", true, 31},
      {"0X1F", true, 31},
      {"037", true, 31},
      {"0", true, 0},
      {"65535", true, 65535},
      {"0xffff", true, 0xffff},
      {"1x", false, 0},
      {"", false, 0},
      {"x", false, 0},
      {"0x", false, 0},
      {"08", false, 0},
      {"31 ", false, 0},
      {"65536", false, 0},
      {"0x10000", false, 0},
      {"-1", false, 0},
      {"99999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    uint16_t value = 0xbeef;
    bool ok = phyfix::parse_phy_number(c.text, &value);
    EXPECT_EQ(ok, c.ok) << "\"" << c.text << "\"";
    uint16_t expected = c.ok ? c.value : 0xbeef;  // a rejected number leaves it alone
    EXPECT_EQ(value, expected) << "\"" << c.text << "\"";
  }
}
