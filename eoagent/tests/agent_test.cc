// SPDX-License-Identifier: ISC
// eoagent end to end: the simulated switch on our bus, Debian's snmpd as
// master, snmptrapd as the receiver of notifications, the SNMP tools as
// the manager.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "agent_rig.h"

using simrig::Json;

namespace {

const std::string power = ".1.3.6.1.2.1.229.1.2.1.";
const std::string power_state = ".1.3.6.1.2.1.229.1.3.1.";
const std::string enable_notification = ".1.3.6.1.2.1.229.0.1.0";

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string show(const std::map<std::string, std::string> &values) {
  std::string text;
  for (const auto &[oid, value] : values) text += oid + " " + value + "\n";
  return text;
}

std::string str(json_object *obj) { return obj ? json_object_get_string(obj) : "(missing)"; }

TEST(eoagent_agent, usage_without_exactly_two_arguments) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"relay"}, std::vector<std::string>{"a", "b", "c"}}) {
    std::vector<std::string> argv{testkit::bin_path("eoagent")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    EXPECT_EQ(255, testkit::run(argv, &out));
    EXPECT_EQ(
        "Usage: " + testkit::bin_path("eoagent") + " <relay_object_path> <meter_object_path>\n",
        out);
  }
}

// Each start-up failure ends with its one line and status 255.
TEST(eoagent_agent, start_up_failures) {
  struct Case {
    const char *what;
    bool bus;
    std::vector<std::string> sim_args;
    bool snmpd;
    const char *message;
  };
  const Case cases[] = {
      {"no bus", false, {}, true, "Failed to connect to ubus\n"},
      {"relay object missing",
       true,
       {"--remove", "relay.outlets"},
       true,
       "Failed to open relay ubus object\n"},
      {"outlet object missing",
       true,
       {"--remove", "relay.outlets.outlet=2E2"},
       true,
       "Failed to open relay ubus object\n"},
      {"meter values without keys",
       true,
       {"--keys-without-keys", "values"},
       true,
       "Failed to open meter ubus object\n"},
      {"bus object missing",
       true,
       {"--remove", "meter.buses.bus=2E1"},
       true,
       "Failed to open meter ubus object\n"},
      {"no master agent", true, {}, false, "Failed to connect to SNMP master\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    AgentRig rig;
    if (c.bus) {
      ASSERT_TRUE(rig.start_bus());
      ASSERT_TRUE(rig.start_sim(c.sim_args));
    }
    if (c.snmpd) {
      ASSERT_TRUE(rig.start_snmpd());
    }
    EXPECT_FALSE(rig.start_agent());
    EXPECT_EQ(255, exit_code(rig.agent().wait(5000))) << rig.agent_output();
    EXPECT_NE(std::string::npos, rig.agent_output().find(c.message)) << rig.agent_output();
    EXPECT_EQ(std::string::npos, rig.agent_output().find("eoagent initialized"))
        << rig.agent_output();
    EXPECT_TRUE(rig.set_log().empty());
  }
}

// A list object's path ("<relay>.outlets") has room for 255 bytes: a
// longer one is cut, its lookup fails, and start-up ends with the line
// naming the path that was looked up.
TEST(eoagent_agent, list_paths_beyond_255_bytes_are_not_found) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_bus() && rig.start_sim({}) && rig.start_snmpd());
  const std::string relay(250, 'r');
  EXPECT_FALSE(rig.start_agent({relay, "meter"}));
  EXPECT_EQ(255, exit_code(rig.agent().wait(5000)));
  std::string cut = (relay + ".outlets").substr(0, 255);
  EXPECT_NE(std::string::npos, rig.agent_output().find(cut + ": lookup failed: Not found (4)\n"
                                                             "Failed to open relay ubus object\n"))
      << rig.agent_output();
}

TEST(eoagent_agent, ends_with_255_when_the_master_goes_away) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all()) << rig.agent_output();
  rig.snmpd().signal(SIGKILL);
  int status = rig.agent().wait(10000);
  ASSERT_NE(-1, status) << "still running: " << rig.agent_output();
  EXPECT_EQ(255, exit_code(status)) << rig.agent_output();
}

