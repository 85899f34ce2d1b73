// SPDX-License-Identifier: ISC
// eoagent across restarts of the bus daemon and of the simulated switch:
// the AgentX session stays, the last values are served and writes refused
// while the relay is away, and the relay and meter are read again (with
// their new outlet count) when they are back. Both generations of the bus
// library, both ways of stopping the daemon, and three delays before it
// returns.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "agent_rig.h"

using simrig::Json;

namespace {

const std::string power = ".1.3.6.1.2.1.229.1.2.1.";
const std::string power_state = ".1.3.6.1.2.1.229.1.3.1.";
const std::string lost_line = "lost the bus: serving the last values read";
const std::string gone_line = "the relay or meter left the bus: serving the last values read";
const std::string back_line = "bus is back: relay and meter read again";

using testkit::BusGeneration;

std::string show(const std::map<std::string, std::string> &values) {
  std::string text;
  for (const auto &[oid, value] : values) text += oid + " " + value + "\n";
  return text;
}

size_t count(const std::string &text, const std::string &line) {
  size_t n = 0;
  for (size_t pos = text.find(line); pos != std::string::npos; pos = text.find(line, pos + 1)) ++n;
  return n;
}

std::string str(json_object *obj) { return obj ? json_object_get_string(obj) : "(missing)"; }

// The column `column` of the walk, "entity=value" per row, by entity.
std::string column(const std::map<std::string, std::string> &values, int column) {
  std::string prefix = power + std::to_string(column) + ".", text;
  std::map<long, std::string> rows;
  for (const auto &[oid, value] : values)
    if (oid.compare(0, prefix.size(), prefix) == 0) rows[atol(oid.c_str() + prefix.size())] = value;
  for (const auto &[entity, value] : rows) text += std::to_string(entity) + "=" + value + " ";
  return text;
}

// Resident memory of `pid` in KiB, from /proc.
long resident_kib(pid_t pid) {
  std::string status = testkit::read_file("/proc/" + std::to_string(pid) + "/status");
  size_t pos = status.find("VmRSS:");
  return pos == std::string::npos ? -1 : atol(status.c_str() + pos + 6);
}

void use_generation(AgentRig *rig, BusGeneration generation) {
  rig->set_bus_env({testkit::bus_generation_env(generation)});
}

using RestartCase = std::tuple<BusGeneration, int, int>;  // generation, signal, delay (ms)

class eoagent_bus_restart : public testing::TestWithParam<RestartCase> {};

TEST_P(eoagent_bus_restart, serves_through_the_outage_and_reads_the_switch_again) {
  auto [generation, sig, delay_ms] = GetParam();
  AgentRig rig;
  use_generation(&rig, generation);
  ASSERT_TRUE(rig.start_all({"--outlets", "2", "--on", "1"})) << rig.agent_output();
  auto before = rig.walk();
  ASSERT_EQ("1=257 2=259 257=255 ", column(before, 9)) << show(before);
  ASSERT_EQ("1=1 2=1 257=3 ", column(before, 5)) << show(before);

  rig.stop_bus(sig);
  // a switch right after the loss is refused: the relay is gone
  std::string out;
  EXPECT_NE(0, rig.set(power + "8.1", "i", "259", &out)) << out;
  ASSERT_TRUE(testkit::wait_until(
      [&] { return count(rig.agent_output(), lost_line) == 1 || !rig.agent().running(); }, 10000))
      << rig.agent_output();
  ASSERT_TRUE(rig.agent().running()) << rig.agent_output();

  // during the outage: the same rows, and a switch is refused, not lost
  auto during = rig.walk();
  EXPECT_EQ(column(before, 9), column(during, 9)) << show(during);
  EXPECT_EQ(column(before, 8), column(during, 8)) << show(during);
  EXPECT_EQ(column(before, 1), column(during, 1)) << show(during);
  EXPECT_NE(0, rig.set(power + "8.1", "i", "259", &out));
  EXPECT_NE(std::string::npos, out.find("resourceUnavailable")) << out;
  // a reason is the row's own and can still be written
  ASSERT_EQ(0, rig.set(power + "10.1", "s", "bus maintenance", &out)) << out;

  if (delay_ms) usleep(delay_ms * 1000);
  ASSERT_TRUE(rig.start_bus());
  // the switch comes back different: one more outlet, outlet 3 on
  ASSERT_TRUE(rig.start_sim({"--outlets", "3", "--on", "2"}));
  // a switch as soon as the switch is back: either refused, or it reaches
  // the relay, never accepted and dropped
  bool early_accepted = rig.set(power + "8.2", "i", "259", &out) == 0;
  if (!early_accepted) {
    EXPECT_TRUE(out.find("resourceUnavailable") != std::string::npos ||
                out.find("commitFailed") != std::string::npos)
        << out;
  }
  ASSERT_TRUE(testkit::wait_until(
      [&] { return count(rig.agent_output(), back_line) == 1 || !rig.agent().running(); }, 15000))
      << rig.agent_output();
  ASSERT_TRUE(rig.agent().running()) << rig.agent_output();

  if (early_accepted) {
    EXPECT_TRUE(rig.wait_value(power + "9.2", "259")) << "accepted early, lost";
    ASSERT_TRUE(rig.wait_sets(1));
    EXPECT_EQ("relay.outlets.outlet=2E2", str(Json::parse(rig.set_log()[0]).at("object")));
  }
  auto after = rig.walk();
  EXPECT_EQ(std::string("1=257 2=") + (early_accepted ? "259" : "257") + " 3=259 257=255 ",
            column(after, 9))
      << show(after);
  EXPECT_EQ("1=\"bus maintenance\" 2=\"unknown\" 3=\"unknown\" ", column(after, 10)) << show(after);
  EXPECT_EQ("230", after[power + "1.257"]) << show(after);
  EXPECT_EQ("1", after[power_state + "5.3.259"]) << show(after);

  // writes reach the new relay, and its notifications the rows
  size_t sets = early_accepted ? 1 : 0;
  ASSERT_EQ(0, rig.set(power + "8.1", "i", "259", &out)) << out;
  ASSERT_TRUE(rig.wait_sets(sets + 1)) << rig.agent_output();
  EXPECT_EQ("relay.outlets.outlet=2E1", str(Json::parse(rig.set_log()[sets]).at("object")));
  EXPECT_TRUE(rig.wait_value(power + "9.1", "259")) << rig.get(power + "9.1");
  EXPECT_EQ(1u, count(rig.agent_output(), lost_line)) << rig.agent_output();
}

// Stopped while the bus is away: it ends as on any stop, status 255,
// without a word to the bus it no longer has (and, under the leak
// checker, with nothing left over).
TEST(eoagent_bus_outage, sigterm_during_the_outage_ends_cleanly) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all()) << rig.agent_output();
  rig.stop_bus(SIGKILL);
  ASSERT_TRUE(testkit::wait_until([&] { return count(rig.agent_output(), lost_line) == 1; }, 10000))
      << rig.agent_output();
  // several reconnects fail meanwhile
  usleep(800 * 1000);
  rig.agent().signal(SIGTERM);
  int status = rig.agent().wait(20000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status << rig.agent_output();
}

