// SPDX-License-Identifier: ISC
// A whole power switch for the subagent's tests: bus daemon, simulated
// relay and meter, Debian's snmpd as master agent (AgentX on
// /tmp/snmpd_agentx, private to the test), snmptrapd receiving what snmpd
// forwards, and eoagent itself.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "simrig.h"
#include "testkit.h"

class AgentRig {
 public:
  AgentRig();

  bool start_bus();
  // powersim with `args` and a "set" log in the rig's folder.
  bool start_sim(const std::vector<std::string> &args);
  // snmpd, run through `runner` when given (e.g. setpriv to another user).
  bool start_snmpd(const std::vector<std::string> &runner = {});
  bool start_trapd();
  // eoagent with `args`; waits until it is serving or has ended.
  bool start_agent(const std::vector<std::string> &args = {"relay", "meter"});
  // All of the above; the agent serving.
  bool start_all(const std::vector<std::string> &sim_args = {});

  // Environment entries ("NAME=value") for the bus programs started from
  // now on (the agent and the simulator), e.g. the bus library generation.
  void set_bus_env(std::vector<std::string> env) { bus_env_ = std::move(env); }
  // Stops the bus daemon with `sig` and reaps it; the simulator, whose
  // bus is gone, ends by itself (it is reaped too).
  void stop_bus(int sig);
  // Stops the simulator (SIGTERM) and starts it again with `args`.
  bool restart_sim(const std::vector<std::string> &args);

  // Runs an SNMP command-line tool against snmpd; returns its exit code.
  int tool(const std::string &name, const std::vector<std::string> &args, std::string *out);
  // OID -> value of a walk (numeric OIDs, bare values, raw time ticks).
  std::map<std::string, std::string> walk(const std::string &oid = "1.3.6.1.2.1.229");
  std::string get(const std::string &oid);
  int set(const std::string &oid, const std::string &type, const std::string &value,
          std::string *out, const std::string &context = "");
  // Waits until `oid` reads `value`.
  bool wait_value(const std::string &oid, const std::string &value, int timeout_ms = 5000);

  std::string traps() const { return trapd_.output(); }
  std::vector<std::string> set_log() const;
  // Waits until the switch has logged at least `count` "set" calls.
  bool wait_sets(size_t count, int timeout_ms = 5000) const;
  std::string agent_output() const { return agent_.output(); }
  testkit::Child &agent() { return agent_; }
  testkit::Child &snmpd() { return snmpd_; }
  const testkit::TempDir &dir() const { return dir_; }
  simrig::BusClient &bus();

 private:
  std::vector<std::string> snmp_env() const;
  testkit::TempDir dir_{"eoagent"};
  int snmp_port_, trap_port_;
  testkit::Child ubusd_, sim_, snmpd_, trapd_, agent_;
  std::unique_ptr<simrig::BusClient> bus_;
  std::vector<std::string> bus_env_;
};
