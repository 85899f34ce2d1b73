// SPDX-License-Identifier: ISC
#include "agent_rig.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <memory>

namespace {

constexpr const char *agentx_socket = "/tmp/snmpd_agentx";

}  // namespace

AgentRig::AgentRig() : snmp_port_(testkit::free_udp_port()), trap_port_(testkit::free_udp_port()) {
  // the two ports come from the test's own loopback; make sure they differ
  while (trap_port_ == snmp_port_) trap_port_ = testkit::free_udp_port();
  // the tools and daemons read the rig's folder only: no MIB files
  testkit::write_file(dir_ / "snmp.conf", "mibs :\n");
}

std::vector<std::string> AgentRig::snmp_env() const {
  return {"SNMP_PERSISTENT_DIR=" + (dir_ / "persist"), "SNMPCONFPATH=" + dir_.path(),
          "LSAN_OPTIONS=suppressions=" EO_SOURCE_DIR
          "/eoagent/tests/lsan.supp:print_suppressions=0"};
}

bool AgentRig::start_bus() {
  if (!ubusd_.started()) return simrig::start_ubusd(&ubusd_);
  // again, on the private folder the first start mounted
  ubusd_ = testkit::Child({testkit::bus_daemon_program(), "-s", simrig::bus_socket});
  return testkit::wait_listening(simrig::bus_socket, 10000);
}

void AgentRig::stop_bus(int sig) {
  bus_.reset();
  ubusd_.signal(sig);
  ubusd_.wait(5000);
  sim_.wait(5000);
}

bool AgentRig::start_sim(const std::vector<std::string> &args) {
  std::vector<std::string> argv{testkit::bin_path("powersim")};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back("--log");
  argv.push_back(dir_ / "sets.log");
  testkit::SpawnOptions opts;
  opts.capture_output = true;
  opts.env = bus_env_;
  sim_ = testkit::Child(argv, opts);
  return testkit::wait_until(
             [this] {
               return sim_.output().find("powersim ready") != std::string::npos || !sim_.running();
             },
             10000) &&
         sim_.running();
}

bool AgentRig::restart_sim(const std::vector<std::string> &args) {
  sim_.signal(SIGTERM);
  sim_.wait(5000);
  return start_sim(args);
}

bool AgentRig::start_snmpd(const std::vector<std::string> &runner) {
  std::string conf = dir_ / "snmpd.conf";
  testkit::write_file(conf,
                      "master agentx\n"
                      "agentXSocket " +
                          std::string(agentx_socket) +
                          "\n"
                          "agentaddress udp:127.0.0.1:" +
                          std::to_string(snmp_port_) +
                          "\n"
                          "rocommunity public 127.0.0.1\n"
                          "rwcommunity private 127.0.0.1\n"
                          "trap2sink 127.0.0.1:" +
                          std::to_string(trap_port_) + " public\n");
  testkit::SpawnOptions opts;
  opts.env = snmp_env();
  opts.capture_output = true;
  unlink(agentx_socket);  // a master killed earlier leaves its socket behind
  std::vector<std::string> argv = runner;
  for (const char *arg : {"/usr/sbin/snmpd", "-f", "-Lo", "-C", "-c"}) argv.push_back(arg);
  argv.push_back(conf);
  snmpd_ = testkit::Child(argv, opts);
  return testkit::wait_listening(agentx_socket, 10000);
}

bool AgentRig::start_trapd() {
  std::string conf = dir_ / "snmptrapd.conf";
  testkit::write_file(conf, "disableAuthorization yes\n");
  testkit::SpawnOptions opts;
  opts.env = snmp_env();
  opts.capture_output = true;
  trapd_ = testkit::Child({"/usr/sbin/snmptrapd", "-f", "-Lo", "-On", "-C", "-c", conf,
                           "udp:127.0.0.1:" + std::to_string(trap_port_)},
                          opts);
  return testkit::wait_until(
      [this] { return trapd_.output().find("NET-SNMP version") != std::string::npos; }, 10000);
}

bool AgentRig::start_agent(const std::vector<std::string> &args) {
  std::vector<std::string> argv{testkit::bin_path("eoagent")};
  argv.insert(argv.end(), args.begin(), args.end());
  testkit::SpawnOptions opts;
  opts.env = snmp_env();
  opts.env.insert(opts.env.end(), bus_env_.begin(), bus_env_.end());
  opts.capture_output = true;
  agent_ = testkit::Child(argv, opts);
  return testkit::wait_until(
             [this] {
               return agent_.output().find("eoagent initialized.") != std::string::npos ||
                      !agent_.running();
             },
             10000) &&
         agent_.running();
}

bool AgentRig::start_all(const std::vector<std::string> &sim_args) {
  const char *late = !start_bus()           ? "bus daemon"
                     : !start_sim(sim_args) ? "simulator"
                     : !start_snmpd()       ? "snmpd"
                     : !start_trapd()       ? "snmptrapd"
                     : !start_agent()       ? "eoagent"
                                            : nullptr;
  if (!late) return true;
  // which program kept the others waiting, and what each had said by then
  fprintf(stderr,
          "agent rig: the %s did not come up in time\nsimulator:\n%s\nsnmpd:\n%s\n"
          "snmptrapd:\n%s\n",
          late, sim_.output().c_str(), snmpd_.output().c_str(), trapd_.output().c_str());
  return false;
}

int AgentRig::tool(const std::string &name, const std::vector<std::string> &args,
                   std::string *out) {
  std::vector<std::string> argv{name, "-v2c", "-On", "-Oq", "-Ot", "-t", "3", "-r", "0"};
  argv.insert(argv.end(), args.begin(), args.end());
  testkit::SpawnOptions opts;
  opts.env = snmp_env();
  return testkit::run(argv, out, 20000, opts);
}

std::map<std::string, std::string> AgentRig::walk(const std::string &oid) {
  std::string out;
  tool("snmpwalk", {"-c", "public", "127.0.0.1:" + std::to_string(snmp_port_), oid}, &out);
  std::map<std::string, std::string> values;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(pos, end - pos);
    pos = end + 1;
    size_t space = line.find(' ');
    if (line.empty() || line[0] != '.') continue;
    values[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
  }
  return values;
}

std::string AgentRig::get(const std::string &oid) {
  std::string out;
  tool("snmpget", {"-Ov", "-c", "public", "127.0.0.1:" + std::to_string(snmp_port_), oid}, &out);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

int AgentRig::set(const std::string &oid, const std::string &type, const std::string &value,
                  std::string *out, const std::string &context) {
  std::vector<std::string> args{"-c", "private"};
  if (!context.empty()) {
    args.push_back("-n");
    args.push_back(context);
  }
  args.push_back("127.0.0.1:" + std::to_string(snmp_port_));
  args.push_back(oid);
  args.push_back(type);
  args.push_back(value);
  return tool("snmpset", args, out);
}

bool AgentRig::wait_value(const std::string &oid, const std::string &value, int timeout_ms) {
  return testkit::wait_until([&] { return get(oid) == value; }, timeout_ms, 20);
}

std::vector<std::string> AgentRig::set_log() const {
  std::vector<std::string> lines;
  std::string text = testkit::read_file(dir_ / "sets.log");
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

simrig::BusClient &AgentRig::bus() {
  if (!bus_) bus_ = std::make_unique<simrig::BusClient>();
  return *bus_;
}

bool AgentRig::wait_sets(size_t count, int timeout_ms) const {
  return testkit::wait_until([&] { return set_log().size() >= count; }, timeout_ms);
}
