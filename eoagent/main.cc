// SPDX-License-Identifier: ISC
// eoagent: publishes the outlets of a relay object and the buses of a
// meter object, both on ubus, as rows of the energy-object MIB, as an
// AgentX subagent of the SNMP master.
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

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
// Pause between two attempts to reach the bus (or the relay and meter on
// it) after the connection was lost.
constexpr int bus_retry_ms = 250;

// Everything the process holds. Each member is released once, by
// release_all, in the reverse order of start-up; what was never set up is
// skipped. No destructors: a C callback may be running when the loop ends.
struct agent_state {
  const char *relay_path;
  const char *meter_path;
  bool loop_ready;
  ubus_context *ctx;
  // Our own view of the bus connection. After a failed ubus_reconnect the
  // context's descriptor fields still look connected, so they decide
  // nothing here.
  bool bus_connected;
  // Whether ctx->sock.fd is a descriptor we still own: a failed reconnect
  // closes it but leaves its number behind.
  bool bus_socket_open;
  // The relay and meter must be read again: the bus was lost or one of
  // their objects left it. Writes are refused meanwhile.
  bool device_stale;
  relay_handle *relay;
  meter_handle *meter;
  bool snmp_started;
  uloop_timeout bus_retry;
};

agent_state agent;
device_ops ops;
snmp_fd_bridge bridge;

void fail(const char *message) { fputs(message, stderr); }

// Forgets the relay and meter; `unsubscribe` while the bus is up.
void close_device(bool unsubscribe) {
  if (unsubscribe) {
    close_meter(agent.meter);
    close_relay(agent.relay);
  } else {
    discard_meter(agent.meter);
    discard_relay(agent.relay);
  }
  agent.meter = nullptr;
  agent.relay = nullptr;
  ops.relay = ops.reachable_relay = ops.meter = nullptr;
}

void release_all() {
  if (ops.free_mib_context) ops.free_mib_context(ops.mib_context);
  ops.free_mib_context = nullptr;
  if (agent.snmp_started) {
    close_snmp_fd_bridge(&bridge);
    snmp_shutdown(agent_name);
  }
  uloop_timeout_cancel(&agent.bus_retry);
  close_device(agent.bus_connected);
  if (agent.ctx) {
    // the number a failed reconnect left behind may belong to another
    // descriptor by now: it must not be closed again
    if (!agent.bus_socket_open) agent.ctx->sock.fd = -1;
    ubus_free(agent.ctx);
  }
  if (agent.loop_ready) uloop_done();
}

void on_bus_retry(uloop_timeout *timer);

void retry_bus_later() { uloop_timeout_set(&agent.bus_retry, bus_retry_ms); }

void mark_device_stale() {
  agent.device_stale = true;
  ops.reachable_relay = nullptr;
  if (!agent.bus_retry.pending) retry_bus_later();
}

// The bus daemon went away. Called by the bus library, possibly from
// inside a call that is waiting for its reply: nothing is freed here.
void on_bus_lost(ubus_context *ctx) {
  if (!agent.bus_connected) return;
  agent.bus_connected = false;
  uloop_fd_delete(&ctx->sock);
  snmp_log(LOG_WARNING,
           "lost the bus: serving the last values read, refusing writes until it is back\n");
  mark_device_stale();
}

// An object of the relay or meter left the bus (its program restarts, for
// instance). Called from within the bus library: the handles are replaced
// later, from the retry timer.
void on_device_object_removed() {
  if (agent.device_stale) return;
  snmp_log(LOG_WARNING,
           "the relay or meter left the bus: serving the last values read, refusing writes until "
           "it is back\n");
  mark_device_stale();
}