// A master agent that is neither root nor eoagent's own user holds the
// AgentX socket: eoagent refuses to serve it, says so and ends; the
// impostor never gets the subtree, and nothing reaches the relay.
TEST(eoagent_agent, refuses_a_master_of_another_user) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_bus() && rig.start_sim({}));
  // the unprivileged master must read its configuration and write its state
  chmod(rig.dir().path().c_str(), 0755);
  mkdir((rig.dir() / "persist").c_str(), 0777);
  chmod((rig.dir() / "persist").c_str(), 0777);
  ASSERT_TRUE(
      rig.start_snmpd({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}))
      << rig.snmpd().output();
  EXPECT_FALSE(rig.start_agent());
  EXPECT_EQ(255, exit_code(rig.agent().wait(10000))) << rig.agent_output();
  std::string output = rig.agent_output();
  EXPECT_NE(std::string::npos,
            output.find("the master agent on /tmp/snmpd_agentx runs as uid 65534 (pid "))
      << output;
  EXPECT_NE(std::string::npos, output.find("neither root nor ours: not serving it")) << output;
  EXPECT_EQ(std::string::npos, output.find("eoagent initialized")) << output;
  // the master is still there, without the subtree
  ASSERT_TRUE(rig.snmpd().running()) << rig.snmpd().output();
  auto values = rig.walk(power + "9");
  EXPECT_TRUE(values.empty() || values.begin()->second.find("No Such") != std::string::npos)
      << show(values);
  std::string out;
  EXPECT_NE(0, rig.set(power + "8.1", "i", "259", &out));
  EXPECT_TRUE(rig.set_log().empty());
}

TEST(eoagent_agent, ends_with_255_on_sigterm) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all()) << rig.agent_output();
  rig.agent().signal(SIGTERM);
  EXPECT_EQ(255, exit_code(rig.agent().wait(10000))) << rig.agent_output();
}

TEST(eoagent_agent, walk_shows_two_outlets_and_one_bus) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all({"--on", "1"})) << rig.agent_output();
  auto values = rig.walk();

  std::map<std::string, std::string> expected{{enable_notification, "1"}};
  struct Column {
    int column;
    const char *outlet1, *outlet2, *bus;
  };
  const Column columns[] = {
      {1, "0", "0", "230"},     {2, "0", "0", "1200"},
      {3, "0", "0", "1"},       {4, "0", "0", "100"},
      {5, "1", "1", "3"},       {6, "1", "1", "1"},
      {7, "1", "1", "1"},       {8, "257", "259", "255"},
      {9, "257", "259", "255"}, {10, "\"unknown\"", "\"unknown\"", nullptr},
  };
  for (const Column &c : columns) {
    std::string col = power + std::to_string(c.column);
    expected[col + ".1"] = c.outlet1;
    expected[col + ".2"] = c.outlet2;
    if (c.bus) expected[col + ".257"] = c.bus;
  }
  // (entity, state): state, maximum power, multiplier, entries
  const struct {
    const char *index;
    const char *state, *max_power, *entries;
  } states[] = {{"1.257", "257", "0", "1"},
                {"1.259", "259", "400", "0"},
                {"2.257", "257", "0", "0"},
                {"2.259", "259", "400", "1"}};
  for (const auto &s : states) {
    expected[power_state + "1." + s.index] = s.state;
    expected[power_state + "2." + s.index] = s.max_power;
    expected[power_state + "3." + s.index] = "1";
    expected[power_state + "5." + s.index] = s.entries;
  }
  // time in state: only the state an outlet is in accumulates
  const std::string running[] = {"1.257", "2.259"}, idle[] = {"1.259", "2.257"};
  for (const std::string &index : idle) expected[power_state + "4." + index] = "0";
  for (const std::string &index : running) {
    auto it = values.find(power_state + "4." + index);
    ASSERT_NE(values.end(), it) << show(values);
    long ticks = atol(it->second.c_str());
    EXPECT_GE(ticks, 0) << index;
    EXPECT_LT(ticks, 3000) << index;
    expected[it->first] = it->second;
  }
  EXPECT_EQ(show(expected), show(values));
}