std::string restart_name(const testing::TestParamInfo<RestartCase> &info) {
  auto [generation, sig, delay_ms] = info.param;
  return std::string(testkit::bus_generation_name(generation)) + "_" +
         (sig == SIGKILL ? "kill" : "term") + "_" + std::to_string(delay_ms) + "ms";
}

INSTANTIATE_TEST_SUITE_P(matrix, eoagent_bus_restart,
                         testing::Combine(testing::ValuesIn(testkit::kBusGenerations),
                                          testing::Values(SIGTERM, SIGKILL),
                                          testing::Values(0, 300, 2000)),
                         restart_name);

class eoagent_restarts : public testing::TestWithParam<BusGeneration> {};

// Ten restarts in a row, the daemon back at once: after each the agent
// reads the switch again; its descriptors and memory do not grow.
TEST_P(eoagent_restarts, ten_in_a_row_leave_descriptors_and_memory_flat) {
  AgentRig rig;
  // Under the address sanitizer freed memory waits in a quarantine and
  // would look like growth: measure without it (ignored in other builds).
  const char *asan = getenv("ASAN_OPTIONS");
  rig.set_bus_env({testkit::bus_generation_env(GetParam()),
                   std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                       ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0"});
  ASSERT_TRUE(rig.start_all()) << rig.agent_output();
  pid_t pid = rig.agent().pid();
  int fds = 0;
  long rss = 0;
  for (int round = 1; round <= 11; ++round) {
    SCOPED_TRACE(round);
    rig.stop_bus(round % 2 ? SIGKILL : SIGTERM);
    ASSERT_TRUE(rig.start_bus());
    ASSERT_TRUE(rig.start_sim({"--on", std::to_string(round % 2)}));
    ASSERT_TRUE(testkit::wait_until(
        [&] {
          return count(rig.agent_output(), back_line) == static_cast<size_t>(round) ||
                 !rig.agent().running();
        },
        15000))
        << rig.agent_output();
    ASSERT_TRUE(rig.agent().running()) << rig.agent_output();
    // the states the new simulator started with
    EXPECT_TRUE(rig.wait_value(power + "9.1", round % 2 ? "257" : "259"));
    EXPECT_TRUE(rig.wait_value(power + "9.2", round % 2 ? "259" : "257"));
    if (round == 1) {
      // the first restart is the warm-up: allocations that stay for good
      fds = testkit::count_fds(pid);
      rss = resident_kib(pid);
      continue;
    }
    EXPECT_EQ(fds, testkit::count_fds(pid));
  }
  long grown = resident_kib(pid) - rss;
  printf(
      "descriptors %d after the first and the eleventh restart; resident memory %ld KiB, "
      "then %+ld KiB\n",
      fds, rss, grown);
  EXPECT_LT(grown, 256) << "KiB";
  EXPECT_EQ(11u, count(rig.agent_output(), lost_line));
  // and it ends cleanly (under the leak checker: with nothing left over)
  rig.agent().signal(SIGTERM);
  int status = rig.agent().wait(20000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status << rig.agent_output();
}

INSTANTIATE_TEST_SUITE_P(generations, eoagent_restarts, testing::ValuesIn(testkit::kBusGenerations),
                         testkit::BusGenerationName());

// The simulator alone restarts (the bus stays): its objects leave the bus,
// the agent notices, serves what it had, and reads the new switch.
TEST(eoagent_sim_restart, objects_that_leave_and_return_are_read_again) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all({"--outlets", "3"})) << rig.agent_output();
  auto before = rig.walk();
  ASSERT_EQ("1=257 2=257 3=257 257=255 ", column(before, 9)) << show(before);

  ASSERT_TRUE(rig.restart_sim({"--outlets", "1", "--on", "0", "--buses", "2"}));
  ASSERT_TRUE(testkit::wait_until(
      [&] { return count(rig.agent_output(), back_line) == 1 || !rig.agent().running(); }, 15000))
      << rig.agent_output();
  EXPECT_EQ(1u, count(rig.agent_output(), gone_line)) << rig.agent_output();
  EXPECT_EQ(0u, count(rig.agent_output(), lost_line)) << rig.agent_output();
  auto after = rig.walk();
  EXPECT_EQ("1=259 257=255 258=255 ", column(after, 9)) << show(after);
  EXPECT_EQ(0u, after.count(power_state + "5.2.257")) << show(after);
  std::string out;
  EXPECT_NE(0, rig.set(power + "8.2", "i", "259", &out));
  ASSERT_EQ(0, rig.set(power + "8.1", "i", "257", &out)) << out;
  EXPECT_TRUE(rig.wait_value(power + "9.1", "257")) << rig.get(power + "9.1");
}

}  // namespace