// Reconnects, then reads the relay and meter again (outlet and bus counts
// included) and brings the tables in line; retries until both succeed.
void on_bus_retry(uloop_timeout *) {
  if (!agent.bus_connected) {
    int status = ubus_reconnect(agent.ctx, nullptr);
    agent.bus_socket_open = status == UBUS_STATUS_OK;
    if (status != UBUS_STATUS_OK) {
      retry_bus_later();
      return;
    }
    agent.bus_connected = true;
    ubus_add_uloop(agent.ctx);
  }
  // the old subscribers are registered (again, after a reconnect):
  // unsubscribe them and start afresh
  close_device(true);
  agent.device_stale = false;
  agent.relay = open_relay(agent.ctx, agent.relay_path, &ops);
  if (agent.relay) agent.meter = open_meter(agent.ctx, agent.meter_path, &ops);
  if (!agent.meter || agent.device_stale) {
    // not there yet, or gone again meanwhile; a bus loss during the reads
    // leaves the handles to the next attempt, which unsubscribes them
    if (agent.bus_connected) close_device(true);
    mark_device_stale();
    return;
  }
  refresh_mib_rows(ops.mib_context);
  auto *mib = static_cast<mib_context *>(ops.mib_context);
  snmp_log(LOG_NOTICE, "bus is back: relay and meter read again (%d outlet rows, %d bus rows)\n",
           mib->accounting_count, mib->bus_rows);
}

// The master must run as root or as ourselves: anyone else who got hold of
// the AgentX socket would receive our registrations and could send writes
// that switch outlets with the agent's credentials.
bool master_trusted() {
  netsnmp_transport *transport = snmp_sess_transport(snmp_sess_pointer(main_session));
  ucred peer{};
  socklen_t len = sizeof peer;
  if (!transport || getsockopt(transport->sock, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) {
    snmp_log(LOG_ERR, "cannot tell who the master agent on %s is: not serving it\n", agentx_socket);
    return false;
  }
  if (peer.uid == 0 || peer.uid == geteuid()) return true;
  snmp_log(LOG_ERR,
           "the master agent on %s runs as uid %u (pid %d), neither root nor ours: not serving "
           "it\n",
           agentx_socket, static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid));
  return false;
}

// Start-up up to the running loop; false after the message of the step
// that failed.
bool start(char **argv) {
  agent.relay_path = argv[1];
  agent.meter_path = argv[2];
  agent.bus_retry.cb = on_bus_retry;
  uloop_init();
  agent.loop_ready = true;
  // a write to a bus or master that just went away must not end us
  signal(SIGPIPE, SIG_IGN);
  agent.ctx = ubus_connect(nullptr);
  if (!agent.ctx) {
    fail("Failed to connect to ubus\n");
    return false;
  }
  agent.bus_connected = agent.bus_socket_open = true;
  agent.ctx->connection_lost = on_bus_lost;
  ubus_add_uloop(agent.ctx);

  memset(&ops, 0, sizeof ops);
  agent.relay = open_relay(agent.ctx, agent.relay_path, &ops);
  if (!agent.relay) {
    fail("Failed to open relay ubus object\n");
    return false;
  }
  agent.meter = open_meter(agent.ctx, agent.meter_path, &ops);
  if (!agent.meter) {
    fail("Failed to open meter ubus object\n");
    return false;
  }
  // later reads (after a bus loss) are retried quietly
  report_failed_reads = false;
  device_object_removed = on_device_object_removed;

  init_snmp_fd_bridge(&bridge);
  snmp_enable_stderrlog();
  snmp_enable_calllog();
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, agentx_socket);
  if (init_agent(agent_name) != 0) {
    fail("Failed to initialize SNMP agent\n");
    return false;
  }
  agent.snmp_started = true;

  init_eoPowerEnableStatusNotification();
  if (!init_mib_tables(&ops)) {
    fail("Failed to initialize SNMP agent\n");
    return false;
  }
  u_long local_uptime = netsnmp_get_agent_uptime();
  init_snmp(agent_name);

  if (!main_session) {
    fail("Failed to connect to SNMP master\n");
    return false;
  }
  if (!master_trusted()) return false;
  // The open session set our uptime to the master's: the stays that
  // began when the tables were built move onto that clock.
  shift_time_in_state(ops.mib_context, netsnmp_get_agent_uptime() - local_uptime);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "Usage: %s <relay_object_path> <meter_object_path>\n",
            argc > 0 && argv[0] ? argv[0] : "eoagent_subagent");
    return -1;
  }
  if (start(argv)) {
    snmp_log(LOG_INFO, "eoagent initialized.\n");
    sync_snmp_fds(&bridge);
    uloop_run_timeout(-1);
  }
  release_all();
  return -1;
}