// Hundredths of a second since `start`.
long ticks_since(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count() /
                           10);
}

// A subagent shares its master's uptime: the first stay of each outlet
// counts from when the subagent built its tables, however long the master
// has been running, and a restarted subagent counts afresh.
TEST(eoagent_agent, first_stay_counts_from_the_subagents_start) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_bus() && rig.start_sim({"--on", "1"}) && rig.start_snmpd() &&
              rig.start_trapd());
  const std::string sys_up_time = ".1.3.6.1.2.1.1.3.0";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "started after the master" : "restarted");
    // let the master age well past what the checks below allow
    usleep(2500 * 1000);
    ASSERT_GE(atol(rig.get(sys_up_time).c_str()), 250 * (round + 1));
    if (round == 1) {
      rig.agent().signal(SIGTERM);
      ASSERT_EQ(255, exit_code(rig.agent().wait(10000))) << rig.agent_output();
    }
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(rig.start_agent()) << rig.agent_output();
    long off = atol(rig.get(power_state + "4.1.257").c_str());
    long on = atol(rig.get(power_state + "4.2.259").c_str());
    long bound = ticks_since(started) + 5;  // the clocks tick at different moments
    EXPECT_LE(off, bound);
    EXPECT_LE(on, bound);
    EXPECT_EQ("0", rig.get(power_state + "4.1.259"));
    EXPECT_EQ("0", rig.get(power_state + "4.2.257"));
    // and the current stays keep growing
    usleep(300 * 1000);
    EXPECT_GE(atol(rig.get(power_state + "4.1.257").c_str()), off + 25);
    EXPECT_GE(atol(rig.get(power_state + "4.2.259").c_str()), on + 25);
  }
}

TEST(eoagent_agent, energy_tables_have_no_instances) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all()) << rig.agent_output();
  for (const char *table : {"1.3.6.1.2.1.229.1.1", "1.3.6.1.2.1.229.1.4", "1.3.6.1.2.1.229.1.5"}) {
    auto values = rig.walk(table);
    EXPECT_TRUE(values.empty() || values.begin()->second.find("No Such") != std::string::npos)
        << table << ":\n"
        << show(values);
  }
}

TEST(eoagent_agent, outlet_switched_in_the_switch_updates_rows_and_notifies) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all({"--switch-delay", "300"})) << rig.agent_output();
  ASSERT_EQ(0, rig.bus().call("powersim", "switch", R"({"outlet": 1, "state": true})"));

  // transient first, physical after the relay's delay
  ASSERT_TRUE(rig.wait_value(power + "8.2", "259")) << rig.get(power + "8.2");
  ASSERT_TRUE(rig.wait_value(power + "9.2", "259")) << rig.get(power + "9.2");
  EXPECT_EQ("259", rig.get(power + "8.2"));
  EXPECT_EQ("257", rig.get(power + "9.1"));
  EXPECT_EQ("1", rig.get(power_state + "5.2.259"));
  EXPECT_EQ("1", rig.get(power_state + "5.2.257"));
  // one stay ended in 257, one has begun in 259
  long off_ticks = atol(rig.get(power_state + "4.2.257").c_str());
  long on_ticks = atol(rig.get(power_state + "4.2.259").c_str());
  EXPECT_GT(off_ticks, 0);
  EXPECT_GE(on_ticks, 0);
  EXPECT_LT(on_ticks, off_ticks + 1000);

  const std::string last_trap = ".1.3.6.1.2.1.229.1.2.1.9.2 = INTEGER: 259";
  ASSERT_TRUE(
      testkit::wait_until([&] { return rig.traps().find(last_trap) != std::string::npos; }, 5000))
      << rig.traps();
  std::string traps = rig.traps();
  std::string trap = traps.substr(traps.rfind('\n', traps.find(last_trap)) + 1);
  trap = trap.substr(0, trap.find('\n'));
  for (const char *varbind :
       {".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.2.1.229.0.2",
        ".1.3.6.1.2.1.229.1.2.1.8.2 = INTEGER: 259", ".1.3.6.1.2.1.229.1.2.1.9.2 = INTEGER: 259",
        ".1.3.6.1.2.1.229.1.2.1.10.2 = STRING: \"unknown\""})
    EXPECT_NE(std::string::npos, trap.find(varbind)) << varbind << " in\n" << trap;
  // the transient change came first, with the outlet still off
  EXPECT_NE(std::string::npos, traps.find(".1.3.6.1.2.1.229.1.2.1.9.2 = INTEGER: 257")) << traps;
}

