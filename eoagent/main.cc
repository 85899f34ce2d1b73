// eoagent: publishes the outlets of a relay object and the buses of a
// meter object, both on ubus, as rows of the energy-object MIB, as an
// AgentX subagent of the SNMP master.
#include <stdio.h>
#include <string.h>

extern "C" {
#include <libubox/uloop.h>
#include <libubus.h>
}

#include "device.h"
#include "mib.h"
#include "snmp_bridge.h"

// The AgentX session to the master, set by init_snmp when it connects;
// the agent library exports it without a declaration.
extern "C" netsnmp_session *main_session;

namespace {

constexpr const char *agent_name = "eoagent";
constexpr const char *agentx_socket = "/tmp/snmpd_agentx";

device_ops ops;
snmp_fd_bridge bridge;

int fail(const char *message) {
  fputs(message, stderr);
  return -1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "Usage: %s <relay_object_path> <meter_object_path>\n",
            argc > 0 && argv[0] ? argv[0] : "eoagent_subagent");
    return -1;
  }

  uloop_init();
  ubus_context *ctx = ubus_connect(nullptr);
  if (!ctx) {
    fail("Failed to connect to ubus\n");
    uloop_done();
    return -1;
  }
  uloop_fd_add(&ctx->sock, ULOOP_READ | ULOOP_BLOCKING);

  memset(&ops, 0, sizeof ops);
  relay_handle *relay = open_relay(ctx, argv[1], &ops);
  if (!relay) {
    fail("Failed to open relay ubus object\n");
    ubus_free(ctx);
    uloop_done();
    return -1;
  }
  meter_handle *meter = open_meter(ctx, argv[2], &ops);
  if (!meter) {
    fail("Failed to open meter ubus object\n");
    close_relay(relay);
    ubus_free(ctx);
    uloop_done();
    return -1;
  }

  init_snmp_fd_bridge(&bridge);
  snmp_enable_stderrlog();
  snmp_enable_calllog();
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, agentx_socket);
  if (init_agent(agent_name) != 0) {
    fail("Failed to initialize SNMP agent\n");
    close_meter(meter);
    close_relay(relay);
    ubus_free(ctx);
    uloop_done();
    return -1;
  }

  init_eoPowerEnableStatusNotification();
  init_mib_tables(&ops);
  u_long local_uptime = netsnmp_get_agent_uptime();
  init_snmp(agent_name);

  if (!main_session) {
    fail("Failed to connect to SNMP master\n");
  } else {
    // The open session set our uptime to the master's: the stays that
    // began when the tables were built move onto that clock.
    shift_time_in_state(ops.mib_context, netsnmp_get_agent_uptime() - local_uptime);
    snmp_log(LOG_INFO, "eoagent initialized.\n");
    sync_snmp_fds(&bridge);
    uloop_run_timeout(-1);
  }

  if (ops.free_mib_context) ops.free_mib_context(ops.mib_context);
  close_snmp_fd_bridge(&bridge);
  snmp_shutdown(agent_name);
  close_meter(meter);
  close_relay(relay);
  ubus_free(ctx);
  uloop_done();
  return -1;
}