TEST(eoagent_agent, snmpset_of_admin_state_reaches_the_relay) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all()) << rig.agent_output();
  std::string out;
  ASSERT_EQ(0, rig.set(power + "8.1", "i", "259", &out)) << out;
  // the master may answer before the subagent's commit has reached the bus
  ASSERT_TRUE(rig.wait_sets(1)) << out;
  Json entry = Json::parse(rig.set_log()[0]);
  EXPECT_EQ("relay.outlets.outlet=2E1", str(entry.at("object"))) << entry.text();
  EXPECT_TRUE(json_object_get_boolean(entry.at("message.value"))) << entry.text();
  EXPECT_EQ("transient_state", str(entry.at("message.key"))) << entry.text();
  EXPECT_EQ("snmp", str(entry.at("message.cred.agent"))) << entry.text();
  EXPECT_TRUE(json_object_get_boolean(entry.at("message.cred.is_admin"))) << entry.text();
  EXPECT_TRUE(json_object_get_boolean(entry.at("message.cred.outlet_access"))) << entry.text();
  EXPECT_EQ(nullptr, entry.at("message.cred.ip_address")) << entry.text();
  // the relay reports the switch, the row follows
  EXPECT_TRUE(rig.wait_value(power + "9.1", "259")) << rig.get(power + "9.1");

  // and back off
  ASSERT_EQ(0, rig.set(power + "8.1", "i", "257", &out)) << out;
  ASSERT_TRUE(rig.wait_sets(2)) << out;
  EXPECT_FALSE(json_object_get_boolean(Json::parse(rig.set_log()[1]).at("message.value")));
  EXPECT_TRUE(rig.wait_value(power + "9.1", "257")) << rig.get(power + "9.1");
}

// Writes that must fail in the first phase and send nothing to the bus.
TEST(eoagent_agent, rejected_writes_send_nothing) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all()) << rig.agent_output();
  struct Case {
    std::string oid, type, value, error;
  };
  const Case cases[] = {
      {power + "8.1", "i", "258", "wrongValue"},    {power + "8.2", "i", "0", "wrongValue"},
      {power + "8.257", "i", "259", "notWritable"},  // a bus has no relay
      {power + "8.3", "i", "259", "noCreation"},     // no such outlet: rows are never created
      {power + "10.5", "s", "x", "noCreation"},     {power + "9.1", "i", "259", "notWritable"},
      {power + "8.1", "s", "259", "wrongType"},
  };
  for (const Case &c : cases) {
    std::string out;
    EXPECT_NE(0, rig.set(c.oid, c.type, c.value, &out)) << c.oid;
    EXPECT_NE(std::string::npos, out.find(c.error)) << c.oid << " = " << c.value << ": " << out;
  }
  // a good write after them is the first and only one to reach the relay
  std::string out;
  ASSERT_EQ(0, rig.set(power + "8.2", "i", "259", &out)) << out;
  ASSERT_TRUE(rig.wait_sets(1));
  EXPECT_EQ(1u, rig.set_log().size());
  EXPECT_EQ("relay.outlets.outlet=2E2", str(Json::parse(rig.set_log()[0]).at("object")));
  EXPECT_TRUE(rig.wait_value(power + "9.2", "259"));
  // the table still has exactly its rows
  auto admin = rig.walk(power + "8");
  EXPECT_EQ(power + "8.1 257\n" + power + "8.2 259\n" + power + "8.257 255\n", show(admin));
}

TEST(eoagent_agent, notification_switch) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all()) << rig.agent_output();
  EXPECT_EQ("1", rig.get(enable_notification));
  std::string out;
  EXPECT_NE(0, rig.set(enable_notification, "i", "3", &out));
  EXPECT_NE(std::string::npos, out.find("wrongValue")) << out;
  ASSERT_EQ(0, rig.set(enable_notification, "i", "2", &out)) << out;
  // reads are served after the commit, so this also waits for it
  EXPECT_TRUE(rig.wait_value(enable_notification, "2"));

  ASSERT_EQ(0, rig.bus().call("powersim", "switch", R"({"outlet": 0, "state": true})"));
  ASSERT_TRUE(rig.wait_value(power + "9.1", "259"));
  // switched back on: the next change is notified; nothing before it was
  ASSERT_EQ(0, rig.set(enable_notification, "i", "1", &out)) << out;
  ASSERT_TRUE(rig.wait_value(enable_notification, "1"));
  ASSERT_EQ(0, rig.bus().call("powersim", "switch", R"({"outlet": 1, "state": true})"));
  ASSERT_TRUE(testkit::wait_until([&] {
    return rig.traps().find("229.1.2.1.9.2 = INTEGER: 259") != std::string::npos;
  })) << rig.traps();
  EXPECT_EQ(std::string::npos, rig.traps().find("229.1.2.1.8.1 =")) << rig.traps();
}

TEST(eoagent_agent, bus_rows_follow_the_meter) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all({"--buses", "2"})) << rig.agent_output();
  const std::string bus1 = power + "1.257", bus2 = power + "1.258";
  EXPECT_EQ("230", rig.get(bus1));
  struct Step {
    const char *value;  // JSON for set_value on bus 0
    const char *power;  // column 1 afterwards
  };
  const Step steps[] = {
      {R"({"bus": 0, "name": "current", "value": 4.0})", "460"},              // double
      {R"({"bus": 0, "name": "voltage", "value": 100})", "200"},              // 32-bit integer
      {R"({"bus": 0, "name": "power_factor_percent", "value": 95})", "380"},  // integer percent
      {R"({"bus": 0, "name": "current", "value": "7"})", "380"},              // a string: ignored
      {R"({"bus": 0, "name": "current", "value": 0.5})", "47"},               // truncated 47.5
  };
  for (const Step &s : steps) {
    ASSERT_EQ(0, rig.bus().call("powersim", "set_value", s.value));
    EXPECT_TRUE(rig.wait_value(bus1, s.power, 3000)) << s.value << ": " << rig.get(bus1);
  }
  EXPECT_EQ("230", rig.get(bus2));
}

TEST(eoagent_agent, keys_of_every_type_reach_their_objects) {
  for (const char *key_type : {"int", "mixed", "bool", "int64", "double"}) {
    SCOPED_TRACE(key_type);
    AgentRig rig;
    int outlets = std::string(key_type) == "mixed" ? 6 : 2;
    ASSERT_TRUE(rig.start_all({"--key-type", key_type, "--outlets", std::to_string(outlets)}))
        << rig.agent_output();
    std::string last = std::to_string(outlets);
    EXPECT_EQ("257", rig.get(power + "9." + last));
    EXPECT_EQ("230", rig.get(power + "1.257"));
    // a write goes to the right object, and its notification comes back
    std::string out;
    ASSERT_EQ(0, rig.set(power + "8." + last, "i", "259", &out)) << out;
    EXPECT_TRUE(rig.wait_value(power + "9." + last, "259")) << rig.get(power + "9." + last);
    ASSERT_TRUE(rig.wait_sets(1));
    Json state;
    ASSERT_EQ(0, rig.bus().call("powersim", "state", "{}", &state));
    EXPECT_EQ(str(state.at("outlets." + std::to_string(outlets - 1) + ".path")),
              str(Json::parse(rig.set_log()[0]).at("object")));
  }
}

TEST(eoagent_agent, relay_without_keys_has_no_outlet_rows) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all({"--keys-without-keys", "outlets"})) << rig.agent_output();
  auto values = rig.walk(power + "9");
  EXPECT_EQ(power + "9.257 255\n", show(values));
}

TEST(eoagent_agent, odd_value_objects_are_skipped_or_grow_the_buses) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all({"--extra-value", "0:frequency:50", "--extra-value",
                             "missing:current:9", "--extra-value", "string:current:9",
                             "--extra-value", "-1:current:9", "--extra-value", "3:voltage:230"}))
      << rig.agent_output();
  // bus 3 exists now; buses 1 to 3 have no current or power factor
  auto values = rig.walk(power + "1");
  EXPECT_EQ(power + "1.1 0\n" + power + "1.2 0\n" + power + "1.257 230\n" + power + "1.258 0\n" +
                power + "1.259 0\n" + power + "1.260 0\n",
            show(values));
}

// 300 outlets: the first 256 have rows, the rest are left out with one
// line in the log, and neither their rows nor their changes reach the
// buses' indexes.
TEST(eoagent_agent, outlets_beyond_256_are_not_published) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all({"--outlets", "300", "--buses", "2", "--on", "255", "--on", "256"}))
      << rig.agent_output();
  const std::string logged = "300 outlets: only the first 256 are published\n";
  std::string output = rig.agent_output();
  EXPECT_NE(std::string::npos, output.find(logged)) << output;
  EXPECT_EQ(output.find(logged), output.rfind(logged)) << output;
  EXPECT_EQ(std::string::npos, output.find("duplicate")) << output;

  auto oper = rig.walk(power + "9");
  ASSERT_EQ(258u, oper.size()) << show(oper);
  EXPECT_EQ("259", oper[power + "9.256"]);
  EXPECT_EQ("257", oper[power + "9.255"]);
  EXPECT_EQ("255", oper[power + "9.257"]);
  EXPECT_EQ("255", oper[power + "9.258"]);
  auto readings = rig.walk(power + "1");
  EXPECT_EQ("230", readings[power + "1.257"]) << show(readings);
  EXPECT_EQ("230", readings[power + "1.258"]) << show(readings);
  auto entries = rig.walk(power_state + "5");
  EXPECT_EQ(512u, entries.size());
  EXPECT_EQ("1", entries[power_state + "5.256.259"]);
  EXPECT_EQ(0u, entries.count(power_state + "5.257.257"));

  // the 257th and 300th outlets switch in the switch; then the 256th, whose
  // notification is the last one to expect
  for (int outlet : {256, 299})
    ASSERT_EQ(0, rig.bus().call("powersim", "switch",
                                R"({"outlet": )" + std::to_string(outlet) + R"(, "state": true})"));
  ASSERT_EQ(0, rig.bus().call("powersim", "switch", R"({"outlet": 255, "state": false})"));
  ASSERT_TRUE(rig.wait_value(power + "9.256", "257")) << rig.get(power + "9.256");
  ASSERT_TRUE(testkit::wait_until([&] {
    return rig.traps().find("229.1.2.1.9.256 = INTEGER: 257") != std::string::npos;
  })) << rig.traps();
  EXPECT_EQ(std::string::npos, rig.traps().find("229.1.2.1.9.257 ")) << rig.traps();
  EXPECT_EQ(std::string::npos, rig.traps().find("229.1.2.1.8.257 ")) << rig.traps();
  EXPECT_EQ("255", rig.get(power + "8.257"));
  EXPECT_EQ("255", rig.get(power + "9.257"));

  // the last published outlet is written through to its own object
  std::string out;
  ASSERT_EQ(0, rig.set(power + "8.256", "i", "259", &out)) << out;
  ASSERT_TRUE(rig.wait_sets(1));
  Json state;
  ASSERT_EQ(0, rig.bus().call("powersim", "state", "{}", &state));
  EXPECT_EQ(str(state.at("outlets.255.path")), str(Json::parse(rig.set_log()[0]).at("object")));
  EXPECT_NE(0, rig.set(power + "8.257", "i", "259", &out));
  EXPECT_NE(std::string::npos, out.find("notWritable")) << out;
}

// eoPowerStateEnterReason of an outlet row is the manager's to write: the
// text stays in the row, reaches no bus object, and state changes leave it.
TEST(eoagent_agent, enter_reason_is_stored_in_the_row) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all()) << rig.agent_output();
  std::string out;
  ASSERT_EQ(0, rig.set(power + "10.2", "s", "switched for maintenance", &out)) << out;
  EXPECT_TRUE(rig.wait_value(power + "10.2", "\"switched for maintenance\""))
      << rig.get(power + "10.2");
  EXPECT_EQ("\"unknown\"", rig.get(power + "10.1"));
  const std::string longest(255, 'r');
  ASSERT_EQ(0, rig.set(power + "10.1", "s", longest, &out)) << out;
  EXPECT_TRUE(rig.wait_value(power + "10.1", "\"" + longest + "\""));
  ASSERT_EQ(0, rig.set(power + "10.1", "s", "", &out)) << out;
  EXPECT_TRUE(rig.wait_value(power + "10.1", "\"\"")) << rig.get(power + "10.1");

  struct Case {
    std::string oid, type, value, error;
  };
  const Case refused[] = {
      {power + "10.2", "s", std::string(256, 'x'), "wrongLength"},
      {power + "10.2", "i", "5", "wrongType"},
      {power + "10.257", "s", "a bus", "notWritable"},
      {power + "10.3", "s", "no such outlet", "noCreation"},
  };
  for (const Case &c : refused) {
    EXPECT_NE(0, rig.set(c.oid, c.type, c.value, &out)) << c.oid;
    EXPECT_NE(std::string::npos, out.find(c.error)) << c.oid << ": " << out;
  }
  EXPECT_EQ("\"switched for maintenance\"", rig.get(power + "10.2"));

  // a switch changes the state columns only
  ASSERT_EQ(0, rig.set(power + "8.2", "i", "259", &out)) << out;
  ASSERT_TRUE(rig.wait_value(power + "9.2", "259"));
  EXPECT_EQ("\"switched for maintenance\"", rig.get(power + "10.2"));
  // and the reason went nowhere on the bus: the one "set" is the switch
  ASSERT_TRUE(rig.wait_sets(1));
  EXPECT_EQ(1u, rig.set_log().size());
  EXPECT_EQ("transient_state", str(Json::parse(rig.set_log()[0]).at("message.key")));
}

// Replies later than the call timeout at start-up: every failed read is
// logged with its object, call and status, and so is the empty relay.
TEST(eoagent_agent, start_up_reads_that_time_out_are_logged) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_bus() && rig.start_sim({"--delay-replies", "3500"}) && rig.start_snmpd());
  rig.start_agent();
  ASSERT_TRUE(testkit::wait_until(
      [&] { return rig.agent_output().find("meter") != std::string::npos; }, 30000))
      << rig.agent_output();
  rig.agent().wait(30000);
  std::string output = rig.agent_output();
  EXPECT_NE(std::string::npos, output.find("relay.outlets: keys failed: Request timed out (7)\n"))
      << output;
  EXPECT_NE(std::string::npos, output.find("relay.outlets: no outlets\n")) << output;
  EXPECT_NE(std::string::npos, output.find("meter.values: keys failed: Request timed out (7)\n"))
      << output;
}

TEST(eoagent_agent, slow_replies_within_the_call_timeout) {
  AgentRig rig;
  ASSERT_TRUE(rig.start_all({"--delay-replies", "50"})) << rig.agent_output();
  EXPECT_EQ("230", rig.get(power + "1.257"));
  std::string out;
  ASSERT_EQ(0, rig.set(power + "8.2", "i", "259", &out)) << out;
  EXPECT_TRUE(rig.wait_value(power + "9.2", "259"));
}

}  // namespace
